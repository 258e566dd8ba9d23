#include "platform/window_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kelvarix {
namespace {

TEST(WindowListTest, KeepsTheNewest300LinesAndReportsEveryChange) {
    WindowList list;
    int changes = 0;
    list.SetObserver([&] { ++changes; });
    for (int i = 1; i <= 302; ++i) list.AddLine("line " + std::to_string(i));
    ASSERT_EQ(list.Lines().size(), 300u);
    EXPECT_EQ(list.Lines().front(), "line 3");
    EXPECT_EQ(list.Lines().back(), "line 302");
    list.Clear();
    EXPECT_TRUE(list.Lines().empty());
    EXPECT_EQ(changes, 303);
}

TEST(WindowListTest, EchoesEveryLineWithItsNewlineWhileAStreamIsSet) {
    std::FILE* stream = std::tmpfile();
    ASSERT_NE(stream, nullptr);
    WindowList list;
    list.AddLine("before the echo");
    list.SetEcho(stream);
    list.AddLine("09:05:07 [SYSTEM]         Kelvarix was started");
    list.AddLine("");
    list.SetEcho(nullptr);
    list.AddLine("after the echo");
    std::rewind(stream);
    std::string written;
    for (int c = std::fgetc(stream); c != EOF; c = std::fgetc(stream)) {
        written.push_back(static_cast<char>(c));
    }
    std::fclose(stream);
    EXPECT_EQ(written, "09:05:07 [SYSTEM]         Kelvarix was started\n\n");
}

}  // namespace
}  // namespace kelvarix
