#include "day_trace.h"

#include <algorithm>
#include <array>
#include <functional>

#include "logging/log_format.h"

namespace kelvarix::trace {
namespace {

// Traffic lines: "HH:NN:SS <16-character tag> <escaped text>".
constexpr std::size_t kTrafficText = 26;
constexpr std::string_view kLF = "<10>";
constexpr std::string_view kCR = "<13>";
constexpr std::string_view kTab = "<9>";
// System lines: "YY-MM-DD HH:NN:SS <text>".
constexpr std::size_t kSystemTime = 9;
constexpr std::size_t kSystemText = 18;
// How far after a command its answer is looked for.
constexpr int kAnswerLines = 5000;

// The system log's lines about a record, by their lead, in the usual order
// of an alarm's life.
struct Lead {
    std::string_view text;
    int order;
};
constexpr std::array<Lead, 14> kLeads = {{
    {"Status was Inactive, threw message", 1},
    {"PBX not connected, buffered message", 1},
    {"PBX not connected, threw message", 1},
    {"Buffered limit exceeded", 1},
    {"Alarm has already been acknowledged", 1},
    {"Alarm to PBX", 4},
    {"Could not find AlarmId:", 6},
    {"Sent MCA to PBX", 7},
    {"Failed to send MCA to PBX", 7},
    {"Found message to ack", 8},
    {"Did not find any message in queue to ack", 8},
    {"PBX not connected, threw ack message", 8},
    {"Deleted message from PBX", 11},
    {"Failed to delete message from PBX", 11},
}};
constexpr std::string_view kRemoved = "Removed old or deleted message from queue";

std::vector<std::string_view> Split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    for (std::size_t at; (at = text.find(separator)) != std::string_view::npos;) {
        parts.push_back(text.substr(0, at));
        text.remove_prefix(at + separator.size());
    }
    parts.push_back(text);
    return parts;
}

std::string_view Field(std::string_view line, std::size_t index, std::string_view separator) {
    const std::vector<std::string_view> fields = Split(line, separator);
    return index < fields.size() ? fields[index] : std::string_view();
}

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

bool StartsWithNoCase(std::string_view text, std::string_view word) {
    return text.size() >= word.size() &&
           std::equal(word.begin(), word.end(), text.begin(),
                      [](char a, char b) { return (a | 0x20) == (b | 0x20); });
}

int Seconds(std::string_view time) {
    return ((time[0] - '0') * 10 + (time[1] - '0')) * 3600 +
           ((time[3] - '0') * 10 + (time[4] - '0')) * 60 + (time[6] - '0') * 10 + (time[7] - '0');
}

// Calls visit once for each line of text that holds needle.
void ForEachLineWith(std::string_view text, std::string_view needle,
                     const std::function<void(std::size_t begin, std::size_t end)>& visit) {
    // string_view::find scans with memchr: faster here than a skipping search.
    for (std::size_t from = 0;;) {
        const std::size_t at = text.find(needle, from);
        if (at == std::string_view::npos) return;
        const std::size_t newline = text.rfind('\n', at);
        const std::size_t begin = newline == std::string_view::npos ? 0 : newline + 1;
        std::size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        visit(begin, end);
        from = end;
    }
}

class TrafficReader {
public:
    TrafficReader(std::string_view id, std::string_view log, std::vector<Step>& steps)
        : id_(id), log_(log), steps_(steps) {}

    void Run() {
        ForEachLineWith(log_, id_, [this](std::size_t begin, std::size_t end) {
            Line(begin, log_.substr(begin, end - begin));
        });
    }

private:
    static std::string_view Tag(std::string_view line) { return line.substr(9, 16); }

    void Add(std::string_view line, int order, std::string text) {
        const auto position = static_cast<std::size_t>(line.data() - log_.data());
        steps_.push_back({std::string(line.substr(0, 8)), order, std::move(text), position});
    }

    void Line(std::size_t begin, std::string_view line) {
        if (line.size() < kTrafficText || line[2] != ':') return;
        if (line.back() == '\r') line.remove_suffix(1);
        const std::string_view tag = Tag(line);
        const std::string_view text = line.substr(kTrafficText);
        if (tag == TrafficTagText(TagFromOrvane)) {
            for (std::string_view piece : Split(text, kLF)) FromAlarmServer(line, piece);
        } else if (tag == TrafficTagText(TagToOrvane)) {
            for (std::string_view piece : Split(text, kLF)) {
                if (piece.ends_with("(" + std::string(id_) + ")")) {
                    Add(line, 5, "reply to the alarm server: " + std::string(piece));
                    steps_.back().reply = true;
                }
            }
        } else if (tag == TrafficTagText(TagToATAS)) {
            const std::string_view command = Split(text, kCR).front();
            const std::string_view keyword = Field(command, 0, kTab);
            if ((keyword == "SA" || keyword == "DA") && Field(command, 1, kTab) == id_) {
                const int order = keyword == "SA" ? 2 : 9;
                Add(line, order, std::string(keyword) + " sent to the PBX: " + std::string(command));
                Answer(line, begin, order + 1);
            }
        } else if (tag == TrafficTagText(TagFromATAS)) {
            for (std::string_view piece : Split(text, kCR)) TerminalOperation(line, piece);
        }
    }

    void FromAlarmServer(std::string_view line, std::string_view piece) {
        piece = Trimmed(Split(piece, kCR).front());
        if (Field(piece, 3, "|") != id_) return;
        if (Field(piece, 0, "|") == "2") {
            Add(line, 8, "acknowledgement from the alarm server: " + std::string(piece));
            return;
        }
        Add(line, 0, "received from the alarm server: " + std::string(piece));
        steps_.back().received = true;
    }

