#include "platform/background_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace kelvarix {
namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(BackgroundWriter, KeepsTheOrderAndFlushWaitsForEveryLine) {
    const fs::path folder = fs::temp_directory_path() / "kelvarix-writer-test";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string a = (folder / "a.Log").string();
    const std::string b = (folder / "b.Dbg").string();
    std::string expected_a, expected_b;
    {
        BackgroundWriter writer;
        for (int i = 0; i < 2000; ++i) {
            const std::string line = "line " + std::to_string(i) + "\r\n";
            writer.AppendToFile(i % 3 == 0 ? b : a, line);
            (i % 3 == 0 ? expected_b : expected_a) += line;
        }
        writer.Flush();
        EXPECT_EQ(Read(a), expected_a);
        EXPECT_EQ(Read(b), expected_b);
        // Lines given just before the writer goes are still written.
        writer.AppendToFile(a, "last\r\n");
    }
    EXPECT_EQ(Read(a), expected_a + "last\r\n");
    fs::remove_all(folder);
}

TEST(BackgroundWriter, AnUnwritableFileIsSkippedAndTheRestGoesOn) {
    const fs::path folder = fs::temp_directory_path() / "kelvarix-writer-test2";
    fs::remove_all(folder);
    fs::create_directories(folder);
    BackgroundWriter writer;
    writer.AppendToFile((folder / "missing" / "x.Log").string(), "lost\r\n");
    writer.AppendToFile((folder / "x.Log").string(), "kept\r\n");
    writer.Flush();
    EXPECT_EQ(Read(folder / "x.Log"), "kept\r\n");
    fs::remove_all(folder);
}

TEST(BackgroundWriter, StartedWhenAskedWritesOnlyAfterWakeUpOrFlush) {
    const fs::path folder = fs::temp_directory_path() / "kelvarix-writer-test3";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string path = (folder / "x.Dbg").string();
    BackgroundWriter writer(BackgroundWriter::Start::WhenAsked);
    writer.AppendToFile(path, "first\r\n");
    writer.AppendToFile(path, "second\r\n");
    // Nothing asked the writer to start yet, so the lines wait.
    EXPECT_FALSE(fs::exists(path));
    writer.WakeUp();
    writer.Flush();
    EXPECT_EQ(Read(path), "first\r\nsecond\r\n");

    writer.AppendToFile(path, "third\r\n");
    writer.Flush();  // also starts it
    EXPECT_EQ(Read(path), "first\r\nsecond\r\nthird\r\n");
    fs::remove_all(folder);
}

TEST(BackgroundWriter, AFullBacklogIsWrittenWithoutAWakeUp) {
    // Lines beyond the byte limit make the caller wait for room; with a writer
    // that waits to be asked, that wait must start it, not hang for ever.
    const fs::path folder = fs::temp_directory_path() / "kelvarix-writer-test4";
    fs::remove_all(folder);
    fs::create_directories(folder);
    const std::string path = (folder / "big.Dbg").string();
    const std::string line(1024 * 1024, 'x');
    const std::size_t lines = BackgroundWriter::kMaxWaitingBytes / line.size() + 3;
    {
        BackgroundWriter writer(BackgroundWriter::Start::WhenAsked);
        for (std::size_t i = 0; i < lines; ++i) writer.AppendToFile(path, line);
    }
    EXPECT_EQ(fs::file_size(path), lines * line.size());
    fs::remove_all(folder);
}

}  // namespace
}  // namespace kelvarix
