#include "platform/rasapi/RasProtocol.h"

#include "platform/base/MachineRoot.h"
#include "platform/rasapi/ras.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace sp::ras {

namespace {

void PutU32(std::string& s, uint32_t v)
{
    const char b[4] = {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF),
                       static_cast<char>((v >> 16) & 0xFF), static_cast<char>((v >> 24) & 0xFF)};
    s.append(b, 4);
}

uint32_t GetU32(const char* p)
{
    const auto* u = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(u[0]) | (uint32_t(u[1]) << 8) | (uint32_t(u[2]) << 16) | (uint32_t(u[3]) << 24);
}

bool WriteAll(int fd, const char* p, size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool ReadAll(int fd, char* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

using Clock = std::chrono::steady_clock;

// Waits until fd is ready for `events` or the deadline passes.
bool WaitReady(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, 1000 * 60)));
        if (n > 0)
            return true;
        if (n < 0 && errno != EINTR)
            return false;
    }
}

bool WriteAllBy(int fd, const char* p, size_t n, Clock::time_point deadline)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitReady(fd, POLLOUT, deadline))
                return false;
            continue;
        }
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// An answer is rarely there the moment it is asked for: wait first, then
// read what has come (one system call less than trying first).
bool ReadAllBy(int fd, char* p, size_t n, Clock::time_point deadline, bool waitFirst)
{
    while (n > 0) {
        if (waitFirst && !WaitReady(fd, POLLIN, deadline))
            return false;
        waitFirst = true;
        const ssize_t r = ::recv(fd, p, n, MSG_DONTWAIT);
        if (r < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace

bool IsControl(Msg m)
{
    return static_cast<uint32_t>(m) >= static_cast<uint32_t>(Msg::CtlList);
}

std::string EncodeFrame(Msg type, std::string_view payload)
{
    std::string s;
    s.reserve(kFrameHeaderSize + payload.size());
    PutU32(s, kFrameMagic);
    PutU32(s, static_cast<uint32_t>(type));
    PutU32(s, static_cast<uint32_t>(payload.size()));
    s.append(payload);
    return s;
}

void FrameDecoder::Feed(const char* data, size_t size)
{
    if (failed_)
        return;
    if (pos_ > 0 && pos_ == buffer_.size()) {
        buffer_.clear();
        pos_ = 0;
    }
    buffer_.append(data, size);
}

std::optional<Frame> FrameDecoder::Next()
{
    if (failed_ || Buffered() < kFrameHeaderSize)
        return std::nullopt;
    const char* h = buffer_.data() + pos_;
    const uint32_t length = GetU32(h + 8);
    if (GetU32(h) != kFrameMagic || length > kMaxPayload) {
        failed_ = true;
        buffer_.clear();
        pos_ = 0;
        return std::nullopt;
    }
    if (Buffered() - kFrameHeaderSize < length)
        return std::nullopt;
    Frame f;
    f.type = static_cast<Msg>(GetU32(h + 4));
    f.payload.assign(h + kFrameHeaderSize, length);
    pos_ += kFrameHeaderSize + length;
    if (pos_ > 65536) {
        buffer_.erase(0, pos_);
        pos_ = 0;
    }
    return f;
}

Writer& Writer::U32(uint32_t v)
{
    PutU32(data_, v);
    return *this;
}

Writer& Writer::U64(uint64_t v)
{
    return U32(static_cast<uint32_t>(v)).U32(static_cast<uint32_t>(v >> 32));
}

Writer& Writer::Str(std::string_view s)
{
    PutU32(data_, static_cast<uint32_t>(s.size()));
    data_.append(s);
    return *this;
}

Writer& Writer::OptStr(const char* s)
{
    U32(s ? 1 : 0);
    return Str(s ? std::string_view(s) : std::string_view());
}

uint32_t Reader::U32()
{
    if (failed_ || data_.size() - pos_ < 4) {
        failed_ = true;
        return 0;
    }
    const uint32_t v = GetU32(data_.data() + pos_);
    pos_ += 4;
    return v;
}

uint64_t Reader::U64()
{
    const uint64_t low = U32();
    return low | (uint64_t(U32()) << 32);
}

std::string Reader::Str()
{
    const uint32_t n = U32();
    if (failed_ || data_.size() - pos_ < n) {
        failed_ = true;
        return {};
    }
    std::string s(data_.substr(pos_, n));
    pos_ += n;
    return s;
}

std::optional<std::string> Reader::OptStr()
{
    const bool present = U32() != 0;
    std::string s = Str();
    if (!present)
        return std::nullopt;
    return s;
}

bool SendFrame(int fd, Msg type, std::string_view payload)
{
    const std::string f = EncodeFrame(type, payload);
    return WriteAll(fd, f.data(), f.size());
}

bool RecvFrame(int fd, Frame& out)
{
    char h[kFrameHeaderSize];
    if (!ReadAll(fd, h, sizeof h))
        return false;
    const uint32_t length = GetU32(h + 8);
    if (GetU32(h) != kFrameMagic || length > kMaxPayload)
        return false;
    out.type = static_cast<Msg>(GetU32(h + 4));
    out.payload.resize(length);
    return length == 0 || ReadAll(fd, out.payload.data(), length);
}

bool SendFrame(int fd, Msg type, std::string_view payload, Clock::time_point deadline)
{
    const std::string f = EncodeFrame(type, payload);
    return WriteAllBy(fd, f.data(), f.size(), deadline);
}

bool RecvFrame(int fd, Frame& out, Clock::time_point deadline)
{
    char h[kFrameHeaderSize];
    if (!ReadAllBy(fd, h, sizeof h, deadline, true))
        return false;
    const uint32_t length = GetU32(h + 8);
    if (GetU32(h) != kFrameMagic || length > kMaxPayload)
        return false;
    out.type = static_cast<Msg>(GetU32(h + 4));
    out.payload.resize(length);
    return length == 0 || ReadAllBy(fd, out.payload.data(), length, deadline, false);
}

bool Exchange(int fd, Msg type, std::string_view payload, Frame& reply)
{
    if (!SendFrame(fd, type, payload, Clock::now() + kReplyTimeout))
        return false;
    for (;;) {
        if (!RecvFrame(fd, reply, Clock::now() + kReplyTimeout))
            return false;
        if (reply.type != Msg::Pending)
            return true;
    }
}

std::string SocketPath() { return (MachineRunDir() / "rasman.sock").string(); }
std::string PidPath() { return (MachineRunDir() / "rasman.pid").string(); }
std::string StartLockPath() { return (MachineRunDir() / "rasman.lock").string(); }

int ConnectToService(bool* busy)
{
    if (busy)
        *busy = false;
    const std::string path = SocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return -1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A full queue of new connections (a stopped daemon) makes connect wait;
    // the send time-out bounds that wait.
    const timeval tv{static_cast<time_t>(kReplyTimeout.count() / 1000), 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (busy)
            *busy = errno == EAGAIN || errno == EWOULDBLOCK || errno == ETIMEDOUT || errno == EINPROGRESS;
        ::close(fd);
        return -1;
    }
    const timeval none{0, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &none, sizeof none);
    return fd;
}

bool ReadServiceListing(std::string_view payload, ServiceListing& out)
{
    out = {};
    Reader r(payload);
    r.U32(); // result code
    out.frozen = r.U32() != 0;
    for (uint32_t n = r.U32(), i = 0; i < n && !r.Failed(); ++i) {
        ServiceListing::Device d;
        d.type = r.Str();
        d.name = r.Str();
        d.driver = r.Str();
        out.devices.push_back(std::move(d));
    }
    for (uint32_t n = r.U32(), i = 0; i < n && !r.Failed(); ++i) {
        ServiceListing::Entry e;
        e.name = r.Str();
        e.device = r.Str();
        e.number = r.Str();
        out.entries.push_back(std::move(e));
    }
    for (uint32_t n = r.U32(), i = 0; i < n && !r.Failed(); ++i) {
        ServiceListing::Connection c;
        c.handle = r.U32();
        c.entry = r.Str();
        c.device = r.Str();
        c.state = r.U32();
        c.error = r.U32();
        c.rx = r.U32();
        c.tx = r.U32();
        c.addresses = r.Str();
        out.connections.push_back(std::move(c));
    }
    if (r.Failed()) {
        out = {};
        return false;
    }
    return true;
}

bool AskService(Msg type, std::string_view payload, Frame& reply, std::chrono::steady_clock::time_point deadline)
{
    const int fd = ConnectToService();
    if (fd < 0)
        return false;
    const bool ok = SendFrame(fd, type, payload, deadline) && RecvFrame(fd, reply, deadline);
    ::close(fd);
    return ok && reply.type == Msg::Reply;
}

ServiceAnswer::ServiceAnswer(Msg type, std::string_view payload, std::chrono::steady_clock::time_point deadline)
{
    if (!AskService(type, payload, reply_, deadline)) {
        code_ = ERROR_RASMAN_CANNOT_INITIALIZE;
        return;
    }
    body_ = Reader(reply_.payload);
    code_ = body_.U32();
    if (body_.Failed())
        code_ = ERROR_INVALID_PARAMETER;
}

} // namespace sp::ras
