#include "FakeModem.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kPollMs = 20;
constexpr size_t kMaxLine = 1024;      // a peer sending no '\r' must not grow us without end
constexpr size_t kEndlessChunk = 4096;

[[noreturn]] void Fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(s[i])) != std::toupper(static_cast<unsigned char>(prefix[i])))
            return false;
    }
    return true;
}

// Line noise as a phone emits it while powering up: high bytes, NULs, 0xFF
// and line ends that do not pair up. No printable text, so it can never be
// taken for an answer.
std::string Junk()
{
    std::string junk(300, '\0');
    for (size_t i = 0; i < junk.size(); ++i)
        junk[i] = static_cast<char>(0x80 | ((i * 37 + 11) & 0x7f));
    junk[0] = '\0';
    junk[1] = static_cast<char>(0xff);
    junk[40] = '\r';
    junk[90] = '\n';
    junk[150] = '\0';
    junk[151] = '\0';
    junk[200] = '\n';
    junk[201] = static_cast<char>(0xff);
    junk[250] = '\r';
    junk[299] = static_cast<char>(0xff);
    return junk;
}

} // namespace

void FakeModem::Fd::Reset(int fd) noexcept
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

// Not a default argument: GCC rejects one built from a nested class's
// member initializers inside the enclosing class.
FakeModem::FakeModem() : FakeModem(Behaviour{}) {}

FakeModem::FakeModem(Behaviour b) : behaviour_(std::move(b)), echo_(behaviour_.echo)
{
    master_.Reset(::posix_openpt(O_RDWR | O_NOCTTY));
    if (master_.Get() < 0)
        Fail("posix_openpt");
    // The service may be a child process: it must not inherit the master, or
    // closing ours would not hang the line up.
    if (::fcntl(master_.Get(), F_SETFD, FD_CLOEXEC) < 0)
        Fail("fcntl(FD_CLOEXEC)");
    int flags = ::fcntl(master_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(master_.Get(), F_SETFL, flags | O_NONBLOCK) < 0)
        Fail("fcntl(O_NONBLOCK)");
    if (::grantpt(master_.Get()) < 0)
        Fail("grantpt");
    if (::unlockpt(master_.Get()) < 0)
        Fail("unlockpt");
    char name[128];
    if (int err = ::ptsname_r(master_.Get(), name, sizeof name); err != 0) {
        errno = err;
        Fail("ptsname_r");
    }
    port_ = name;

    // Termios requests on the master act on the slave. Raw from the start, so
    // nothing is echoed or translated by the line discipline before (or
    // without) the service setting raw mode itself; and no slave descriptor
    // of our own, so the service's close shows as the master's hang-up.
    termios tio{};
    if (::tcgetattr(master_.Get(), &tio) < 0)
        Fail("tcgetattr");
    ::cfmakeraw(&tio);
    if (::tcsetattr(master_.Get(), TCSANOW, &tio) < 0)
        Fail("tcsetattr");

    wake_.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (wake_.Get() < 0)
        Fail("eventfd");

    thread_ = std::thread([this] { Run(); });
}

FakeModem::~FakeModem()
{
    stop_ = true;
    Wake();
    if (thread_.joinable())
        thread_.join();
}

std::vector<std::string> FakeModem::Commands() const
{
    std::lock_guard lock(m_);
    return commands_;
}

bool FakeModem::WaitCommand(std::string_view prefix, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, timeout, [&] {
        return std::any_of(commands_.begin(), commands_.end(),
                           [&](const std::string& c) { return StartsWithNoCase(c, prefix); });
    });
}

void FakeModem::Break()
{
    breakRequested_ = true;
    Wake();
    // Only the modem thread touches the master; wait until it has let go.
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return masterClosed_; });
}

void FakeModem::Wake()
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_.Get(), &one, sizeof one);
}

void FakeModem::Run()
{
    using Clock = std::chrono::steady_clock;
    while (!stop_) {
        if (breakRequested_.exchange(false))
            CloseMaster();

        int timeout = kPollMs;
        for (const auto& due : {dialDue_, ussdDue_}) {
            if (!due)
                continue;
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
            timeout = std::min(timeout, static_cast<int>(std::clamp<long long>(left, 0, kPollMs)));
        }

        const bool haveMaster = master_.Get() >= 0;
        pollfd fds[2] = {{wake_.Get(), POLLIN, 0}, {master_.Get(), POLLIN, 0}};
        if (haveMaster && peerOpen_ && (endless_ || !out_.empty()))
            fds[1].events |= POLLOUT;
        int r = ::poll(fds, haveMaster ? 2 : 1, timeout);
        if (r < 0 && errno != EINTR)
            continue;
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] ssize_t n = ::read(wake_.Get(), &v, sizeof v);
        }
        if (!haveMaster || stop_)
            continue;

        const short rev = r > 0 ? fds[1].revents : short{0};
        bool hungUp = false;
        if (rev & POLLIN) {
            char buf[4096];
            ssize_t n = ::read(master_.Get(), buf, sizeof buf);
            if (n > 0) {
                peerOpen_ = true;
                Received(buf, static_cast<size_t>(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                hungUp = true;
            }
        } else if (rev & (POLLHUP | POLLERR)) {
            hungUp = true;
        } else {
            // No hang-up reported: the slave is (still, or again) open.
            peerOpen_ = true;
        }

        if (hungUp) {
            PeerClosed();
            // The hang-up stays reported until the slave is opened again;
            // nap on the wake descriptor instead of spinning on it.
            pollfd w{wake_.Get(), POLLIN, 0};
            ::poll(&w, 1, kPollMs);
            continue;
        }

        if (ussdDue_ && Clock::now() >= *ussdDue_) {
            ussdDue_.reset();
            Answer("+CUSD: " + std::to_string(behaviour_.ussdStatus) + ",\"" + behaviour_.ussdText + "\","
                   + std::to_string(behaviour_.ussdDcs));
        }
        if (dialDue_ && Clock::now() >= *dialDue_) {
            dialDue_.reset();
            Answer(behaviour_.dialAnswer);
            if (StartsWithNoCase(behaviour_.dialAnswer, "CONNECT") && behaviour_.mode != Mode::EndlessLine)
                online_ = true;
        }
        Flush();
    }
}

