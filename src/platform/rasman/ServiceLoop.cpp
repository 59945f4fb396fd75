#include "platform/rasman/ServiceLoop.h"

#include "platform/base/MachineRoot.h"
#include "platform/rasapi/RasProtocol.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/NetworkConfig.h"
#include "platform/rasman/RasService.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sp::ras {

namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

struct Client {
    int fd = -1;
    FrameDecoder decoder;
    std::string outbox;
    bool dialChannel = false;
    bool closeWhenFlushed = false;
    bool dead = false;
};

class Loop : public DialChannels {
public:
    int Run();

    void Report(int client, uint32_t state, uint32_t error) override
    {
        const auto it = clients_.find(client);
        if (it != clients_.end() && !it->second.dead)
            it->second.outbox += EncodeFrame(Msg::Report, Writer().U32(state).U32(error).Data());
    }
    void Close(int client) override
    {
        const auto it = clients_.find(client);
        if (it != clients_.end())
            it->second.closeWhenFlushed = true;
    }

private:
    void Accept();
    void Read(int id, Client& c);
    void Process(int id, const Frame& f);
    void Flush(Client& c);
    void Sweep();

    int listenFd_ = -1;
    std::map<int, Client> clients_;
    std::deque<std::pair<int, Frame>> held_; // requests that wait for a thaw
    int nextId_ = 1;
    std::unique_ptr<RasService> service_;
};

void Loop::Flush(Client& c)
{
    while (!c.dead && !c.outbox.empty()) {
        const ssize_t w = ::send(c.fd, c.outbox.data(), c.outbox.size(), MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0) {
            c.dead = true;
            break;
        }
        c.outbox.erase(0, static_cast<size_t>(w));
    }
    if (c.closeWhenFlushed)
        c.dead = true;
}

void Loop::Accept()
{
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // A client that stops reading must not stall the service for long.
        timeval tv{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        Client c;
        c.fd = fd;
        clients_.emplace(nextId_++, std::move(c));
    }
}

void Loop::Process(int id, const Frame& f)
{
    auto it = clients_.find(id);
    if (it == clients_.end() || it->second.dead)
        return;
    bool dial = false;
    const std::string reply = service_->Handle(f, id, dial);
    it = clients_.find(id);
    std::string frames = EncodeFrame(Msg::Reply, reply);
    // Reports queued while handling go after the reply.
    frames += it->second.outbox;
    it->second.outbox = std::move(frames);
    if (dial)
        it->second.dialChannel = true;
    Flush(it->second);
}

void Loop::Read(int id, Client& c)
{
    char buf[16384];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        c.dead = true;
        return;
    }
    if (c.dialChannel)
        return; // a dial's report channel carries no requests
    c.decoder.Feed(buf, static_cast<size_t>(n));
    while (auto f = c.decoder.Next()) {
        if (service_->Frozen() && !IsControl(f->type)) {
            held_.emplace_back(id, std::move(*f));
            continue;
        }
        Process(id, *f);
        if (c.dead || c.dialChannel)
            return;
    }
    if (c.decoder.Failed()) {
        c.outbox += EncodeFrame(Msg::Reply, Writer().U32(87).Data());
        c.closeWhenFlushed = true;
        Flush(c);
    }
}

void Loop::Sweep()
{
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->second.dead) {
            ::close(it->second.fd);
            service_->ClientGone(it->first);
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

int Loop::Run()
{
    const std::string pidPath = PidPath();
    const int pidFd = ::open(pidPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (pidFd < 0 || ::flock(pidFd, LOCK_EX | LOCK_NB) != 0)
        return 0; // another daemon serves this machine root
    EnsureDefaultMachine();
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(pidFd, 0) != 0 || ::write(pidFd, pid.data(), pid.size()) < 0)
        return 1;

    const std::string path = SocketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return 1;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || ::listen(listenFd_, 128) != 0)
        return 1;
    ::chmod(path.c_str(), 0600);

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    // After boot the service takes a while; callers that connect meanwhile
    // wait in the listen queue.
    const NetworkConfig startConfig = NetworkConfig::Load(NetworkConfig::Path());
    if (startConfig.startDelayMs > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(startConfig.startDelayMs));

    service_ = std::make_unique<RasService>(*this);
    while (!g_stop && !service_->StopRequested()) {
        // A frozen service is hung as a whole: its dials stand still too.
        const auto now = RasService::Clock::now();
        const auto next = service_->Frozen() ? now + std::chrono::milliseconds(200) : service_->Advance(now);
        for (auto& [id, c] : clients_)
            Flush(c);
        Sweep();
        if (!service_->Frozen()) {
            while (!held_.empty()) {
                auto [id, f] = std::move(held_.front());
                held_.pop_front();
                Process(id, f);
            }
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - RasService::Clock::now()).count();
        wait = std::clamp<long long>(wait, 0, 200);

        std::vector<pollfd> fds;
        std::vector<int> ids;
        fds.push_back({listenFd_, POLLIN, 0});
        ids.push_back(0);
        for (auto& [id, c] : clients_) {
            fds.push_back({c.fd, POLLIN, 0});
            ids.push_back(id);
        }
        const int n = ::poll(fds.data(), fds.size(), static_cast<int>(wait));
        if (n <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            Accept();
        for (size_t i = 1; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            auto it = clients_.find(ids[i]);
            if (it == clients_.end())
                continue;
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                Read(ids[i], it->second);
            if (service_->StopRequested())
                break;
        }
        Sweep();
    }
    for (auto& [id, c] : clients_)
        Flush(c);
    for (auto& [id, c] : clients_)
        ::close(c.fd);
    clients_.clear();
    ::unlink(path.c_str());
    ::close(listenFd_);
    // The pid file stays (empty); its lock ends with the descriptor.
    if (::ftruncate(pidFd, 0) != 0) {
    }
    ::close(pidFd);
    return 0;
}

} // namespace

int RunService()
{
    Loop loop;
    return loop.Run();
}

} // namespace sp::ras
