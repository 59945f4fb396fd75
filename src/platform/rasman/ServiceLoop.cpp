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

using Clock = std::chrono::steady_clock;

struct Client {
    int fd = -1;
    FrameDecoder decoder;
    std::deque<Frame> inbox; // decoded requests not yet answered, in order
    size_t inboxBytes = 0;
    std::string outbox;      // answers and reports not yet taken by the client
    bool dialChannel = false;
    bool closeWhenFlushed = false;
    bool dead = false;
    bool malformed = false;
    bool peerDone = false; // the client sends no more; answer what it sent
    Clock::time_point stalledSince{};
    Clock::time_point lastPending{};
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
    void EndReports(int client) override
    {
        const auto it = clients_.find(client);
        if (it != clients_.end() && !it->second.dead) {
            it->second.outbox += EncodeFrame(Msg::ReportsEnd, "");
            it->second.closeWhenFlushed = true;
        }
    }

private:
    void Accept();
    void Read(Client& c);
    void Pull(Client& c);
    bool Serve(int id, Client& c);
    void Process(int id, Frame f);
    void Flush(Client& c, Clock::time_point now);
    void KeepAlive(Client& c, Clock::time_point now);
    void Sweep();
    [[nodiscard]] bool Starting(Clock::time_point now) const { return now < readyAt_; }
    [[nodiscard]] bool WantsInput(const Client& c) const
    {
        return !c.dead && !c.malformed && !c.peerDone && c.inbox.size() < kMaxQueuedRequests && c.inboxBytes < kMaxQueuedBytes;
    }

    int listenFd_ = -1;
    std::map<int, Client> clients_;
    int nextId_ = 1;
    std::unique_ptr<RasService> service_;
    Clock::time_point readyAt_{};
};

// Sends what the socket takes now; never waits for a client.
void Loop::Flush(Client& c, Clock::time_point now)
{
    bool moved = false;
    while (!c.dead && !c.outbox.empty()) {
        const ssize_t w = ::send(c.fd, c.outbox.data(), c.outbox.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (w <= 0) {
            c.dead = true;
            break;
        }
        c.outbox.erase(0, static_cast<size_t>(w));
        moved = true;
    }
    if (c.dead)
        return;
    if (c.outbox.empty()) {
        c.stalledSince = {};
        if (c.closeWhenFlushed)
            c.dead = true;
        return;
    }
    if (moved || c.stalledSince == Clock::time_point{})
        c.stalledSince = now;
    // A client that takes nothing must not hold the service's memory.
    if (c.outbox.size() > kMaxOutbox || now - c.stalledSince >= kStalledClientLimit)
        c.dead = true;
}

void Loop::Accept()
{
    for (;;) {
        const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0)
            return;
        Client c;
        c.fd = fd;
        c.lastPending = Clock::now();
        clients_.emplace(nextId_++, std::move(c));
    }
}

void Loop::Process(int id, Frame f)
{
    auto it = clients_.find(id);
    if (it == clients_.end() || it->second.dead)
        return;
    const size_t queued = it->second.outbox.size();
    bool dial = false;
    const std::string reply = service_->Handle(f, id, dial);
    Client& c = it->second;
    // Reports queued while handling go after the reply, answers queued
    // before it stay before it.
    c.outbox.insert(queued, EncodeFrame(Msg::Reply, reply));
    if (dial) {
        c.dialChannel = true;
        c.inbox.clear(); // a dial's report channel carries no more requests
        c.inboxBytes = 0;
    }
}

// Moves complete requests from the decoder to the inbox, as far as it takes them.
void Loop::Pull(Client& c)
{
    while (WantsInput(c)) {
        std::optional<Frame> f = c.decoder.Next();
        if (!f)
            break;
        c.inboxBytes += f->payload.size() + kFrameHeaderSize;
        c.inbox.push_back(std::move(*f));
    }
    if (c.decoder.Failed())
        c.malformed = true;
}

void Loop::Read(Client& c)
{
    char buf[16384];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n < 0 || (n == 0 && c.dialChannel)) {
        c.dead = true;
        return;
    }
    if (n == 0) {
        c.peerDone = true;
        return;
    }
    if (c.dialChannel)
        return; // a dial's report channel carries no requests
    c.decoder.Feed(buf, static_cast<size_t>(n));
    Pull(c);
}

