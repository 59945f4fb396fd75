#include "platform/system/SingleInstance.h"

#include "platform/base/MachineRoot.h"

#include <QPointer>
#include <QtGlobal>
#include <QSocketNotifier>
#include <QTimer>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <fcntl.h>

namespace sp {

namespace {

// A request line is short; anything longer is not ours.
constexpr size_t kMaxLine = 256;
// A second start waits this long for the running instance's answer: longer
// than the longest start-up (a start with "/auto" waits up to 60.5 s for the
// remote access service before its window exists), and its handler may show
// a dialog, so the time-out only guards against a peer that is frozen.
constexpr int kReplyTimeoutMs = 120000;
// A second start writes its request right after it connects; a peer that has
// said nothing after this long is dropped (and only that peer).
std::atomic<int> g_requestTimeoutMs{10000};
// More peers at once than any burst of second starts: the rest are turned
// away, so idle connections cannot use up the process's descriptors.
constexpr int kMaxPeers = 32;

std::string Fnv1aHex(std::string_view text)
{
    uint64_t h = 1469598103934665603ull;
    for (unsigned char c : text) {
        h ^= c;
        h *= 1099511628211ull;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

// Reads one line within the time; false on time-out, end or error.
bool ReadLine(int fd, std::string& line, int timeoutMs)
{
    line.clear();
    while (line.size() < kMaxLine) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        line.push_back(c);
    }
    return false;
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// An address in the abstract namespace: no file, whatever the root's length.
socklen_t FillAddress(const std::string& name, sockaddr_un& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof addr.sun_path)
        return 0;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
}

// An abstract socket has no file rights: both sides make sure the other one
// runs as the same user.
bool SameUser(int fd)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred
           && cred.uid == ::geteuid();
}

// Who holds an abstract name: the user of the process listening on it, or
// nothing when nobody listens.
std::optional<uid_t> Holder(const sockaddr_un& addr, socklen_t len)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return std::nullopt;
    std::optional<uid_t> uid;
    ucred cred{};
    socklen_t credLen = sizeof cred;
    // A full backlog (EAGAIN) still names the holder through its credentials.
    if ((::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0 || errno == EAGAIN)
        && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0 && credLen == sizeof cred)
        uid = cred.uid;
    ::close(fd);
    return uid;
}

// Where an instance listens when another user holds its abstract name: a
// socket file in a folder only this user can enter (mode 0700), under
// $XDG_RUNTIME_DIR, else the machine root's run folder. Empty when there is
// no such folder or the path does not fit an address.
std::filesystem::path PrivateSocketPath(const std::string& name, bool create)
{
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::filesystem::path base = runtime && *runtime == '/' ? std::filesystem::path(runtime) : MachineRunDir();
    const std::filesystem::path dir = base / ("skyportal-" + std::to_string(::geteuid()));
    if (create)
        (void)::mkdir(dir.c_str(), 0700);
    struct stat st {};
    // Not a link, ours, and nobody else's to enter.
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()
        || (st.st_mode & 077) != 0)
        return {};
    std::filesystem::path path = dir / (name + ".sock");
    if (path.native().size() + 1 > sizeof(sockaddr_un::sun_path))
        return {};
    return path;
}

socklen_t FillPathAddress(const std::filesystem::path& path, sockaddr_un& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.native().size() + 1 > sizeof addr.sun_path)
        return 0;
    std::memcpy(addr.sun_path, path.c_str(), path.native().size() + 1);
    return static_cast<socklen_t>(sizeof addr);
}

// One connection of a second start (or of anybody else) on the running side.
class TRequestPeer : public QObject {
public:
    explicit TRequestPeer(int fd, QObject* parent) : QObject(parent), fd_(fd), notifier_(fd, QSocketNotifier::Read)
    {
        timer_.setSingleShot(true);
    }
    ~TRequestPeer() override { Close(); }

    // The descriptor goes at once, the object at the next turn of the loop.
    void Close()
    {
        notifier_.setEnabled(false);
        timer_.stop();
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    void Finish(const std::string& reply)
    {
        if (fd_ >= 0)
            (void)::send(fd_, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        Close();
        deleteLater();
    }

    int fd_;
    std::string line_;
    QSocketNotifier notifier_;
    QTimer timer_;
};

} // namespace

std::string InstanceSocketName(std::string_view className, std::string_view title)
{
    // The same root reached by another spelling of its path is the same root.
    std::error_code ec;
    std::filesystem::path root = std::filesystem::weakly_canonical(MachineRoot(), ec);
    if (ec)
        root = MachineRoot();
    std::string key(className);
    key.push_back('\n');
    key.append(title);
    return "skyportal-window-" + Fnv1aHex(root.string()) + "-" + Fnv1aHex(key);
}

TNamedMutex::TNamedMutex(std::string_view name)
{
    const std::filesystem::path path = MachineRunDir() / (std::string(name) + ".lock");
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0)
        return;
    alreadyExists_ = ::flock(fd_, LOCK_EX | LOCK_NB) != 0;
}

