#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// A GPRS phone's AT command interpreter behind a pseudo-terminal pair: the
// service opens Port() exactly as it opens a real serial port. One thread
// serves the master side; the test thread only reads what it recorded.
class FakeModem {
public:
    enum class Mode {
        Normal,
        Silent,         // records commands, never echoes or answers
        BreakOnDial,    // the line goes away on ATD instead of an answer
        JunkThenNormal, // line noise before the first answer
        EndlessLine,    // answers with bytes that never end a line
    };
    struct Behaviour {
        Mode mode = Mode::Normal;
        bool echo = true;                           // as modems do until ATE0
        std::string dialAnswer = "CONNECT 236800";  // or NO CARRIER, BUSY, NO DIALTONE, ERROR, NO ANSWER
        std::string initAnswer = "OK";              // the answer to any other AT command
        int dialDelayMs = 50;                       // before the dial answer
        // What it says of its SIM, network and signal before the dial; an
        // empty word or a negative number answers ERROR (a modem that does
        // not know the command).
        std::string cpin = "READY";                 // +CPIN: READY, SIM PIN, SIM PUK, ...
        int creg = 1;                               // +CREG's state: 1 home, 5 roaming, 2 searching, 3 denied
        int cgreg = 1;
        int cereg = -1;
        int registerAfterMs = 0;                    // searching (2) until this long after the first question
        int csq = 20;                               // +CSQ's rssi
        bool csqSilent = false;                     // AT+CSQ gets no answer at all
        std::string cops = "Zentora";
        // The unsolicited +CUSD line after AT+CUSD=1,...: its status, string
        // (as it goes on the line) and coding scheme; none when silent.
        int ussdStatus = 0;
        std::string ussdText = "Balance: 12.34";
        int ussdDcs = 15;
        bool ussdSilent = false;
        int ussdDelayMs = 100;
    };

    FakeModem();
    explicit FakeModem(Behaviour b);
    ~FakeModem();
    FakeModem(const FakeModem&) = delete;
    FakeModem& operator=(const FakeModem&) = delete;

    // The slave's path, e.g. /dev/pts/7.
    [[nodiscard]] const std::string& Port() const { return port_; }
    // The AT command lines received so far (without "\r"), in order.
    [[nodiscard]] std::vector<std::string> Commands() const;
    // Until a command starting with prefix (compared ignoring case) arrived.
    bool WaitCommand(std::string_view prefix, std::chrono::milliseconds timeout);
    // How often the other side closed the port after having opened it (seen
    // as the master's hang-up; an open and close within one poll round of
    // about 20 ms without any byte sent can go unnoticed).
    [[nodiscard]] int Hangups() const { return hangups_.load(); }
    // The line breaks: the master is closed when this returns, so the
    // service sees a hang-up (POLLHUP, read() returning 0 or EIO).
    void Break();

private:
    class Fd {
    public:
        explicit Fd(int fd = -1) noexcept : fd_(fd) {}
        ~Fd() { Reset(); }
        Fd(const Fd&) = delete;
        Fd& operator=(const Fd&) = delete;
        [[nodiscard]] int Get() const { return fd_; }
        void Reset(int fd = -1) noexcept;

    private:
        int fd_;
    };

    void Run();
    void Received(const char* data, size_t n);
    void Line(const std::string& line);
    bool Interview(const std::string& line);
    void Answer(std::string_view text);
    void Flush();
    void PeerClosed();
    void CloseMaster();
    void Wake();

    const Behaviour behaviour_;
    Fd master_;
    Fd wake_;
    std::string port_;

    // Touched by the modem thread only.
    std::string line_;
    std::string out_;  // not yet written to the master (it never blocks)
    bool echo_;
    bool online_ = false;  // after CONNECT: PPP frames, not commands
    bool junkSent_ = false;
    bool endless_ = false;
    bool peerOpen_ = false;
    std::optional<std::chrono::steady_clock::time_point> dialDue_;
    std::optional<std::chrono::steady_clock::time_point> ussdDue_;
    std::optional<std::chrono::steady_clock::time_point> firstRegQuestion_;

    mutable std::mutex m_;
    std::condition_variable cv_;
    std::vector<std::string> commands_;  // guarded by m_
    bool masterClosed_ = false;          // guarded by m_

    std::atomic<int> hangups_{0};
    std::atomic<bool> stop_{false};
    std::atomic<bool> breakRequested_{false};
    std::thread thread_;  // last: starts once everything above exists
};
