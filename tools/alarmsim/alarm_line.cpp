#include "alarm_line.h"

#include <cmath>
#include <cstdlib>

namespace kelvarix::alarmsim {
namespace {

constexpr char kFieldSeparator = '|';
constexpr std::size_t kAlarmIdField = 3;

int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 99;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

double lenient_number(std::string_view field) {
    std::string s;
    for (char c : field) {
        if (c != ' ' && c != '\t') s += c;
    }
    if (s.size() >= 2 && s[0] == '&') {
        const int base = (s[1] == 'H' || s[1] == 'h') ? 16 : (s[1] == 'O' || s[1] == 'o') ? 8 : 0;
        if (base == 0) return 0;
        double value = 0;
        for (std::size_t i = 2; i < s.size() && digit_value(s[i]) < base; ++i) {
            value = value * base + digit_value(s[i]);
        }
        return value;
    }

    // Collect the longest decimal prefix ourselves so strtod never sees
    // forms the gateway would not read ("inf", "0x1").
    std::string number;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) number += s[i++];
    bool digits = false;
    bool point = false;
    for (; i < s.size(); ++i) {
        if (is_digit(s[i])) {
            digits = true;
        } else if (s[i] == '.' && !point) {
            point = true;
        } else {
            break;
        }
        number += s[i];
    }
    if (!digits) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        std::string exponent = "e";
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) exponent += s[j++];
        bool exponent_digits = false;
        for (; j < s.size() && is_digit(s[j]); ++j) {
            exponent += s[j];
            exponent_digits = true;
        }
        if (exponent_digits) number += exponent;
    }
    return std::strtod(number.c_str(), nullptr);
}

std::string_view field_at(std::string_view line, std::size_t index) {
    for (std::size_t i = 0; i < index; ++i) {
        const auto bar = line.find(kFieldSeparator);
        if (bar == std::string_view::npos) return {};
        line.remove_prefix(bar + 1);
    }
    return line.substr(0, line.find(kFieldSeparator));
}

std::string_view trim_blanks(std::string_view s) {
    const auto first = s.find_first_not_of(' ');
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

struct ReplyForm {
    std::string_view prefix;
    ReplyKind kind;
};

constexpr ReplyForm kReplyForms[] = {
    {"sent (", ReplyKind::sent},
    {"failed (", ReplyKind::failed},
    {"buffered (", ReplyKind::buffered},
};

}  // namespace

int gateway_status(std::string_view field) {
    const double rounded = std::nearbyint(lenient_number(field));  // default mode: half to even
    if (!(rounded >= -32768.0 && rounded <= 32767.0)) return 0;
    return static_cast<int>(rounded);
}

std::vector<std::string> reply_ids(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        if (c != '\r') clean += c;
    }
    std::vector<std::string> ids;
    std::string_view rest = clean;
    for (auto lf = rest.find('\n'); lf != std::string_view::npos; lf = rest.find('\n')) {
        const auto line = trim_blanks(rest.substr(0, lf));
        rest.remove_prefix(lf + 1);
        if (line.empty()) continue;
        const int status = gateway_status(field_at(line, 0));
        if (status >= 0 && status <= 3) ids.emplace_back(field_at(line, kAlarmIdField));
    }
    return ids;
}

Reply parse_reply(std::string_view line) {
    for (const auto& form : kReplyForms) {
        if (line.size() > form.prefix.size() && line.starts_with(form.prefix) && line.ends_with(')')) {
            return {form.kind, line.substr(form.prefix.size(), line.size() - form.prefix.size() - 1)};
        }
    }
    return {};
}

}  // namespace kelvarix::alarmsim
