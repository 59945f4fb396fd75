#include "platform/rasapi/ServiceStart.h"

#include "platform/base/MachineRoot.h"
#include "platform/rasapi/RasLibrary.h"
#include "platform/rasapi/RasProtocol.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

namespace sp::ras {

namespace {

// Double fork: the daemon belongs to no client and lives in a session of its
// own, so connections outlive the program that dialled them.
bool Spawn(const std::string& exe)
{
    const std::string log = (MachineRunDir() / "rasman.log").string();
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::setsid();
        if (::fork() != 0)
            ::_exit(0);
        const int devnull = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (devnull >= 0)
            ::dup2(devnull, 0);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        ::close_range(3, ~0U, 0);
        ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

// The daemon lies beside the library and the tools in the build; in an
// installed tree it lies in the private folder beside the library, and a
// tool in bin/ finds it there.
std::string ResolveDaemon(const std::string& exe)
{
    if (::access(exe.c_str(), X_OK) == 0)
        return exe;
    const std::filesystem::path given(exe);
    const std::filesystem::path installed = given.parent_path().parent_path() / PrivateLibFolder() / given.filename();
    if (given.has_parent_path() && ::access(installed.c_str(), X_OK) == 0)
        return installed.string();
    return exe;
}

} // namespace

bool StartServiceWith(const std::string& given)
{
    const std::string exe = ResolveDaemon(given);
    bool busy = false;
    if (const int fd = ConnectToService(&busy); fd >= 0 || busy) {
        if (fd >= 0)
            ::close(fd);
        return true; // one is there, answering or not
    }
    // One starter at a time per machine root.
    const int lock = ::open(StartLockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0)
        return false;
    ::flock(lock, LOCK_EX);
    bool ok = false;
    if (const int fd = ConnectToService(&busy); fd >= 0 || busy) {
        if (fd >= 0)
            ::close(fd);
        ok = true;
    } else if (Spawn(exe)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!ok && std::chrono::steady_clock::now() < deadline) {
            if (const int c = ConnectToService(); c >= 0) {
                ::close(c);
                ok = true;
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    }
    ::close(lock);
    return ok;
}

} // namespace sp::ras
