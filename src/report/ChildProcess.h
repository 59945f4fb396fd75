#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace sp {

struct ChildResult {
    bool started = false;
    bool timedOut = false;
    int exitCode = -1; // -1 when it did not exit by itself
    std::string out;   // at most the bound given; the rest is read and dropped
    std::string err;
};

// Runs a program (no shell; a name without "/" is looked up in PATH) with these variables added to the
// environment and waits for it at most `timeout`; past it the child is killed. Its standard input is
// /dev/null. What it prints is bounded, as a program's output is not to be trusted to end.
[[nodiscard]] ChildResult RunChild(const std::vector<std::string>& argv,
                                   const std::vector<std::pair<std::string, std::string>>& env,
                                   std::chrono::milliseconds timeout, size_t outputLimit);

} // namespace sp
