#include "platform/rasapi/RasClient.h"

#include "platform/base/MachineRoot.h"
#include "platform/rasapi/ras.h"
#include "platform/rasapi/ServiceStart.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

namespace sp::ras {

namespace {

std::mutex g_poolMutex;
std::vector<int> g_pool;
pid_t g_poolOwner = 0; // a forked child must not share its parent's connections

std::string DaemonPath()
{
    if (const char* env = std::getenv("SKYPORTAL_RASMAN"); env && *env)
        return env;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&RasDialA), &info) != 0 && info.dli_fname) {
        std::error_code ec;
        const auto lib = std::filesystem::canonical(info.dli_fname, ec);
        if (!ec)
            return (lib.parent_path() / "rasman").string();
    }
    return "rasman";
}

bool Stale(int fd)
{
    // A pooled connection that is readable or hung up belongs to a daemon
    // that has gone (replies never arrive unasked).
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) != 0;
}

} // namespace

bool StartService() { return StartServiceWith(DaemonPath()); }

RasClient& RasClient::Instance()
{
    static RasClient client;
    return client;
}

int RasClient::ConnectOrStart()
{
    bool busy = false;
    int fd = ConnectToService(&busy);
    if (fd >= 0 || busy)
        return fd; // a daemon that does not take connections is not answering, not absent
    if (!StartService())
        return -1;
    return ConnectToService();
}

int RasClient::Open() { return ConnectOrStart(); }

int RasClient::Acquire()
{
    {
        std::lock_guard lock(g_poolMutex);
        if (g_poolOwner != ::getpid()) {
            for (const int fd : g_pool)
                ::close(fd);
            g_pool.clear();
            g_poolOwner = ::getpid();
        }
        while (!g_pool.empty()) {
            const int fd = g_pool.back();
            g_pool.pop_back();
            if (!Stale(fd))
                return fd;
            ::close(fd);
        }
    }
    return ConnectOrStart();
}

void RasClient::Release(int fd)
{
    std::lock_guard lock(g_poolMutex);
    if (g_poolOwner == ::getpid() && g_pool.size() < 8)
        g_pool.push_back(fd);
    else
        ::close(fd);
}

bool RasClient::Call(Msg type, const std::string& payload, Frame& reply)
{
    const int fd = Acquire();
    if (fd < 0)
        return false;
    if (!Exchange(fd, type, payload, reply) || reply.type != Msg::Reply) {
        ::close(fd);
        return false;
    }
    Release(fd);
    return true;
}

} // namespace sp::ras
