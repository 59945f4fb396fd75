#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A fresh machine root for one test (SKYPORTAL_ROOT), with the log written
// plainly into it, removed afterwards together with its service daemon.
class RasTestRoot {
public:
    // version e.g. 501; nt chooses the platform.
    RasTestRoot(int version, bool nt, std::vector<std::string> args = {"/l", "/n"});
    ~RasTestRoot();
    RasTestRoot(const RasTestRoot&) = delete;
    RasTestRoot& operator=(const RasTestRoot&) = delete;

    [[nodiscard]] const std::filesystem::path& Path() const { return root_; }
    // Log lines written so far (UTF-8).
    [[nodiscard]] std::vector<std::string> LogLines() const;
    void StopService();

private:
    std::filesystem::path root_;
};

// True when the service's library and daemon are built beside the tests.
[[nodiscard]] bool ServiceBuilt();
