#include "queue/get_field.h"

#include <algorithm>

namespace kelvarix {

namespace {

std::string_view FieldView(std::string_view text, int index, std::string_view delimiter) {
    if (index < 0 || delimiter.empty()) {
        return {};
    }
    std::size_t start = 0;
    for (int skipped = 0; skipped < index; ++skipped) {
        const std::size_t at = text.find(delimiter, start);
        if (at == std::string_view::npos) {
            return {};
        }
        start = at + delimiter.size();
    }
    const std::size_t end = std::min(text.find(delimiter, start), text.size());
    return text.substr(start, end - start);
}

}  // namespace

std::string_view ChooseDelimiter(std::string_view text) {
    if (text.find('\t') != std::string_view::npos) {
        return "\t";
    }
    if (text.find(';') != std::string_view::npos) {
        return ";";
    }
    return {};
}

std::string GetField(std::string_view text, int index, std::string& delimiter) {
    if (delimiter.empty()) {
        delimiter = ChooseDelimiter(text);
    }
    return std::string(FieldView(text, index, delimiter));
}

std::string GetField(std::string_view text, int index, std::string_view delimiter) {
    if (delimiter.empty()) {
        delimiter = ChooseDelimiter(text);
    }
    return std::string(FieldView(text, index, delimiter));
}

void SplitFields(std::string_view text, std::string_view delimiter,
                 std::span<std::string_view> fields) {
    std::fill(fields.begin(), fields.end(), std::string_view{});
    if (delimiter.empty()) {
        delimiter = ChooseDelimiter(text);
        if (delimiter.empty()) {
            return;
        }
    }
    std::size_t start = 0;
    for (std::string_view& field : fields) {
        const std::size_t at = text.find(delimiter, start);
        if (at == std::string_view::npos) {
            field = text.substr(start);
            return;
        }
        field = text.substr(start, at - start);
        start = at + delimiter.size();
    }
}

}  // namespace kelvarix
