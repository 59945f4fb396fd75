#include "report/ServiceProbe.h"

#include "platform/rasapi/RasProtocol.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sp {

namespace {

void ReadListing(const std::string& payload, ServiceState& s) {
    ras::ServiceListing l;
    if (!ras::ReadServiceListing(payload, l)) {
        s.detail = "its answer was malformed";
        return;
    }
    s.frozen = l.frozen;
    s.devices = std::move(l.devices);
    s.connections = std::move(l.connections);
}

} // namespace

ServiceState ProbeService(const std::filesystem::path& root, std::chrono::milliseconds timeout) {
    ServiceState s;
    const std::string path = (root / "run" / "rasman.sock").string();
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        s.detail = "no socket " + path;
        return s;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        s.detail = "the socket's path is too long: " + path;
        return s;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        s.detail = std::strerror(errno);
        return s;
    }
    // A stopped daemon's full queue makes connect wait; the send time-out bounds it.
    const timeval tv{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EAGAIN || err == ETIMEDOUT || err == EINPROGRESS) {
            s.kind = ServiceState::Kind::NoAnswer;
            s.detail = "it takes no connection (stopped or hung)";
        } else {
            s.detail = "nobody listens on " + path + " (" + std::strerror(err) + ")";
        }
        return s;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    ras::Frame reply;
    const bool answered =
        ras::SendFrame(fd, ras::Msg::CtlList, "", deadline) && ras::RecvFrame(fd, reply, deadline);
    ::close(fd);
    if (answered && reply.type == ras::Msg::Pending) {
        // Still starting: it says so, and the report does not wait for it.
        s.kind = ServiceState::Kind::Starting;
        return s;
    }
    if (!answered) {
        s.kind = ServiceState::Kind::NoAnswer;
        s.detail = "no answer within " + std::to_string(timeout.count()) + " ms";
        return s;
    }
    s.kind = ServiceState::Kind::Running;
    ReadListing(reply.payload, s);
    return s;
}

} // namespace sp
