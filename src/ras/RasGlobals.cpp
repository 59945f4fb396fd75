#include "ras/RasGlobals.h"

#include <dlfcn.h>

#include <cstddef>
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

namespace {

// The folders the dynamic linker searches for the program's own libraries
// (its run path first). Asked explicitly because a dlopen by name may be
// resolved for another caller: under the sanitizers the runtime's dlopen
// wrapper is the caller, and the program's run path is then not searched.
std::vector<std::filesystem::path> LinkerSearchPath()
{
    std::vector<std::filesystem::path> out;
    void* self = ::dlopen(nullptr, RTLD_NOW);
    if (self == nullptr)
        return out;
    Dl_serinfo size{};
    if (::dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        std::vector<std::max_align_t> buffer(size.dls_size / sizeof(std::max_align_t) + 1);
        auto* info = reinterpret_cast<Dl_serinfo*>(buffer.data());
        info->dls_size = size.dls_size;
        info->dls_cnt = size.dls_cnt;
        if (::dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
            for (unsigned i = 0; i < info->dls_cnt; ++i) {
                if (info->dls_serpath[i].dls_name != nullptr && *info->dls_serpath[i].dls_name != '\0')
                    out.emplace_back(info->dls_serpath[i].dls_name);
            }
        }
    }
    ::dlclose(self);
    return out;
}

} // namespace

void* LoadRasLibrary()
{
    // Beside the program (the build), in the private folder beside its bin/
    // (an installed tree), in SKYPORTAL_BIN_DIR; else by name, where the
    // dynamic linker looks (the program's run path, the system's folders):
    // that is how a copy of the program in another folder finds the library.
    std::vector<std::filesystem::path> candidates{RasLibraryPath()};
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        candidates.push_back(exe.parent_path().parent_path() / PrivateLibFolder() / kRasLibraryFileName);
    if (const char* bin = std::getenv("SKYPORTAL_BIN_DIR"); bin && *bin)
        candidates.push_back(std::filesystem::path(bin) / kRasLibraryFileName);
    for (const auto& dir : LinkerSearchPath())
        candidates.push_back(dir / kRasLibraryFileName);
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
