#pragma once
// Installing and removing the gateway as a systemd service: a unit file in
// the unit folder, enabled for boot by systemctl.
#include <optional>
#include <string>
#include <string_view>

#include "platform/service_control.h"

namespace kelvarix {

// The unit file's text; nothing when a field cannot be written into a unit
// (a control character such as a line break, or a path that is not absolute).
std::optional<std::string> UnitFileText(const ServiceUnit& unit);

class SystemdUnits final : public ServiceInstaller {
public:
    static constexpr std::string_view kSystemUnitFolder = "/etc/systemd/system";

    // use_systemctl: tell systemd about the change (reload, enable, disable).
    SystemdUnits(std::string unit_folder, bool use_systemctl);

    // The system's unit folder with systemctl when it is installed, or the
    // folder named by KELVARIX_UNIT_DIR without systemctl (for trials and tests).
    static SystemdUnits FromEnvironment();

    // Writes the unit file and enables it. Fails when a unit of that name
    // exists already (remove it first), and then changes nothing.
    bool Install(const ServiceUnit& unit) const override;
    // Disables the unit and deletes its file. Fails when there is none.
    bool Remove(std::string_view service_name) const override;

    std::string UnitPath(std::string_view service_name) const;

private:
    std::string folder_;
    bool use_systemctl_;
};

}  // namespace kelvarix
