#include "host/config_check.h"

#include <algorithm>
#include <asio/ip/address.hpp>
#include <climits>

#include "alarm_server/orvane_link.h"
#include "queue/conversions.h"

namespace kelvarix {
namespace {

// Keys whose negative values the gateway takes as 0. (The others that
// treat 0 or less alike get a warning of their own for any such value.)
constexpr std::string_view kNegativeAsZero[] = {"ReconnectInterval", "HeartbeatInterval",
                                                "MaxBufferedMessages"};

std::string Quoted(std::string_view text) {
    return "\"" + ShownValue(text) + "\"";
}

bool IsAddress(const std::string& text) {
    asio::error_code error;
    asio::ip::make_address(text, error);
    return !error;
}

}  // namespace

bool IsCheckSwitch(std::string_view argument) {
    for (const std::string_view prefix : {"--", "-", "/"}) {
        if (!argument.starts_with(prefix)) continue;
        const std::string_view word = argument.substr(prefix.size());
        // Setting bit 0x20 lower-cases a letter and makes no other byte a letter.
        return word.size() == 5 && std::equal(word.begin(), word.end(), "check",
                                              [](char a, char b) { return (a | 0x20) == b; });
    }
    return false;
}

ConfigCheck::ConfigCheck(std::string file_name, const std::optional<std::string>& content)
    : file_name_(std::move(file_name)) {
    if (content) lines_ = IniFile::outline(*content);
}

const IniLine* ConfigCheck::Used(std::string_view section, std::string_view key) const {
    // The first key line of the name in the first section of the name.
    bool inside = false;
    bool seen = false;
    for (const IniLine& line : lines_) {
        if (line.header) {
            const bool match = IniNamesMatch(line.section, section);
            inside = match && !seen;
            seen = seen || match;
            if (inside && key.empty()) return &line;
        } else if (inside && IniNamesMatch(line.key, key)) {
            return &line;
        }
    }
    return nullptr;
}

void ConfigCheck::AddAt(Severity severity, int line, std::string_view section, std::string_view key,
                        const std::string& text) {
    std::string where = file_name_;
    if (line != 0) where += ":" + std::to_string(line);
    where += ":";
    if (!section.empty()) where += " [" + std::string(section) + "]";
    if (!key.empty()) where += " " + std::string(key);
    findings_.push_back({severity, line, where + ": " + text});
}

void ConfigCheck::Add(Severity severity, std::string_view section, std::string_view key,
                      const std::string& text) {
    const IniLine* line = Used(section, key);
    AddAt(severity, line != nullptr ? line->number : 0, section, key, text);
}

void ConfigCheck::Warn(std::string_view section, std::string_view key, const std::string& text) {
    Add(Severity::Warning, section, key, text);
}

void ConfigCheck::Note(std::string_view section, std::string_view key, const std::string& text) {
    Add(Severity::Note, section, key, text);
}

const ConfigCheck::Shown* ConfigCheck::Find(std::string_view section, std::string_view key) const {
    for (const Shown& shown : keys_) {
        if (IniNamesMatch(shown.section, section) && IniNamesMatch(shown.key, key)) return &shown;
    }
    return nullptr;
}

void ConfigCheck::Read(const KeyReading& reading) {
    std::string value;
    if (!reading.value) {
        value = reading.text ? "(cannot be stored)" : "(missing)";
    } else if (reading.kind == SettingKind::Flag) {
        value = *reading.value == "1" ? "on" : "off";
    } else if (reading.kind != SettingKind::Text) {
        value = *reading.value;
    } else if (reading.key == "Password") {
        value = "\"" + std::string(reading.value->size(), '*') + "\"";
    } else {
        value = Quoted(*reading.value);
    }
    const bool text = reading.kind == SettingKind::Text && reading.key != "Password";
    keys_.push_back({std::string(reading.section), std::string(reading.key), value,
                     reading.text.has_value(), text ? *reading.value : std::string()});
    if (!reading.value) findings_.push_back({Severity::Error, 0, reading.error});
    CheckLenientReading(reading);
}

void ConfigCheck::CheckLenientReading(const KeyReading& r) {
    if (!r.text || !r.value) return;  // the default, or an error reported on its own
    const std::string& text = *r.text;
    if (r.kind == SettingKind::Text) {
        const IniLine* line = Used(r.section, r.key);
        if (line != nullptr && line->value && line->value->size() > kIniValueMax) {
            Warn(r.section, r.key,
                 "is longer than " + std::to_string(kIniValueMax) +
                     " characters: the rest is cut off");
        }
        return;
    }
    if (r.kind == SettingKind::StrictNumber) return;

    const bool flag = r.kind == SettingKind::Flag;
    const std::string shown = flag ? (*r.value == "1" ? "on" : "off") : *r.value;
    const LenientNumber number = ReadLenientNumber(text);
    const std::string ignored = TrimSpaces(std::string_view(text).substr(number.length));
    const bool negative_as_zero = std::find(std::begin(kNegativeAsZero), std::end(kNegativeAsZero),
                                            r.key) != std::end(kNegativeAsZero);
    if (text.empty() && !flag && !r.default_text.empty()) {
        Warn(r.section, r.key,
             "is empty: read as 0, not as the default " + std::string(r.default_text));
    } else if (!ignored.empty() && number.length == 0) {
        Warn(r.section, r.key, Quoted(text) + " is not a number: read as " + shown);
    } else if (!ignored.empty()) {
        Warn(r.section, r.key,
             Quoted(text) + " is read as " + shown + ": " + Quoted(ignored) + " is ignored");
    } else if (!flag && RoundHalfEven(number.value) != number.value) {
        Warn(r.section, r.key, Quoted(text) + " is rounded to " + shown);
    } else if (!flag && text.find_first_of(" \t\n") != std::string::npos) {
        Warn(r.section, r.key, Quoted(text) + " is read as " + shown);
    } else if (!flag && number.value < 0 && negative_as_zero) {
        Warn(r.section, r.key, "is negative: the gateway takes it as 0");
    }
}

void ConfigCheck::Loaded(const LoadResult& result) {
    CheckLayout();
    // A failing key was reported as it was read.
    if (const auto* loaded = std::get_if<Settings>(&result)) {
        settings_ = *loaded;
        CheckValues(*settings_);
    }
}

void ConfigCheck::CheckValues(const Settings& s) {
    if (s.ServerPort == 0) {
        Warn("Orvane", "ServerPort",
             "is 0: the system picks a free port at each start, unknown to the alarm server");
    } else if (s.ServerPort < 0 || s.ServerPort > 65535) {
        Warn("Orvane", "ServerPort", "is not a TCP port (1 to 65535): the gateway cannot listen");
    }
    if (!s.ListenAddress.empty() && !IsAddress(s.ListenAddress)) {
        Warn("Orvane", "ListenAddress",
             Quoted(s.ListenAddress) + " is not an IP address: the gateway cannot listen");
    }
    for (const std::string& entry : SplitAddresses(s.AllowedClients)) {
        if (!IsAddress(entry)) {
            Warn("Orvane", "AllowedClients",
                 Quoted(entry) + " is not an IP address: no connection comes from it");
        }
    }
    if (s.IPAddress.empty()) {
        Warn("ATAS", "IPAddress", "is empty: the gateway has no PBX to connect to");
    }
    if (s.PortNumber < 1 || s.PortNumber > 65535) {
        Warn("ATAS", "PortNumber",
             "is not a TCP port (1 to 65535): no connection to the PBX can be made");
    }
    if (s.ConnectTimeout <= 0) {
        Warn("ATAS", "ConnectTimeout",
             "is 0 or less: no connection attempt waits for the PBX's login, so the link never "
             "comes up");
        if (s.ReconnectInterval <= 0) {
            Warn("ATAS", "ReconnectInterval",
                 "is 0 or less, and so is ConnectTimeout: a new connection attempt, with its log "
                 "lines, is made on every tick (ten a second)");
        }
    }
    if (s.CommandTimeout <= 0) {
        Warn("ATAS", "CommandTimeout",
             "is 0 or less: no command waits for the PBX's reply, so every alarm is answered "
             "failed");
    }
    if (s.QueueDeleteTime <= 0) {
        Warn("ATAS", "QueueDeleteTime",
             "is 0 or less: alarms leave the queue at once, before a terminal can acknowledge "
             "them");
    }
    const Shown* buffered = Find("ATAS", "MaxBufferedMessages");
    if (!s.BufferWhenDisconnected && buffered != nullptr && buffered->from_file) {
        Warn("ATAS", "MaxBufferedMessages",
             "is set, but BufferWhenDisconnected is off: no alarm is held back");
    }
    if (s.MetricsPort < 0 || s.MetricsPort > 65535) {
        Warn("Metrics", "Port", "is not a TCP port (1 to 65535, 0 for none): no metrics are served");
    } else if (s.MetricsPort != 0 && s.MetricsPort == s.ServerPort) {
        Warn("Metrics", "Port", "is the alarm server's port too: only one of them can listen");
    }
    if (!s.MetricsListenAddress.empty() && !IsAddress(s.MetricsListenAddress)) {
        Warn("Metrics", "ListenAddress",
             Quoted(s.MetricsListenAddress) + " is not an IP address: no metrics are served");
    }
    if (s.LogFileDays < 0) {
        Warn("General", "LogFileDays", "is negative: each day's own log files are removed too");
    }
}

std::string ConfigCheck::Report() const {
    std::string out = "Kelvarix.ini as a start reads it: " + file_name_ + "\n";
    std::vector<std::string> sections;
    for (const Shown& k : keys_) {
        if (std::find(sections.begin(), sections.end(), k.section) == sections.end()) {
            sections.push_back(k.section);
        }
    }
    for (const std::string& section : sections) {
        out += "\n[" + section + "]\n";
        for (const Shown& k : keys_) {
            if (k.section != section) continue;
            std::string name = k.key;
            name.resize(std::max<std::size_t>(name.size(), 22), ' ');
            out += "  " + name + " = " + k.value + (k.from_file ? "  (file)\n" : "  (default)\n");
        }
    }

    std::vector<Finding> findings = findings_;
    std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
        const int a_line = a.line != 0 ? a.line : INT_MAX;
        const int b_line = b.line != 0 ? b.line : INT_MAX;
        return a.severity != b.severity ? a.severity > b.severity : a_line < b_line;
    });
    if (!findings.empty()) out += "\n";
    std::size_t warnings = 0;
    for (const Finding& f : findings) {
        static constexpr const char* kLabel[] = {"note: ", "warning: ", "error: "};
        out += kLabel[static_cast<int>(f.severity)] + f.text + "\n";
        if (f.severity == Severity::Warning) ++warnings;
    }
    switch (ExitStatus()) {
        case 2:
            return out + "\nThe gateway would refuse to start.\n";
        case 1:
            return out + "\n" + std::to_string(warnings) +
                   (warnings == 1 ? " warning" : " warnings") +
                   ": the gateway would start, but not as this file may mean.\n";
        default:
            return out + "\nNo problems found.\n";
    }
}

int ConfigCheck::ExitStatus() const {
    int status = 0;
    for (const Finding& f : findings_) {
        if (f.severity == Severity::Error) return 2;
        if (f.severity == Severity::Warning) status = 1;
    }
    return status;
}

}  // namespace kelvarix
