#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace sp {

// The program's key (its values deciphered) and the modem keys of a
// registry database, read without changing it.
struct RegistryReport {
    bool readable = false;
    std::string error;              // why the registry could not be read at all
    std::string regFile;            // REGEDIT4 text in UTF-8
    std::vector<std::string> notes; // per key or value: absent, no rights, kept as stored
    struct Setting {
        std::string name, value; // value deciphered when it was enciphered (UTF-8)
        bool deciphered = false;
    };
    std::vector<Setting> settings; // the program's own values
    struct Modem {
        std::string name, attachedTo, userInit;
    };
    std::vector<Modem> modems; // registered for the emulated family
};

inline constexpr const char* kProgramKey = "\\Software\\Zentora\\Skyportal";

[[nodiscard]] RegistryReport ReadRegistryReport(const std::filesystem::path& database, bool ntFamily);

} // namespace sp
