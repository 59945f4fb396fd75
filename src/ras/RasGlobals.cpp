#include "ras/RasGlobals.h"

#include <dlfcn.h>

#include <string>

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
    return ::dlopen(RasLibraryPath().c_str(), RTLD_NOW | RTLD_LOCAL);
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
