// Usage: bench_ras [calls]   (default 1000; the daemon runs on a temporary machine root)
#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/CommandLine.h"
#include "platform/base/MachineRoot.h"
#include "platform/system/WindowMessages.h"
#include "ras/RasBinding.h"
#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"

#include "UnixPingPong.h"

namespace {

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

void Report(const char* what, std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const double median = v[v.size() / 2];
    const double p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    std::printf("%-34s median %9.1f us   p99 %9.1f us   max %9.1f us\n", what, median, p99, v.back());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const int calls = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;

    std::string tmpl = (std::filesystem::temp_directory_path() / "sp-bench-ras-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        return 1;
    const std::filesystem::path root = tmpl;
    ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
    sp::WriteMachineVersion(sp::MachineVersion{5, 1, true});
    sp::SetCommandLine({"bench_ras"});
    sp::InitRasGlobals();
    if (!sp::hRasApi) {
        std::fprintf(stderr, "the remote access library did not load\n");
        return 1;
    }
    const auto enumConns = sp::RasProcAs<PFN_RasEnumConnectionsA>("RasEnumConnectionsA");
    const auto enumDevices = sp::RasProcAs<PFN_RasEnumDevicesA>("RasEnumDevicesA");

    // Start the daemon and warm both paths up.
    RASCONN_692 conn;
    DWORD cb = 0, count = 0;
    for (int i = 0; i < 20; ++i) {
        std::memset(&conn, 0, sizeof conn);
        conn.dwSize = 692;
        cb = sizeof conn;
        (void)sp::Ras2k::RasEnumConnectionsA(&conn, &cb, &count);
        (void)enumConns(&conn, &cb, &count);
    }

    std::vector<double> guarded, direct;
    int fullRounds = 0;
    for (int i = 0; i < calls; ++i) {
        std::memset(&conn, 0, sizeof conn);
        conn.dwSize = 692;
        cb = sizeof conn;
        auto t0 = Clock::now();
        const DWORD a = sp::Ras2k::RasEnumConnectionsA(&conn, &cb, &count);
        guarded.push_back(Us(Clock::now() - t0));
        fullRounds += Us(Clock::now() - t0) >= 500000.0;

        std::memset(&conn, 0, sizeof conn);
        conn.dwSize = 692;
        cb = sizeof conn;
        t0 = Clock::now();
        const DWORD b = enumConns(&conn, &cb, &count);
        direct.push_back(Us(Clock::now() - t0));
        if (a != 0 || b != 0) {
            std::fprintf(stderr, "unexpected results %u %u\n", a, b);
            return 1;
        }
    }
    // What the probe itself asks, made directly.
    std::vector<double> probeCall;
    for (int i = 0; i < calls; ++i) {
        DWORD pcb = 0, pcount = 0;
        const auto t0 = Clock::now();
        (void)enumDevices(nullptr, &pcb, &pcount);
        probeCall.push_back(Us(Clock::now() - t0));
    }
    const std::vector<double> bare = UnixPingPong(calls);
    std::printf("RasEnumConnectionsA against a ready service, %d calls each, round 500 ms\n", calls);
    Report("guarded (probe + call)", guarded);
    Report("direct (call only)", direct);
    Report("the probe's RasEnumDevicesA, direct", probeCall);
    Report("bare Unix-socket ping-pong", bare);
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("guarded / direct: %.2f   direct / ping-pong: %.2f\n", median(guarded) / median(direct),
                median(direct) / median(bare));
    std::printf("guarded calls that waited a whole round: %d\n", fullRounds);

    while (sp::TRasThread::Alive() > 0)
        sp::ProcessMessages();
    const std::string stop = "'" + (std::filesystem::path(sp::ProgramFile()).parent_path() / "rasctl").string() +
                             "' service stop >/dev/null 2>&1";
    (void)std::system(stop.c_str());
    for (int i = 0; i < 1000 && std::filesystem::exists(root / "run" / "rasman.sock"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
