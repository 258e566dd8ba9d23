#pragma once
// Conversions of setting and field texts to numbers, flags and trimmed texts.
// The lenient number reading is shared by the configuration, the alarm-server
// intake and the PBX receive handling, so all three read numbers alike.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kelvarix {

// Reads the number at the start of text, leniently:
//   - spaces, tabs and line feeds anywhere in the text are skipped;
//   - an optional sign, digits with at most one decimal point ("."), and an
//     optional exponent: E or D, an optional sign and digits;
//   - a leading &H or &O (any case) starts a hexadecimal or octal whole number,
//     taken as its plain non-negative value;
//   - reading stops at the first character that cannot continue the number;
//     a text without a number gives 0.
// Magnitudes beyond the range of double give +/-infinity, which every
// conversion below counts as out of range.
double ParseLenientNumber(std::string_view text);

// The same, with where the reading stopped: the text from length on is what
// it ignored (empty when the whole text made up the number).
struct LenientNumber {
    double value = 0;
    std::size_t length = 0;
};
LenientNumber ReadLenientNumber(std::string_view text);

// Rounds to the nearest whole number, an exact half to the even neighbour
// (2.5 -> 2, 3.5 -> 4, -2.5 -> -2). Infinity and NaN come back unchanged.
double RoundHalfEven(double value);

// Lenient number rounded half-even; nullopt when outside the width's range.
std::optional<std::int32_t> ToNumber32(std::string_view text);
std::optional<std::int16_t> ToNumber16(std::string_view text);

// Lenient number rounded half-even; 0 when outside -32768..32767.
std::int16_t ToInt16OrZero(std::string_view text);

// Strict whole number: after removing leading and trailing spaces, the whole
// text must be digits with an optional sign, within the signed 32-bit range.
std::optional<std::int32_t> ToStrictNumber(std::string_view text);

// Lenient number, not rounded; true when it is not 0 ("0.5" is true; "yes",
// "true" and "" are false).
bool ToFlag(std::string_view text);

// Removes space characters at both ends; tabs and everything else stay.
std::string TrimSpaces(std::string_view text);

}  // namespace kelvarix
