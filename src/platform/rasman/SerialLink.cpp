#include "platform/rasman/SerialLink.h"

#include "platform/base/IniFile.h"
#include "platform/base/ProgramInfo.h"
#include "platform/rasapi/RasErrorText.h"
#include "platform/rasapi/ras.h"
#include "platform/rasman/ModemAnswers.h"
#include "platform/rasman/ModemInterview.h"
#include "platform/rasman/ModemManagerQuestion.h"
#include "platform/rasman/SerialDialogue.h"
#include "platform/rasman/ServiceLog.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

extern char** environ;

namespace sp::ras {

namespace {

// Writes what the port takes now of `out`; the rest waits (hardware flow
// control). False when the port failed.
bool WritePending(int fd, std::string& out)
{
    while (!out.empty()) {
        const ssize_t w = ::write(fd, out.data(), out.size());
        if (w < 0 && errno == EINTR)
            continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (w <= 0)
            return false;
        out.erase(0, static_cast<size_t>(w));
    }
    return true;
}

using Clock = Link::Clock;
using namespace std::chrono_literals;

constexpr auto kPppdGrace = 3s;          // SIGTERM to SIGKILL
// ModemManager closes a modem's ports a moment after it has let go of it.
constexpr auto kPortWait = 5s;
constexpr auto kPortRetry = 100ms;
constexpr size_t kReadBudget = 64 * 1024; // per round, so a flooding line cannot hold the service
constexpr const char* kNetDir = "/sys/class/net";
// pppd starts its ip-up at once after it has the address, when there is one;
// a hook that hangs cannot hold the dial longer than the bound.
constexpr auto kIpUpStart = 1s;
constexpr auto kIpUpBound = 10s;

speed_t SpeedConstant(uint32_t bps)
{
    struct S {
        uint32_t bps;
        speed_t c;
    };
    static constexpr S kSpeeds[] = {
        {300, B300},       {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
        {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200}, {230400, B230400},
        {460800, B460800}, {921600, B921600}, {1000000, B1000000}, {2000000, B2000000}, {4000000, B4000000}};
    for (const S& s : kSpeeds) {
        if (s.bps == bps)
            return s.c;
    }
    return B0;
}

// A descriptor that closes itself.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { Reset(); }
    Fd(Fd&& o) noexcept : fd_(o.Release()) {}
    Fd& operator=(Fd&& o) noexcept
    {
        if (this != &o) {
            Reset();
            fd_ = o.Release();
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    [[nodiscard]] int Get() const { return fd_; }
    [[nodiscard]] bool Valid() const { return fd_ >= 0; }
    int Release()
    {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void Reset()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// Moves a descriptor above the standard ones, so that placing the child's
// descriptors can never overwrite one another.
Fd High(int fd)
{
    if (fd < 0)
        return Fd();
    const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, 10);
    ::close(fd);
    return Fd(high);
}

// Reads what a descriptor has now, at most one round's budget, into lines;
// false when it has ended (end of file, or the line gone).
bool ReadLines(int fd, LineSplitter& lines)
{
    char buf[4096];
    size_t taken = 0;
    while (taken < kReadBudget) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        if (n <= 0)
            return false;
        lines.Feed(std::string_view(buf, static_cast<size_t>(n)));
        taken += static_cast<size_t>(n);
    }
    return true;
}

bool SameCommand(std::string_view line, std::string_view command)
{
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t'))
        line.remove_suffix(1);
    return !command.empty() && EqualsNoCase(line, command);
}

// Raw, at the modem's speed and flow control, with DTR and RTS up; empty
// when the port took it, else why not.
template <typename L>
std::string SetUpPort(int fd, const SerialModem& m, L log)
{
    termios t{};
    if (::tcgetattr(fd, &t) != 0)
        return "not a serial port: " + std::string(std::strerror(errno));
    ::ioctl(fd, TIOCEXCL);
    ::cfmakeraw(&t);
    t.c_cflag |= CREAD | CLOCAL | HUPCL;
    if (m.hardwareFlow)
        t.c_cflag |= CRTSCTS;
    else
        t.c_cflag &= ~CRTSCTS;
    speed_t speed = SpeedConstant(m.speed);
    if (speed == B0) {
        log("speed " + std::to_string(m.speed) + " is not a standard one; 115200 is used");
        speed = B115200;
    }
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    // MIN 1: with no input a read gives EAGAIN, so 0 means the line hung up
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(fd, TCSANOW, &t) != 0)
        return "the port refuses its settings: " + std::string(std::strerror(errno));
    int lines = TIOCM_DTR | TIOCM_RTS;
    ::ioctl(fd, TIOCMBIS, &lines);
    return {};
}

class SerialLink : public Link {
public:
    SerialLink(SerialDriver& driver, const SerialModem& modem, const DialRequest& request)
        : driver_(driver), m_(modem), req_(request), bps_(modem.speed)
    {
        claim_.device = m_.name;
        claim_.who = m_.name + " (" + m_.port + ")";
    }
    ~SerialLink() override { Close(); }
    SerialLink(const SerialLink&) = delete;
    SerialLink& operator=(const SerialLink&) = delete;

    Clock::time_point Advance(Clock::time_point now, LinkEvents& events) override
    {
        if (claim_.modemManager && phase_ != Phase::Ended)
            FollowModemManager(now, events);
        switch (phase_) {
        case Phase::Open: Begin(now, events); break;
        case Phase::Inhibit: break;
        case Phase::WaitPort: OpenPort(now, events); break;
        case Phase::Reset:
        case Phase::Init:
        case Phase::Query:
        case Phase::Dial: Converse(now, events); break;
        case Phase::Ppp:
        case Phase::Up: FollowPppd(now, events); break;
        case Phase::Ended: break;
        }
        const Clock::time_point next = Next(now);
        return claim_.modemManager ? std::min(next, claim_.modemManager->Next()) : next;
    }

    void Watch(std::vector<pollfd>& fds) const override
    {
        if (claim_.modemManager)
            claim_.modemManager->Watch(fds);
        if (Talking() && tty_.Valid())
            fds.push_back({tty_.Get(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0});
        if ((phase_ == Phase::Ppp || phase_ == Phase::Up) && log_.Valid() && !pppdEof_)
            fds.push_back({log_.Get(), POLLIN, 0});
    }

    void Drop(Clock::time_point now, LinkEvents& events) override
    {
        if (phase_ == Phase::Ended)
            return;
        Log("dropped by rasctl");
        if (phase_ == Phase::Up) {
            (void)Count(now);
            Close();
            events.Down(m_.dropError);
            return;
        }
        Close();
        events.Failed(state_, m_.dropError);
    }

    LinkCounters Count(Clock::time_point) override
    {
        if (phase_ == Phase::Up && !ifname_.empty()) {
            if (const auto c = ReadInterfaceCounters(kNetDir, ifname_))
                counters_ = {c->rx, c->tx};
        }
        return counters_;
    }

    uint32_t Bps() const override { return bps_; }

private:
    enum class Phase { Open, Inhibit, WaitPort, Reset, Init, Query, Dial, Ppp, Up, Ended };

    [[nodiscard]] bool Talking() const
    {
        return phase_ == Phase::Reset || phase_ == Phase::Init || phase_ == Phase::Query || phase_ == Phase::Dial;
    }

    Clock::time_point Next(Clock::time_point now) const
    {
        switch (phase_) {
        case Phase::Open: return now;
        case Phase::Inhibit: return Clock::time_point::max(); // ModemManager's answer
        case Phase::WaitPort: return now + kPortRetry;
        case Phase::Reset:
        case Phase::Init:
        case Phase::Dial: return out_.empty() ? deadline_ : std::min(deadline_, now + 20ms);
        case Phase::Query: {
            // a command not yet taken by the port is tried again soon
            const Clock::time_point due = interview_ ? interview_->Next() : now;
            if (due <= now)
                return now + 20ms;
            return out_.empty() ? due : std::min(due, now + 20ms);
        }
        case Phase::Ppp: return pppdEof_ ? std::min(deadline_, now + 20ms) : deadline_;
        case Phase::Up: return pppdEof_ ? now + 20ms : Clock::time_point::max();
        case Phase::Ended: break;
        }
        return Clock::time_point::max();
    }

    void Log(const std::string& text) const { ServiceLog(m_.name + " (" + m_.port + "): " + text); }

    void Reach(LinkEvents& events, uint32_t state)
    {
        state_ = state;
        events.Reached(state);
    }

    void Fail(LinkEvents& events, uint32_t error, const std::string& why)
    {
        Log(why + " (" + std::to_string(error) + ")");
        Close();
        events.Failed(state_, error);
    }

    // Hangs up: pppd told to end, DTR dropped, the port closed; the port's
    // claim is given back once nothing uses the port.
    void Close()
    {
        if (pid_ > 0) {
            driver_.End(pid_, m_.name, pppdEof_ ? -1 : log_.Release(), std::move(claim_));
            pid_ = -1;
        }
        log_.Reset();
        if (tty_.Valid()) {
            ::tcflush(tty_.Get(), TCIOFLUSH);
            int dtr = TIOCM_DTR;
            ::ioctl(tty_.Get(), TIOCMBIC, &dtr); // not every port has the line (a pty has none)
            // A port that someone else keeps open (socat's) would stay exclusive.
            ::ioctl(tty_.Get(), TIOCNXCL);
            tty_.Reset();
        }
        driver_.Release(std::move(claim_), Clock::now()); // nothing left when it went with pppd
        phase_ = Phase::Ended;
    }

    // The lock file first, then ModemManager when the bus has one: both
    // before the port is opened.
    void Begin(Clock::time_point now, LinkEvents& events)
    {
        Reach(events, RASCS_OpenPort);
        if (!TakeLock(events))
            return;
        claim_.modemManager = ModemManagerClient::Start(m_.port, now);
        if (claim_.modemManager) {
            phase_ = Phase::Inhibit;
            return;
        }
        OpenPort(now, events);
    }

    bool TakeLock(LinkEvents& events)
    {
        const std::filesystem::path folder =
            m_.lockDir.empty() ? PortLock::DefaultFolder() : std::filesystem::path(m_.lockDir);
        PortLock& lock = claim_.lock;
        switch (lock.Take(folder, m_.port)) {
        case PortLock::Result::Taken:
            if (const auto stale = lock.StaleRemoved())
                Log("removed the stale lock " + lock.Path().string()
                    + (*stale > 0 ? " of pid " + std::to_string(*stale) + " (no such process)"
                                  : std::string(" (an old one that named no process)")));
            return true;
        case PortLock::Result::Busy:
            Fail(events, ERROR_PORT_NOT_AVAILABLE,
                 "the port is locked by another program: "
                     + (lock.Holder() > 0 ? "pid " + std::to_string(lock.Holder()) : std::string("a lock being written"))
                     + " in " + (folder / ("LCK.." + PortLock::FileName(m_.port))).string());
            return false;
        case PortLock::Result::NoFolder:
            Log("no lock file: " + (folder.empty() ? std::string("neither /var/lock nor /run/lock is writable")
                                                   : folder.string() + " is not a writable folder"));
            return true;
        case PortLock::Result::Failed: Log("no lock file: " + lock.Error()); return true;
        }
        return true;
    }

    // ModemManager's answers: before the port is opened they decide the
    // dial's way; afterwards only a lost bus connection matters.
    void FollowModemManager(Clock::time_point now, LinkEvents& events)
    {
        ModemManagerClient& mm = *claim_.modemManager;
        const ModemManagerClient::State state = mm.Process(now);
        if (phase_ != Phase::Inhibit) {
            if (state == ModemManagerClient::State::Released) {
                // the bus went away, and the inhibition with it; the port stays ours
                PortClaim gone;
                gone.device = claim_.device;
                gone.who = claim_.who;
                gone.modemManager = std::move(claim_.modemManager);
                driver_.Release(std::move(gone), now);
            }
            return;
        }
        switch (state) {
        case ModemManagerClient::State::Asking:
        case ModemManagerClient::State::Releasing:
        case ModemManagerClient::State::Released: return;
        case ModemManagerClient::State::NotManaged:
            if (!mm.Why().empty())
                Log(mm.Why());
            claim_.modemManager.reset();
            OpenPort(now, events);
            return;
        case ModemManagerClient::State::Inhibited:
            Log("ModemManager manages the port (modem " + mm.Device() + "): it let go of the modem for the dial");
            driver_.Inhibited(m_.name);
            phase_ = Phase::WaitPort;
            portWaitUntil_ = now + kPortWait;
            OpenPort(now, events);
            return;
        case ModemManagerClient::State::Refused: {
            const std::string& why = mm.Why();
            std::string what = "; allow the service's user to control modems (polkit action "
                               "org.freedesktop.ModemManager1.Device.Control) or stop ModemManager";
            if (why.find("UnknownMethod") != std::string::npos)
                what = "; this ModemManager is older than 1.16 and cannot let go of a modem: stop it "
                       "(sudo systemctl stop ModemManager)";
            NoteDial(DialNote::ModemManagerHoldsPort);
            Fail(events, ERROR_PORT_NOT_AVAILABLE,
                 "ModemManager manages the port (modem " + mm.Device() + ") and refused to let go of it: " + why + what);
            return;
        }
        }
    }

    // While ModemManager is letting go of the modem the port may still be busy.
    bool Waiting(Clock::time_point now) const { return phase_ == Phase::WaitPort && now < portWaitUntil_; }

    void OpenPort(Clock::time_point now, LinkEvents& events)
    {
        const int fd = ::open(m_.port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int e = errno;
            if (e == EBUSY && Waiting(now))
                return;
            std::string why = "cannot open the port: " + std::string(std::strerror(e));
            if (e == EACCES)
                why += " (the user of the service needs to be in the port's group, usually dialout)";
            Fail(events, PortOpenError(e), why);
            return;
        }
        tty_ = Fd(fd);
        // One dial per port: other programs that open it exclusively are kept out too.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            if (Waiting(now)) {
                tty_.Reset();
                return;
            }
            Fail(events, ERROR_PORT_NOT_AVAILABLE,
                 phase_ == Phase::WaitPort ? "the port was still in use " + std::to_string(kPortWait.count())
                                                 + " s after ModemManager let go of the modem"
                                           : std::string("the port is in use by another program"));
            return;
        }
        if (const std::string why = SetUpPort(fd, m_, [this](const std::string& t) { Log(t); }); !why.empty()) {
            Fail(events, ERROR_PORT_NOT_AVAILABLE, why);
            return;
        }
        ::tcflush(fd, TCIOFLUSH); // what an earlier session left is not an answer
        Reach(events, RASCS_PortOpened);
        phase_ = Phase::Reset;
        Send("ATZ", now + std::chrono::milliseconds(m_.answerTimeoutMs));
    }

    void Send(const std::string& command, Clock::time_point deadline)
    {
        sent_ = command;
        out_ += command + "\r";
        deadline_ = deadline;
        WriteOut();
    }

    // Writes what the port takes now; the rest waits (hardware flow control).
    bool WriteOut()
    {
        return WritePending(tty_.Get(), out_);
    }


    // The SIM, the network and the signal, before the number is dialled.
    void StartInterview(Clock::time_point now, LinkEvents& events)
    {
        ModemInterview::Options o;
        o.answer = std::chrono::milliseconds(m_.queryTimeoutMs);
        o.registration = std::chrono::milliseconds(m_.registrationTimeoutMs);
        interview_ = std::make_unique<ModemInterview>(o);
        phase_ = Phase::Query;
        Interview(now, events);
    }

    void Interview(Clock::time_point now, LinkEvents& events)
    {
        ModemInterview& iv = *interview_;
        iv.Tick(now);
        for (const std::string& note : iv.TakeNotes())
            Log(note);
        if (iv.StartedSearching())
            Reach(events, RASCS_WaitForNetwork);
        if (!iv.Done()) {
            if (out_.empty()) {
                if (const auto command = iv.Command(now))
                    Send(*command, iv.Next());
            }
            return;
        }
        iv.Stamp(static_cast<int64_t>(std::time(nullptr)));
        const ModemReading& r = iv.Reading();
        Log(ReadingSummary(r));
        events.Read(r);
        if (iv.Error() != 0) {
            Fail(events, iv.Error(), iv.Why());
            return;
        }
        StartDial(now, events);
    }

    void StartDial(Clock::time_point now, LinkEvents& events)
    {
        Reach(events, RASCS_ConnectDevice);
        if (!DialableNumber(req_.phone)) {
            Fail(events, ERROR_BAD_PHONE_NUMBER, "the number is not one a modem can dial");
            return;
        }
        phase_ = Phase::Dial;
        Log("dialling " + req_.phone);
        Send("ATD" + req_.phone, now + std::chrono::milliseconds(m_.connectTimeoutMs));
    }

    void Converse(Clock::time_point now, LinkEvents& events)
    {
        if (!WriteOut() || !ReadLines(tty_.Get(), lines_)) {
            Fail(events, ERROR_HARDWARE_FAILURE, "the line broke");
            return;
        }
        while (Talking()) {
            const std::optional<std::string> line = lines_.Next();
            if (!line)
                break;
            if (SameCommand(*line, sent_))
                continue; // the modem's echo
            if (phase_ == Phase::Query) {
                interview_->Line(*line, now);
                Interview(now, events);
                continue;
            }
            uint32_t bps = 0;
            const ModemReply reply = ClassifyModemLine(*line, &bps);
            if (reply == ModemReply::None || reply == ModemReply::Ring)
                continue;
            if (phase_ == Phase::Dial) {
                if (reply == ModemReply::Connect) {
                    if (bps > 0)
                        bps_ = bps;
                    Log("connected: " + *line);
                    Reach(events, RASCS_DeviceConnected);
                    Reach(events, RASCS_AllDevicesConnected);
                    StartPppd(now, events);
                    return;
                }
                if (reply == ModemReply::Ok)
                    continue;
                Fail(events, DialReplyError(reply), "the modem answered the dial with " + *line);
                return;
            }
            if (reply != ModemReply::Ok) {
                Fail(events, ERROR_FROM_DEVICE, "the modem answered " + sent_ + " with " + *line);
                return;
            }
            if (phase_ == Phase::Reset) {
                const std::string init = InitCommand(req_.userInit);
                if (!init.empty()) {
                    phase_ = Phase::Init;
                    Send(init, now + std::chrono::milliseconds(m_.answerTimeoutMs));
                    continue;
                }
            }
            StartInterview(now, events);
        }
        if (phase_ == Phase::Query)
            Interview(now, events);
        if ((phase_ == Phase::Reset || phase_ == Phase::Init || phase_ == Phase::Dial) && now >= deadline_) {
            if (phase_ == Phase::Dial)
                Fail(events, ERROR_NO_ANSWER, "no answer to the dial within " + std::to_string(m_.connectTimeoutMs) + " ms");
            else
                Fail(events, ERROR_DEVICE_NOT_READY,
                     "the modem did not answer " + sent_ + " within " + std::to_string(m_.answerTimeoutMs) + " ms");
        }
    }

    // Not as root, pppd takes its privileged options only from the package's
    // peers file: a dial without it could never come up, so it ends here
    // with what to do.
    bool PeersFileReadable(const std::string& file, LinkEvents& events)
    {
        for (const std::string& f : {file, std::string(kPeersFolder) + "/" + std::string(kPeer)}) {
            if (::access(f.c_str(), R_OK) == 0)
                continue;
            const int e = errno;
            const bool missing = e == ENOENT;
            NoteDial(missing ? DialNote::NoPeersFile : DialNote::PeersFileUnreadable);
            Fail(events, ERROR_PPP_NO_PROTOCOLS_CONFIGURED,
                 "pppd cannot be started: " + f + (missing ? " is missing (the package skyportal installs it: "
                                                             "sudo apt-get install --reinstall -o Dpkg::Options::=--force-confmiss skyportal)"
                                                           : " cannot be read (" + std::string(std::strerror(e))
                                                                 + "; the service's user needs the group dip: sudo adduser $USER dip, then log in again)"));
            return false;
        }
        return true;
    }

    void StartPppd(Clock::time_point now, LinkEvents& events)
    {
        const PppdCommand command = PppdCommandLine(m_, req_, driver_.Root());
        for (const std::string& o : command.leftOut)
            Log("PppdOptions: " + o + " left out: pppd takes it only from root or from " + std::string(kPeersFolder) + "/" + std::string(kPeer));
        if (!command.peersFile.empty() && !PeersFileReadable(command.peersFile, events))
            return;
        int logPipe[2];
        if (::pipe2(logPipe, O_CLOEXEC) != 0) {
            Fail(events, ERROR_PPP_NO_PROTOCOLS_CONFIGURED, "pppd could not be started: no pipe");
            return;
        }
        Fd logRead = High(logPipe[0]);
        Fd logWrite = High(logPipe[1]);
        Fd pwRead, pwWrite;
        if (!req_.user.empty()) {
            int pw[2];
            if (::pipe2(pw, O_CLOEXEC) != 0) {
                Fail(events, ERROR_PPP_NO_PROTOCOLS_CONFIGURED, "pppd could not be started: no pipe");
                return;
            }
            pwRead = High(pw[0]);
            pwWrite = High(pw[1]);
        }
        Fd tty(::fcntl(tty_.Get(), F_DUPFD_CLOEXEC, 10));
        if (!logRead.Valid() || !logWrite.Valid() || !tty.Valid() || (!req_.user.empty() && (!pwRead.Valid() || !pwWrite.Valid()))) {
            Fail(events, ERROR_PPP_NO_PROTOCOLS_CONFIGURED, "pppd could not be started: out of descriptors");
            return;
        }
        // pppd runs the line as its standard input, in blocking mode.
        ::fcntl(tty_.Get(), F_SETFL, ::fcntl(tty_.Get(), F_GETFL) & ~O_NONBLOCK);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, tty.Get(), 0);
        posix_spawn_file_actions_adddup2(&actions, logWrite.Get(), 1);
        posix_spawn_file_actions_adddup2(&actions, logWrite.Get(), 2);
        if (pwRead.Valid())
            posix_spawn_file_actions_adddup2(&actions, pwRead.Get(), 3);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, defaults;
        sigemptyset(&none);
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGHUP);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        // its own session: a terminal's signals to the service do not reach it
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSID);

