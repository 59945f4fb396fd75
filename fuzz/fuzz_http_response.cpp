// The update client's response reader on arbitrary server bytes: the input
// is what the server sends before it closes the connection.
#include "update/BlockSocket.h"
#include "update/HttpFetch.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

// A socket whose peer has already sent everything and closed.
class TFeedSocket : public sp::TBlockSocket {
public:
    explicit TFeedSocket(int fd) { FSocket = fd; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool once = [] {
        sp::SetFetchTimeoutForTests(200);
        return true;
    }();
    (void)once;
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        std::abort();
    // The writer may block on a full socket: it runs beside the reader.
    std::thread peer([&] {
        size_t done = 0;
        while (done < size) {
            const ssize_t n = ::send(fds[1], data + done, size - done, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        ::close(fds[1]);
    });
    std::string body;
    std::string error;
    {
        TFeedSocket socket(fds[0]);
        const bool ok = sp::ReadResponse(socket, body, error);
        if (std::getenv("FUZZ_VERBOSE"))
            std::fprintf(stderr, "ok %d, error \"%s\", body %zu of %zu bytes\n", ok, error.c_str(), body.size(), size);
        // The body never holds more than was sent. (A failure's reason may be
        // empty: a status line without a text after its first blank.)
        if (body.size() > size || (ok && !error.empty()))
            std::abort();
        if (body.size() > sp::kMaxBodyLength)
            std::abort();
    }
    peer.join();
    return 0;
}
