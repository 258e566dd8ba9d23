#include "queue/conversions.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace kelvarix {
namespace {

// Walks the text, stepping over the characters the lenient reading ignores.
class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    // The next significant character, or 0 at the end (a NUL in the text
    // cannot continue a number either).
    char peek() {
        while (pos_ < text_.size() && is_skipped(text_[pos_])) ++pos_;
        return pos_ < text_.size() ? text_[pos_] : '\0';
    }
    void advance() { ++pos_; }
    std::size_t position() const { return pos_; }

private:
    static bool is_skipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }
    std::string_view text_;
    std::size_t pos_ = 0;
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int digit_value(char c, int base) {
    int v = -1;
    if (is_digit(c)) v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

double parse_radix(Cursor& cur, int base) {
    // Grows to infinity for absurdly long inputs, which then counts as out of range.
    double value = 0;
    for (int d; (d = digit_value(cur.peek(), base)) >= 0; cur.advance()) value = value * base + d;
    return value;
}

// Enough significant digits to round any decimal text correctly to a double
// (at most 767 can matter); further digits only decide a tie, so a nonzero one
// is kept as a single trailing 1.
constexpr std::size_t kMaxDigits = 800;
// Beyond these decimal exponents a double is infinite or zero anyway.
constexpr std::int64_t kExponentLimit = 400;
constexpr std::int64_t kExponentSaturation = 1'000'000'000;

double parse_decimal(Cursor& cur) {
    bool negative = false;
    if (cur.peek() == '+' || cur.peek() == '-') {
        negative = cur.peek() == '-';
        cur.advance();
    }

    // The value is 0.<digits> * 10^exponent; leading zeros are not kept.
    std::string digits;
    bool dropped_nonzero = false;
    bool any_digit = false;
    bool seen_point = false;
    std::int64_t exponent = 0;
    for (char c = cur.peek();; c = cur.peek()) {
        if (is_digit(c)) {
            any_digit = true;
            if (digits.empty() && c == '0') {
                if (seen_point) --exponent;
            } else {
                if (!seen_point) ++exponent;
                if (digits.size() < kMaxDigits) digits.push_back(c);
                else if (c != '0') dropped_nonzero = true;
            }
        } else if (c == '.' && !seen_point) {
            seen_point = true;
        } else {
            break;
        }
        cur.advance();
    }
    if (!any_digit) return 0;

    const char e = cur.peek();
    if (e == 'e' || e == 'E' || e == 'd' || e == 'D') {
        cur.advance();
        bool exp_negative = false;
        if (cur.peek() == '+' || cur.peek() == '-') {
            exp_negative = cur.peek() == '-';
            cur.advance();
        }
        std::int64_t exp = 0;
        for (; is_digit(cur.peek()); cur.advance()) {
            if (exp < kExponentSaturation) exp = exp * 10 + (cur.peek() - '0');
        }
        exponent += exp_negative ? -exp : exp;
    }

    if (digits.empty()) return 0;
    const double inf = std::numeric_limits<double>::infinity();
    double value = 0;
    if (exponent > kExponentLimit) {
        value = inf;
    } else if (exponent >= -kExponentLimit) {
        if (dropped_nonzero) digits.push_back('1');
        const std::string text = "0." + digits + "e" + std::to_string(exponent);
        const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        (void)ptr;
        if (ec == std::errc::result_out_of_range) value = exponent > 0 ? inf : 0.0;
    }
    return negative ? -value : value;
}

template <typename Int>
std::optional<Int> to_whole(std::string_view text) {
    const double v = RoundHalfEven(ParseLenientNumber(text));
    // Written so that NaN fails too; the cast is safe only inside the range.
    if (!(v >= std::numeric_limits<Int>::min() && v <= std::numeric_limits<Int>::max())) {
        return std::nullopt;
    }
    return static_cast<Int>(v);
}

}  // namespace

LenientNumber ReadLenientNumber(std::string_view text) {
    Cursor cur(text);
    double value = 0;
    if (cur.peek() != '&') {
        value = parse_decimal(cur);
    } else {
        cur.advance();
        const char kind = cur.peek();
        if (kind == 'h' || kind == 'H') {
            cur.advance();
            value = parse_radix(cur, 16);
        } else if (kind == 'o' || kind == 'O') {
            cur.advance();
            value = parse_radix(cur, 8);
        }
    }
    cur.peek();  // steps over blanks that end the text
    return {value, cur.position()};
}

double ParseLenientNumber(std::string_view text) { return ReadLenientNumber(text).value; }

double RoundHalfEven(double value) {
    if (!std::isfinite(value)) return value;
    // Explicit rather than nearbyint(), which depends on the rounding mode in force.
    const double lower = std::floor(value);
    const double fraction = value - lower;  // exact for every finite double
    if (fraction < 0.5) return lower;
    if (fraction > 0.5) return lower + 1;
    return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

std::optional<std::int32_t> ToNumber32(std::string_view text) { return to_whole<std::int32_t>(text); }

std::optional<std::int16_t> ToNumber16(std::string_view text) { return to_whole<std::int16_t>(text); }

std::int16_t ToInt16OrZero(std::string_view text) { return ToNumber16(text).value_or(0); }

std::optional<std::int32_t> ToStrictNumber(std::string_view text) {
    const std::string trimmed = TrimSpaces(text);
    std::string_view s = trimmed;
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return std::nullopt;
    for (char c : s) {
        if (!is_digit(c)) return std::nullopt;
    }
    // The magnitude may reach 2^31 (for INT32_MIN); stop as soon as it passes that.
    std::int64_t magnitude = 0;
    for (char c : s) {
        magnitude = magnitude * 10 + (c - '0');
        if (magnitude > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1) return std::nullopt;
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

bool ToFlag(std::string_view text) { return ParseLenientNumber(text) != 0.0; }

std::string TrimSpaces(std::string_view text) {
    const std::size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    const std::size_t last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace kelvarix
