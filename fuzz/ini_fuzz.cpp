// The INI reader and the conversions of every key, on arbitrary file content.
#include <cstdlib>
#include <string>

#include "host/config_loader.h"
#include "host/ini_reader.h"
#include "queue/conversions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kelvarix;
    const std::string_view content(reinterpret_cast<const char*>(data), size);
    const IniFile ini = IniFile::parse(content);
    for (const char* key : {"PortNumber", "LogFileDays", "ServerPort", "Username"}) {
        for (const char* section : {"ATAS", "General", "Orvane"}) {
            const std::string value = ini.get(section, key, "");
            if (value.size() > kIniValueMax) std::abort();
            ToNumber16(value);
            ToNumber32(value);
            ToStrictNumber(value);
            ToFlag(value);
            ToInt16OrZero(value);
        }
    }
    LoadSettings(ini, "Kelvarix.ini");
    // The conversions on the raw bytes as well.
    ToNumber32(content);
    ToStrictNumber(content);
    return 0;
}
