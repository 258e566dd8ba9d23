// The socket and the listener on loopback.
#include <gtest/gtest.h>

#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <array>
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include "support/io_helpers.h"
#include "platform/tcp_listener.h"
#include "platform/tcp_socket.h"

namespace kelvarix {
namespace {

using asio::ip::tcp;
using test::RunUntil;
using test::UnusedLocalPort;

const tcp::endpoint kLoopbackAnyPort{asio::ip::address_v4::loopback(), 0};

// Everything a TcpSocket reports, in one place.
struct Recorder {
    std::string data;
    int connected = 0;
    int closed = 0;
    std::vector<std::string> errors;

    TcpSocket::Events Events() {
        return {[this](std::string_view d) { data += d; }, [this] { ++connected; },
                [this] { ++closed; }, [this](const std::string& e) { errors.push_back(e); }};
    }
};

// A socket connected to a peer that the test drives directly.
class ConnectedSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        acceptor_.async_accept(peer_, [this](const asio::error_code& e) { accepted_ = !e; });
        socket_.SetEvents(events_.Events());
        socket_.Connect("127.0.0.1", acceptor_.local_endpoint().port());
        ASSERT_TRUE(RunUntil(io_, [&] { return accepted_ && events_.connected == 1; }));
        ASSERT_EQ(socket_.State(), TcpSocket::sckConnected);
    }

    // Reads exactly size bytes on the peer side while the socket keeps working.
    std::string PeerReads(std::size_t size) {
        std::string text(size, '\0');
        bool done = false;
        asio::async_read(peer_, asio::buffer(text), [&](const asio::error_code& e, std::size_t n) {
            EXPECT_FALSE(e) << e.message();
            text.resize(n);
            done = true;
        });
        EXPECT_TRUE(RunUntil(io_, [&] { return done; }));
        return text;
    }

    asio::io_context io_;
    tcp::acceptor acceptor_{io_, kLoopbackAnyPort};
    tcp::socket peer_{io_};
    bool accepted_ = false;
    TcpSocket socket_{io_.get_executor()};
    Recorder events_;
};

TEST_F(ConnectedSocketTest, DataFlowsBothWaysAndThePeersCloseEndsIt) {
    asio::write(peer_, asio::buffer(std::string("1|A1|")));
    asio::write(peer_, asio::buffer(std::string("E1|x\n")));
    ASSERT_TRUE(RunUntil(io_, [&] { return events_.data == "1|A1|E1|x\n"; })) << events_.data;

    EXPECT_TRUE(socket_.SendData("sent (A1)\n"));
    EXPECT_EQ(PeerReads(10), "sent (A1)\n");

    peer_.close();
    ASSERT_TRUE(RunUntil(io_, [&] { return events_.closed == 1; }));
    EXPECT_TRUE(events_.errors.empty());
    EXPECT_NE(socket_.State(), TcpSocket::sckConnected);
    EXPECT_FALSE(socket_.SendData("too late\n"));
}

