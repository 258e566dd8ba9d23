#include "host/config_loader.h"

#include <cstdint>
#include <functional>
#include <optional>

#include "platform/files.h"
#include "platform/private_profile.h"
#include "queue/conversions.h"

namespace kelvarix {
namespace {

// Longest part of a value quoted in a message; the message stays one line.
constexpr std::size_t kShownValueMax = 64;

// One lookup: the value text, or nothing when the section or key is missing.
using Lookup = std::function<std::optional<std::string>(std::string_view section,
                                                        std::string_view key)>;

// Reads the keys one after the other. The first key that cannot be stored
// is the error; the later ones are still read, so that each is observed.
class Reader {
public:
    // note ends every message (why all keys are missing, say).
    Reader(Lookup find, std::string_view file_name, std::string_view note,
           const KeyObserver& observe)
        : find_(std::move(find)), file_name_(file_name), note_(note), observe_(observe) {}

    void text(const char* section, const char* key, std::string& out,
              const char* default_text = "") {
        const auto text = find_(section, key);
        out = TrimSpaces(text.value_or(default_text));
        report({section, key, SettingKind::Text, default_text, text, out, {}});
    }

    void flag(const char* section, const char* key, const char* default_text, bool& out) {
        const auto text = find_(section, key);
        out = ToFlag(text.value_or(default_text));
        report({section, key, SettingKind::Flag, default_text, text, out ? "1" : "0", {}});
    }

    void number(const char* section, const char* key, const char* default_text, std::int32_t& out) {
        whole(section, key, default_text, out, ToNumber32, "is outside -2147483648 to 2147483647");
    }

    void number(const char* section, const char* key, const char* default_text, std::int16_t& out) {
        whole(section, key, default_text, out, ToNumber16, "is outside -32768 to 32767");
    }

    void strict_number(const char* section, const char* key, std::int32_t& out) {
        const auto text = find_(section, key);
        const auto n = text ? ToStrictNumber(*text) : std::nullopt;
        std::optional<std::string> value;
        std::string error;
        if (!text) {
            error = fail(section, key, text, "is missing");
        } else if (n) {
            out = *n;
            value = std::to_string(out);
        } else {
            error = fail(section, key, text,
                         "is not a whole number from -2147483648 to 2147483647");
        }
        report({section, key, SettingKind::StrictNumber, "", text, value, error});
    }

    std::optional<ConfigError> take_error() { return std::move(error_); }

private:
    template <typename Int>
    void whole(const char* section, const char* key, const char* default_text, Int& out,
               std::optional<Int> (*convert)(std::string_view), const char* range) {
        const auto text = find_(section, key);
        const auto n = convert(text.value_or(default_text));
        std::optional<std::string> value;
        std::string error;
        if (n) {
            out = *n;
            value = std::to_string(out);
        } else {
            error = fail(section, key, text, range);
        }
        report({section, key, SettingKind::Number, default_text, text, value, error});
    }

    void report(const KeyReading& reading) const {
        if (observe_) observe_(reading);
    }

    // Remembers the first failure; returns the message for this one.
    std::string fail(const char* section, const char* key, const std::optional<std::string>& text,
                     const char* reason) {
        std::string message = std::string(file_name_) + ": [" + section + "] " + key;
        if (text) message += " = \"" + ShownValue(*text) + "\"";
        message += std::string(" ") + reason + std::string(note_);
        if (!error_) error_ = ConfigError{section, key, text.value_or(""), message};
        return message;
    }

    Lookup find_;
    std::string_view file_name_;
    std::string_view note_;
    const KeyObserver& observe_;
    std::optional<ConfigError> error_;
};

LoadResult LoadWith(const Lookup& find, std::string_view file_name, std::string_view note,
                    const KeyObserver& observe) {
    Settings s;
    Reader r(find, file_name, note, observe);
    r.number("General", "LogFileDays", "30", s.LogFileDays);
    r.number("Orvane", "ServerPort", "", s.ServerPort);
    r.text("ATAS", "IPAddress", s.IPAddress);
    r.strict_number("ATAS", "PortNumber", s.PortNumber);
    r.number("ATAS", "ConnectTimeout", "", s.ConnectTimeout);
    r.number("ATAS", "ReconnectInterval", "", s.ReconnectInterval);
    r.text("ATAS", "Username", s.Username);
    r.text("ATAS", "Password", s.Password);
    r.number("ATAS", "CommandTimeout", "", s.CommandTimeout);
    r.flag("ATAS", "ResetAlarmsAtConnect", "0", s.ResetAlarmsAtConnect);
    r.number("ATAS", "HeartbeatInterval", "", s.HeartbeatInterval);
    r.text("ATAS", "SM_Read", s.SM_Read);
    r.text("ATAS", "SM_Acknowledge", s.SM_Acknowledge);
    r.flag("ATAS", "BufferWhenDisconnected", "0", s.BufferWhenDisconnected);
    r.number("ATAS", "MaxBufferedMessages", "", s.MaxBufferedMessages);
    r.number("ATAS", "QueueDeleteTime", "600", s.QueueDeleteTime);
    r.text("ATAS", "SCADAAckFile", s.SCADAAckFile);
    r.flag("ATAS", "SendMCA", "0", s.SendMCA);
    // Optional listener restrictions and alarm store of this gateway.
    r.text("Orvane", "ListenAddress", s.ListenAddress);
    r.text("Orvane", "AllowedClients", s.AllowedClients);
    r.text("General", "AlarmStore", s.AlarmStore);
    // The metrics endpoint: off unless a port is given; local only by default.
    r.number("Metrics", "Port", "0", s.MetricsPort);
    r.text("Metrics", "ListenAddress", s.MetricsListenAddress, "127.0.0.1");
    if (auto error = r.take_error()) return std::move(*error);
    return s;
}

}  // namespace

std::string ShownValue(std::string_view value) {
    std::string out;
    for (char c : value.substr(0, kShownValueMax)) {
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7F ? '?' : c);
    }
    if (value.size() > kShownValueMax) out += "...";
    return out;
}

LoadResult LoadSettings(const IniFile& ini, std::string_view file_name) {
    return LoadWith([&ini](std::string_view section,
                               std::string_view key) { return ini.find(section, key); },
                    file_name, "", nullptr);
}

LoadResult LoadSettings(const std::string& ini_path, const KeyObserver& observe) {
    // Without the file every key takes its default, and PortNumber has none;
    // the message says why.
    const std::string_view note = FileExists(ini_path) ? "" : " (the file cannot be read)";
    // Every key goes through the platform's reader, one lookup at a time.
    return LoadWith(
        [&ini_path](std::string_view section, std::string_view key) {
            return ReadPrivateProfileValue(section, key, ini_path);
        },
        ini_path, note, observe);
}

}  // namespace kelvarix
