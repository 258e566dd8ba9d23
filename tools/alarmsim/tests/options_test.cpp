#include "options.h"

#include <gtest/gtest.h>

namespace kelvarix::alarmsim {
namespace {

TEST(Options, LinesMixArgumentsFilesAndStandardInputInOrder) {
    using K = LineSource::Kind;
    const auto parsed = parse_options(
        {"--port", "7000", "1|0|E|A1", "--file", "f.txt", "-", "-1|0|E|A2", "--", "--json"});
    ASSERT_TRUE(std::holds_alternative<Options>(parsed)) << std::get<std::string>(parsed);
    const Options& o = std::get<Options>(parsed);
    EXPECT_EQ(o.mode, Mode::lines);
    EXPECT_FALSE(o.json);
    EXPECT_EQ(o.sources, (std::vector<LineSource>{{K::line, "1|0|E|A1"},
                                                  {K::file, "f.txt"},
                                                  {K::standard_input, ""},
                                                  {K::line, "-1|0|E|A2"},  // a status of -1
                                                  {K::line, "--json"}}));
}

TEST(Options, RefusesWhatCannotWork) {
    const std::vector<std::vector<std::string>> bad = {
        {"1|0|E|A1"},  // no port
        {"--port", "70000", "x"},
        {"--port", "7000", "--load", "0"},
        {"--port", "7000", "--load", "10", "--window", "2", "--rate", "100"},
        {"--port", "7000", "--load", "10", "--repeat-share", "1.5"},
        {"--port", "7000", "--load", "10", "1|0|E|A1"},  // lines belong to the lines mode
        {"--port", "7000", "--window", "4", "x"},        // load settings without --load
        {"--baseline", "10", "--load", "10", "--port", "1"},
        {"--port", "7000", "--dest", "1|2", "--load", "1"},
        {"--port", "7000", "--frobnicate", "x"},
        {"--port", "7000", "--stamps", "s.txt", "x"},  // stamps are for the load mode
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += a + ' ';
        EXPECT_TRUE(std::holds_alternative<std::string>(parse_options(args))) << joined;
    }
}

}  // namespace
}  // namespace kelvarix::alarmsim
