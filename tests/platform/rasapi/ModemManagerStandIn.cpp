#include "ModemManagerStandIn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Starts argv with its standard output into a pipe; the pipe's read end.
pid_t Spawn(const std::vector<std::string>& args, int& out)
{
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, p[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(p[1]);
    out = p[0];
    return pid;
}

// The first line the pipe gives within timeout; the pipe is closed after.
std::string FirstLine(int fd, std::chrono::milliseconds timeout)
{
    std::string line;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0)
            continue;
        char c = 0;
        if (::read(fd, &c, 1) != 1)
            break;
        if (c == '\n')
            break;
        line += c;
    }
    ::close(fd);
    return line;
}

void Stop(pid_t& pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

} // namespace

ModemManagerStandIn::ModemManagerStandIn(const std::filesystem::path& dir, const std::string& port, Mode mode,
                                         const std::vector<std::string>& options)
    : dir_(dir)
{
    if (const char* v = std::getenv("SKYPORTAL_SYSTEM_BUS_ADDRESS"))
        previous_ = v;
    std::filesystem::create_directories(dir_);
    const std::filesystem::path config = dir_ / "bus.conf";
    std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
                             " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                             "<busconfig>\n"
                             "  <listen>unix:path=" << (dir_ / "bus").string() << "</listen>\n"
                             "  <auth>EXTERNAL</auth>\n"
                             "  <policy context=\"default\">\n"
                             "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                             "    <allow eavesdrop=\"true\"/>\n"
                             "    <allow own=\"*\"/>\n"
                             "  </policy>\n"
                             "</busconfig>\n";
    int out = -1;
    bus_ = Spawn({"/usr/bin/dbus-daemon", "--config-file=" + config.string(), "--nofork", "--print-address=1"}, out);
    if (bus_ <= 0)
        return;
    address_ = FirstLine(out, std::chrono::seconds(10));
    if (address_.empty())
        return;
    ::setenv("SKYPORTAL_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
    if (mode == Mode::Absent) {
        ready_ = true;
        return;
    }
    const char* modes[] = {"normal", "denied", "old"};
    std::vector<std::string> args = {SKYPORTAL_SYSTEM_PYTHON, SKYPORTAL_MM_STANDIN, "--address", address_, "--port", port,
                                     "--uid", kUid, "--record", (dir_ / "record").string(),
                                     "--mode", modes[static_cast<int>(mode)]};
    args.insert(args.end(), options.begin(), options.end());
    manager_ = Spawn(args, out);
    if (manager_ > 0)
        ready_ = FirstLine(out, std::chrono::seconds(20)) == "ready";
}

ModemManagerStandIn::~ModemManagerStandIn()
{
    Stop(manager_);
    Stop(bus_);
    ::setenv("SKYPORTAL_SYSTEM_BUS_ADDRESS", previous_.c_str(), 1);
}

std::vector<std::string> ModemManagerStandIn::Record() const
{
    std::vector<std::string> lines;
    std::ifstream in(dir_ / "record");
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool ModemManagerStandIn::WaitRecord(std::string_view line, std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    do {
        const std::vector<std::string> lines = Record();
        if (std::find(lines.begin(), lines.end(), line) != lines.end())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
}
