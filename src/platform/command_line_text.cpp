#include "platform/command_line_text.h"

#include <algorithm>
#include <vector>

namespace kelvarix {

std::string UnwrappedText(std::string_view text) {
    enum class Kind { Blank, Paragraph, Row };
    std::vector<std::string> lines;
    Kind last = Kind::Blank;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));

        const std::size_t indent = line.find_first_not_of(' ');
        if (indent == std::string_view::npos) {
            lines.emplace_back();
            last = Kind::Blank;
        } else if (indent == 0) {
            if (last == Kind::Paragraph) {
                lines.back().append(" ").append(line);
            } else {
                lines.emplace_back(line);
                last = Kind::Paragraph;
            }
        } else if (line[indent] != '-' && last != Kind::Blank) {
            lines.back().append(" ").append(line.substr(indent));  // continues the line above
        } else {
            lines.emplace_back(line);
            last = Kind::Row;
        }
    }
    std::string out;
    for (const std::string& line : lines) {
        if (&line != &lines.front()) out += '\n';
        out += line;
    }
    return out;
}

}  // namespace kelvarix
