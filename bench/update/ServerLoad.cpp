// Load on an update server as the subscribers make it: N slow clients that
// send half a request and hold their connection (as GPRS clients do for
// seconds, and as a careless or hostile one does for ever), reconnecting a
// second after the server drops them, while M fresh clients ask for the
// three resources one after another, one request a connection.
//   bench_server_load HOST PORT SLOW FRESH SECONDS
// Prints one line: slow connections held, answers per second, the slowest
// and the 99th-percentile answer, failed requests. Bounded: the slow clients
// get at most 10 s to connect, the fresh ones run SECONDS (at most 60), any
// request gets 5 s; then everything is closed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kRampLimit = 10s;
constexpr auto kRequestLimit = 5s;
constexpr auto kReconnectPause = 1s;
constexpr std::string_view kResources[] = {"/apn/", "/apn/list/", "/apn/first/"};

enum class Kind { Slow, Fresh };

struct TClient {
    explicit TClient(Kind k, size_t first = 0) : kind(k), resource(first) {}
    Kind kind;
    int fd = -1;
    bool connected = false;
    Clock::time_point started;
    Clock::time_point due;  // a slow client's next connect; a fresh one's deadline
    size_t resource = 0;
    std::string answer;
};

struct TFigures {
    size_t answered = 0;
    size_t failed = 0;
    size_t drops = 0;
    std::vector<double> ms;
};

class TLoad {
public:
    TLoad(sockaddr_in server, size_t slow, size_t fresh) : server_(server), ep_(::epoll_create1(EPOLL_CLOEXEC))
    {
        for (size_t i = 0; i < slow; ++i)
            clients_.push_back(std::make_unique<TClient>(Kind::Slow));
        for (size_t i = 0; i < fresh; ++i)
            clients_.push_back(std::make_unique<TClient>(Kind::Fresh, i % std::size(kResources)));
    }
    ~TLoad()
    {
        for (auto& c : clients_)
            Close(*c);
        ::close(ep_);
    }

    // Opens the slow clients in batches until all hold a connection with
    // half a request sent, or the ramp's time is up. Returns how many do.
    size_t Ramp()
    {
        const auto end = Clock::now() + kRampLimit;
        size_t next = 0;
        while (Clock::now() < end) {
            for (size_t n = 0; n < 200 && next < clients_.size() && clients_[next]->kind == Kind::Slow; ++n, ++next)
                Connect(*clients_[next]);
            Poll(20ms, false);
            if (next == SlowCount() && HeldSlow() == SlowCount())
                break;
        }
        return HeldSlow();
    }

    TFigures Run(std::chrono::seconds length)
    {
        figures_ = {};
        for (auto& c : clients_)
            if (c->kind == Kind::Fresh)
                Connect(*c);
        const auto end = Clock::now() + length;
        while (Clock::now() < end)
            Poll(10ms, true);
        return figures_;
    }

    [[nodiscard]] size_t HeldSlow() const
    {
        return static_cast<size_t>(std::count_if(clients_.begin(), clients_.end(), [](const auto& c) {
            return c->kind == Kind::Slow && c->connected;
        }));
    }

private:
    [[nodiscard]] size_t SlowCount() const
    {
        return static_cast<size_t>(
            std::count_if(clients_.begin(), clients_.end(), [](const auto& c) { return c->kind == Kind::Slow; }));
    }