        const std::vector<std::string>& args = command.args;
        std::vector<char*> argv;
        for (const std::string& s : args)
            argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        pid_t pid = -1;
        // pppd's scripts write the machine's resolv.conf: under the mode
        // the service was started with, not ours.
        const int rc = SpawnWithStartingUmask(
            [&] { return ::posix_spawn(&pid, m_.pppd.c_str(), &actions, &attr, argv.data(), environ); });
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
        if (rc != 0) {
            Fail(events, ERROR_PPP_NO_PROTOCOLS_CONFIGURED,
                 "pppd could not be started (" + m_.pppd + "): " + std::strerror(rc) + "; is the ppp package installed?");
            return;
        }
        pid_ = pid;
        logWrite.Reset();
        pwRead.Reset();
        if (pwWrite.Valid()) {
            const std::string& pw = req_.password;
            if (!pw.empty() && ::write(pwWrite.Get(), pw.data(), pw.size()) < 0)
                Log("the password could not be handed to pppd");
            pwWrite.Reset();
        }
        ::fcntl(logRead.Get(), F_SETFL, ::fcntl(logRead.Get(), F_GETFL) | O_NONBLOCK);
        log_ = std::move(logRead);
        pppdEof_ = false;
        phase_ = Phase::Ppp;
        deadline_ = now + std::chrono::milliseconds(m_.pppTimeoutMs);
        Log("pppd started (pid " + std::to_string(pid) + ")");
        Reach(events, RASCS_Authenticate);
    }

    void Projected(LinkEvents& events)
    {
        if (!authenticated_) {
            Reach(events, RASCS_AuthNotify);
            Reach(events, RASCS_Authenticated);
            authenticated_ = true;
        }
        Reach(events, RASCS_AuthProject);
        Reach(events, RASCS_Projected);
        state_ = RASCS_Connected;
        phase_ = Phase::Up;
        Log("the link is up" + (ifname_.empty() ? std::string() : " on " + ifname_) + ": " + Addresses());
        events.Up();
    }

    std::string Addresses() const override
    {
        if (local_.empty())
            return {};
        std::string text = "address " + local_;
        if (!remote_.empty())
            text += ", peer " + remote_;
        text += ", DNS ";
        for (size_t i = 0; i < dns_.size(); ++i)
            text += (i == 0 ? "" : " ") + dns_[i];
        if (dns_.empty())
            text += "none from the peer";
        return text;
    }

    void FollowPppd(Clock::time_point now, LinkEvents& events)
    {
        if (log_.Valid() && !pppdEof_ && !ReadLines(log_.Get(), pppdLines_))
            pppdEof_ = true;
        while (const std::optional<std::string> line = pppdLines_.Next()) {
            const PppdLine l = ClassifyPppdLine(*line);
            if (l.event != PppdEvent::Packet)
                Log("pppd: " + *line);
            if (l.event == PppdEvent::Interface)
                ifname_ = l.value;
            else if (l.event == PppdEvent::NoKernelSupport)
                noKernel_ = true;
            else if (l.event == PppdEvent::AuthSucceeded && phase_ == Phase::Ppp && !authenticated_) {
                Reach(events, RASCS_AuthNotify);
                Reach(events, RASCS_Authenticated);
                authenticated_ = true;
            } else if (l.event == PppdEvent::IpUp && phase_ == Phase::Ppp && !addressed_) {
                // Usable once pppd's ip-up has run (Debian's hooks put the
                // DNS servers in place there): reported then, not before.
                local_ = l.value;
                addressed_ = true;
                deadline_ = std::min(deadline_, now + kIpUpStart);
            } else if (l.event == PppdEvent::RemoteIp) {
                remote_ = l.value;
            } else if (l.event == PppdEvent::Dns && dns_.size() < 2
                       && std::find(dns_.begin(), dns_.end(), l.value) == dns_.end()) {
                dns_.push_back(l.value);
            } else if (l.event == PppdEvent::IpUpStarted && phase_ == Phase::Ppp && addressed_) {
                deadline_ = now + kIpUpBound;
            } else if (l.event == PppdEvent::IpUpFinished && phase_ == Phase::Ppp && addressed_) {
                Projected(events);
            }
        }
        int status = 0;
        const pid_t r = pid_ > 0 ? ::waitpid(pid_, &status, WNOHANG) : 0;
        if (pid_ > 0 && (r == pid_ || (r < 0 && errno == ECHILD))) {
            pid_ = -1;
            // ECHILD: reaped by someone else, so its status is unknown
            const int code = r < 0 ? 1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            const bool wasUp = phase_ == Phase::Up;
            std::string why = "pppd: " + PppdExitText(code);
            if (noKernel_ && code != 4)
                why += "; this kernel has no ppp support";
            if (wasUp) {
                (void)Count(now);
                Log(why + " (link down)");
                Close();
                events.Down(PppdExitError(code, true));
            } else {
                Fail(events, noKernel_ ? ERROR_PPP_NO_PROTOCOLS_CONFIGURED : PppdExitError(code, false), why);
            }
            return;
        }
        if (phase_ == Phase::Ppp && now >= deadline_ && addressed_) {
            Log("pppd's ip-up did not finish in time; the link is reported up without it");
            Projected(events);
        } else if (phase_ == Phase::Ppp && now >= deadline_) {
            Fail(events, ERROR_PPP_TIMEOUT, "pppd did not bring the link up within " + std::to_string(m_.pppTimeoutMs) + " ms");
        }
    }

    SerialDriver& driver_;
    SerialModem m_;
    DialRequest req_;
    PortClaim claim_;
    Clock::time_point portWaitUntil_{};
    Phase phase_ = Phase::Open;
    uint32_t state_ = RASCS_OpenPort;
    uint32_t bps_;
    Fd tty_;
    LineSplitter lines_;
    std::string out_;  // the command not yet taken by the port
    std::string sent_; // the command last sent, to know its echo
    Clock::time_point deadline_{};
    pid_t pid_ = -1;
    Fd log_;
    bool pppdEof_ = false;
    LineSplitter pppdLines_;
    std::string ifname_;
    bool authenticated_ = false;
    bool noKernel_ = false;
    bool addressed_ = false; // pppd has the local address; its ip-up is running
    std::string local_, remote_;
    std::vector<std::string> dns_;
    LinkCounters counters_;
    std::unique_ptr<ModemInterview> interview_;
};

