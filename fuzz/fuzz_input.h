#pragma once
// Splits a fuzzer's input into a few control bytes and the data, and the data
// into pieces, so one input can stand for a stream that arrives in parts.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace kelvarix::fuzz {

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size)
        : rest_(reinterpret_cast<const char*>(data), size) {}

    std::uint8_t Byte() {
        if (rest_.empty()) return 0;
        const auto b = static_cast<std::uint8_t>(rest_.front());
        rest_.remove_prefix(1);
        return b;
    }
    std::string_view Rest() const { return rest_; }

    // The rest cut into pieces whose lengths come from `cuts`.
    std::vector<std::string_view> Pieces(std::uint8_t cuts) const {
        std::vector<std::string_view> pieces;
        std::string_view text = rest_;
        std::size_t step = 1 + cuts % 61;
        while (!text.empty()) {
            const std::size_t take = std::min(text.size(), step);
            pieces.push_back(text.substr(0, take));
            text.remove_prefix(take);
            step = 1 + (step * 7 + cuts) % 97;
        }
        return pieces;
    }

  private:
    std::string_view rest_;
};

}  // namespace kelvarix::fuzz
