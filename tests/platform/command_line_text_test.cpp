// The help text as a message box shows it: the box wraps lines itself, so the
// hard line breaks of the console text must go without merging what stands
// apart (paragraphs, the rows of the option list).
#include "platform/command_line_text.h"

#include <gtest/gtest.h>

namespace kelvarix {
namespace {

TEST(UnwrappedTextTest, ParagraphsAndOptionRowsBecomeOneLineEach) {
    const std::string text =
        "Usage: kelvarix.exe [options]\n"
        "\n"
        "Kelvarix reads Kelvarix.ini from its\n"
        "program folder.\n"
        "\n"
        "Options:\n"
        "  -I, -Install     install the service\n"
        "                   \"Quorsyn\", then exit\n"
        "  -U, -Uninstall   remove the service\n"
        "/I and /U work as well, and so\n"
        "does -install.\n";
    EXPECT_EQ(UnwrappedText(text),
              "Usage: kelvarix.exe [options]\n"
              "\n"
              "Kelvarix reads Kelvarix.ini from its program folder.\n"
              "\n"
              "Options:\n"
              "  -I, -Install     install the service \"Quorsyn\", then exit\n"
              "  -U, -Uninstall   remove the service\n"
              "/I and /U work as well, and so does -install.");
}

TEST(UnwrappedTextTest, TextWithoutBreaksOrEndingStaysAsItIs) {
    EXPECT_EQ(UnwrappedText("Kelvarix - Version 1.0.01\n"), "Kelvarix - Version 1.0.01");
    EXPECT_EQ(UnwrappedText("one\n\n\ntwo"), "one\n\n\ntwo");
}

}  // namespace
}  // namespace kelvarix
