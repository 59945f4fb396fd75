#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace sp {

// What the remote access service of a machine root says about itself, asked
// on its socket only: a service that is not running stays so (the client
// library would start one).
struct ServiceState {
    enum class Kind { NotRunning, Running, Starting, NoAnswer } kind = Kind::NotRunning;
    bool frozen = false;
    std::string detail; // why it counts as not running or not answering
    struct Device {
        std::string type, name, driver;
    };
    struct Connection {
        uint32_t handle = 0;
        std::string entry, device;
        uint32_t state = 0, error = 0, rx = 0, tx = 0;
    };
    std::vector<Device> devices;
    std::vector<Connection> connections;
};

[[nodiscard]] ServiceState ProbeService(const std::filesystem::path& root, std::chrono::milliseconds timeout);

} // namespace sp
