#pragma once
// The operator's list of log lines: the newest 300 lines of the system and
// traffic logs. When standard output is not a terminal, every line is also
// written there as it comes (the console form of the window); the full-screen
// console watches the list through its observer.
#include <cstdio>

#include "platform/background_writer.h"
#include <deque>
#include <functional>
#include <string>

namespace kelvarix {

class WindowList {
public:
    static constexpr std::size_t kMaxLines = 300;

    void AddLine(std::string line);
    void Clear();
    const std::deque<std::string>& Lines() const { return lines_; }

    // Lines are echoed to this stream as they arrive; nullptr turns it off.
    void SetEcho(std::FILE* stream) { echo_ = stream; }
    // Echoed lines are written by this writer's thread when one is given.
    void SetEchoWriter(BackgroundWriter* writer) { echo_writer_ = writer; }
    // Called after every change of the list.
    void SetObserver(std::function<void()> observer) { observer_ = std::move(observer); }

private:
    std::deque<std::string> lines_;
    std::FILE* echo_ = nullptr;
    BackgroundWriter* echo_writer_ = nullptr;
    std::function<void()> observer_;
};

// True when standard output (or input) is an interactive terminal.
bool StandardOutputIsTerminal();
bool StandardInputIsTerminal();

}  // namespace kelvarix