// A question on a free port (or the modem's second AT port): the port is
// locked and opened as for a dial, the modem greeted with AT, then asked
// the reading's questions and, for a USSD code, AT+CUSD=1,"<code>",15 and
// its unsolicited +CUSD answer. The port is let go as soon as it is done.
class SerialQuestion : public ModemQuestion {
public:
    SerialQuestion(const SerialModem& m, std::string port, std::string ussd)
        : m_(m), port_(std::move(port)), ussd_(std::move(ussd))
    {
    }

    Clock::time_point Advance(Clock::time_point now) override
    {
        if (done_)
            return Clock::time_point::max();
        if (phase_ == Phase::Open) {
            Open(now);
            if (done_)
                return Clock::time_point::max();
        }
        if (!WriteOut(now) || !ReadLines(tty_.Get(), lines_)) {
            End(ERROR_HARDWARE_FAILURE, "the line broke");
            return Clock::time_point::max();
        }
        while (!done_) {
            const std::optional<std::string> line = lines_.Next();
            if (!line)
                break;
            if (SameCommand(*line, sent_))
                continue;
            Line(*line, now);
        }
        if (!done_ && phase_ == Phase::Query)
            Interview(now);
        if (!done_ && (phase_ == Phase::Hello || phase_ == Phase::UssdSent || phase_ == Phase::UssdWait) && now >= deadline_) {
            if (phase_ == Phase::Hello)
                End(ERROR_DEVICE_NOT_READY, "the modem did not answer AT within " + std::to_string(m_.queryTimeoutMs) + " ms");
            else
                End(ERROR_REQUEST_TIMEOUT, "no answer to the USSD code within " + std::to_string(m_.ussdTimeoutMs) + " ms");
        }
        if (done_)
            return Clock::time_point::max();
        const Clock::time_point next = phase_ == Phase::Query ? interview_->Next() : deadline_;
        if (next <= now)
            return now + 20ms;
        return out_.empty() ? next : std::min(next, now + 20ms);
    }

