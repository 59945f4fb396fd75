#pragma once

#include <filesystem>

namespace sp {

// The remote access client library that the program loads with dlopen. The
// build puts it beside the executables (the global output folder), so the
// program finds it next to itself; $SKYPORTAL_RASAPI names another file.
inline constexpr const char* kRasLibraryFileName = "libskyportal-rasapi.so";
inline constexpr const char* kRasLibraryEnvVar = "SKYPORTAL_RASAPI";

// $SKYPORTAL_RASAPI when set and not empty, else kRasLibraryFileName in the
// folder of the running executable.
[[nodiscard]] std::filesystem::path RasLibraryPath();

// The private folder of an installed tree, relative to its prefix
// ("lib/skyportal"): the library and the service daemon live there, the
// commands in bin/ beside it.
[[nodiscard]] std::filesystem::path PrivateLibFolder();

} // namespace sp
