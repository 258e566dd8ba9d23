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

// The value as it may appear in a one-line message: shortened, and with
// control characters replaced so that none reaches a log or terminal.
std::string shown(std::string_view value) {
    std::string out;
    for (char c : value.substr(0, kShownValueMax)) {
        const auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7F ? '?' : c);
    }
    if (value.size() > kShownValueMax) out += "...";
    return out;
}

// One lookup: the value text, or nothing when the section or key is missing.
using Lookup = std::function<std::optional<std::string>(std::string_view section,
                                                        std::string_view key)>;

// Reads the keys one after the other; after the first error the remaining
// reads do nothing, so the error names the first key that failed.
class Reader {
public:
    Reader(Lookup find, std::string_view file_name) : find_(std::move(find)), file_name_(file_name) {}

    void text(const char* section, const char* key, std::string& out) {
        if (!error_) out = TrimSpaces(get(section, key, ""));
    }

    void flag(const char* section, const char* key, const char* default_text, bool& out) {
        if (!error_) out = ToFlag(get(section, key, default_text));
    }

    void number(const char* section, const char* key, const char* default_text, std::int32_t& out) {
        if (error_) return;
        const std::string value = get(section, key, default_text);
        if (const auto n = ToNumber32(value)) out = *n;
        else fail(section, key, value, "is outside -2147483648 to 2147483647");
    }

    void number(const char* section, const char* key, const char* default_text, std::int16_t& out) {
        if (error_) return;
        const std::string value = get(section, key, default_text);
        if (const auto n = ToNumber16(value)) out = *n;
        else fail(section, key, value, "is outside -32768 to 32767");
    }

    void strict_number(const char* section, const char* key, std::int32_t& out) {
        if (error_) return;
        const std::optional<std::string> value = find_(section, key);
        if (!value) {
            fail(section, key, "", "is missing");
        } else if (const auto n = ToStrictNumber(*value)) {
            out = *n;
        } else {
            fail(section, key, *value, "is not a whole number from -2147483648 to 2147483647");
        }
    }

    std::optional<ConfigError> take_error() { return std::move(error_); }

private:
    std::string get(const char* section, const char* key, const char* default_text) const {
        if (auto value = find_(section, key)) return std::move(*value);
        return default_text;
    }

    void fail(const char* section, const char* key, const std::string& value, const char* reason) {
        std::string message = std::string(file_name_) + ": [" + section + "] " + key;
        if (find_(section, key)) message += " = \"" + shown(value) + "\"";
        message += std::string(" ") + reason;
        error_ = ConfigError{section, key, value, std::move(message)};
    }

    Lookup find_;
    std::string_view file_name_;
    std::optional<ConfigError> error_;
};

LoadResult LoadWith(const Lookup& find, std::string_view file_name) {
    Settings s;
    Reader r(find, file_name);
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
    if (auto error = r.take_error()) return std::move(*error);
    return s;
}

}  // namespace

LoadResult LoadSettings(const IniFile& ini, std::string_view file_name) {
    return LoadWith([&ini](std::string_view section,
                               std::string_view key) { return ini.find(section, key); },
                        file_name);
}

LoadResult LoadSettings(const std::string& ini_path) {
    // Every key goes through the platform's reader, one lookup at a time.
    LoadResult result = LoadWith(
        [&ini_path](std::string_view section, std::string_view key) {
            return ReadPrivateProfileValue(section, key, ini_path);
        },
        ini_path);
    if (!FileExists(ini_path)) {
        // Every key took its default, and PortNumber has none; say why.
        if (auto* error = std::get_if<ConfigError>(&result)) {
            error->message += " (the file cannot be read)";
        }
    }
    return result;
}

}  // namespace kelvarix
