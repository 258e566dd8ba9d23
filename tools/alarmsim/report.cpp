#include "report.h"

#include <cstdio>
#include <ostream>

namespace kelvarix::alarmsim {
namespace {

const char* mode_key(Mode mode) {
    switch (mode) {
        case Mode::lines: return "lines";
        case Mode::load: return "load";
        case Mode::baseline: return "baseline";
    }
    return "";
}

// Fixed notation whatever the stream's state; the report is read by scripts.
std::string number(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace

double Report::rate_per_s() const {
    return elapsed_s > 0 ? static_cast<double>(counts.matched) / elapsed_s : 0.0;
}

void print_text(std::ostream& out, const Report& r) {
    const auto& c = r.counts;
    out << "mode: " << mode_key(r.mode) << '\n'
        << "lines: " << r.lines << '\n'
        << "replies: " << c.replies << " sent=" << c.sent << " failed=" << c.failed << " buffered=" << c.buffered
        << " other=" << c.other << '\n'
        << "missing: " << r.missing << '\n'
        << "doubled: " << c.doubled << '\n'
        << "unexpected: " << c.unexpected << '\n'
        << "elapsed_s: " << number(r.elapsed_s, 6) << '\n'
        << "rate_per_s: " << number(r.rate_per_s(), 1) << '\n'
        << "latency_us: p50=" << number(r.latency.p50_us, 1) << " p99=" << number(r.latency.p99_us, 1)
        << " max=" << number(r.latency.max_us, 1) << '\n';
    out.flush();
}

void print_json(std::ostream& out, const Report& r) {
    const auto& c = r.counts;
    out << "{\"mode\":\"" << mode_key(r.mode) << "\",\"lines\":" << r.lines << ",\"expected\":" << c.expected
        << ",\"replies\":" << c.replies << ",\"sent\":" << c.sent << ",\"failed\":" << c.failed
        << ",\"buffered\":" << c.buffered << ",\"other\":" << c.other << ",\"missing\":" << r.missing
        << ",\"doubled\":" << c.doubled << ",\"unexpected\":" << c.unexpected
        << ",\"elapsed_s\":" << number(r.elapsed_s, 6) << ",\"rate_per_s\":" << number(r.rate_per_s(), 1)
        << ",\"p50_us\":" << number(r.latency.p50_us, 1) << ",\"p99_us\":" << number(r.latency.p99_us, 1)
        << ",\"max_us\":" << number(r.latency.max_us, 1) << ",\"exit\":" << exit_status(r)
        << ",\"error\":" << json_string(r.error) << "}\n";
    out.flush();
}

int exit_status(const Report& r) {
    if (!r.error.empty()) return kExitConnection;
    const auto& c = r.counts;
    if (r.missing > 0 || c.doubled > 0 || c.unexpected > 0 || c.other > 0) return kExitRepliesWrong;
    return kExitOk;
}

}  // namespace kelvarix::alarmsim
