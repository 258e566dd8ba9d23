// Pausing and resuming the reading of a TcpSocket: while paused, nothing is
// delivered and TCP holds the peer back; on resuming, everything arrives
// whole and in order.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>
#include <string>

#include "support/io_helpers.h"
#include "platform/tcp_socket.h"

namespace kelvarix {
namespace {

using asio::ip::tcp;
using test::RunUntil;

// The byte at position i of the peer's stream: a pattern that shows any
// loss, doubling or reordering.
char PatternByte(std::size_t i) { return static_cast<char>('a' + i % 23); }

class FlowControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        socket_.SetEvents({[this](std::string_view d) {
                               received_ += d;
                               ++deliveries_;
                               if (pause_in_handler_) socket_.PauseReading();
                           },
                           nullptr, [this] { ++closed_; }, nullptr});
        ConnectTo(peer_);
    }

    void ConnectTo(tcp::socket& peer) {
        bool accepted = false;
        acceptor_.async_accept(peer, [&](const asio::error_code& e) { accepted = !e; });
        socket_.Connect("127.0.0.1", acceptor_.local_endpoint().port());
        ASSERT_TRUE(RunUntil(io_, [&] { return accepted && socket_.State() == TcpSocket::sckConnected; }));
    }

    // The peer writes the pattern without blocking until the kernel takes no
    // more (or a bound far above any socket buffer is reached).
    std::size_t PeerFillsTheLine() {
        peer_.non_blocking(true);
        std::string chunk(64 * 1024, '\0');
        for (int stalls = 0; stalls < 20 && written_ < 512u * 1024 * 1024;) {
            for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = PatternByte(written_ + i);
            asio::error_code error;
            const std::size_t n = peer_.write_some(asio::buffer(chunk), error);
            written_ += n;
            if (error == asio::error::would_block) {
                ++stalls;  // let the socket under test run, in case it reads after all
                io_.restart();
                io_.run_for(std::chrono::milliseconds(5));
            } else if (error) {
                ADD_FAILURE() << error.message();
                break;
            } else {
                stalls = 0;
            }
        }
        return written_;
    }

    bool ReceivedIsThePattern() const {
        for (std::size_t i = 0; i < received_.size(); ++i) {
            if (received_[i] != PatternByte(i)) return false;
        }
        return true;
    }

    asio::io_context io_;
    tcp::acceptor acceptor_{io_, {asio::ip::address_v4::loopback(), 0}};
    tcp::socket peer_{io_};
    TcpSocket socket_{io_.get_executor()};
    std::string received_;
    int deliveries_ = 0;
    int closed_ = 0;
    bool pause_in_handler_ = false;
    std::size_t written_ = 0;
};

TEST_F(FlowControlTest, PausedSocketHoldsThePeerBackAndResumingDeliversEverythingInOrder) {
    pause_in_handler_ = true;
    const std::size_t written = PeerFillsTheLine();
    ASSERT_LT(written, 512u * 1024 * 1024) << "the peer was never held back";
    // Paused inside its first data event, the socket took no second read.
    EXPECT_EQ(deliveries_, 1);
    EXPECT_TRUE(socket_.ReadingPaused());

    pause_in_handler_ = false;
    socket_.ResumeReading();
    ASSERT_TRUE(RunUntil(io_, [&] { return received_.size() >= written; }));
    EXPECT_EQ(received_.size(), written);
    EXPECT_TRUE(ReceivedIsThePattern());
}

TEST_F(FlowControlTest, PauseAndResumeFromOutsideTheDataEvent) {
    // Resuming what is not paused changes nothing.
    socket_.ResumeReading();
    asio::write(peer_, asio::buffer(std::string("abc")));
    ASSERT_TRUE(RunUntil(io_, [&] { return received_ == "abc"; }));

    // Paused between events: at most the read already under way delivers.
    socket_.PauseReading();
    asio::write(peer_, asio::buffer(std::string("defg")));
    ASSERT_TRUE(RunUntil(io_, [&] { return received_ == "abcdefg"; })) << received_;
    asio::write(peer_, asio::buffer(std::string("hijk")));
    io_.restart();
    io_.run_for(std::chrono::milliseconds(100));  // time for a read that must not happen
    EXPECT_EQ(received_, "abcdefg");

    // A second resume while one read loop runs starts no second one.
    socket_.ResumeReading();
    socket_.ResumeReading();
    ASSERT_TRUE(RunUntil(io_, [&] { return received_.size() == 11; })) << received_;
    EXPECT_EQ(received_, "abcdefghijk");
}

TEST_F(FlowControlTest, ThePeersCloseIsSeenOnceReadingResumes) {
    pause_in_handler_ = true;
    asio::write(peer_, asio::buffer(std::string("last words\n")));
    ASSERT_TRUE(RunUntil(io_, [&] { return deliveries_ == 1; }));
    peer_.close();
    io_.restart();
    io_.run_for(std::chrono::milliseconds(50));
    EXPECT_EQ(closed_, 0);
    EXPECT_EQ(socket_.State(), TcpSocket::sckConnected);

    socket_.ResumeReading();
    ASSERT_TRUE(RunUntil(io_, [&] { return closed_ == 1; }));
    EXPECT_EQ(received_, "last words\n");
}

TEST_F(FlowControlTest, ANewConnectionStartsUnpaused) {
    pause_in_handler_ = true;
    asio::write(peer_, asio::buffer(std::string("old")));
    ASSERT_TRUE(RunUntil(io_, [&] { return deliveries_ == 1; }));
    ASSERT_TRUE(socket_.ReadingPaused());

    pause_in_handler_ = false;
    socket_.Close();
    EXPECT_FALSE(socket_.ReadingPaused());
    tcp::socket second_peer(io_);
    ConnectTo(second_peer);
    asio::write(second_peer, asio::buffer(std::string("new")));
    asio::write(second_peer, asio::buffer(std::string(" and more")));
    ASSERT_TRUE(RunUntil(io_, [&] { return received_ == "oldnew and more"; })) << received_;
}

}  // namespace
}  // namespace kelvarix