void FakeModem::Received(const char* data, size_t n)
{
    if (online_)
        return;  // PPP frames: nobody here to talk to
    const bool silent = behaviour_.mode == Mode::Silent;
    for (size_t i = 0; i < n; ++i) {
        const char c = data[i];
        // Byte by byte: an ATE0 in the middle of a chunk stops the echo of
        // what follows, as on the phone.
        if (echo_ && !silent)
            out_ += c;
        if (c == '\r') {
            std::string line;
            line.swap(line_);
            Line(line);
        } else if (c != '\n' && line_.size() < kMaxLine) {
            line_ += c;
        }
    }
}

void FakeModem::Line(const std::string& line)
{
    if (!StartsWithNoCase(line, "AT"))
        return;
    {
        std::lock_guard lock(m_);
        commands_.push_back(line);
    }
    cv_.notify_all();

    if (behaviour_.mode == Mode::Silent || dialDue_)
        return;  // while dialling, further input is not answered
    if (StartsWithNoCase(line, "ATD")) {
        if (behaviour_.mode == Mode::BreakOnDial)
            CloseMaster();
        else
            dialDue_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(behaviour_.dialDelayMs);
        return;
    }
    if (Interview(line))
        return;
    if (StartsWithNoCase(line, "ATE0")) {
        echo_ = false;
        Answer("OK");
    } else if (StartsWithNoCase(line, "ATE1")) {
        echo_ = true;
        Answer("OK");
    } else {
        Answer(behaviour_.initAnswer);
    }
}

// The questions before a dial and the USSD code; false for any other line.
bool FakeModem::Interview(const std::string& line)
{
    const Behaviour& b = behaviour_;
    auto reply = [&](const std::string& info) {
        Answer(info);
        Answer("OK");
    };
    auto registration = [&](const char* name, int stat) {
        if (stat < 0) {
            Answer("ERROR");
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!firstRegQuestion_)
            firstRegQuestion_ = now;
        if (now - *firstRegQuestion_ < std::chrono::milliseconds(b.registerAfterMs))
            stat = 2;
        reply(std::string(name) + ": 0," + std::to_string(stat));
    };
    if (StartsWithNoCase(line, "AT+CPIN?")) {
        if (b.cpin.empty())
            Answer("ERROR");
        else
            reply("+CPIN: " + b.cpin);
    } else if (StartsWithNoCase(line, "AT+CREG?")) {
        registration("+CREG", b.creg);
    } else if (StartsWithNoCase(line, "AT+CGREG?")) {
        registration("+CGREG", b.cgreg);
    } else if (StartsWithNoCase(line, "AT+CEREG?")) {
        registration("+CEREG", b.cereg);
    } else if (StartsWithNoCase(line, "AT+CSQ")) {
        if (!b.csqSilent)
            reply("+CSQ: " + std::to_string(b.csq) + ",99");
    } else if (StartsWithNoCase(line, "AT+COPS?")) {
        reply(b.cops.empty() ? std::string("+COPS: 0") : "+COPS: 0,0,\"" + b.cops + "\",2");
    } else if (StartsWithNoCase(line, "AT+CUSD=1")) {
        Answer("OK");
        if (!b.ussdSilent)
            ussdDue_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(b.ussdDelayMs);
    } else {
        return false;
    }
    return true;
}

void FakeModem::Answer(std::string_view text)
{
    if (behaviour_.mode == Mode::EndlessLine) {
        endless_ = true;
        return;
    }
    if (behaviour_.mode == Mode::JunkThenNormal && !junkSent_) {
        out_ += Junk();
        junkSent_ = true;
    }
    out_ += "\r\n";
    out_ += text;
    out_ += "\r\n";
}

void FakeModem::Flush()
{
    if (master_.Get() < 0 || !peerOpen_)
        return;
    if (endless_ && out_.size() < kEndlessChunk)
        out_.append(kEndlessChunk, 'A');
    while (!out_.empty()) {
        ssize_t n = ::write(master_.Get(), out_.data(), out_.size());
        if (n <= 0)
            return;  // full (EAGAIN) or gone: the next round tries again
        out_.erase(0, static_cast<size_t>(n));
    }
}

void FakeModem::PeerClosed()
{
    if (peerOpen_) {
        peerOpen_ = false;
        ++hangups_;
    }
    // Closing the port drops DTR: the phone ends the call and forgets the
    // half-typed line and what it had not sent yet. A serial port also drops
    // what came in but was not read; a pty keeps it for the next open. A
    // flush through the master does not reach it, one on the slave does.
    // Opened and closed again before the next poll, so it never counts as
    // the service's open.
    if (Fd slave(::open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)); slave.Get() >= 0)
        ::tcflush(slave.Get(), TCIFLUSH);
    online_ = false;
    dialDue_.reset();
    ussdDue_.reset();
    line_.clear();
    out_.clear();
}

void FakeModem::CloseMaster()
{
    master_.Reset();
    out_.clear();
    line_.clear();
    dialDue_.reset();
    endless_ = false;
    online_ = false;
    {
        std::lock_guard lock(m_);
        masterClosed_ = true;
    }
    cv_.notify_all();
}
