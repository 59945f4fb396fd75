#include "ras/RasGlobals.h"

#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/base/CommandLine.h"
#include "platform/base/MachineRoot.h"
#include "platform/rasapi/RasLibrary.h"

namespace sp {

uint32_t WinVersion = 501;
void* hRasApi = nullptr;
std::atomic<int32_t> RasWaitRounds{20};
Tcs GlobalLock;

void* LoadRasLibrary()
{
    // Beside the program (the build), in lib/ beside its bin/ (an installed
    // tree), in SKYPORTAL_BIN_DIR; else by name, where the dynamic linker
    // looks (the program's run path, the system's folders): that is how a
    // copy of the program in another folder finds the library.
    std::vector<std::filesystem::path> candidates{RasLibraryPath()};
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        candidates.push_back(exe.parent_path().parent_path() / "lib" / kRasLibraryFileName);
    if (const char* bin = std::getenv("SKYPORTAL_BIN_DIR"); bin && *bin)
        candidates.push_back(std::filesystem::path(bin) / kRasLibraryFileName);
    for (const auto& path : candidates) {
        if (!std::filesystem::exists(path, ec))
            continue;
        if (void* lib = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
            return lib;
    }
    return ::dlopen(kRasLibraryFileName, RTLD_NOW | RTLD_LOCAL);
}

void InitRasGlobals()
{
    WinVersion = static_cast<uint32_t>(ReadMachineVersion().Code());
    hRasApi = nullptr;
    hRasApi = LoadRasLibrary();
    RasWaitRounds.store(ParamStr(1) == "/auto" ? 120 : 20);
}

void* RasProc(const char* name)
{
    if (!hRasApi)
        throw ERasBinding(std::string("The remote access library is not loaded; cannot call ") + name);
    void* p = ::dlsym(hRasApi, name);
    if (!p)
        throw ERasBinding(std::string("The remote access library does not export ") + name);
    return p;
}

} // namespace sp