    void Watch(std::vector<pollfd>& fds) const override
    {
        if (!done_ && tty_.Valid())
            fds.push_back({tty_.Get(), static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0});
    }

private:
    enum class Phase { Open, Hello, Query, UssdSent, UssdWait };

    void Log(const std::string& text) const { ServiceLog(m_.name + " (" + port_ + "): " + text); }

    void End(uint32_t error, const std::string& why)
    {
        if (!why.empty())
            Log(why + (error != 0 ? " (" + std::to_string(error) + ")" : std::string()));
        if (tty_.Valid())
            ::ioctl(tty_.Get(), TIOCNXCL); // else the dial after it could not open the port
        tty_.Reset();
        lock_.Release();
        Finish(error);
    }

    void Open(Clock::time_point now)
    {
        const std::filesystem::path folder =
            m_.lockDir.empty() ? PortLock::DefaultFolder() : std::filesystem::path(m_.lockDir);
        if (lock_.Take(folder, port_) == PortLock::Result::Busy) {
            End(ERROR_PORT_NOT_AVAILABLE, "the port is locked by another program");
            return;
        }
        const int fd = ::open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            End(PortOpenError(errno), "cannot open the port: " + std::string(std::strerror(errno)));
            return;
        }
        tty_ = Fd(fd);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            End(ERROR_PORT_NOT_AVAILABLE, "the port is in use by another program");
            return;
        }
        if (const std::string why = SetUpPort(fd, m_, [this](const std::string& t) { Log(t); }); !why.empty()) {
            End(ERROR_PORT_NOT_AVAILABLE, why);
            return;
        }
        ::tcflush(fd, TCIOFLUSH);
        phase_ = Phase::Hello;
        Send("AT", now + std::chrono::milliseconds(m_.queryTimeoutMs), now);
    }

    void Send(const std::string& command, Clock::time_point deadline, Clock::time_point now)
    {
        sent_ = command;
        out_ += command + "\r";
        deadline_ = deadline;
        WriteOut(now);
    }

    bool WriteOut(Clock::time_point)
    {
        return !tty_.Valid() || WritePending(tty_.Get(), out_);
    }

    void Line(const std::string& line, Clock::time_point now)
    {
        switch (phase_) {
        case Phase::Open: return;
        case Phase::Hello: {
            const ModemReply reply = ClassifyModemLine(line);
            if (reply == ModemReply::None || reply == ModemReply::Ring)
                return;
            if (reply != ModemReply::Ok) {
                End(ERROR_FROM_DEVICE, "the modem answered AT with " + line);
                return;
            }
            ModemInterview::Options o;
            o.answer = std::chrono::milliseconds(m_.queryTimeoutMs);
            o.registration = std::chrono::milliseconds(0);
            interview_ = std::make_unique<ModemInterview>(o);
            phase_ = Phase::Query;
            return;
        }
        case Phase::Query: interview_->Line(line, now); return;
        case Phase::UssdSent:
        case Phase::UssdWait: Ussd(line, now); return;
        }
    }

    void Interview(Clock::time_point now)
    {
        ModemInterview& iv = *interview_;
        iv.Tick(now);
        for (const std::string& note : iv.TakeNotes())
            Log(note);
        if (!iv.Done()) {
            if (out_.empty()) {
                if (const auto command = iv.Command(now))
                    Send(*command, iv.Next(), now);
            }
            return;
        }
        iv.Stamp(static_cast<int64_t>(std::time(nullptr)));
        reading_ = iv.Reading();
        if (ussd_.empty()) {
            Log(ReadingSummary(reading_));
            End(0, {});
            return;
        }
        if (const uint32_t e = SimError(reading_.sim, reading_.simWord); e != 0) {
            End(e, "no USSD: the SIM card " + SimText(reading_));
            return;
        }
        phase_ = Phase::UssdSent;
        Log("USSD " + ussd_);
        Send("AT+CUSD=1,\"" + ussd_ + "\",15", now + std::chrono::milliseconds(m_.ussdTimeoutMs), now);
    }

    void Ussd(const std::string& line, Clock::time_point now)
    {
        if (const auto u = ParseCusd(line)) {
            if (u->status == 0 || u->status == 1) {
                const auto text = DecodeUssd(u->text, u->dcs);
                if (!text) {
                    End(ERROR_USSD_UNREADABLE, "the USSD answer could not be read (data coding scheme "
                                                   + std::to_string(u->dcs) + ", " + std::to_string(u->text.size())
                                                   + " bytes)");
                    return;
                }
                answer_ = *text;
                if (u->status == 1) {
                    // the network waits for more: end its session
                    [[maybe_unused]] const ssize_t w = ::write(tty_.Get(), "AT+CUSD=2\r", 10);
                }
                Log("USSD answered (" + std::to_string(answer_.size()) + " bytes)");
                End(0, {});
                return;
            }
            End(ERROR_USSD_REFUSED, "the network ended the USSD session (status " + std::to_string(u->status) + ")");
            return;
        }
        const ModemReply reply = ClassifyModemLine(line);
        if (phase_ == Phase::UssdSent && reply == ModemReply::Ok) {
            phase_ = Phase::UssdWait; // the answer comes unsolicited
            deadline_ = std::min(deadline_, now + std::chrono::milliseconds(m_.ussdTimeoutMs));
            return;
        }
        if (reply != ModemReply::None && reply != ModemReply::Ok && reply != ModemReply::Ring)
            End(ERROR_USSD_REFUSED, "the modem answered the USSD code with " + line);
    }

    SerialModem m_;
    std::string port_;
    std::string ussd_;
    Phase phase_ = Phase::Open;
    PortLock lock_;
    Fd tty_;
    LineSplitter lines_;
    std::string out_;
    std::string sent_;
    Clock::time_point deadline_{};
    std::unique_ptr<ModemInterview> interview_;
};

} // namespace