    void Connect(TClient& c)
    {
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        c.connected = false;
        c.answer.clear();
        c.started = Clock::now();
        c.due = c.started + kRequestLimit;
        if (c.fd < 0) {
            Failed(c);
            return;
        }
        const int one = 1;
        ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&server_), sizeof server_) < 0 && errno != EINPROGRESS) {
            Failed(c);
            return;
        }
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
        ev.data.ptr = &c;
        ::epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev);
    }

    void Close(TClient& c)
    {
        if (c.fd >= 0)
            ::close(c.fd);
        c.fd = -1;
        c.connected = false;
    }

    // A slow client dropped by the server comes back a second later; a fresh
    // one counts a failure and asks again at the next round.
    void Failed(TClient& c)
    {
        Close(c);
        if (c.kind == Kind::Slow) {
            ++figures_.drops;
            c.due = Clock::now() + kReconnectPause;
        } else {
            ++figures_.failed;
            c.due = Clock::now();
        }
    }

    void Next(TClient& c)
    {
        c.resource = (c.resource + 1) % std::size(kResources);
        Connect(c);
    }

    void Writable(TClient& c)
    {
        int error = 0;
        socklen_t len = sizeof error;
        if (::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len) < 0 || error != 0) {
            Failed(c);
            return;
        }
        const std::string request =
            c.kind == Kind::Slow ? std::string("GET /apn/ HTTP/1.0\r\nHost: update\r\n")
                                 : "GET " + std::string(kResources[c.resource]) + " HTTP/1.0\r\nHost: update\r\n\r\n";
        if (::send(c.fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            Failed(c);
            return;
        }
        c.connected = true;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.ptr = &c;
        ::epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
    }

    void Readable(TClient& c)
    {
        char buf[4096];
        for (;;) {
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n > 0 && c.kind == Kind::Fresh) {
                c.answer.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n == 0 && c.kind == Kind::Fresh && c.answer.starts_with("HTTP/1.1 200")) {
                figures_.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c.started).count());
                ++figures_.answered;
                Close(c);
                if (running_)
                    Next(c);
                return;
            }
            Failed(c);
            return;
        }
    }

    void Poll(std::chrono::milliseconds wait, bool running)
    {
        running_ = running;
        epoll_event events[256];
        const int n = ::epoll_wait(ep_, events, 256, static_cast<int>(wait.count()));
        for (int i = 0; i < n; ++i) {
            auto& c = *static_cast<TClient*>(events[i].data.ptr);
            if (c.fd < 0)
                continue;
            if (!c.connected && (events[i].events & EPOLLOUT))
                Writable(c);
            if (c.fd >= 0 && (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)))
                Readable(c);
        }
        const auto now = Clock::now();
        for (auto& c : clients_) {
            if (c->fd < 0 && c->kind == Kind::Slow && c->due != Clock::time_point{} && now >= c->due)
                Connect(*c);
            else if (c->fd >= 0 && c->kind == Kind::Fresh && now >= c->due)
                Failed(*c);
            else if (c->fd < 0 && c->kind == Kind::Fresh && running_)
                Next(*c);
        }
    }

    sockaddr_in server_;
    int ep_;
    bool running_ = false;
    std::vector<std::unique_ptr<TClient>> clients_;
    TFigures figures_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: bench_server_load HOST PORT SLOW FRESH SECONDS\n");
        return 2;
    }
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    if (::inet_pton(AF_INET, argv[1], &server.sin_addr) != 1) {
        std::fprintf(stderr, "bench_server_load: not an IPv4 address: %s\n", argv[1]);
        return 2;
    }
    const size_t slow = std::min<size_t>(std::strtoul(argv[3], nullptr, 10), 20000);
    const size_t fresh = std::clamp<size_t>(std::strtoul(argv[4], nullptr, 10), 1, 1000);
    const auto seconds = std::chrono::seconds(std::clamp(std::atoi(argv[5]), 1, 60));

    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < slow + fresh + 64) {
        std::fprintf(stderr, "bench_server_load: %zu clients need more than %llu open files\n", slow + fresh,
                     static_cast<unsigned long long>(files.rlim_cur));
        return 2;
    }

    TLoad load(server, slow, fresh);
    const size_t held = load.Ramp();
    TFigures f = load.Run(seconds);
    std::sort(f.ms.begin(), f.ms.end());
    const double slowest = f.ms.empty() ? 0 : f.ms.back();
    const double p99 = f.ms.empty() ? 0 : f.ms[static_cast<size_t>(0.99 * static_cast<double>(f.ms.size() - 1))];
    std::printf("slow held %zu/%zu (%zu at the end, %zu dropped and back)  answers/s %.0f  slowest %.1f ms  "
                "p99 %.1f ms  failed %zu\n",
                held, slow, load.HeldSlow(), f.drops, static_cast<double>(f.answered) / static_cast<double>(seconds.count()),
                slowest, p99, f.failed);
    return 0;
}
