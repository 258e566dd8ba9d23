#include "options.h"

#include <gtest/gtest.h>

namespace kelvarix::alarmsim {
namespace {

TEST(Options, RefusesWhatCannotWork) {
    const std::vector<std::vector<std::string>> bad = {
        {"1|0|E|A1"},                                    // no port
        {"--port", "7000", "--load", "10", "1|0|E|A1"},  // lines belong to the lines mode
        {"--port", "7000", "--window", "4", "x"},        // load settings without --load
        {"--port", "7000", "--stamps", "s.txt", "x"},    // stamps are for the load mode
    };
    for (const auto& args : bad) {
        std::string joined;
        for (const auto& a : args) joined += a + ' ';
        EXPECT_TRUE(std::holds_alternative<std::string>(parse_options(args))) << joined;
    }
}

}  // namespace
}  // namespace kelvarix::alarmsim
