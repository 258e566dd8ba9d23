#pragma once
// Fields of the delimited lines of both links ("|" from the alarm server, TAB
// from the PBX), numbered from 0. Fields come back exactly as they stand; a
// field the line does not have is empty.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace kelvarix {

// The delimiter picked for a line when none is given: TAB if the text holds
// one, else ";" if it holds one, else empty (then every field is empty).
std::string_view ChooseDelimiter(std::string_view text);

// Field `index` of `text`; empty for a negative index or one beyond the last
// field. A delimiter of several characters is matched as a whole. An empty
// `delimiter` is replaced by ChooseDelimiter(text), and the choice is stored
// back into it.
std::string GetField(std::string_view text, int index, std::string& delimiter);

// The same for a fixed delimiter (an empty one is chosen as above, not stored).
std::string GetField(std::string_view text, int index, std::string_view delimiter);

// Fills `fields` with the first fields.size() fields of `text` in one pass,
// exactly as GetField would return them; the views point into `text`.
void SplitFields(std::string_view text, std::string_view delimiter,
                 std::span<std::string_view> fields);

}  // namespace kelvarix
