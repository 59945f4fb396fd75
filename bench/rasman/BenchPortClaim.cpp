// bench_port_claim: what the serial driver adds before it opens a port,
// beside opening and setting up the port itself (a pseudo-terminal) in the
// same run: the lock file taken and removed, and the ModemManager question
// with no system bus at all and with a bus on which ModemManager does not
// run (its own dbus-daemon). Medians over 300 rounds each.
#include "platform/rasman/ModemManagerClient.h"
#include "platform/rasman/PortLock.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using sp::ras::ModemManagerClient;
constexpr int kRounds = 300;

double MedianUs(const std::function<void()>& round)
{
    std::vector<double> us;
    for (int i = 0; i < kRounds; ++i) {
        const auto t = Clock::now();
        round();
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t).count());
    }
    std::sort(us.begin(), us.end());
    return us[us.size() / 2];
}

// The question as the driver asks it: started, then followed on the bus's
// descriptor until it has an answer.
void AskModemManager(const std::string& port)
{
    auto mm = ModemManagerClient::Start(port, Clock::now());
    while (mm && mm->Process(Clock::now()) == ModemManagerClient::State::Asking) {
        std::vector<pollfd> fds;
        mm->Watch(fds);
        ::poll(fds.data(), fds.size(), 100);
    }
}

} // namespace

int main()
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("pty");
        return 1;
    }
    const std::string port = ::ptsname(master);
    char tmpl[] = "/tmp/bench-port-claim-XXXXXX";
    if (!::mkdtemp(tmpl))
        return 1;
    const std::filesystem::path dir = tmpl;

    const double open = MedianUs([&] {
        const int fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios t{};
        ::flock(fd, LOCK_EX | LOCK_NB);
        ::tcgetattr(fd, &t);
        ::cfmakeraw(&t);
        ::cfsetspeed(&t, B115200);
        ::tcsetattr(fd, TCSANOW, &t);
        ::close(fd);
    });
    const double lock = MedianUs([&] {
        sp::ras::PortLock l;
        (void)l.Take(dir, port);
    });
    ::setenv("SKYPORTAL_SYSTEM_BUS_ADDRESS", ("unix:path=" + (dir / "no-bus").string()).c_str(), 1);
    const double noBus = MedianUs([&] { AskModemManager(port); });

    std::ofstream(dir / "bus.conf") << "<busconfig><listen>unix:path=" << (dir / "bus").string()
                                    << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                       "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                       "<allow own=\"*\"/></policy></busconfig>\n";
    int out[2];
    if (::pipe(out) != 0)
        return 1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string config = "--config-file=" + (dir / "bus.conf").string();
    char* argv[] = {const_cast<char*>("/usr/bin/dbus-daemon"), const_cast<char*>(config.c_str()),
                    const_cast<char*>("--nofork"), const_cast<char*>("--print-address=1"), nullptr};
    pid_t bus = -1;
    const bool started = ::posix_spawn(&bus, argv[0], &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string address;
    for (char c = 0; started && ::read(out[0], &c, 1) == 1 && c != '\n';)
        address += c;
    ::close(out[0]);
    if (address.empty()) {
        std::fprintf(stderr, "dbus-daemon did not start\n");
        return 1;
    }
    ::setenv("SKYPORTAL_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
    const double busNoMm = MedianUs([&] { AskModemManager(port); });
    ::kill(bus, SIGTERM);
    ::waitpid(bus, nullptr, 0);
    std::filesystem::remove_all(dir);

    std::printf("opening and setting up the port (reference): %8.1f us\n", open);
    std::printf("lock file taken and removed:                  %8.1f us (%.2fx)\n", lock, lock / open);
    std::printf("ModemManager asked, no system bus:            %8.1f us (%.2fx)\n", noBus, noBus / open);
    std::printf("ModemManager asked, a bus without it:         %8.1f us (%.2fx)\n", busNoMm, busNoMm / open);
    return 0;
}
