// The intake while an alarm waits for the PBX: the backlog of lines behind it
// is bounded by holding the alarm server back, and a line's reply goes to the
// connection that is current when it is sent.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include "alarm_server/intake.h"
#include "platform/async_signal.h"
#include "platform/awaitable.h"

namespace kelvarix {
namespace {

using ::testing::ElementsAre;

// A PBX that holds every alarm until the test lets it go, then accepts it.
class HeldPbx final : public PbxPort {
public:
    explicit HeldPbx(asio::any_io_executor executor) : released_(std::move(executor)) {}
    bool held = true;
    int waiting = 0;
    std::vector<std::string> dispatched;

    void Release() {
        held = false;
        released_.Notify();
    }
    bool Connected() const override { return true; }
    asio::awaitable<bool> WaitUntilUsable() override { co_return true; }
    asio::awaitable<bool> SendAlarmToPBX(MessageRef record) override {
        dispatched.push_back(record->m_AlarmId);
        ++waiting;
        while (held) co_await released_.Wait();
        --waiting;
        co_return true;
    }

private:
    AsyncSignal released_;
};

class IntakeFlowTest : public ::testing::Test {
protected:
    IntakeFlowTest()
        : logger_(clock_, window_, "/nonexistent-kelvarix-folder/"),
          pbx_(io_.get_executor()),
          intake_(io_.get_executor(), settings_, logger_, queue_, buffered_, pbx_,
                  [this](std::string_view reply) { replies_.emplace_back(reply); }) {
        intake_.SetReadControl([this](bool pause) { controls_.push_back(pause); });
    }

    void Feed(std::string_view data) {
        intake_.Winsock_Orvane_Data_DataArrival(data);
        Run();
    }
    void Run() {
        io_.restart();
        io_.poll();
    }

    static std::string Line(int n) {
        std::string text(1000, '.');
        return "1|0|E" + std::to_string(n) + "|A" + std::to_string(n) + "|2001||" + text + "|T\n";
    }

    asio::io_context io_;
    ManualClock clock_;
    WindowList window_;
    Settings settings_;
    Logger logger_;
    MessageQueue queue_;
    BufferedMessages buffered_;
    HeldPbx pbx_;
    std::vector<std::string> replies_;
    std::vector<bool> controls_;
    AlarmIntake intake_;
};

TEST_F(IntakeFlowTest, BacklogBeyondTheLimitHoldsTheAlarmServerBackUntilHalfIsHandled) {
    // The first alarm waits for the PBX; the lines behind it pile up.
    int n = 0;
    while (intake_.OrvaneReceiveBuffer().size() <= AlarmIntake::kMaxBacklog) {
        ASSERT_TRUE(controls_.empty()) << "paused below the limit";
        Feed(Line(++n));
    }
    EXPECT_THAT(controls_, ElementsAre(true));
    EXPECT_TRUE(intake_.ReadingPaused());
    EXPECT_EQ(pbx_.waiting, 1);

    // More text while paused (a read already under way) asks for nothing more.
    Feed(Line(++n));
    EXPECT_THAT(controls_, ElementsAre(true));

    pbx_.Release();
    Run();
    EXPECT_THAT(controls_, ElementsAre(true, false));
    EXPECT_FALSE(intake_.ReadingPaused());
    EXPECT_EQ(replies_.size(), static_cast<std::size_t>(n));
    EXPECT_EQ(replies_.front(), "sent (A1)\n");
    EXPECT_EQ(replies_.back(), "sent (A" + std::to_string(n) + ")\n");
}

TEST_F(IntakeFlowTest, BacklogThatStaysBelowTheLimitNeverPauses) {
    for (int n = 1; n <= 100; ++n) Feed(Line(n));  // about 100 KB
    pbx_.Release();
    Run();
    EXPECT_TRUE(controls_.empty());
    EXPECT_EQ(replies_.size(), 100u);
}

TEST_F(IntakeFlowTest, ANewConnectionStartsUnpausedAndGetsTheReplyOfTheOldOnesLineFirst) {
    for (int n = 1; intake_.OrvaneReceiveBuffer().size() <= AlarmIntake::kMaxBacklog; ++n) Feed(Line(n));
    ASSERT_TRUE(intake_.ReadingPaused());

    // The alarm server reconnects while A1 still waits for the PBX.
    intake_.ClearReceiveBuffer();
    EXPECT_FALSE(intake_.ReadingPaused());
    Feed("1|0|E9|B1|2001||Fire|T\n");
    pbx_.Release();
    Run();
    // A1's reply goes to the new connection, before B1's; the lines of the
    // old connection that were not handled are dropped.
    EXPECT_THAT(pbx_.dispatched, ElementsAre("A1", "B1"));
    EXPECT_THAT(replies_, ElementsAre("sent (A1)\n", "sent (B1)\n"));
    EXPECT_THAT(controls_, ElementsAre(true));  // the new connection needed no resume
}

}  // namespace
}  // namespace kelvarix
