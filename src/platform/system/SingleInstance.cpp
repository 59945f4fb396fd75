#include "platform/system/SingleInstance.h"

#include "platform/base/MachineRoot.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <fcntl.h>

namespace sp {

namespace {

// A request line is short; anything longer is not ours.
constexpr size_t kMaxLine = 256;
// A second start waits this long for the running instance's answer; its
// handler may show a dialog, so the time-out only guards against a peer that
// is gone or frozen.
constexpr int kReplyTimeoutMs = 60000;

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
        if (r <= 0)
            return false;
        char c = 0;
        const ssize_t n = ::read(fd, &c, 1);
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

bool FillAddress(const std::string& path, sockaddr_un& addr)
{
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    return true;
}

} // namespace

std::string InstanceSocketPath(std::string_view className, std::string_view title)
{
    std::string key(className);
    key.push_back('\n');
    key.append(title);
    return (MachineRunDir() / ("window-" + Fnv1aHex(key) + ".sock")).string();
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
    std::string path;
    int listenFd = -1;
    Handlers handlers;
    std::unique_ptr<QSocketNotifier> notifier;

    void Serve()
    {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // One request per connection; a peer that says nothing is dropped.
        std::string line;
        std::string reply = "ERR\n";
        if (ReadLine(fd, line, 2000)) {
            std::istringstream in(line);
            std::string verb;
            in >> verb;
            if (verb == "PING") {
                reply = "OK 0\n";
            } else if (verb == "SHOW") {
                if (handlers.showNormal)
                    handlers.showNormal();
                reply = "OK 0\n";
            } else if (verb == "FOREGROUND") {
                if (handlers.setForeground)
                    handlers.setForeground();
                reply = "OK 0\n";
            } else if (verb == "MSG") {
                unsigned long msg = 0;
                unsigned long long w = 0;
                long long l = 0;
                if (in >> msg >> w >> l) {
                    LRESULT r = 0;
                    if (handlers.message)
                        r = handlers.message(static_cast<UINT>(msg), static_cast<WPARAM>(w), static_cast<LPARAM>(l));
                    reply = "OK " + std::to_string(r) + "\n";
                }
            }
        }
        (void)WriteAll(fd, reply);
        ::close(fd);
    }
};

TTopLevelWindow::TTopLevelWindow(std::string_view className, std::string_view title, Handlers handlers)
    : d(std::make_unique<Impl>())
{
    d->handlers = std::move(handlers);
    d->path = InstanceSocketPath(className, title);
    sockaddr_un addr{};
    if (!FillAddress(d->path, addr))
        return;
    d->listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (d->listenFd < 0)
        return;
    // The caller holds the instance lock, so a socket left here belongs to an
    // instance that has died.
    ::unlink(d->path.c_str());
    if (::bind(d->listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(d->listenFd, 8) != 0) {
        ::close(d->listenFd);
        d->listenFd = -1;
        return;
    }
    d->notifier = std::make_unique<QSocketNotifier>(d->listenFd, QSocketNotifier::Read);
    QObject::connect(d->notifier.get(), &QSocketNotifier::activated, [impl = d.get()] { impl->Serve(); });
}

TTopLevelWindow::~TTopLevelWindow()
{
    d->notifier.reset();
    if (d->listenFd >= 0) {
        ::close(d->listenFd);
        ::unlink(d->path.c_str());
    }
}

bool TTopLevelWindow::Listening() const
{
    return d->listenFd >= 0;
}

std::unique_ptr<TRemoteWindow> TRemoteWindow::Find(std::string_view className, std::string_view title)
{
    auto w = std::make_unique<TRemoteWindow>(InstanceSocketPath(className, title));
    std::string reply;
    // Asking for nothing is a cheap way to learn whether anybody answers.
    if (!w->Request("PING", reply))
        return nullptr;
    return w;
}

TRemoteWindow::~TRemoteWindow() = default;

bool TRemoteWindow::Request(const std::string& line, std::string& reply)
{
    sockaddr_un addr{};
    if (!FillAddress(path_, addr))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && WriteAll(fd, line + "\n")
              && ReadLine(fd, reply, kReplyTimeoutMs);
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
