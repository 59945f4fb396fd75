// The APN update against a hostile server on <address>:80: an endless header
// line, an endless body, an answer trickled one byte a second, a connection
// reset in the middle of the answer. For each: how long the update took, the
// most heap it held, its message, and whether the APN list and version
// stayed as they were. Fails when one of them reports success, changes the
// list, holds more than 64 MiB or is still reading after the limit.
// Usage: reliability_hostile_update ADDRESS [limit-seconds]   (default 75)
#include "update/ApnUpdate.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime (its header does not come with every compiler).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

size_t LiveHeap()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    // Small blocks of the main arena and the blocks mapped on their own.
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
#endif
}

std::atomic<bool> g_stop{false};

bool SendAll(int fd, const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void ReadRequest(int fd)
{
    std::string request;
    char c = 0;
    while (request.find("\r\n\r\n") == std::string::npos && ::recv(fd, &c, 1, 0) == 1)
        request += c;
}

// Serves every connection on address:80 with `script` until g_stop.
class HostileServer {
public:
    HostileServer(const std::string& address, std::function<void(int)> script) : FScript(std::move(script))
    {
        FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(FListen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(80);
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FListen, 8) != 0) {
            std::perror("bind/listen on port 80");
            std::exit(2);
        }
        FThread = std::thread([this] {
            for (;;) {
                const int fd = ::accept(FListen, nullptr, nullptr);
                if (fd < 0)
                    return;
                ReadRequest(fd);
                FScript(fd);
                ::close(fd);
            }
        });
    }
    ~HostileServer()
    {
        g_stop = true;
        ::shutdown(FListen, SHUT_RDWR);
        ::close(FListen);
        FThread.join();
        g_stop = false;
    }

private:
    std::function<void(int)> FScript;
    int FListen = -1;
    std::thread FThread;
};

struct Case {
    const char* name;
    std::function<void(int)> script;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    const std::string address = argv[1];
    const int limit = argc > 2 ? std::atoi(argv[2]) : 75;
    const std::string chunk(64 * 1024, 'a');
    const std::vector<Case> cases = {
        {"endless header line",
         [&](int fd) {
             if (!SendAll(fd, "HTTP/1.0 200 OK\r\nX-Padding: "))
                 return;
             while (!g_stop && SendAll(fd, chunk)) {
             }
         }},
        {"endless body",
         [&](int fd) {
             if (!SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nVERSION=1.0.9\n"))
                 return;
             while (!g_stop && SendAll(fd, chunk)) {
             }
         }},
        {"one byte a second",
         [&](int fd) {
             const std::string answer = "HTTP/1.0 200 OK\r\nContent-Length: 14\r\n\r\nVERSION=1.0.9\n";
             for (size_t i = 0; !g_stop; ++i) {
                 // The headers never end: a line of padding, a byte at a time.
                 const char c = i < answer.size() - 16 ? answer[i] : 'x';
                 if (!SendAll(fd, std::string(1, c)))
                     return;
                 for (int k = 0; k < 10 && !g_stop; ++k)
                     std::this_thread::sleep_for(std::chrono::milliseconds(100));
             }
         }},
        {"reset mid-answer",
         [&](int fd) {
             (void)SendAll(fd, "HTTP/1.0 200 OK\r\nContent-Length: 400\r\n\r\nVERSION=1.");
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             const linger reset{1, 0};
             ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
         }},
    };

    int faults = 0;
    for (const Case& c : cases) {
        HostileServer server(address, c.script);
        const std::vector<std::string> before = {"internet", "wap.zentora"};
        // The update on this thread (the main arena), the watch beside it.
        const size_t heap0 = LiveHeap();
        std::atomic<size_t> peak{heap0};
        std::atomic<bool> done{false};
        std::atomic<bool> late{false};
        const auto t0 = std::chrono::steady_clock::now();
        std::thread watch([&] {
            while (!done) {
                peak = std::max(peak.load(), LiveHeap());
                if (!late && std::chrono::steady_clock::now() - t0 > std::chrono::seconds(limit)) {
                    late = true;
                    g_stop = true; // the server gives up; the client then sees the end
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
        std::string version = "1.0.0";
        std::vector<std::string> apns = before;
        std::string message;
        const bool ok = sp::UpdateAPNList(address, version, apns, message, true);
        done = true;
        watch.join();
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        const double peakMiB = static_cast<double>(peak.load() - std::min(peak.load(), heap0)) / (1024.0 * 1024.0);
        const bool unchanged = apns == before && version == "1.0.0";
        const bool fault = ok || !unchanged || peakMiB > 64 || late || message.empty();
        faults += fault ? 1 : 0;
        std::printf("%-20s %6.1f s, heap peak +%6.1f MiB, result %s, list %s%s, message: %s\n", c.name, secs, peakMiB,
                    ok ? "true" : "false", unchanged ? "unchanged" : "CHANGED",
                    late.load() ? ", STILL READING at the limit" : "", message.c_str());
        std::fflush(stdout);
    }
    return faults == 0 ? 0 : 1;
}
