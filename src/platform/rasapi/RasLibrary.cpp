#include "platform/rasapi/RasLibrary.h"

#include <cstdlib>
#include <system_error>

namespace sp {

std::filesystem::path RasLibraryPath()
{
    if (const char* env = std::getenv(kRasLibraryEnvVar); env && *env)
        return env;
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return kRasLibraryFileName;
    return exe.parent_path() / kRasLibraryFileName;
}

std::filesystem::path PrivateLibFolder() { return SKYPORTAL_PRIVATE_LIBDIR; }

} // namespace sp
