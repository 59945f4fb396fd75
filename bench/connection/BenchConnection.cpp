// Usage: bench_connection [dials] [watch-seconds]   (defaults 20 and 60)
//
// 1. OpenConnection on a simulated network without delays, then with a delay
//    between states: wall time beside the sum of the network's own delays,
//    median of the dials; the difference is what the program adds.
// 2. A connection watched by the statistics thread at its real pace: CPU time
//    of this process and of the service over the period.
// Runs on a temporary machine root with the program's real round lengths.
#include "connection/ui/ConnectionWindow.h"
#include "connection/MainWindowMessages.h"
#include "connection/TStatThread.h"
#include "platform/base/CommandLine.h"
#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/RasCtl.h"
#include "platform/system/WindowMessages.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"
#include "ras/TrafficCounters.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Transitions the simulated dial waits for: 11 reported states, the first
// after one delay too.
constexpr int kDelayedSteps = 11;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void SetDelay(int ms)
{
    sp::IniFile net = sp::IniFile::Load(sp::MachineRoot() / "network.ini");
    net.Set("Service", "StateDelayMs", std::to_string(ms));
    (void)net.Save(sp::MachineRoot() / "network.ini");
}

std::vector<double> Dials(int count)
{
    std::vector<double> times;
    std::string entry;
    for (int i = 0; i < count; ++i) {
        std::vector<std::string> apns{"internet"};
        const auto t0 = Clock::now();
        const HRASCONN h = sp::OpenConnection("USB GPRS Modem", entry, apns);
        const auto t1 = Clock::now();
        if (h == 0) {
            std::fprintf(stderr, "dial %d failed\n", i);
            std::exit(1);
        }
        times.push_back(Ms(t1 - t0));
        sp::CloseConnection(h);
    }
    return times;
}

// The same dial straight through the client library, the service's and the
// network's own time: the operator's entry, a notifier, the wait for the end.
std::mutex gBareMutex;
std::condition_variable gBareCv;
bool gBareDone = false;
void BareNotifier(sp::UINT, RASCONNSTATE state, DWORD error)
{
    if (error != 0 || state == RASCS_Connected) {
        std::lock_guard lk(gBareMutex);
        gBareDone = true;
        gBareCv.notify_all();
    }
}

std::vector<double> BareDials(int count)
{
    const auto dial = sp::RasProcAs<PFN_RasDialA>("RasDialA");
    const auto hangUp = sp::RasProcAs<PFN_RasHangUpA>("RasHangUpA");
    const auto status = sp::RasProcAs<PFN_RasGetConnectStatusA>("RasGetConnectStatusA");
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        RASDIALPARAMS_1060 p{};
        p.dwSize = sizeof p;
        std::strcpy(p.szEntryName, "Zentora");
        std::strcpy(p.szPhoneNumber, "*99***1#");
        std::strcpy(p.szUserName, "vexul");
        std::strcpy(p.szPassword, "vexul");
        gBareDone = false;
        HRASCONN h = 0;
        const auto t0 = Clock::now();
        if (dial(nullptr, nullptr, reinterpret_cast<LPRASDIALPARAMSA>(&p), 0, reinterpret_cast<LPVOID>(&BareNotifier),
                 &h) != 0) {
            std::fprintf(stderr, "bare dial %d refused\n", i);
            std::exit(1);
        }
        {
            std::unique_lock lk(gBareMutex);
            gBareCv.wait(lk, [] { return gBareDone; });
        }
        times.push_back(Ms(Clock::now() - t0));
        hangUp(h);
        RASCONNSTATUS_288 st{};
        st.dwSize = sizeof st;
        while (status(h, reinterpret_cast<LPRASCONNSTATUSA>(&st)) != ERROR_INVALID_HANDLE)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return times;
}

// CPU seconds (user + system) of a process from /proc.
double ProcessCpu(pid_t pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream rest(stat.substr(close + 2));
    std::string field;
    unsigned long utime = 0;
    unsigned long stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

pid_t ServicePid()
{
    std::ifstream f(sp::MachineRoot() / "run" / "rasman.pid");
    long pid = 0;
    f >> pid;
    return static_cast<pid_t>(pid);
}

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int dials = argc > 1 ? std::max(3, std::atoi(argv[1])) : 20;
    const int watchSeconds = argc > 2 ? std::max(4, std::atoi(argv[2])) : 60;

    std::string tmpl = (std::filesystem::temp_directory_path() / "sp-bench-conn-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        return 1;
    const std::filesystem::path root = tmpl;
    ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
    sp::WriteMachineVersion(sp::MachineVersion{5, 1, true});
    sp::SetCommandLine({"bench_connection"});
    sp::InitRasGlobals();
    sp::ras::EnsureDefaultMachine();

    std::printf("OpenConnection beside the same dial made straight through the library, median of %d\n", dials);
    (void)Dials(1); // the service starts, the entry is made
    for (const int delay : {0, 30}) {
        SetDelay(delay);
        const double program = Median(Dials(dials));
        const double bare = Median(BareDials(dials));
        std::printf("  state delay %2d ms (network %3d ms): OpenConnection %7.1f ms, bare dial %7.1f ms, "
                    "overhead %6.1f ms (%.2fx)\n",
                    delay, delay * kDelayedSteps, program, bare, program - bare, program / bare);
    }

    // A connection watched at the program's pace.
    SetDelay(5);
    std::string entry;
    std::vector<std::string> apns{"internet"};
    const HRASCONN h = sp::OpenConnection("USB GPRS Modem", entry, apns);
    std::atomic<HRASCONN> conn{h};
    sp::SetMainConnectionSource([&] { return conn.load(); });
    std::atomic<int> samples{0};
    sp::TMessageWindow wnd([&](sp::UINT msg, sp::WPARAM, sp::LPARAM) {
        if (msg == sp::WM_STAT_UPDATE)
            ++samples;
        return sp::LRESULT{0};
    });
    auto watch = sp::TThread::Create<sp::TStatThread>(wnd.Handle());
    const pid_t service = ServicePid();
    const double cpu0 = ProcessCpu(::getpid());
    const double svc0 = ProcessCpu(service);
    const auto t0 = Clock::now();
    watch->Resume();
    {
        // The program's own way of waiting: an event loop that sleeps until
        // the statistics thread sends.
        QEventLoop loop;
        QTimer::singleShot(watchSeconds * 1000, &loop, &QEventLoop::quit);
        loop.exec();
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    const double cpu = ProcessCpu(::getpid()) - cpu0;
    const double svc = ProcessCpu(service) - svc0;
    watch->Terminate();
    std::printf("Watching one connection for %.0f s (%d samples)\n", wall, samples.load());
    std::printf("  program %.3f s CPU (%.3f %% of a core), service %.3f s (%.3f %%), together %.3f %%\n", cpu,
                100 * cpu / wall, svc, 100 * svc / wall, 100 * (cpu + svc) / wall);
    sp::CloseConnection(h);
    sp::SetMainConnectionSource({});
    std::ostringstream out;
    (void)sp::ras::RasCtl({"service", "stop"}, out, out);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return 0;
}
