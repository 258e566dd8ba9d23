#include "platform/background_writer.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_dir.h"

namespace kelvarix {
namespace {

// Order, skipped files and the last lines before the end are what the
// end-to-end tests read in the gateway's logs.
TEST(BackgroundWriter, StartedWhenAskedWritesOnlyAfterWakeUpFlushOrAFullBacklog) {
    test::TempDir folder;
    const std::string path = folder.path("x.Dbg");
    BackgroundWriter writer(BackgroundWriter::Start::WhenAsked);
    writer.AppendToFile(path, "first\r\n");
    writer.AppendToFile(path, "second\r\n");
    // Nothing asked the writer to start yet, so the lines wait.
    EXPECT_FALSE(std::filesystem::exists(path));
    writer.WakeUp();
    writer.Flush();
    EXPECT_EQ(folder.read("x.Dbg"), "first\r\nsecond\r\n");

    writer.AppendToFile(path, "third\r\n");
    writer.Flush();  // also starts it
    EXPECT_EQ(folder.read("x.Dbg"), "first\r\nsecond\r\nthird\r\n");

    // Lines beyond the byte limit make the caller wait for room; that wait
    // must start the writer, not hang for ever.
    const std::string line(1024 * 1024, 'x');
    const std::size_t lines = BackgroundWriter::kMaxWaitingBytes / line.size() + 3;
    for (std::size_t i = 0; i < lines; ++i) writer.AppendToFile(folder.path("big.Dbg"), line);
    writer.Flush();
    EXPECT_EQ(std::filesystem::file_size(folder.path("big.Dbg")), lines * line.size());
}

}  // namespace
}  // namespace kelvarix
