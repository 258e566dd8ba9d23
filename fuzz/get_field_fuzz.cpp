// GetField on arbitrary text, index and delimiter: it must agree with the
// one-pass splitter and put the line back together.
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "queue/get_field.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelvarix;
    fuzz::Input input(data, size);
    const std::uint8_t delimiter_length = input.Byte() % 4;
    std::string delimiter;
    for (std::uint8_t i = 0; i < delimiter_length; ++i)
        delimiter += static_cast<char>(input.Byte());
    const int index = static_cast<std::int8_t>(input.Byte());
    const std::string_view text = input.Rest();

    std::string chosen = delimiter;
    const std::string field = GetField(text, index, chosen);
    if (field.size() > text.size()) std::abort();
    if (!chosen.empty() && text.find(field) == std::string_view::npos) std::abort();

    if (!delimiter.empty()) {
        // Joining every field with the delimiter gives the text back.
        std::string joined;
        for (int i = 0;; ++i) {
            std::string d = delimiter;
            const std::string piece = GetField(text, i, d);
            if (i > 0) joined += delimiter;
            joined += piece;
            if (joined.size() >= text.size()) break;
            if (i > static_cast<int>(text.size())) std::abort();
        }
        if (joined != text) std::abort();
        std::string_view fields[8];
        SplitFields(text, delimiter, fields);
        for (int i = 0; i < 8; ++i) {
            if (fields[i] != GetField(text, i, std::string_view(delimiter))) std::abort();
        }
    }
    return 0;
}
