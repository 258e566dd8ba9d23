#include "logging/logger.h"

#include "platform/files.h"

namespace kelvarix {

void Logger::Append(std::string path, std::string line) {
    if (writer_ != nullptr) {
        writer_->AppendToFile(std::move(path), std::move(line));
    } else {
        AppendToFile(path, line);
    }
}

void Logger::WriteSystemLog(std::string_view text) {
    const LocalTime t = clock_.now();
    Append(folder_ + FormatDate(t) + ".Log", SystemFileLine(t, text));
    window_.AddLine(SystemListLine(clock_.now(), text));
}

void Logger::WriteTrafficLog(std::string_view text, TrafficTag tag) {
    std::string line = FormatTime(clock_.now());
    line += ' ';
    line += TrafficTagText(tag);
    line += ' ';
    const std::size_t prefix = line.size();
    AppendEscapedTraffic(line, text);
    if (tag != TagSystem) {
        Append(folder_ + FormatDate(clock_.now()) + ".Dbg", line + "\r\n");
    }
    for (std::string& piece : FoldForList(line, prefix)) window_.AddLine(std::move(piece));
}

}  // namespace kelvarix
