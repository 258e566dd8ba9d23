// The socket and the listener on loopback.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <string>
#include <vector>

#include "platform/tcp_listener.h"
#include "platform/tcp_socket.h"
#include "support/io_helpers.h"

namespace kelvarix {
namespace {

using asio::ip::tcp;
using test::RunUntil;

// A socket connected to a peer that the test drives directly, with
// everything the socket reports. Plain data flow, the peer's close and
// refused connections are exercised by the link tests above this layer.
class TcpSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        socket_.SetEvents({[this](std::string_view d) {
                               data_ += d;
                               ++deliveries_;
                               if (pause_in_handler_) socket_.PauseReading();
                           },
                           nullptr, nullptr,
                           [this](const std::string& e) { errors_.push_back(e); }});
        bool accepted = false;
        acceptor_.async_accept(peer_, [&](const asio::error_code& e) { accepted = !e; });
        socket_.Connect("127.0.0.1", acceptor_.local_endpoint().port());
        ASSERT_TRUE(
            RunUntil(io_, [&] { return accepted && socket_.State() == TcpSocket::sckConnected; }));
    }

    asio::io_context io_;
    tcp::acceptor acceptor_{io_, {asio::ip::address_v4::loopback(), 0}};
    tcp::socket peer_{io_};
    TcpSocket socket_{io_.get_executor()};
    std::string data_;
    int deliveries_ = 0;
    std::vector<std::string> errors_;
    bool pause_in_handler_ = false;
};

TEST_F(TcpSocketTest, LargeSendsArriveWholeAndInOrderButAPeerThatReadsNothingIsAnError) {
    // More than the kernel takes at once, so part of it waits in the socket.
    std::string big(4 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
    ASSERT_TRUE(socket_.SendData(big));
    ASSERT_TRUE(socket_.SendData("END\r"));
    std::string read(big.size() + 4, '\0');
    bool done = false;
    asio::async_read(peer_, asio::buffer(read),
                     [&](asio::error_code e, std::size_t) { done = !e; });
    ASSERT_TRUE(RunUntil(io_, [&] { return done; }));
    EXPECT_TRUE(read == big + "END\r");
    EXPECT_TRUE(errors_.empty());

    const std::string chunk(1024 * 1024, 'x');
    bool refused = false;
    for (int i = 0; i < 64 && !refused; ++i) refused = !socket_.SendData(chunk);
    EXPECT_TRUE(refused);
    ASSERT_EQ(errors_.size(), 1u);
    EXPECT_EQ(socket_.State(), TcpSocket::sckError);
}

// While reading is paused nothing is delivered, so TCP holds the peer back;
// on resuming, everything arrives whole and in order. The gateway pauses in
// its data event; its flood test sees the alarm server held back and let go.
TEST_F(TcpSocketTest, PausedReadingDeliversNothingUntilItResumesAndACloseEndsTheConnection) {
    pause_in_handler_ = true;
    asio::write(peer_, asio::buffer("abc", 3));
    ASSERT_TRUE(RunUntil(io_, [&] { return deliveries_ == 1; }));
    asio::write(peer_, asio::buffer("def", 3));
    io_.restart();
    io_.run_for(std::chrono::milliseconds(100));  // time for a read that must not happen
    EXPECT_EQ(data_, "abc");
    EXPECT_TRUE(socket_.ReadingPaused());

    // A second resume while one read loop runs starts no second one.
    pause_in_handler_ = false;
    socket_.ResumeReading();
    socket_.ResumeReading();
    ASSERT_TRUE(RunUntil(io_, [&] { return data_ == "abcdef"; })) << data_;

    // A local close ends the connection for the peer. That it raises no event
    // and stops sending is read by the PBX link's tests.
    socket_.Close();
    char buffer[16];
    bool peer_saw_end = false;
    peer_.async_read_some(asio::buffer(buffer), [&](asio::error_code e, std::size_t) {
        peer_saw_end = e == asio::error::eof;
    });
    EXPECT_TRUE(RunUntil(io_, [&] { return peer_saw_end; }));
}

// A taken port and an address that is none are started on by the end-to-end
// tests, which check the platform's text in the log.
TEST(TcpListenerTest, APortBeyondSixteenBitsDoesNotWrapRoundToAnother) {
    asio::io_context io;
    for (int port : {-1, 65536, 65536 + test::UnusedLocalPort(io)}) {
        SCOPED_TRACE(port);
        TcpListener listener(io.get_executor());
        EXPECT_NE(listener.Listen("127.0.0.1", port, nullptr), "");
        EXPECT_EQ(listener.LocalPort(), 0);
    }
}

}  // namespace
}  // namespace kelvarix
