// Dial and hang up N times (default 1000) through the program's connection
// manager against the real service, on a machine root of its own. Prints the
// live heap of this process and the resident memory of both processes at
// every tenth of the run; fails when a dial fails, a hang-up leaves the link,
// or the heap after the run is more than 1 MiB above the heap after the
// first tenth. Under AddressSanitizer the leak check at exit covers the rest.
// Usage: reliability_dial_cycles [cycles]
#include "connection/ui/ConnectionWindow.h"
#include "connection/ConnectionState.h"
#include "dialogs/TfrmProgress.h"
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
#include <QLabel>

#include <malloc.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header does not come with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

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

// Bytes the program holds on its heap right now.
size_t LiveHeap()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

long RssKiB(long pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

long ServicePid()
{
    std::ifstream f(sp::MachineRoot() / "run" / "rasman.pid");
    long pid = 0;
    f >> pid;
    return pid;
}

class Host : public sp::IConnectionHost {
public:
    // Updated already: no request to the operator's server per dial.
    bool APNUpdated() const override { return true; }
    void SetAPNUpdated(bool) override {}
    std::string GetAPNVersionString() const override { return "1.0.0"; }
    void SetAPNVersion(const std::string&) override {}
    QWidget* ProgressOwner() const override { return nullptr; }
};

} // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const int cycles = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;

    std::string tmpl = (std::filesystem::temp_directory_path() / "sp-dial-cycles-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        return 2;
    const std::filesystem::path root = tmpl;
    ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
    sp::WriteMachineVersion(sp::MachineVersion{5, 1, true});
    sp::SetCommandLine({"reliability_dial_cycles"});
    sp::InitRasGlobals();
    sp::ras::EnsureDefaultMachine();
    {
        sp::IniFile net = sp::IniFile::Load(sp::MachineRoot() / "network.ini");
        net.Set("Service", "StateDelayMs", "0");
        (void)net.Save(sp::MachineRoot() / "network.ini");
    }
    Host host;
    sp::SetConnectionHost(&host);
    int failedShown = 0;
    sp::SetProgressFailureHook([&](sp::TfrmProgress& form) {
        ++failedShown;
        std::fprintf(stderr, "failed dial shown: %s\n", form.lblProgress()->text().toStdString().c_str());
    });
    sp::TMessageWindow receiver([](sp::UINT, sp::WPARAM, sp::LPARAM) { return sp::LRESULT{0}; });
    sp::SetMainWindowHandle(receiver.Handle());

    int failures = 0;
    size_t heapAtTenth = 0;
    const auto t0 = std::chrono::steady_clock::now();
    std::string entry;
    for (int i = 1; i <= cycles; ++i) {
        std::vector<std::string> apns{"internet"};
        const HRASCONN h = sp::OpenConnection("USB GPRS Modem", entry, apns);
        if (h == 0 || !sp::ConnIsOpen(h)) {
            ++failures;
            std::fprintf(stderr, "cycle %d: the dial failed\n", i);
        }
        if (!sp::CloseConnection(h) || (h != 0 && sp::ConnIsOpen(h))) {
            ++failures;
            std::fprintf(stderr, "cycle %d: the hang-up left the link\n", i);
        }
        sp::ProcessMessages();
        if (i % (cycles / 10) == 0) {
            // Workers of the last calls end by themselves; let them go first.
            for (int k = 0; k < 200 && sp::TRasThread::Alive() > 0; ++k) {
                sp::ProcessMessages();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            const size_t heap = LiveHeap();
            if (i == cycles / 10)
                heapAtTenth = heap;
            std::printf("cycle %5d: heap %8.1f KiB, program RSS %6ld KiB, service RSS %6ld KiB\n", i,
                        static_cast<double>(heap) / 1024, RssKiB(::getpid()), RssKiB(ServicePid()));
            std::fflush(stdout);
        }
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double growth = (static_cast<double>(LiveHeap()) - static_cast<double>(heapAtTenth)) / 1024;
    std::printf("%d dial/hang-up cycles in %.1f s (%.1f ms each), %d failures, %d failed dials shown; "
                "heap growth after the first tenth %.1f KiB\n",
                cycles, secs, 1000 * secs / cycles, failures, failedShown, growth);

    sp::SetProgressFailureHook({});
    sp::SetConnectionHost(nullptr);
    sp::SetMainWindowHandle(0);
    std::ostringstream out;
    (void)sp::ras::RasCtl({"service", "stop"}, out, out);
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
    return failures == 0 && growth < 1024 ? 0 : 1;
}