// Answers what may be answered now, at most one inbox's worth per round so
// that every client gets its turn. True when more could be answered at once.
bool Loop::Serve(int id, Client& c)
{
    const bool starting = Starting(Clock::now());
    for (size_t done = 0; done < kMaxQueuedRequests; ++done) {
        if (c.dead || c.dialChannel || c.outbox.size() >= kOutboxHighWater || starting)
            return false;
        // A frozen service answers control requests only; the others wait
        // for the thaw in their order.
        auto next = c.inbox.begin();
        if (service_->Frozen())
            next = std::find_if(c.inbox.begin(), c.inbox.end(), [](const Frame& f) { return IsControl(f.type); });
        if (next == c.inbox.end())
            break;
        Frame f = std::move(*next);
        c.inbox.erase(next);
        c.inboxBytes -= f.payload.size() + kFrameHeaderSize;
        Process(id, std::move(f));
        Pull(c);
        if (service_->StopRequested())
            return false;
    }
    if (c.malformed && c.inbox.empty() && !c.dead && !c.closeWhenFlushed) {
        c.outbox += EncodeFrame(Msg::Reply, Writer().U32(87).Data());
        c.closeWhenFlushed = true;
    }
    if (c.peerDone && c.inbox.empty())
        c.closeWhenFlushed = true;
    const bool frozen = service_->Frozen();
    return !c.dead && !c.dialChannel && !starting && c.outbox.size() < kOutboxHighWater
        && std::any_of(c.inbox.begin(), c.inbox.end(), [&](const Frame& f) { return !frozen || IsControl(f.type); });
}

// While the service is still starting, callers that wait are told now and
// then that it is alive, so their reply time-out does not run out.
void Loop::KeepAlive(Client& c, Clock::time_point now)
{
    if (c.inbox.empty() || c.dead || now - c.lastPending < std::chrono::seconds(1))
        return;
    c.outbox += EncodeFrame(Msg::Pending, "");
    c.lastPending = now;
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
    // pppd's exit status tells why a link ended: its end must not be reaped
    // away by an ignored SIGCHLD inherited from whoever started the service.
    ::signal(SIGCHLD, SIG_DFL);

    // After boot the service takes a while: requests that arrive meanwhile
    // wait (their callers are kept informed) and are answered once it is up.
    const NetworkConfig startConfig = NetworkConfig::Load(NetworkConfig::Path());
    readyAt_ = Clock::now() + std::chrono::milliseconds(startConfig.startDelayMs);

    service_ = std::make_unique<RasService>(*this);
    std::vector<pollfd> fds;
    std::vector<int> ids;
    while (!g_stop && !service_->StopRequested()) {
        const auto now = Clock::now();
        const bool starting = Starting(now);
        // A frozen service is hung as a whole: its dials stand still too.
        auto next = starting                ? std::min(readyAt_, now + std::chrono::milliseconds(200))
                    : service_->Frozen() ? now + std::chrono::milliseconds(200)
                                         : service_->Advance(now);
        bool more = false;
        for (auto& [id, c] : clients_) {
            more = Serve(id, c) || more;
            if (service_->StopRequested())
                break;
            if (starting)
                KeepAlive(c, now);
        }
        if (service_->StopRequested())
            break;
        // A request just served may have started a dial that is due now;
        // the wait must not run to a deadline taken before it existed.
        if (!starting && !service_->Frozen())
            next = std::min(next, service_->Advance(Clock::now()));
        const auto flushed = Clock::now();
        for (auto& [id, c] : clients_)
            Flush(c, flushed);
        Sweep();
        if (starting)
            next = std::min(next, now + std::chrono::seconds(1));
        const int wait = more ? 0 : PollTimeoutMs(Clock::now(), next);

        fds.clear();
        ids.clear();
        fds.push_back({listenFd_, POLLIN, 0});
        ids.push_back(0);
        for (auto& [id, c] : clients_) {
            short events = 0;
            if (c.dialChannel || WantsInput(c))
                events |= POLLIN;
            if (!c.outbox.empty())
                events |= POLLOUT;
            fds.push_back({c.fd, events, 0});
            ids.push_back(id);
        }
        // Real devices wake the loop with their input; the next round's
        // Advance takes it.
        const size_t clientEnd = fds.size();
        if (!starting && !service_->Frozen())
            service_->Watch(fds);
        const int n = ::poll(fds.data(), fds.size(), wait);
        if (n <= 0)
            continue;
        if (fds[0].revents & POLLIN)
            Accept();
        for (size_t i = 1; i < clientEnd; ++i) {
            if (fds[i].revents == 0)
                continue;
            auto it = clients_.find(ids[i]);
            if (it == clients_.end())
                continue;
            Client& c = it->second;
            if (fds[i].revents & POLLIN)
                Read(c);
            else if (fds[i].revents & (POLLHUP | POLLERR))
                c.dead = true; // gone without anything more to read
        }
    }
    const auto end = Clock::now();
    for (auto& [id, c] : clients_)
        Flush(c, end);
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

int PollTimeoutMs(Clock::time_point now, Clock::time_point next)
{
    if (next <= now)
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::min<long long>(ms, 200));
}

int RunService()
{
    Loop loop;
    return loop.Run();
}

} // namespace sp::ras