    void TerminalOperation(std::string_view line, std::string_view piece) {
        if (piece.starts_with(kLF)) piece.remove_prefix(kLF.size());
        if (Trimmed(Field(piece, 0, kTab)) != "OPM" || Trimmed(Field(piece, 1, kTab)) != id_) return;
        const std::string_view code = Trimmed(Field(piece, 3, kTab));
        const std::string where = std::string(Trimmed(Field(piece, 4, kTab))) + " (destination " +
                                  std::string(Trimmed(Field(piece, 2, kTab))) + ")";
        if (code == "2") Add(line, 6, "acknowledged at terminal " + where);
        if (code == "1") Add(line, 6, "read at terminal " + where);
    }

    // The PBX's answer to the command on the line at begin: the first "ack"
    // or "nack" before the gateway's next command (one command waits at a time).
    void Answer(std::string_view command_line, std::size_t begin, int order) {
        std::size_t at = log_.find('\n', begin);
        for (int n = 0; at != std::string_view::npos && n < kAnswerLines; ++n) {
            const std::size_t next = log_.find('\n', at + 1);
            std::string_view line = log_.substr(at + 1, next == std::string_view::npos
                                                            ? std::string_view::npos
                                                            : next - at - 1);
            at = next;
            if (line.size() < kTrafficText) continue;
            const std::string_view tag = Tag(line);
            const std::string_view text = line.substr(kTrafficText);
            if (tag == TrafficTagText(TagFromATAS)) {
                for (std::string_view piece : Split(text, kCR)) {
                    if (piece.starts_with(kLF)) piece.remove_prefix(kLF.size());
                    if (StartsWithNoCase(piece, "ack") || StartsWithNoCase(piece, "nack")) {
                        Add(line, order, "PBX answered: " + std::string(Trimmed(piece)));
                        return;
                    }
                }
            } else if (tag == TrafficTagText(TagToATAS) && text != "HB<13>") {
                Gap(command_line, line, order);
                return;
            }
        }
        Add(command_line, order, "no answer from the PBX in the log");
    }

    void Gap(std::string_view command_line, std::string_view next_line, int order) {
        const int waited = Seconds(next_line) - Seconds(command_line);
        Add(command_line, order,
            "no answer from the PBX within " + std::to_string(std::max(waited, 0)) +
                " s (its next command went out then)");
    }

    std::string_view id_;
    std::string_view log_;
    std::vector<Step>& steps_;
};

void ReadSystemLog(std::string_view id, std::string_view log, std::vector<Step>& steps) {
    const std::string description = "(AlarmId: " + std::string(id) + ",";
    const std::string not_found = "AlarmId:" + std::string(id) + " ";
    ForEachLineWith(log, id, [&](std::size_t begin, std::size_t end) {
        std::string_view line = log.substr(begin, end - begin);
        if (line.ends_with('\r')) line.remove_suffix(1);
        if (line.size() < kSystemText || line[kSystemTime + 2] != ':') return;
        const std::string_view text = line.substr(kSystemText);
        const std::string_view time = line.substr(kSystemTime, 8);
        if (text.starts_with(kRemoved) && text.find(description) != std::string_view::npos) {
            steps.push_back({std::string(time), 12, "removed from the queue"});
            steps.back().removed = true;
            return;
        }
        for (const Lead& lead : kLeads) {
            if (!text.starts_with(lead.text)) continue;
            const std::size_t at = text.find(description);
            if (at != std::string_view::npos) {
                steps.push_back({std::string(time), lead.order, std::string(Trimmed(text.substr(0, at)))});
            } else if (text.find(not_found) != std::string_view::npos) {
                steps.push_back({std::string(time), lead.order, std::string(text)});
            }
            return;
        }
    });
}

}  // namespace

std::vector<Step> TraceDay(std::string_view alarm_id, std::string_view system_log,
                           std::string_view traffic_log) {
    std::vector<Step> steps;
    std::vector<Step> system_steps;
    if (alarm_id.empty()) return steps;
    TrafficReader(alarm_id, traffic_log, steps).Run();
    // An answer is found after its command's line was read.
    std::stable_sort(steps.begin(), steps.end(),
                     [](const Step& a, const Step& b) { return a.position < b.position; });
    ReadSystemLog(alarm_id, system_log, system_steps);
    std::size_t after = 0;  // system steps keep their own order too
    for (Step& step : system_steps) {
        std::size_t at = after;
        for (std::size_t i = after; i < steps.size(); ++i) {
            const Step& s = steps[i];
            if (s.time < step.time || (s.time == step.time && s.order <= step.order)) at = i + 1;
        }
        steps.insert(steps.begin() + static_cast<std::ptrdiff_t>(at), std::move(step));
        after = at + 1;
    }
    return steps;
}

std::vector<std::vector<Step>> SplitLives(std::vector<Step> steps) {
    std::vector<std::vector<Step>> lives;
    bool ended = true;
    for (Step& step : steps) {
        if (lives.empty() || (step.received && ended)) lives.emplace_back();
        if (step.received) ended = false;
        if (step.removed) ended = true;
        lives.back().push_back(std::move(step));
    }
    for (std::vector<Step>& life : lives) {
        const bool received = std::any_of(life.begin(), life.end(), [](const Step& s) { return s.received; });
        const bool replied = std::any_of(life.begin(), life.end(), [](const Step& s) { return s.reply; });
        if (received && !replied) {
            life.push_back({life.back().time, 99, "no reply to the alarm server in the log"});
        }
    }
    return lives;
}

}  // namespace kelvarix::trace
