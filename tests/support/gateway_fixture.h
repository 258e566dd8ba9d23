#pragma once
// The parts of a gateway for a test on one event loop (clock, window list,
// logs, settings, both alarm collections), and on top of them an ATAS link
// connected over loopback to a peer socket that the test plays as the PBX.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/settings.h"
#include "logging/logger.h"
#include "pbx/alarm_dispatch.h"
#include "pbx/atas_link.h"
#include "platform/awaitable.h"
#include "queue/message_queue.h"
#include "support/io_helpers.h"
#include "support/record.h"

namespace kelvarix::test {

class GatewayFixture : public ::testing::Test {
  protected:
    GatewayFixture() : logger_(clock_, window_, "/nonexistent-kelvarix-folder/") {}

    // Queues the record, stamped now, in the given state.
    MessageRef Queued(MessageRef record, std::int16_t state = MessageState::Pending) {
        record->m_InsertedIntoQueueMonotonic = clock_.monotonic();
        queue_.append(record);
        queue_.set_state(*record, state);
        return record;
    }

    // Starts the operation on the event loop; its result lands in the slot.
    template <typename T>
    std::shared_ptr<std::optional<T>> Start(asio::awaitable<T> operation) {
        auto slot = std::make_shared<std::optional<T>>();
        asio::co_spawn(io_, std::move(operation),
                       [slot](std::exception_ptr, T value) { *slot = std::move(value); });
        return slot;
    }

    // Loopback work takes milliseconds; a wait that runs out means a fault.
    bool RunUntil(const std::function<bool()>& done,
                  std::chrono::seconds limit = std::chrono::seconds(5)) {
        return test::RunUntil(io_, done, limit);
    }

    // Runs the handlers that are ready, and those they make ready, until none is.
    void RunReady() {
        io_.restart();
        while (io_.poll() > 0) io_.restart();
    }

    // The texts of the window list's lines with this tag (with `others`: all
    // the other lines, in the order they were written).
    std::vector<std::string> Lines(TrafficTag tag, bool others = false) const {
        std::vector<std::string> lines;
        for (const std::string& line : window_.Lines()) {
            if ((line.compare(9, 16, TrafficTagText(tag)) == 0) != others)
                lines.push_back(line.substr(26));
        }
        return lines;
    }
    std::vector<std::string> SystemLines() const { return Lines(TagSystem); }

    asio::io_context io_;
    ManualClock clock_;
    WindowList window_;
    Settings settings_;
    Logger logger_;
    MessageQueue queue_;
    BufferedMessages buffered_;
};

class LinkFixture : public GatewayFixture {
  protected:
    LinkFixture() {
        settings_.Username = "op1";
        settings_.Password = "secret";
        settings_.CommandTimeout = 2;
        link_.SetRemote("127.0.0.1", acceptor_.local_endpoint().port());
    }

    // Connects the link anew to a fresh peer socket.
    void Connect() {
        link_.ResetForConnect();
        peer_ = asio::ip::tcp::socket(io_);
        received_.clear();
        link_.StartConnect();
        acceptor_.async_accept(peer_, [](const asio::error_code&) {});
        ASSERT_TRUE(RunUntil([&] { return link_.Connected() && peer_.is_open(); }));
    }
    // Hands the link what the PBX sent, as one arrival, and lets it act on it.
    void PeerSend(std::string_view text) {
        link_.Winsock_ATAS_DataArrival(text);
        RunReady();
    }
    // Everything the peer has received since it connected.
    std::string PeerReceived() {
        RunReady();
        asio::error_code error;
        while (peer_.available(error) > 0) {
            std::string chunk(peer_.available(error), '\0');
            peer_.read_some(asio::buffer(chunk), error);
            received_ += chunk;
        }
        return received_;
    }
    bool PeerGot(std::string_view text) {
        return RunUntil([&] { return PeerReceived().find(text) != std::string::npos; });
    }

    // Runs a command to its end; the peer gives the answer once it has the line.
    std::int16_t Command(std::string line, std::string_view answer = {}) {
        const auto result = Start(link_.SendCommand(line));
        if (!answer.empty() && PeerGot(line)) PeerSend(answer);
        EXPECT_TRUE(RunUntil([&] { return result->has_value(); }));
        return result->value_or(-1);
    }

    asio::ip::tcp::acceptor acceptor_{io_, {asio::ip::make_address("127.0.0.1"), 0}};
    asio::ip::tcp::socket peer_{io_};
    std::string received_;
    AtasLink link_{io_.get_executor(), settings_, logger_, queue_};
    AlarmDispatcher dispatcher_{link_, queue_, logger_, clock_};
};

}  // namespace kelvarix::test
