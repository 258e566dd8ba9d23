#include "metrics/exposition.h"

#include <charconv>
#include <cmath>

namespace kelvarix {
namespace {

// Shortest text that reads back as the same number; Go's spellings of the
// special values.
std::string Number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
    return std::string(buffer, end);
}

// HELP text escapes only backslash and line feed.
std::string EscapeHelp(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string EscapeLabelValue(std::string_view value) {
    std::string out;
    for (char c : value) {
        if (c == '"') {
            out += "\\\"";
        } else {
            out += EscapeHelp(std::string_view(&c, 1));
        }
    }
    return out;
}

void Exposition::Family(std::string_view name, std::string_view type, std::string_view help) {
    text_ += "# HELP ";
    text_ += name;
    text_ += ' ';
    text_ += EscapeHelp(help);
    text_ += "\n# TYPE ";
    text_ += name;
    text_ += ' ';
    text_ += type;
    text_ += '\n';
}

void Exposition::Start(std::string_view name, std::initializer_list<Label> labels) {
    text_ += name;
    if (labels.size() == 0) {
        text_ += ' ';
        return;
    }
    char separator = '{';
    for (const auto& [label, value] : labels) {
        text_ += separator;
        text_ += label;
        text_ += "=\"";
        text_ += EscapeLabelValue(value);
        text_ += '"';
        separator = ',';
    }
    text_ += "} ";
}

void Exposition::Sample(std::string_view name, std::initializer_list<Label> labels, double value) {
    Start(name, labels);
    text_ += Number(value);
    text_ += '\n';
}

void Exposition::Sample(std::string_view name, std::initializer_list<Label> labels,
                        std::uint64_t value) {
    Start(name, labels);
    text_ += std::to_string(value);
    text_ += '\n';
}

void Exposition::Buckets(std::string_view name, const Histogram& histogram) {
    const std::string base(name);
    for (std::size_t i = 0; i <= Histogram::kBounds.size(); ++i) {
        const std::string bound =
            i < Histogram::kBounds.size() ? Number(Histogram::kBounds[i]) : "+Inf";
        Sample(base + "_bucket", {{"le", bound}}, histogram.CumulativeCount(i));
    }
    Sample(base + "_sum", {}, histogram.Sum());
    Sample(base + "_count", {}, histogram.Count());
}

}  // namespace kelvarix
