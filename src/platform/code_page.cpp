#include "platform/code_page.h"

#include <array>

namespace kelvarix {

namespace {
// The characters of bytes 0x80 to 0x9F; the five bytes that Windows-1252
// leaves free stand for the control characters of the same number.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char ToUpper(char c) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 0xE0 && byte <= 0xFE && byte != 0xF7)) {
        return static_cast<char>(byte - 0x20);
    }
    switch (byte) {
        case 0x9A: return '\x8A';  // š
        case 0x9C: return '\x8C';  // œ
        case 0x9E: return '\x8E';  // ž
        case 0xFF: return '\x9F';  // ÿ
        default: return c;
    }
}
}  // namespace

std::string ToUpperWindows1252(std::string_view text) {
    std::string upper(text);
    for (char& c : upper) c = ToUpper(c);
    return upper;
}

char ToWindows1252(char32_t character) {
    if (character < 0x80 || (character >= 0xA0 && character <= 0xFF)) {
        return static_cast<char>(character);
    }
    for (std::size_t i = 0; i < kHighControls.size(); ++i) {
        if (kHighControls[i] == character) return static_cast<char>(0x80 + i);
    }
    return '?';
}

}  // namespace kelvarix
