#pragma once
// A fresh folder under the system's temporary folder, removed with everything
// in it when the test ends.
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>

namespace kelvarix::test {

// The whole file byte for byte; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

class TempDir {
  public:
    TempDir() {
        std::random_device random;
        const auto base = std::filesystem::temp_directory_path();
        do {
            path_ = base / ("kelvarix-test-" + std::to_string(random()) + std::to_string(random()));
        } while (!std::filesystem::create_directory(path_));
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Writes content byte for byte and returns the file's path.
    std::string write(const std::string& name, std::string_view content) const {
        const auto file = path_ / name;
        std::ofstream(file, std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
        return file.string();
    }
    std::string read(const std::string& name) const { return ReadFile(path_ / name); }
    // The folder itself with its separator for an empty name.
    std::string path(const std::string& name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

}  // namespace kelvarix::test
