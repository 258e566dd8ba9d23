#pragma once
// Small text helpers for the ATAS wire: field splitting, trimming, and the
// escaping that makes control characters visible in the simulator's output.
#include <string>
#include <string_view>
#include <vector>

namespace kelvarix::pbxsim {

inline constexpr char kTab = '\t';
inline constexpr char kCr = '\r';
inline constexpr char kLf = '\n';

// Control characters below 32 become <N> (TAB is <9>), so a printed line is
// one line and its field separators can be read.
std::string escape_controls(std::string_view text);

// The two characters backslash and t become one TAB: operators cannot type a
// TAB into most terminals.
std::string expand_tab_escapes(std::string_view typed);

std::string_view trim_spaces(std::string_view text);
std::string to_upper(std::string_view text);

// Fields separated by TAB; always at least one field (possibly empty).
std::vector<std::string_view> split_fields(std::string_view line);

}  // namespace kelvarix::pbxsim
