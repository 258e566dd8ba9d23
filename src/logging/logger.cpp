#include "logging/logger.h"

#include "platform/files.h"

namespace kelvarix {

void Logger::WriteSystemLog(std::string_view text) {
    const LocalTime t = clock_.now();
    AppendToFile(folder_ + FormatDate(t) + ".Log", SystemFileLine(t, text));
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
        line += "\r\n";
        AppendToFile(folder_ + FormatDate(clock_.now()) + ".Dbg", line);
        line.resize(line.size() - 2);
    }
    for (std::string& piece : FoldForList(line, prefix)) window_.AddLine(std::move(piece));
}

}  // namespace kelvarix
