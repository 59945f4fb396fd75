#include "platform/rasman/DefaultMachine.h"

#include "platform/rasman/Devices.h"
#include "platform/rasman/NetworkConfig.h"
#include "platform/registry/Registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace sp::ras {

namespace {

struct DefaultModem {
    const char* name;
    const char* port;
};
constexpr DefaultModem kModems[] = {{"USB GPRS Modem", "COM3"}, {"Bluetooth Phone Modem", "COM4"}};

// Serialises first-start seeding between processes of one machine root.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& p) : fd_(::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        if (fd_ >= 0)
            ::flock(fd_, LOCK_EX);
    }
    ~FileLock()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
};

} // namespace

const char* DefaultNetworkIni()
{
    return "; The simulated GPRS network of this machine. One section per device, named\n"
           "; like the device; [Service] holds the service settings and the defaults of\n"
           "; every device section.\n"
           "[Service]\n"
           "StartDelayMs=0\n"
           "Disabled=0\n"
           "StateDelayMs=300\n"
           "\n"
           "[Devices]\n"
           "Device1=vpn,WAN Miniport (PPTP)\n"
           "\n"
           "[USB GPRS Modem]\n"
           "APN=internet\n"
           "Numbers=*99***1#,*99#\n"
           "RxRate=4000\n"
           "TxRate=1000\n"
           "Traffic=steady\n"
           "\n"
           "[Bluetooth Phone Modem]\n"
           "APN=internet\n"
           "Numbers=*99#\n"
           "WrongNumberError=678\n"
           "RxRate=2000\n"
           "TxRate=500\n"
           "Traffic=bursty\n"
           "\n"
           "[WAN Miniport (PPTP)]\n"
           "WrongApnError=734\n";
}

bool RegisterModem(TRegistry& reg, const MachineVersion& v, const std::string& name, const std::string& port)
{
    NetworkConfig none;
    for (const Device& d : EnumDevices(reg, v, none)) {
        if (d.type == "modem" && d.name == name)
            return false;
    }
    reg.SetRootKey(RegHive::LocalMachine);
    // the first free four-digit subkey, as the class installer numbers them
    const std::string base = v.nt ? kNtModemClassKey : k9xModemEnumKey;
    std::string sub;
    for (int i = 0; i < 10000 && sub.empty(); ++i) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "%04d", i);
        if (!reg.KeyExists(base + "\\" + buf))
            sub = buf;
    }
    if (sub.empty() || !reg.OpenKey(base + "\\" + sub, true))
        return false;
    reg.WriteString("FriendlyName", name);
    if (v.nt) {
        reg.WriteString("AttachedTo", port);
        reg.WriteString("UserInit", "");
    } else {
        const std::string driver = "Modem\\" + sub;
        reg.WriteString("Driver", driver);
        if (reg.OpenKey(std::string(k9xDriverClassKey) + driver, true)) {
            reg.WriteString("AttachedTo", port);
            reg.WriteString("UserInit", "");
        }
    }
    reg.CloseKey();
    return true;
}

void SeedDefaultModems(TRegistry& reg, const MachineVersion& v)
{
    for (const DefaultModem& m : kModems)
        RegisterModem(reg, v, m.name, m.port);
}

bool EnsureDefaultMachine()
{
    const std::filesystem::path ini = NetworkConfig::Path();
    if (std::filesystem::exists(ini))
        return false;
    FileLock lock(MachineRunDir() / "seed.lock");
    if (std::filesystem::exists(ini))
        return false;
    try {
        TRegistry reg;
        SeedDefaultModems(reg, ReadMachineVersion());
    } catch (const std::exception&) {
        // a registry that cannot be written: the machine simply has no modems
    }
    // Written as shipped (with its comments), atomically.
    const std::filesystem::path tmp = ini.string() + ".tmp";
    // The user's alone, like every file of the root.
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (FILE* f = fd >= 0 ? ::fdopen(fd, "wb") : nullptr) {
        std::fputs(DefaultNetworkIni(), f);
        std::fflush(f);
        ::fsync(::fileno(f));
        std::fclose(f);
        std::error_code ec;
        std::filesystem::rename(tmp, ini, ec);
    } else if (fd >= 0) {
        ::close(fd);
    }
    return true;
}

} // namespace sp::ras
