#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace sptest {

// nginx run from the repository's server/ configuration on a temporary
// prefix, listening on <address>:80 only. Stopped and removed on
// destruction.
class TNginxServer {
public:
    explicit TNginxServer(std::string address);
    ~TNginxServer();
    TNginxServer(const TNginxServer&) = delete;
    TNginxServer& operator=(const TNginxServer&) = delete;

    [[nodiscard]] const std::string& Address() const { return FAddress; }
    [[nodiscard]] const std::filesystem::path& Prefix() const { return FPrefix; }
    // Replaces a served file, e.g. Publish("apn/version", "VERSION=1.0.5\n").
    void Publish(std::string_view relativePath, std::string_view content) const;

private:
    std::string FAddress;
    std::filesystem::path FPrefix;
    pid_t FPid = -1;
};

} // namespace sptest
