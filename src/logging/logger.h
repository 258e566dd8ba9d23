#pragma once
// The system log and the traffic log. Both never fail towards their caller:
// a line that cannot reach its file still reaches the window list.
#include <string>
#include <string_view>

#include "logging/log_format.h"
#include "platform/background_writer.h"
#include "platform/clock.h"
#include "platform/window_list.h"

namespace kelvarix {

class Logger {
public:
    // `log_folder` ends with the path separator.
    Logger(const Clock& clock, WindowList& window, std::string log_folder)
        : clock_(clock), window_(window), folder_(std::move(log_folder)) {}

    void WriteSystemLog(std::string_view text);
    void WriteTrafficLog(std::string_view text, TrafficTag tag);

    const std::string& Folder() const { return folder_; }
    // Hands the file writes to a writer thread (the gateway does; tests
    // write in place so they can read the file at once).
    void SetWriter(BackgroundWriter* writer) { writer_ = writer; }

private:
    const Clock& clock_;
    WindowList& window_;
    std::string folder_;
    BackgroundWriter* writer_ = nullptr;

    void Append(std::string path, std::string line);
};

}  // namespace kelvarix
