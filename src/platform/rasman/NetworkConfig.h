#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace sp::ras {

// How the simulated network treats dials through one device: the section of
// network.ini named like the device.
struct DeviceBehaviour {
    std::vector<std::string> apns;    // accepted APNs; empty: any
    std::vector<std::string> numbers; // accepted numbers; empty: any
    std::string user;                 // accepted user name; empty: any
    std::string password;             // accepted password; empty: any
    uint32_t stateDelayMs = 300;
    uint32_t wrongApnError = 734;
    uint32_t wrongNumberError = 678;
    uint32_t authError = 691;
    // Injected failure: the dial fails at this state with this code, for the
    // next failAttempts dials (all dials when absent).
    uint32_t failError = 0;
    uint32_t failState = 2;
    int64_t failAttempts = -1;
    bool neverAnswers = false;
    uint32_t dropAfterSec = 0; // 0: never
    uint32_t dropError = 629;
    uint32_t rxRate = 2000; // bytes per second
    uint32_t txRate = 500;
    bool bursty = false;
    uint32_t bps = 115200;
};

struct ExtraDevice {
    std::string type;
    std::string name;
};

// network.ini of the machine root.
struct NetworkConfig {
    uint32_t startDelayMs = 0;
    bool disabled = false;
    uint32_t tickMs = 1000;
    DeviceBehaviour defaults;
    std::map<std::string, DeviceBehaviour> devices; // by lower-case device name
    std::vector<ExtraDevice> extraDevices;

    [[nodiscard]] static std::filesystem::path Path();
    [[nodiscard]] static NetworkConfig Load(const std::filesystem::path& path);
    [[nodiscard]] const DeviceBehaviour& For(const std::string& deviceName) const;
};

} // namespace sp::ras
