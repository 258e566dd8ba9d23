#pragma once
// The service settings store: KelvarixService.ini in the program folder,
// written by installation and removal, read once at start-up. It is read the
// way Kelvarix.ini is read (IniFile); writing changes one key and keeps
// every other line as it stands.
#include <optional>
#include <string>
#include <string_view>

#include "platform/service_control.h"

namespace kelvarix {

class ServiceSettingsStore final : public ServiceSettings {
public:
    explicit ServiceSettingsStore(std::string path) : path_(std::move(path)) {}

    std::string Read(std::string_view section, std::string_view key,
                     std::string_view default_text) const override;
    // Replaces the file as a whole, so a failed write leaves the old one.
    bool Write(std::string_view section, std::string_view key, std::string_view value) const override;

    // The file's content as it is (nothing: there is no file), and putting
    // it back exactly, so a failed change can be undone.
    std::optional<std::string> Snapshot() const override;
    bool Restore(const std::optional<std::string>& snapshot) const override;

    const std::string& Path() const { return path_; }

private:
    // False when the file exists but cannot be read.
    bool Load(std::optional<std::string>& content) const;
    bool Replace(std::string_view content) const;

    std::string path_;
};

// The content with the key set to value in the section that IniFile reads
// (the first of that name, names matched without regard to case). A missing
// key is added at the end of its section, a missing section at the end.
std::string WithIniValue(std::string_view content, std::string_view section,
                         std::string_view key, std::string_view value);

}  // namespace kelvarix