TEST_F(ConnectedSocketTest, LargeSendsArriveWholeAndInOrder) {
    // More than the kernel takes at once, so part of it waits in the socket.
    std::string big(4 * 1024 * 1024, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>('a' + i % 23);
    ASSERT_TRUE(socket_.SendData(big));
    ASSERT_TRUE(socket_.SendData("END\r"));
    const std::string received = PeerReads(big.size() + 4);
    ASSERT_EQ(received.size(), big.size() + 4);
    EXPECT_TRUE(received == big + "END\r");
    EXPECT_TRUE(events_.errors.empty());
}

TEST_F(ConnectedSocketTest, PeerThatReadsNothingEndsTheConnectionWithAnError) {
    const std::string chunk(1024 * 1024, 'x');
    bool refused = false;
    for (int i = 0; i < 64 && !refused; ++i) refused = !socket_.SendData(chunk);
    EXPECT_TRUE(refused);
    ASSERT_EQ(events_.errors.size(), 1u);
    EXPECT_FALSE(events_.errors[0].empty());
    EXPECT_EQ(socket_.State(), TcpSocket::sckError);
}

TEST_F(ConnectedSocketTest, LocalCloseRaisesNoEventAndStopsSending) {
    socket_.Close();
    EXPECT_EQ(socket_.State(), TcpSocket::sckClosed);
    EXPECT_FALSE(socket_.SendData("after close\n"));

    // Once the peer has seen the end, every completion of the closed socket has run.
    std::array<char, 16> buffer;
    bool peer_saw_end = false;
    peer_.async_read_some(asio::buffer(buffer), [&](const asio::error_code& e, std::size_t) {
        peer_saw_end = e == asio::error::eof;
    });
    ASSERT_TRUE(RunUntil(io_, [&] { return peer_saw_end; }));
    io_.poll();
    EXPECT_EQ(events_.closed, 0);
    EXPECT_TRUE(events_.errors.empty());
    EXPECT_TRUE(events_.data.empty());
}

TEST(TcpSocketTest, ConnectToAClosedPortGivesTheErrorEventWithADescription) {
    asio::io_context io;
    const int port = UnusedLocalPort(io);
    TcpSocket socket(io.get_executor());
    Recorder events;
    socket.SetEvents(events.Events());
    EXPECT_FALSE(socket.SendData("not connected\n"));

    socket.Connect("127.0.0.1", port);
    ASSERT_TRUE(RunUntil(io, [&] { return !events.errors.empty(); }));
    EXPECT_FALSE(events.errors[0].empty());
    EXPECT_EQ(events.connected, 0);
    EXPECT_EQ(socket.State(), TcpSocket::sckError);
    EXPECT_FALSE(socket.SendData("not connected\n"));
}

TEST(TcpListenerTest, ListensOnAFreePortAndHandsOverEveryConnection) {
    asio::io_context io;
    TcpListener listener(io.get_executor());
    std::vector<tcp::socket> accepted;
    ASSERT_EQ(listener.Listen("127.0.0.1", 0, [&](tcp::socket s) { accepted.push_back(std::move(s)); }), "");
    const int port = listener.LocalPort();
    ASSERT_GT(port, 0);

    tcp::socket first(io), second(io);
    first.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)});
    second.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)});
    ASSERT_TRUE(RunUntil(io, [&] { return accepted.size() == 2; }));

    // An accepted connection carries data once a TcpSocket takes it over.
    TcpSocket socket(io.get_executor());
    Recorder events;
    socket.SetEvents(events.Events());
    socket.Accept(std::move(accepted[1]));
    EXPECT_EQ(socket.State(), TcpSocket::sckConnected);
    asio::write(second, asio::buffer(std::string("hello\n")));
    ASSERT_TRUE(RunUntil(io, [&] { return events.data == "hello\n"; })) << events.data;

    listener.Close();
    tcp::socket late(io);
    asio::error_code refused;
    late.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)}, refused);
    EXPECT_EQ(refused, asio::error::connection_refused);
}

TEST(TcpListenerTest, UnusablePortGivesThePlatformErrorText) {
    asio::io_context io;
    tcp::acceptor holder(io);
    holder.open(tcp::v4());
    holder.bind(kLoopbackAnyPort);
    holder.listen();
    const int taken = holder.local_endpoint().port();
    const std::string in_use = std::error_code(EADDRINUSE, std::system_category()).message();

    for (const std::string& address : {std::string("127.0.0.1"), std::string()}) {
        SCOPED_TRACE("address '" + address + "'");
        TcpListener listener(io.get_executor());
        EXPECT_EQ(listener.Listen(address, taken, nullptr), in_use);
        EXPECT_EQ(listener.LocalPort(), 0);
    }
    // A port beyond 16 bits must not wrap round to some other port.
    for (int port : {-1, 65536, 65536 + taken}) {
        SCOPED_TRACE(port);
        TcpListener listener(io.get_executor());
        EXPECT_NE(listener.Listen("127.0.0.1", port, nullptr), "");
        EXPECT_EQ(listener.LocalPort(), 0);
    }
    TcpListener listener(io.get_executor());
    EXPECT_NE(listener.Listen("no.such.address", 0, nullptr), "");
}

}  // namespace
}  // namespace kelvarix