TNamedMutex::~TNamedMutex()
{
    if (fd_ >= 0)
        ::close(fd_);
}

struct TTopLevelWindow::Impl {
    int listenFd = -1;
    std::filesystem::path socketFile; // the private socket, when the abstract name was taken
    Handlers handlers;
    bool ready = false;
    // Parent of the peers: with it go every peer and every answer not yet given.
    std::unique_ptr<QObject> peers = std::make_unique<QObject>();
    std::unique_ptr<QSocketNotifier> acceptor;
    // Requests that came before the window existed, in their order.
    std::deque<QPointer<TRequestPeer>> held;

    void Accept()
    {
        for (;;) {
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;
            }
            if (!SameUser(fd) || OpenPeers() >= kMaxPeers) {
                ::close(fd);
                continue;
            }
            auto* peer = new TRequestPeer(fd, peers.get());
            QObject::connect(&peer->notifier_, &QSocketNotifier::activated, peer, [this, peer] { Read(peer); });
            QObject::connect(&peer->timer_, &QTimer::timeout, peer, [peer] {
                peer->Close();
                peer->deleteLater();
            });
            peer->timer_.start(g_requestTimeoutMs.load());
        }
    }

    int OpenPeers() const
    {
        int n = 0;
        for (const QObject* child : peers->children())
            n += static_cast<const TRequestPeer*>(child)->fd_ >= 0 ? 1 : 0;
        return n;
    }

    // Takes what the peer has sent so far; never waits for more.
    void Read(TRequestPeer* peer)
    {
        char buf[kMaxLine];
        for (;;) {
            const ssize_t n = ::recv(peer->fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (n <= 0) {
                peer->Close();
                peer->deleteLater();
                return;
            }
            peer->line_.append(buf, static_cast<size_t>(n));
            const size_t end = peer->line_.find('\n');
            if (end != std::string::npos) {
                peer->line_.resize(end);
                Received(peer);
                return;
            }
            if (peer->line_.size() >= kMaxLine) {
                peer->Close();
                peer->deleteLater();
                return;
            }
        }
    }

    void Received(TRequestPeer* peer)
    {
        peer->notifier_.setEnabled(false);
        peer->timer_.stop();
        // Looking for the instance needs no window.
        if (peer->line_ == "PING") {
            peer->Finish("OK 0\n");
            return;
        }
        if (ready)
            Queue(peer);
        else
            held.emplace_back(peer);
    }

    // Handled from the event loop, never inside the reading of a peer.
    void Queue(TRequestPeer* peer)
    {
        QMetaObject::invokeMethod(peer, [this, peer] { Dispatch(peer); }, Qt::QueuedConnection);
    }

    void Dispatch(TRequestPeer* peer)
    {
        if (!ready) {
            held.emplace_back(peer);
            return;
        }
        std::istringstream in(peer->line_);
        std::string verb;
        in >> verb;
        std::string reply = "ERR\n";
        // The handler may run a dialog's loop, in which this window may go
        // and with it the peer.
        const QPointer<TRequestPeer> guard(peer);
        if (verb == "SHOW") {
            if (const auto show = handlers.showNormal)
                show();
            reply = "OK 0\n";
        } else if (verb == "FOREGROUND") {
            if (const auto foreground = handlers.setForeground)
                foreground();
            reply = "OK 0\n";
        } else if (verb == "MSG") {
            unsigned long msg = 0;
            unsigned long long w = 0;
            long long l = 0;
            if (in >> msg >> w >> l) {
                LRESULT r = 0;
                if (const auto message = handlers.message)
                    r = message(static_cast<UINT>(msg), static_cast<WPARAM>(w), static_cast<LPARAM>(l));
                reply = "OK " + std::to_string(r) + "\n";
            }
        }
        if (guard)
            guard->Finish(reply);
    }
};

