#pragma once
// An ATAS link connected over loopback to a peer socket that the test drives
// by hand, with helpers to run the event loop until a condition holds.
#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "logging/logger.h"
#include "pbx/alarm_dispatch.h"
#include "pbx/atas_link.h"
#include "platform/awaitable.h"
#include "queue/message_queue.h"

namespace kelvarix::testing {

class LinkFixture : public ::testing::Test {
protected:
    LinkFixture()
        : logger_(clock_, window_, "/nonexistent-kelvarix-folder/"),
          acceptor_(io_, asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0)) {
        settings_.Username = "op1";
        settings_.Password = "secret";
        settings_.CommandTimeout = 2;
    }

    AtasLink& Link() {
        if (!link_) {
            link_ = std::make_unique<AtasLink>(io_.get_executor(), settings_, logger_, queue_);
            dispatcher_ = std::make_unique<AlarmDispatcher>(*link_, queue_, logger_, clock_);
        }
        return *link_;
    }
    AlarmDispatcher& Dispatcher() {
        Link();
        return *dispatcher_;
    }

    // Connects the link to the test's peer socket.
    void Connect() {
        Link().SetRemote("127.0.0.1", acceptor_.local_endpoint().port());
        Link().StartConnect();
        acceptor_.async_accept(peer_, [](const asio::error_code&) {});
        ASSERT_TRUE(RunUntil([&] { return Link().Connected() && peer_.is_open(); }));
    }

    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            io_.restart();
            io_.run_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    void PeerSend(std::string_view text) {
        asio::write(peer_, asio::buffer(text.data(), text.size()));
        RunUntilIdle();
    }
    // Lets the link take in what is waiting on its socket.
    void RunUntilIdle() {
        for (int i = 0; i < 5; ++i) {
            io_.restart();
            io_.run_for(std::chrono::milliseconds(2));
        }
    }
    // Everything the peer has received so far.
    std::string PeerReceived() {
        RunUntilIdle();
        asio::error_code error;
        while (peer_.available(error) > 0) {
            std::string chunk(peer_.available(error), '\0');
            peer_.read_some(asio::buffer(chunk), error);
            received_ += chunk;
        }
        return received_;
    }
    // Waits until the peer has received `text` somewhere.
    bool PeerGot(std::string_view text) {
        return RunUntil([&] { return PeerReceived().find(text) != std::string::npos; });
    }

    std::vector<std::string> SystemLines() const {
        std::vector<std::string> lines;
        for (const std::string& line : window_.Lines()) {
            if (line.compare(9, 8, "[SYSTEM]") == 0) lines.push_back(line.substr(26));
        }
        return lines;
    }
    std::vector<std::string> TrafficLines(TrafficTag tag) const {
        std::vector<std::string> lines;
        for (const std::string& line : window_.Lines()) {
            if (line.compare(9, 16, TrafficTagText(tag)) == 0) lines.push_back(line.substr(26));
        }
        return lines;
    }

    // Runs a command to its end, feeding the peer's answer once it was sent.
    std::int16_t Command(std::string line, std::string_view answer = {}) {
        std::optional<std::int16_t> result;
        asio::co_spawn(
            io_,
            [&]() -> asio::awaitable<void> { result = co_await Link().SendCommand(line); },
            asio::detached);
        if (!answer.empty() && PeerGot(line)) PeerSend(answer);
        EXPECT_TRUE(RunUntil([&] { return result.has_value(); }, std::chrono::seconds(10)));
        return result.value_or(-1);
    }

    MessageRef Queue(std::string alarm, std::string event, std::string destination,
                     std::string terminal = "", std::int16_t state = 0) {
        auto m = std::make_shared<cMessage>();
        m->m_AlarmId = std::move(alarm);
        m->m_EventId = std::move(event);
        m->m_Destination = std::move(destination);
        m->m_TerminalId = std::move(terminal);
        m->m_Tag = "T";
        m->m_InsertedIntoQueueMonotonic = clock_.monotonic();
        queue_.append(m);
        if (state != 0) queue_.set_state(*m, state);
        return m;
    }

    asio::io_context io_;
    ManualClock clock_;
    WindowList window_;
    Settings settings_;
    Logger logger_;
    MessageQueue queue_;
    std::unique_ptr<AtasLink> link_;
    std::unique_ptr<AlarmDispatcher> dispatcher_;
    asio::ip::tcp::acceptor acceptor_;
    asio::ip::tcp::socket peer_{io_};
    std::string received_;
};

}  // namespace kelvarix::testing
