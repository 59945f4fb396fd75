// A request and its answer over a kept Unix stream socket to another process
// that only echoes: the floor under a status round trip through the remote
// access library and the service. Sizes like a status request and its reply.
// Usage: bench_socket_pingpong [calls]   (default 10000)

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr size_t kRequest = 24;
constexpr size_t kReply = 300;

bool WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t k = ::write(fd, p, n);
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool ReadAll(int fd, char* p, size_t n)
{
    while (n > 0) {
        const ssize_t k = ::read(fd, p, n);
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    const int calls = argc > 1 ? std::max(100, std::atoi(argv[1])) : 10000;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return 1;
    const pid_t echo = ::fork();
    if (echo == 0) {
        ::close(fds[0]);
        std::array<char, kReply> buf{};
        while (ReadAll(fds[1], buf.data(), kRequest) && WriteAll(fds[1], buf.data(), kReply)) {
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    std::array<char, kReply> buf{};
    std::vector<double> us;
    us.reserve(static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!WriteAll(fds[0], buf.data(), kRequest) || !ReadAll(fds[0], buf.data(), kReply))
            return 1;
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    ::close(fds[0]);
    ::waitpid(echo, nullptr, 0);
    std::sort(us.begin(), us.end());
    std::printf("Unix-socket ping-pong round trip over %d calls: median %.1f us, p99 %.1f us, max %.1f us\n", calls,
                us[us.size() / 2], us[us.size() * 99 / 100], us.back());
    return 0;
}
