// Phonebook writes while the service is killed: changes the number of the
// entry "Zentora" again and again through the remote access library (which
// starts the service anew whenever it does not answer) and prints each
// number the service confirmed.
// Usage: reliability_phonebook_writer   (machine root: $SKYPORTAL_ROOT)
#include "platform/rasapi/ras.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

int main(int, char** argv)
{
    const std::string dir = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    (void)argv;
    void* lib = ::dlopen((dir + "/libskyportal-rasapi.so").c_str(), RTLD_NOW);
    if (lib == nullptr) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 2;
    }
    auto setEntry = reinterpret_cast<PFN_RasSetEntryPropertiesA>(::dlsym(lib, "RasSetEntryPropertiesA"));
    if (setEntry == nullptr)
        return 2;
    const char* numbers[] = {"*99#", "*99***1#", "*99***2#", "*99***3#"};
    for (unsigned i = 0;; ++i) {
        RASENTRYA e{};
        e.dwSize = 2884;
        e.dwfOptions = 0x388C0110;
        e.dwfNetProtocols = RASNP_Ip;
        e.dwFramingProtocol = RASFP_Ppp;
        std::strcpy(e.szDeviceType, "modem");
        std::strcpy(e.szDeviceName, "USB GPRS Modem");
        std::strcpy(e.szLocalPhoneNumber, numbers[i % 4]);
        if (setEntry(nullptr, "Zentora", &e, 2884, nullptr, 0) == SUCCESS) {
            std::printf("%s\n", numbers[i % 4]);
            std::fflush(stdout);
        }
    }
}
