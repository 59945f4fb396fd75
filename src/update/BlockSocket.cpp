#include "update/BlockSocket.h"

#include "update/SocketErrors.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace sp {

namespace {
constexpr size_t kReceiveSize = 65536;
// Close() drains what the peer still sends; a peer that never stops must
// not hold the caller forever.
constexpr size_t kMaxDrain = 16 * 1024 * 1024;

std::function<void(std::string_view)>& ReceiveHook() {
    static std::function<void(std::string_view)> hook;
    return hook;
}

// 1 when data (or the end of the stream) is ready, 0 on time-out, -1 on error.
int WaitReadable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    for (;;) {
        int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        return r;
    }
}
} // namespace

void TBlockSocket::SetReceiveHookForTests(std::function<void(std::string_view)> hook) {
    ReceiveHook() = std::move(hook);
}

TBlockSocket::TBlockSocket() = default;

TBlockSocket::~TBlockSocket() {
    Close();
}

void TBlockSocket::SetError(int code) {
    FLastError = code;
    FLastErrorDesc = GetErrorDesc(code);
}

void TBlockSocket::Bind(std::string_view ip, std::string_view port) {
    FBindIp = ip;
    FBindPort = port;
    SetError(0);
}

void TBlockSocket::SendText(std::string_view text) {
    if (FSocket < 0) {
        SetError(WSAENOTCONN);
        return;
    }
    while (!text.empty()) {
        ssize_t n = ::send(FSocket, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            SetError(WinsockErrorFromErrno(errno));
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
    SetError(0);
}

bool TBlockSocket::Receive(int timeoutMs) {
    if (FSocket < 0) {
        SetError(WSAENOTCONN);
        return false;
    }
    FClosedByPeer = false;
    FDeadlinePassed = false;
    int wait = timeoutMs;
    bool deadlineFirst = false;
    if (FDeadline) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(*FDeadline - std::chrono::steady_clock::now());
        if (left.count() < wait) {
            wait = static_cast<int>(std::max<long long>(left.count(), 0));
            deadlineFirst = true;
        }
    }
    int ready = WaitReadable(FSocket, wait);
    if (ready == 0) {
        FDeadlinePassed = deadlineFirst;
        SetError(WSAETIMEDOUT);
        return false;
    }
    if (ready < 0) {
        SetError(WinsockErrorFromErrno(errno));
        return false;
    }
    const size_t old = FBuffer.size();
    FBuffer.resize(old + kReceiveSize);
    ssize_t n;
    do {
        n = ::recv(FSocket, FBuffer.data() + old, kReceiveSize, 0);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    FBuffer.resize(old + static_cast<size_t>(n > 0 ? n : 0));
    if (n == 0) {
        FClosedByPeer = true;
        SetError(WSAECONNRESET);
        return false;
    }
    if (n < 0) {
        SetError(WinsockErrorFromErrno(err));
        return false;
    }
    if (auto& hook = ReceiveHook())
        hook(std::string_view(FBuffer).substr(old));
    if (FPendingTerminator != 0 && FBuffer[old] == FPendingTerminator)
        FBuffer.erase(old, 1);
    FPendingTerminator = 0;
    SetError(0);
    return true;
}

std::string TBlockSocket::ReadLine(int timeoutMs) {
    size_t scanned = 0;
    for (;;) {
        size_t end = std::string::npos;
        size_t terminator = 0;
        if (FConvertLineEnd) {
            end = FBuffer.find_first_of("\r\n", scanned);
            if (end != std::string::npos) {
                terminator = 1;
                if (end + 1 < FBuffer.size()) {
                    const char a = FBuffer[end];
                    const char b = FBuffer[end + 1];
                    if ((a == '\r' && b == '\n') || (a == '\n' && b == '\r'))
                        terminator = 2;
                } else {
                    FPendingTerminator = FBuffer[end] == '\r' ? '\n' : '\r';
                }
            }
        } else {
            end = FBuffer.find("\r\n", scanned);
            terminator = 2;
        }
        if (end != std::string::npos && end <= kMaxLineLength) {
            std::string line = FBuffer.substr(0, end);
            FBuffer.erase(0, end + terminator);
            SetError(0);
            return line;
        }
        if (end != std::string::npos || FBuffer.size() > kMaxLineLength) {
            FPendingTerminator = 0;
            SetError(WSAEMSGSIZE);
            return {};
        }
        // A CR at the end may be the first half of CR LF still to come.
        scanned = FBuffer.empty() ? 0 : FBuffer.size() - (FConvertLineEnd ? 0 : 1);
        if (!Receive(timeoutMs))
            return {};
    }
}

std::string TBlockSocket::ReadChunk(int timeoutMs) {
    // A reception that held only the rest of a split line end leaves nothing.
    while (FBuffer.empty()) {
        if (!Receive(timeoutMs))
            return {};
    }
    SetError(0);
    return std::exchange(FBuffer, {});
}

void TBlockSocket::Close() {
    if (FSocket >= 0) {
        ::shutdown(FSocket, SHUT_WR);
        char scratch[4096];
        size_t drained = 0;
        while (drained < kMaxDrain && WaitReadable(FSocket, 0) > 0) {
            ssize_t n = ::recv(FSocket, scratch, sizeof scratch, 0);
            if (n <= 0)
                break;
            drained += static_cast<size_t>(n);
        }
        ::close(FSocket);
        FSocket = -1;
    }
    FBuffer.clear();
    FPendingTerminator = 0;
    FDeadline.reset();
    FDeadlinePassed = false;
    FClosedByPeer = false;
    SetError(0);
}

} // namespace sp
