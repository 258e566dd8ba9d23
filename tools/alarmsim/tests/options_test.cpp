#include "options.h"

#include <gtest/gtest.h>

namespace kelvarix::alarmsim {
namespace {

Options parse_ok(std::vector<std::string> args) {
    auto parsed = parse_options(args);
    if (const auto* error = std::get_if<std::string>(&parsed)) ADD_FAILURE() << *error;
    return std::holds_alternative<Options>(parsed) ? std::get<Options>(parsed) : Options{};
}

TEST(Options, LinesMixArgumentsFilesAndStandardInputInOrder) {
    using K = LineSource::Kind;
    const Options o = parse_ok({"--port", "7000", "1|0|E|A1", "--file", "f.txt", "-", "-1|0|E|A2", "--", "--json"});
    EXPECT_EQ(o.mode, Mode::lines);
    EXPECT_EQ(o.port, 7000);
    EXPECT_FALSE(o.json);
    EXPECT_EQ(o.sources, (std::vector<LineSource>{{K::line, "1|0|E|A1"},
                                                  {K::file, "f.txt"},
                                                  {K::standard_input, ""},
                                                  {K::line, "-1|0|E|A2"},  // a status of -1 is a line
                                                  {K::line, "--json"}}));
}

TEST(Options, LoadTakesItsSettingsInBothSpellings) {
    const Options o = parse_ok({"--port=7000", "--load", "500", "--window=0", "--repeat-share", "0.3",
                                "--text-bytes", "0", "--dest", "3001", "--json"});
    EXPECT_EQ(o.mode, Mode::load);
    EXPECT_EQ(o.count, 500u);
    EXPECT_EQ(o.window, 0u);
    EXPECT_DOUBLE_EQ(o.repeat_share, 0.3);
    EXPECT_EQ(o.text_bytes, 0u);
    EXPECT_EQ(o.destination, "3001");
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.wait_ms, 5000u);
    EXPECT_EQ(parse_ok({"--baseline", "10"}).mode, Mode::baseline);  // needs no port
    EXPECT_DOUBLE_EQ(parse_ok({"--baseline", "10", "--rate", "1000"}).rate, 1000.0);
    EXPECT_EQ(parse_ok({"--port", "1", "--load", "5", "--stamps", "s.txt"}).stamps_path, "s.txt");
}

TEST(Options, RefusesWhatCannotWork) {
    const std::vector<std::vector<std::string>> bad = {
        {"1|0|E|A1"},                                          // no port
        {"--port", "0", "x"},
        {"--port", "70000", "x"},
        {"--port", "7000", "--interval", "-5", "x"},
        {"--port", "7000", "--load", "0"},
        {"--port", "7000", "--load", "10", "--window", "2", "--rate", "100"},
        {"--port", "7000", "--load", "10", "--rate", "0"},
        {"--port", "7000", "--load", "10", "--repeat-share", "1.5"},
        {"--port", "7000", "--load", "10", "1|0|E|A1"},        // lines belong to the lines mode
        {"--port", "7000", "--window", "4", "x"},             // load settings without --load
        {"--baseline", "10", "--load", "10", "--port", "1"},
        {"--baseline", "10", "--keep-open", "5"},
        {"--port", "7000", "--dest", "1|2", "--load", "1"},
        {"--port", "7000", "--wait"},
        {"--port", "7000", "--json=yes", "x"},
        {"--port", "7000", "--frobnicate", "x"},
        {"--port", "7000", "--stamps", "s.txt", "x"},         // stamps are for the load mode
        {"--port", "7000", "--load", "10", "--stamps", ""},
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += a + ' ';
        EXPECT_TRUE(std::holds_alternative<std::string>(parse_options(args))) << joined;
    }
}

}  // namespace
}  // namespace kelvarix::alarmsim
