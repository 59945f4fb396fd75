#include "NginxServer.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace sptest {

namespace {
std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const fs::path& p, std::string_view content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// nginx writes its pid file once its listening socket is open; waiting for
// that file is waiting until it accepts connections.
void WaitForPidFile(const fs::path& logs, pid_t child) {
    int in = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (in < 0)
        throw std::runtime_error("inotify");
    ::inotify_add_watch(in, logs.c_str(), IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE);
    const fs::path pidFile = logs / "nginx.pid";
    for (int round = 0; round < 200; ++round) {
        if (fs::exists(pidFile) && fs::file_size(pidFile) > 0)
            break;
        int status = 0;
        if (::waitpid(child, &status, WNOHANG) == child) {
            ::close(in);
            throw std::runtime_error("nginx ended at start:\n" + ReadAll(logs / "error.log"));
        }
        pollfd p{in, POLLIN, 0};
        if (::poll(&p, 1, 100) > 0) {
            char buf[4096];
            while (::read(in, buf, sizeof buf) > 0) {
            }
        }
    }
    ::close(in);
    if (!fs::exists(pidFile))
        throw std::runtime_error("nginx did not start:\n" + ReadAll(logs / "error.log"));
}
} // namespace

TNginxServer::TNginxServer(std::string address) : FAddress(std::move(address)) {
    char tmpl[] = "/tmp/sp-nginx-XXXXXX";
    if (::mkdtemp(tmpl) == nullptr)
        throw std::runtime_error("mkdtemp");
    FPrefix = tmpl;
    const fs::path source = fs::path(SKYPORTAL_SOURCE_DIR) / "server";
    fs::copy(source / "www", FPrefix / "www", fs::copy_options::recursive);
    fs::create_directories(FPrefix / "logs");
    fs::create_directories(FPrefix / "temp");

    // The operator's configuration, bound to this test's address only.
    std::string conf = ReadAll(source / "nginx.conf");
    const std::string listen = "listen 80;";
    size_t at = conf.find(listen);
    if (at == std::string::npos)
        throw std::runtime_error("server/nginx.conf has no \"listen 80;\"");
    conf.replace(at, listen.size(), "listen " + FAddress + ":80;");
    WriteAll(FPrefix / "nginx.conf", conf);

    // Run as root, nginx serves through workers of an unprivileged user.
    for (const auto& entry : fs::recursive_directory_iterator(FPrefix))
        fs::permissions(entry.path(), fs::perms::others_read | fs::perms::group_read |
                                          (entry.is_directory() ? fs::perms::others_exec | fs::perms::group_exec
                                                                : fs::perms::none),
                        fs::perm_options::add);
    fs::permissions(FPrefix, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);

    const std::string prefix = FPrefix.string() + "/";
    FPid = ::fork();
    if (FPid < 0)
        throw std::runtime_error("fork");
    if (FPid == 0) {
        ::execlp("nginx", "nginx", "-p", prefix.c_str(), "-c", "nginx.conf", "-e", "logs/error.log", "-g",
                 "daemon off;", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    try {
        WaitForPidFile(FPrefix / "logs", FPid);
    } catch (...) {
        ::kill(FPid, SIGKILL);
        ::waitpid(FPid, nullptr, 0);
        fs::remove_all(FPrefix);
        throw;
    }
}

TNginxServer::~TNginxServer() {
    ::kill(FPid, SIGTERM);
    int status = 0;
    while (::waitpid(FPid, &status, 0) < 0 && errno == EINTR) {
    }
    std::error_code ec;
    fs::remove_all(FPrefix, ec);
}

void TNginxServer::Publish(std::string_view relativePath, std::string_view content) const {
    const fs::path target = FPrefix / "www" / relativePath;
    const fs::path staging = target.string() + ".new";
    WriteAll(staging, content);
    fs::permissions(staging, fs::perms::others_read | fs::perms::group_read, fs::perm_options::add);
    fs::rename(staging, target);
}

} // namespace sptest
