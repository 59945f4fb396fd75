#include "report/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace sp {

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    ~Pipe() {
        for (int f : fd)
            if (f >= 0)
                ::close(f);
    }
    void CloseEnd(int i) {
        if (fd[i] >= 0)
            ::close(fd[i]);
        fd[i] = -1;
    }
};

} // namespace

ChildResult RunChild(const std::vector<std::string>& argv,
                     const std::vector<std::pair<std::string, std::string>>& env,
                     std::chrono::milliseconds timeout, size_t outputLimit) {
    ChildResult r;
    if (argv.empty())
        return r;
    Pipe out, err;
    if (::pipe2(out.fd, O_CLOEXEC) != 0 || ::pipe2(err.fd, O_CLOEXEC) != 0)
        return r;

    std::vector<std::string> envText;
    for (char** e = environ; e && *e; ++e) {
        const std::string var = *e;
        const bool replaced = std::any_of(env.begin(), env.end(), [&](const auto& kv) {
            return var.compare(0, kv.first.size() + 1, kv.first + "=") == 0;
        });
        if (!replaced)
            envText.push_back(var);
    }
    for (const auto& [k, v] : env)
        envText.push_back(k + "=" + v);
    std::vector<char*> envp, args;
    for (std::string& s : envText)
        envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> argText = argv;
    for (std::string& s : argText)
        args.push_back(s.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out.fd[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err.fd[1], 2);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        r.err = std::strerror(rc);
        return r;
    }
    r.started = true;
    out.CloseEnd(1);
    err.CloseEnd(1);

    const auto deadline = std::chrono::steady_clock::now() + timeout;
    pollfd fds[2] = {{out.fd[0], POLLIN, 0}, {err.fd[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    char buf[16384];
    while (open > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            r.timedOut = true;
            break;
        }
        const int n = ::poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            const ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                fds[i].fd = -1;
                --open;
                continue;
            }
            std::string& sink = *sinks[i];
            sink.append(buf,
                        std::min(static_cast<size_t>(got), outputLimit - std::min(outputLimit, sink.size())));
        }
    }
    if (r.timedOut)
        ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!r.timedOut && WIFEXITED(status))
        r.exitCode = WEXITSTATUS(status);
    return r;
}

} // namespace sp
