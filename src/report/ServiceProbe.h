#pragma once

#include "platform/rasapi/RasProtocol.h"

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
    using Device = ras::ServiceListing::Device;
    using Connection = ras::ServiceListing::Connection;
    std::vector<Device> devices;
    std::vector<Connection> connections;
};

[[nodiscard]] ServiceState ProbeService(const std::filesystem::path& root, std::chrono::milliseconds timeout);

} // namespace sp
