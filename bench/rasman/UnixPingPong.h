#pragma once

// The floor under every remote access call: one request and one answer of
// the same small size over a Unix stream socket to another process that
// does nothing else. Round trips in microseconds.
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

inline std::vector<double> UnixPingPong(int rounds, size_t bytes = 24)
{
    std::vector<double> us;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return us;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(sv[0]);
        std::vector<char> buf(bytes);
        for (;;) {
            size_t got = 0;
            while (got < bytes) {
                const ssize_t n = ::recv(sv[1], buf.data() + got, bytes - got, 0);
                if (n <= 0)
                    ::_exit(0);
                got += static_cast<size_t>(n);
            }
            if (::send(sv[1], buf.data(), bytes, MSG_NOSIGNAL) != static_cast<ssize_t>(bytes))
                ::_exit(0);
        }
    }
    ::close(sv[1]);
    std::vector<char> buf(bytes, 'x');
    us.reserve(static_cast<size_t>(rounds));
    for (int i = 0; i < rounds && child > 0; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        if (::send(sv[0], buf.data(), bytes, MSG_NOSIGNAL) != static_cast<ssize_t>(bytes))
            break;
        size_t got = 0;
        while (got < bytes) {
            const ssize_t n = ::recv(sv[0], buf.data() + got, bytes - got, 0);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    }
    ::close(sv[0]);
    if (child > 0)
        ::waitpid(child, nullptr, 0);
    return us;
}
