#include "update/TCPBlockSocket.h"

#include "update/SocketErrors.h"

#include <cerrno>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace sp {

namespace {
struct AddrInfoFree {
    void operator()(addrinfo* ai) const { ::freeaddrinfo(ai); }
};
using AddrInfoPtr = std::unique_ptr<addrinfo, AddrInfoFree>;

// 0 or a Windows Sockets error code.
int Resolve(const std::string& host, const std::string& port, bool passive, AddrInfoPtr& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    if (passive)
        hints.ai_flags = AI_PASSIVE | AI_NUMERICHOST;
    addrinfo* list = nullptr;
    errno = 0;
    int r = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &list);
    if (r != 0)
        return WinsockErrorFromResolver(r, errno);
    out.reset(list);
    return 0;
}

// A connect interrupted by a signal goes on in the background; wait for it.
int FinishInterruptedConnect(int fd) {
    pollfd p{fd, POLLOUT, 0};
    int r;
    do {
        r = ::poll(&p, 1, -1);
    } while (r < 0 && errno == EINTR);
    if (r < 0)
        return errno;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
        return errno;
    return err;
}
} // namespace

void TTCPBlockSocket::ConnectTo(std::string_view host, std::string_view port) {
    Close();
    AddrInfoPtr remote;
    if (int err = Resolve(std::string(host), std::string(port), false, remote)) {
        SetError(err);
        return;
    }
    AddrInfoPtr local;
    const bool bindLocal = FBindIp != "0.0.0.0" || FBindPort != "0";
    if (bindLocal) {
        if (int err = Resolve(FBindIp, FBindPort, true, local)) {
            SetError(err);
            return;
        }
    }
    int lastError = WSAEHOSTUNREACH;
    for (addrinfo* ai = remote.get(); ai != nullptr; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            lastError = WinsockErrorFromErrno(errno);
            continue;
        }
        if (FSizeRecvBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &FSizeRecvBuffer, sizeof FSizeRecvBuffer);
        if (FSizeSendBuffer > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &FSizeSendBuffer, sizeof FSizeSendBuffer);
        int err = 0;
        if (bindLocal && ::bind(fd, local->ai_addr, local->ai_addrlen) < 0)
            err = errno;
        if (err == 0 && ::connect(fd, ai->ai_addr, ai->ai_addrlen) < 0) {
            err = errno;
            if (err == EINTR)
                err = FinishInterruptedConnect(fd);
        }
        if (err == 0) {
            FSocket = fd;
            SetError(0);
            return;
        }
        ::close(fd);
        lastError = WinsockErrorFromErrno(err);
    }
    SetError(lastError);
}

} // namespace sp
