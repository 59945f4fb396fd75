#pragma once

#include <filesystem>
#include <ostream>
#include <string>

namespace sp::ras {

// Where `rasctl doctor` looks; the defaults are the machine's own.
struct DoctorPlaces {
    std::filesystem::path groupFile = "/etc/group";
    std::filesystem::path peersFolder = "/etc/ppp/peers";
    std::filesystem::path devPpp = "/dev/ppp";
    std::filesystem::path sysModules = "/sys/module";
    std::filesystem::path kernelModules; // empty: /lib/modules/<the running kernel>
    std::string pkcheck = "/usr/bin/pkcheck";
    bool askModemManager = true;
};

// What stands between this machine and a dial through a real modem: one line
// a check, "ok" or "FAIL" with the one command that mends it. Returns 0 when
// a dial can work, 1 otherwise.
int Doctor(std::ostream& out, const DoctorPlaces& places = {});

} // namespace sp::ras