TTopLevelWindow::TTopLevelWindow(std::string_view className, std::string_view title)
    : d(std::make_unique<Impl>())
{
    const std::string name = InstanceSocketName(className, title);
    sockaddr_un addr{};
    const socklen_t len = FillAddress(name, addr);
    if (len == 0)
        return;
    d->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (d->listenFd < 0)
        return;
    bool bound = ::bind(d->listenFd, reinterpret_cast<sockaddr*>(&addr), len) == 0;
    if (!bound && errno == EADDRINUSE) {
        // Anybody may bind an abstract name first; this user's second start
        // then looks for the private socket.
        const std::optional<uid_t> holder = Holder(addr, len);
        const std::filesystem::path path = PrivateSocketPath(name, true);
        sockaddr_un fileAddr{};
        const socklen_t fileLen = FillPathAddress(path, fileAddr);
        if (holder && *holder != ::geteuid() && fileLen != 0) {
            // The instance lock is held: a file left here is a dead instance's.
            (void)::unlink(path.c_str());
            bound = ::bind(d->listenFd, reinterpret_cast<sockaddr*>(&fileAddr), fileLen) == 0;
            if (bound)
                d->socketFile = path;
        }
        if (holder && *holder == ::geteuid())
            qWarning("the window's socket name %s is held by another process of this user; no second start "
                     "will find this window",
                     name.c_str());
        else
            qWarning("the window's socket name %s is held by another user (uid %s); %s", name.c_str(),
                     holder ? std::to_string(*holder).c_str() : "unknown",
                     bound ? ("listening on " + path.string() + " instead").c_str()
                           : "no second start will find this window");
    }
    if (!bound || ::listen(d->listenFd, 16) != 0) {
        ::close(d->listenFd);
        d->listenFd = -1;
        return;
    }
    d->acceptor = std::make_unique<QSocketNotifier>(d->listenFd, QSocketNotifier::Read);
    QObject::connect(d->acceptor.get(), &QSocketNotifier::activated, [impl = d.get()] { impl->Accept(); });
}

TTopLevelWindow::TTopLevelWindow(std::string_view className, std::string_view title, Handlers handlers)
    : TTopLevelWindow(className, title)
{
    SetHandlers(std::move(handlers));
}

TTopLevelWindow::~TTopLevelWindow()
{
    d->acceptor.reset();
    d->held.clear();
    d->peers.reset();
    if (d->listenFd >= 0)
        ::close(d->listenFd);
    if (!d->socketFile.empty())
        (void)::unlink(d->socketFile.c_str());
}

void TTopLevelWindow::SetHandlers(Handlers handlers)
{
    d->handlers = std::move(handlers);
    d->ready = d->handlers.showNormal || d->handlers.setForeground || d->handlers.message;
    if (!d->ready)
        return;
    std::deque<QPointer<TRequestPeer>> held;
    held.swap(d->held);
    for (const QPointer<TRequestPeer>& peer : held) {
        if (peer)
            d->Queue(peer);
    }
}

bool TTopLevelWindow::Listening() const
{
    return d->listenFd >= 0;
}

void TTopLevelWindow::SetRequestTimeoutForTests(int ms)
{
    g_requestTimeoutMs = ms;
}

std::unique_ptr<TRemoteWindow> TRemoteWindow::Find(std::string_view className, std::string_view title, int waitMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        auto w = std::make_unique<TRemoteWindow>(InstanceSocketName(className, title));
        std::string reply;
        // Asking for nothing is a cheap way to learn whether anybody answers.
        if (w->Request("PING", reply))
            return w;
        if (std::chrono::steady_clock::now() >= end)
            return nullptr;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

TRemoteWindow::~TRemoteWindow() = default;

bool TRemoteWindow::Request(const std::string& line, std::string& reply)
{
    sockaddr_un addr{};
    if (const socklen_t len = FillAddress(name_, addr); len != 0 && Request(addr, len, line, reply))
        return true;
    // Another user may hold the name; then this user's instance listens on
    // its private socket.
    const socklen_t fileLen = FillPathAddress(PrivateSocketPath(name_, false), addr);
    return fileLen != 0 && Request(addr, fileLen, line, reply);
}

bool TRemoteWindow::Request(const sockaddr_un& addr, socklen_t len, const std::string& line, std::string& reply)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // A full queue of new connections (a frozen instance) makes connect wait.
    const timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0 && SameUser(fd)
                    && WriteAll(fd, line + "\n") && ReadLine(fd, reply, kReplyTimeoutMs);
    ::close(fd);
    return ok;
}

bool TRemoteWindow::ShowNormal()
{
    std::string reply;
    return Request("SHOW", reply) && reply.rfind("OK", 0) == 0;
}

bool TRemoteWindow::SetForeground()
{
    std::string reply;
    return Request("FOREGROUND", reply) && reply.rfind("OK", 0) == 0;
}

LRESULT TRemoteWindow::SendMessage(UINT msg, WPARAM wParam, LPARAM lParam)
{
    std::string reply;
    if (!Request("MSG " + std::to_string(msg) + " " + std::to_string(wParam) + " " + std::to_string(lParam), reply))
        return 0;
    if (reply.rfind("OK ", 0) != 0)
        return 0;
    return static_cast<LRESULT>(std::strtoll(reply.c_str() + 3, nullptr, 10));
}

} // namespace sp
