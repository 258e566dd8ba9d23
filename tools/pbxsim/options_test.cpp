#include "options.h"

#include <gtest/gtest.h>

#include <string_view>
#include <vector>

namespace kelvarix::pbxsim {
namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string_view>;

TEST(PbxSimOptions, ReadsEveryOption) {
    const Args args{"--port=5000",
                    "--bind",
                    "0.0.0.0",
                    "--user",
                    "atas",
                    "--password",
                    "secret",
                    "--reply",
                    "sa=delay:250:nack",
                    "--reply",
                    "*=none",
                    "--reply",
                    "HBC=nack",
                    "--auto-ack",
                    "2000",
                    "--auto-read",
                    "0",
                    "--ack-terminal",
                    "T7",
                    "--no-heartbeat-check",
                    "--send-hb",
                    "1000",
                    "--no-prompt",
                    "--prompt-delay",
                    "10",
                    "--refuse-login",
                    "--drop-after",
                    "3",
                    "--flap",
                    "700",
                    "--flood-bytes",
                    "4096",
                    "--late-reply",
                    "--quiet"};
    const auto parsed = parse_options(args);
    ASSERT_TRUE(parsed.options) << parsed.error;
    const auto& o = *parsed.options;
    EXPECT_EQ(o.port, 5000);
    EXPECT_EQ(o.bind, "0.0.0.0");
    EXPECT_TRUE(o.quiet);
    const auto& s = o.session;
    EXPECT_EQ(s.user, "atas");
    EXPECT_EQ(s.password, "secret");
    EXPECT_EQ(s.replies.at("SA"), (ReplyMode{ReplyMode::Answer::nack, 250ms}));
    EXPECT_EQ(s.replies.at("HBC"), (ReplyMode{ReplyMode::Answer::nack, 0ms}));
    EXPECT_EQ(s.default_reply, (ReplyMode{ReplyMode::Answer::none, 0ms}));
    EXPECT_EQ(s.auto_ack, 2000ms);
    EXPECT_EQ(s.auto_read, 0ms);
    EXPECT_EQ(s.ack_terminal, "T7");
    EXPECT_FALSE(s.heartbeat_check);
    EXPECT_EQ(s.send_heartbeat, 1000ms);
    EXPECT_FALSE(s.prompt);
    EXPECT_EQ(s.prompt_delay, 10ms);
    EXPECT_TRUE(s.refuse_login);
    EXPECT_EQ(s.drop_after, 3u);
    EXPECT_EQ(s.flap, 700ms);
    EXPECT_EQ(s.flood_bytes, 4096u);
    EXPECT_TRUE(s.late_reply);
}

TEST(PbxSimOptions, RejectsMistakesWithAMessage) {
    for (const auto& args : std::vector<Args>{{"--port", "65536"},
                                              {"--port", "-1"},
                                              {"--auto-ack"},
                                              {"--send-hb", "0"},
                                              {"--drop-after", "0"},
                                              {"--reply", "SA"},
                                              {"--reply", "=ack"},
                                              {"--reply", "SA=maybe"},
                                              {"--reply", "SA=delay:x"},
                                              {"--reply", "SA=delay:5:later"},
                                              {"--quiet=yes"},
                                              {"--colour"}}) {
        const auto parsed = parse_options(args);
        EXPECT_FALSE(parsed.options) << args[0];
        EXPECT_FALSE(parsed.error.empty()) << args[0];
    }
}

TEST(PbxSimOptions, ReplyModes) {
    EXPECT_EQ(parse_reply_mode("ack"), (ReplyMode{ReplyMode::Answer::ack, 0ms}));
    EXPECT_EQ(parse_reply_mode("none"), (ReplyMode{ReplyMode::Answer::none, 0ms}));
    EXPECT_EQ(parse_reply_mode("delay:40"), (ReplyMode{ReplyMode::Answer::ack, 40ms}));
    EXPECT_EQ(parse_reply_mode("delay:40:ack"), (ReplyMode{ReplyMode::Answer::ack, 40ms}));
    EXPECT_EQ(parse_reply_mode("delay:0:nack"), (ReplyMode{ReplyMode::Answer::nack, 0ms}));
    EXPECT_EQ(parse_reply_mode("delay:"), std::nullopt);
    EXPECT_EQ(parse_reply_mode("ACK"), std::nullopt);
}

}  // namespace
}  // namespace kelvarix::pbxsim
