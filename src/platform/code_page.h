#pragma once
// The single-byte code page that the links, the logs and the settings carry
// text in: Windows-1252 on every build, so that the same bytes mean the same
// letters whichever system the gateway runs on.
#include <string>
#include <string_view>

namespace kelvarix {

// Upper-cases the letters of Windows-1252 (a to z, à to þ except ÷, and
// š, œ, ž, ÿ); every other byte stays as it is.
std::string ToUpperWindows1252(std::string_view text);

// The Windows-1252 byte of a Unicode character, or '?' when it has none.
char ToWindows1252(char32_t character);

}  // namespace kelvarix
