#include "ServiceFixture.h"

#include "platform/base/MachineRoot.h"
#include "platform/rasapi/RasProtocol.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/Devices.h"
#include "platform/rasman/RasCtl.h"
#include "platform/registry/Registry.h"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;

void* ServiceFixture::Lib()
{
    static void* handle = [] {
        const char* bin = std::getenv("SKYPORTAL_BIN_DIR");
        const std::string path = std::string(bin ? bin : ".") + "/libskyportal-rasapi.so";
        void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h)
            ADD_FAILURE() << "dlopen: " << ::dlerror();
        return h;
    }();
    return handle;
}

void* ServiceFixture::Sym(const char* name)
{
    void* p = ::dlsym(Lib(), name);
    if (!p)
        ADD_FAILURE() << "missing export " << name;
    return p;
}

void ServiceFixture::SetUp()
{
    char tmpl[] = "/tmp/rasapi-test-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    ::setenv("SKYPORTAL_ROOT", tmpl, 1);
    ASSERT_TRUE(sp::ras::EnsureDefaultMachine());
    SetNetwork("Service", "StateDelayMs", "20");
    SetNetwork("Service", "TickMs", "50");
    // Nothing of this machine's: no system bus (no ModemManager), and the
    // serial ports' lock files in a folder of the test's own.
    ::setenv("SKYPORTAL_SYSTEM_BUS_ADDRESS", ("unix:path=" + (root_ / "no-system-bus").string()).c_str(), 1);
    fs::create_directories(root_ / "lock");
    SetNetwork("Service", "LockDir", (root_ / "lock").string());
}

void ServiceFixture::TearDown()
{
    StopDaemon();
    std::error_code ec;
    fs::remove_all(root_, ec);
}

int ServiceFixture::DaemonPid() const
{
    std::ifstream in(root_ / "run" / "rasman.pid");
    int pid = 0;
    in >> pid;
    return pid;
}

void ServiceFixture::StopDaemon()
{
    const int pid = DaemonPid();
    std::ostringstream out, err;
    sp::ras::RasCtl({"service", "stop"}, out, err);
    if (pid <= 0)
        return;
    // The daemon is not our child; it is gone when its pid file lock is free
    // and the process has left (or is a zombie of its reaper).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line))
            return;
        const auto close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'Z')
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
}

void ServiceFixture::SetNetwork(const std::string& section, const std::string& key, const std::string& value)
{
    const fs::path p = root_ / "network.ini";
    sp::IniFile ini = sp::IniFile::Load(p);
    ini.Set(section, key, value);
    ASSERT_TRUE(ini.Save(p));
}

void ServiceFixture::SetVersion(int major, int minor, bool nt)
{
    sp::MachineVersion v;
    v.major = major;
    v.minor = minor;
    v.nt = nt;
    sp::WriteMachineVersion(v);
    // The default modems of the other family's registry layout.
    sp::TRegistry reg;
    sp::ras::SeedDefaultModems(reg, v);
}

void ServiceFixture::Reload()
{
    std::ostringstream out, err;
    ASSERT_EQ(sp::ras::RasCtl({"reload"}, out, err), 0) << err.str();
}

DWORD ServiceFixture::MakeEntry(const std::string& name, const std::string& device, const std::string& number,
                                DWORD size)
{
    RASENTRYA e{};
    e.dwSize = size;
    e.dwfOptions = 0x388C0110;
    e.dwfNetProtocols = RASNP_Ip;
    e.dwFramingProtocol = RASFP_Ppp;
    std::strcpy(e.szDeviceType, "modem");
    std::strncpy(e.szDeviceName, device.c_str(), RAS_MaxDeviceName);
    std::strncpy(e.szLocalPhoneNumber, number.c_str(), RAS_MaxPhoneNumber);
    return RAS(RasSetEntryPropertiesA)(nullptr, name.c_str(), &e, size, nullptr, 0);
}

void ServiceFixture::SetModemInit(const std::string& modem, const std::string& init)
{
    const sp::MachineVersion v = sp::ReadMachineVersion();
    sp::TRegistry reg;
    reg.SetRootKey(sp::RegHive::LocalMachine);
    const std::string base = v.nt ? sp::ras::kNtModemClassKey : sp::ras::k9xModemEnumKey;
    ASSERT_TRUE(reg.OpenKeyReadOnly(base));
    for (const std::string& sub : reg.GetKeyNames()) {
        ASSERT_TRUE(reg.OpenKey(base + "\\" + sub, false));
        if (reg.ReadString("FriendlyName") != modem)
            continue;
        if (!v.nt) {
            ASSERT_TRUE(reg.OpenKey(std::string(sp::ras::k9xDriverClassKey) + reg.ReadString("Driver"), true));
        }
        reg.WriteString("UserInit", init);
        return;
    }
    FAIL() << "no modem " << modem;
}
