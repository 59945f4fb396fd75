// bench_rasman: median and 99th percentile of RasGetConnectStatusA over
// 10,000 calls (library loaded with dlopen, daemon on a temporary machine
// root) beside a bare Unix-socket ping-pong between two processes in the
// same run, and the daemon's resident memory with 100 phonebook entries and
// 4 live connections. Run from the build's bin folder (or set SKYPORTAL_BIN_DIR).
#include "platform/base/IniFile.h"
#include "platform/rasapi/ras.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/Devices.h"
#include "platform/rasman/RasCtl.h"
#include "platform/registry/Registry.h"

#include "UnixPingPong.h"

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

void* g_lib = nullptr;

template <typename F>
F Fn(const char* name)
{
    return reinterpret_cast<F>(::dlsym(g_lib, name));
}

std::string BinDir()
{
    if (const char* b = std::getenv("SKYPORTAL_BIN_DIR"); b && *b)
        return b;
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

long RssKiB(int pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

void Ctl(std::vector<std::string> args)
{
    std::ostringstream out, err;
    sp::ras::RasCtl(args, out, err);
}

} // namespace

int main()
{
    char tmpl[] = "/tmp/bench-rasman-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    ::setenv("SKYPORTAL_ROOT", tmpl, 1);
    sp::ras::EnsureDefaultMachine();
    {
        sp::IniFile net = sp::IniFile::Load(std::filesystem::path(tmpl) / "network.ini");
        net.Set("Service", "StateDelayMs", "1");
        net.Save(std::filesystem::path(tmpl) / "network.ini");
        // two more modems, so four links can be up at once
        sp::TRegistry reg;
        reg.SetRootKey(sp::RegHive::LocalMachine);
        for (int i = 0; i < 4; ++i) {
            const std::string key = std::string(sp::ras::kNtModemClassKey) + "\\010" + std::to_string(i);
            reg.OpenKey(key, true);
            reg.WriteString("FriendlyName", "Bench Modem " + std::to_string(i));
            reg.WriteString("AttachedTo", "COM" + std::to_string(10 + i));
            reg.WriteString("UserInit", "AT+CGDCONT=1,\"IP\",\"internet\"");
        }
    }
    g_lib = ::dlopen((BinDir() + "/libskyportal-rasapi.so").c_str(), RTLD_NOW);
    if (!g_lib) {
        std::fprintf(stderr, "dlopen: %s\n", ::dlerror());
        return 1;
    }
    auto setEntry = Fn<PFN_RasSetEntryPropertiesA>("RasSetEntryPropertiesA");
    auto dial = Fn<PFN_RasDialA>("RasDialA");
    auto status = Fn<PFN_RasGetConnectStatusA>("RasGetConnectStatusA");

    for (int i = 0; i < 100; ++i) {
        RASENTRYA e{};
        e.dwSize = 2884;
        e.dwfOptions = 0x388C0110;
        e.dwfNetProtocols = RASNP_Ip;
        e.dwFramingProtocol = RASFP_Ppp;
        std::strcpy(e.szDeviceType, "modem");
        std::snprintf(e.szDeviceName, sizeof e.szDeviceName, "Bench Modem %d", i % 4);
        std::strcpy(e.szLocalPhoneNumber, "*99#");
        const std::string name = "Entry " + std::to_string(i);
        if (setEntry(nullptr, name.c_str(), &e, 2884, nullptr, 0) != SUCCESS)
            return 1;
    }
    std::vector<HRASCONN> links;
    for (int i = 0; i < 4; ++i) {
        RASDIALPARAMSA p{};
        p.dwSize = 1060;
        std::snprintf(p.szEntryName, sizeof p.szEntryName, "Entry %d", i);
        HRASCONN h = 0;
        if (dial(nullptr, nullptr, &p, 0, nullptr, &h) != SUCCESS)
            return 1;
        links.push_back(h);
    }

    std::vector<double> us;
    us.reserve(10000);
    RASCONNSTATUSA s{};
    for (int i = 0; i < 10000; ++i) {
        s.dwSize = 288;
        const auto t0 = std::chrono::steady_clock::now();
        const DWORD r = status(links[i % 4], &s);
        const auto t1 = std::chrono::steady_clock::now();
        if (r != SUCCESS || s.rasconnstate != RASCS_Connected)
            return 1;
        us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    }
    std::sort(us.begin(), us.end());
    std::ifstream pidFile(std::string(tmpl) + "/run/rasman.pid");
    int pid = 0;
    pidFile >> pid;
    std::vector<double> bare = UnixPingPong(10000);
    if (bare.empty())
        return 1;
    std::sort(bare.begin(), bare.end());
    std::printf("RasGetConnectStatusA round trip over 10000 calls: median %.1f us, p99 %.1f us, max %.1f us\n",
                us[us.size() / 2], us[us.size() * 99 / 100], us.back());
    std::printf("bare Unix-socket ping-pong (24 bytes):            median %.1f us, p99 %.1f us, max %.1f us\n",
                bare[bare.size() / 2], bare[bare.size() * 99 / 100], bare.back());
    std::printf("status round trip / ping-pong: %.2f\n", us[us.size() / 2] / bare[bare.size() / 2]);
    std::printf("rasman resident memory with 100 entries and 4 live connections: %ld KiB\n", RssKiB(pid));

    for (HRASCONN h : links)
        Fn<PFN_RasHangUpA>("RasHangUpA")(h);
    Ctl({"service", "stop"});
    std::error_code ec;
    std::filesystem::remove_all(tmpl, ec);
    return 0;
}
