// The settings store under SIGKILL.
//   reliability_settings_writer write FIRST   saves the five settings again and
//       again through the main window's SaveSettings, generation FIRST, FIRST+1, ...
//   reliability_settings_writer kill-loop N   N times: a child of this process
//       saves in a loop and is killed with SIGKILL at a random moment once it
//       saves; after each kill another child runs the check below. The window
//       is made once, before the children, so the kills land in saves.
//   reliability_settings_writer check         reads them back; prints the newest
//       generation; fails unless every value is there, deciphers to its
//       generation's text, and the values are at most one generation apart,
//       newer ones first in the order they are written (each value is its own
//       transaction, so a kill between two leaves the older ones behind).
// The machine root is $SKYPORTAL_ROOT.
#include "app/fGprsMain.h"
#include "crypto/uEncrypt.h"
#include "platform/base/CommandLine.h"
#include "platform/base/Cp1251.h"
#include "platform/registry/Registry.h"

#include <QApplication>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <random>
#include <thread>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kKey = "\\Software\\Zentora\\Skyportal";

// The number after a value's fixed prefix, or nothing.
std::optional<long> Generation(const std::string& text, const std::string& prefix, const std::string& suffix = {})
{
    if (text.size() <= prefix.size() + suffix.size() || text.compare(0, prefix.size(), prefix) != 0 ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::nullopt;
    const std::string digits = text.substr(prefix.size(), text.size() - prefix.size() - suffix.size());
    char* end = nullptr;
    const long n = std::strtol(digits.c_str(), &end, 10);
    if (digits.empty() || *end != '\0')
        return std::nullopt;
    return n;
}

int Check()
{
    sp::TRegistry reg;
    reg.SetRootKey(sp::RegHive::LocalMachine);
    if (!reg.OpenKeyReadOnly(kKey)) {
        std::printf("none\n"); // killed before the first save finished
        return 0;
    }
    const auto value = [&](const char* name) { return sp::Cp1251ToUtf8(sp::DecryptString(reg.ReadString(name))); };
    const std::vector<std::pair<std::string, std::optional<long>>> gens = {
        {"Modem", Generation(value("Modem"), "Модем ")},
        {"Connection", Generation(value("Connection"), "Zentora ")},
        {"APNs", Generation(value("APNs"), "apn", "\r\ninternet\r\n")},
        {"APNVersion", Generation(value("APNVersion"), "")},
    };
    const std::string stage = value("StartStage");
    // The very first save may have been cut short: later values not written yet.
    long newest = -1;
    long previous = -1;
    bool ok = true;
    bool missing = false;
    for (const auto& [name, gen] : gens) {
        if (!gen) {
            if (!reg.ValueExists(name)) {
                missing = true;
                continue;
            }
            std::printf("%s unreadable: \"%s\"\n", name.c_str(), value(name.c_str()).c_str());
            ok = false;
            continue;
        }
        if (missing) {
            std::printf("%s present after a missing value\n", name.c_str());
            ok = false;
        }
        if (newest < 0)
            newest = *gen;
        if (previous >= 0 && (*gen > previous || previous - *gen > 1)) {
            std::printf("%s at generation %ld after %ld\n", name.c_str(), *gen, previous);
            ok = false;
        }
        previous = *gen;
    }
    if (!missing && stage != "2") {
        std::printf("StartStage \"%s\"\n", stage.c_str());
        ok = false;
    }
    std::printf("%ld\n", newest);
    return ok ? 0 : 1;
}

// Saves from generation `gen` on, for ever, each finished save's number
// written to `out`.
[[noreturn]] void SaveForever(sp::TfrmGprsMain& window, long gen, int out)
{
    for (;; ++gen) {
        const std::string n = std::to_string(gen);
        window.FModem = "Модем " + n;
        window.FConnection = "Zentora " + n;
        window.FAPNs = {"apn" + n, "internet"};
        window.FAPNVersion = n;
        window.SaveSettings();
        const std::string line = n + "\n";
        (void)!::write(out, line.data(), line.size());
    }
}

int KillLoop(sp::TfrmGprsMain& window, int kills)
{
    std::mt19937 random(std::random_device{}());
    long gen = 0;
    int bad = 0;
    int cutShort = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 1; i <= kills; ++i) {
        int pipeFd[2];
        if (::pipe(pipeFd) != 0)
            return 2;
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(pipeFd[0]);
            SaveForever(window, gen, pipeFd[1]);
        }
        ::close(pipeFd[1]);
        // The first finished save, then a random moment within the next ones.
        std::string saved;
        char buf[256];
        ssize_t n = ::read(pipeFd[0], buf, sizeof buf);
        if (n > 0)
            saved.append(buf, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        while ((n = ::read(pipeFd[0], buf, sizeof buf)) > 0)
            saved.append(buf, static_cast<size_t>(n));
        ::close(pipeFd[0]);
        long lastSaved = -1;
        if (const size_t end = saved.rfind('\n'); end != std::string::npos) {
            const size_t start = saved.rfind('\n', end - 1);
            lastSaved = std::atol(saved.c_str() + (start == std::string::npos ? 0 : start + 1));
        }

        int checkPipe[2];
        if (::pipe(checkPipe) != 0)
            return 2;
        const pid_t checker = ::fork();
        if (checker == 0) {
            ::dup2(checkPipe[1], STDOUT_FILENO);
            ::close(checkPipe[0]);
            std::fflush(stdout);
            const int rc = Check();
            std::fflush(stdout);
            ::_exit(rc);
        }
        ::close(checkPipe[1]);
        std::string report;
        while ((n = ::read(checkPipe[0], buf, sizeof buf)) > 0)
            report.append(buf, static_cast<size_t>(n));
        ::close(checkPipe[0]);
        int status = 0;
        ::waitpid(checker, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++bad;
            std::printf("kill %d: %s", i, report.c_str());
        }
        const long newest = std::atol(report.c_str() + (report.rfind('\n', report.size() - 2) == std::string::npos
                                                             ? 0
                                                             : report.rfind('\n', report.size() - 2) + 1));
        if (newest > lastSaved)
            ++cutShort;
        gen = std::max(gen, newest + 1);
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("settings saves: %d kills in %.0f s, %ld saves made, %d kills inside a save, %d inconsistent reads\n",
                kills, secs, gen, cutShort, bad);
    return bad == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "check")
        return Check();
    if (mode != "write" && mode != "kill-loop")
        return 2;
    long gen = argc > 2 ? std::atol(argv[2]) : 0;
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    sp::SetCommandLine({"skyportal"});
    sp::TfrmGprsMain window;
    window.FStage = 2;
    if (mode == "kill-loop")
        return KillLoop(window, static_cast<int>(gen));
    SaveForever(window, gen, STDOUT_FILENO);
}