std::unique_ptr<ModemQuestion> SerialDriver::Ask(const std::string& device, const std::string& ussd, bool linkUp,
                                                 Link::Clock::time_point now, uint32_t& refusal)
{
    const SerialModem* m = net_.SerialFor(device);
    if (m == nullptr) {
        refusal = ERROR_DEVICE_DOES_NOT_EXIST;
        return nullptr;
    }
    // A second AT port is free while the data port carries the link; the
    // only port is not.
    if (linkUp && m->atPort.empty()) {
        refusal = ERROR_PORT_CARRIES_LINK;
        return nullptr;
    }
    auto onPort = [modem = *m, ussd]() -> std::unique_ptr<ModemQuestion> {
        return std::make_unique<SerialQuestion>(modem, modem.atPort.empty() ? modem.port : modem.atPort, ussd);
    };
    // While a dial of ours holds ModemManager's inhibition the modem is not
    // its to answer for.
    if (Inhibits(m->name))
        return onPort();
    return ModemManagerQuestion::Ask(*m, ussd, now, std::move(onPort));
}

SerialDriver::~SerialDriver()
{
    for (const Child& c : ending_) {
        if (c.log >= 0)
            ::close(c.log);
        ::kill(c.pid, SIGKILL);
        int status = 0;
        while (::waitpid(c.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

std::unique_ptr<Link> SerialDriver::Dial(const DialRequest& request, Link::Clock::time_point)
{
    const SerialModem* m = net_.SerialFor(request.device);
    if (m == nullptr)
        return nullptr;
    return std::make_unique<SerialLink>(*this, *m, request);
}

void SerialDriver::End(pid_t pid, const std::string& device, int log, PortClaim claim)
{
    ::kill(pid, SIGTERM);
    ending_.push_back({pid, Clock::now() + kPppdGrace, false, device, log, LineSplitter(), std::move(claim)});
}

void SerialDriver::Release(PortClaim claim, Link::Clock::time_point now)
{
    claim.lock.Release();
    if (!claim.modemManager)
        return;
    claim.modemManager->Uninhibit(now);
    if (claim.modemManager->Current() == ModemManagerClient::State::Releasing)
        releasing_.push_back(std::move(claim));
    else
        Released(claim);
}

void SerialDriver::Released(PortClaim& claim)
{
    if (inhibited_.erase(claim.device) != 0) {
        const std::string& why = claim.modemManager->Why();
        ServiceLog(claim.who + ": "
                   + (why.empty() ? std::string("ModemManager has the modem back")
                                  : "ModemManager did not confirm the modem's return (" + why
                                        + "); it takes the modem back when the service's bus connection closes"));
    }
    claim.modemManager.reset(); // the connection closes: no inhibition of ours outlives it
}

void SerialDriver::Drain(Child& c)
{
    if (c.log >= 0 && !ReadLines(c.log, c.lines)) {
        ::close(c.log);
        c.log = -1;
    }
    while (const std::optional<std::string> line = c.lines.Next())
        ServiceLog(c.device + ": pppd: " + *line);
}

Link::Clock::time_point SerialDriver::Advance(Link::Clock::time_point now)
{
    auto next = Clock::time_point::max();
    for (auto it = ending_.begin(); it != ending_.end();) {
        Drain(*it);
        int status = 0;
        const pid_t r = ::waitpid(it->pid, &status, WNOHANG);
        if (r == it->pid || (r < 0 && errno == ECHILD)) {
            Drain(*it);
            if (it->log >= 0)
                ::close(it->log);
            if (r == it->pid) {
                const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                ServiceLog(it->device + ": pppd (pid " + std::to_string(it->pid) + ") ended after the hang-up: "
                           + (it->killed ? std::string("killed") : PppdExitText(code)));
            }
            Release(std::move(it->claim), now);
            it = ending_.erase(it);
            continue;
        }
        if (!it->killed && now >= it->killAt) {
            ::kill(it->pid, SIGKILL);
            it->killed = true;
        }
        next = std::min(next, it->killed ? now + 20ms : std::min(it->killAt, now + 50ms));
        ++it;
    }
    for (auto it = releasing_.begin(); it != releasing_.end();) {
        if (it->modemManager->Process(now) != ModemManagerClient::State::Releasing) {
            Released(*it);
            it = releasing_.erase(it);
            continue;
        }
        // its answer does not wake the loop: look again soon
        next = std::min({next, it->modemManager->Next(), Link::Clock::time_point(now + 20ms)});
        ++it;
    }
    return next;
}

} // namespace sp::ras
