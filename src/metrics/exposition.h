#pragma once
// The Prometheus text exposition format, version 0.0.4: a HELP and a TYPE
// line per metric family, then one line per sample.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "metrics/histogram.h"

namespace kelvarix {

inline constexpr std::string_view kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

// A label's name and value.
using Label = std::pair<std::string_view, std::string_view>;

class Exposition {
public:
    // Starts a family; type is "counter", "gauge" or "histogram".
    void Family(std::string_view name, std::string_view type, std::string_view help);
    void Sample(std::string_view name, std::initializer_list<Label> labels, double value);
    void Sample(std::string_view name, std::initializer_list<Label> labels, std::uint64_t value);
    // The _bucket, _sum and _count lines of a histogram family.
    void Buckets(std::string_view name, const Histogram& histogram);

    const std::string& Text() const { return text_; }

private:
    void Start(std::string_view name, std::initializer_list<Label> labels);
    std::string text_;
};

// Backslash, double quote and line feed escaped as the format asks.
std::string EscapeLabelValue(std::string_view value);

}  // namespace kelvarix
