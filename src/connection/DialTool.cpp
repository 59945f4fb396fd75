// skyportal-dial: the program's dial from a console, for scripts, boot and
// machines without a screen. Same sequence, same settings, same service.
#include "connection/ConnectionManager.h"
#include "connection/ConnectionQuestion.h"
#include "connection/ConnectionState.h"
#include "connection/DialToolSettings.h"
#include "connection/IDialObserver.h"
#include "connection/TDialSession.h"
#include "platform/base/Cp1251.h"
#include "platform/base/ProgramInfo.h"
#include "platform/rasapi/RasProtocol.h"
#include "platform/rasman/DefaultMachine.h"
#include "ras/Modems.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"
#include "ras/TrafficCounters.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <signal.h>
#include <string>
#include <string_view>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace sp;

constexpr std::string_view kUsage =
    "usage: skyportal-dial [--modem NAME] [--quiet] [--wait | --redial N]\n"
    "       skyportal-dial --status [--modem NAME]\n"
    "       skyportal-dial --hangup [--modem NAME]\n"
    "       skyportal-dial --help | --version\n"
    "Dials the operator's entry with Skyportal's settings and sequence, printing\n"
    "each connection state as it happens, then the connection.\n"
    "  --modem NAME  dial this modem instead of the one of the settings\n"
    "  --quiet       print only the outcome\n"
    "  --wait        stay until the connection ends and say why\n"
    "  --redial N    like --wait, and redial a lost connection up to N times,\n"
    "                after 1, 2, 4 ... at most 60 seconds\n"
    "  --status      show the live connection: entry, device, time, bytes\n"
    "  --hangup      hang the live connection up\n"
    "Exit status: 0 connected (or hung up), 1 the dial failed or the connection\n"
    "was lost, 2 a wrong command line.\n";

enum class TMode { Dial, Status, Hangup };

struct TOptions {
    TMode mode = TMode::Dial;
    std::optional<std::string> modem;
    bool quiet = false;
    bool wait = false;
    int redials = 0;
};

int Usage(const std::string& complaint)
{
    std::cerr << "skyportal-dial: " << complaint << "\n" << kUsage;
    return 2;
}

std::optional<TOptions> Parse(int argc, char** argv, std::string& complaint)
{
    TOptions o;
    int modes = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (a == "--modem") {
            if (++i >= argc || argv[i][0] == '\0') {
                complaint = "--modem needs a modem's name";
                return std::nullopt;
            }
            o.modem = argv[i];
        } else if (a == "--quiet") {
            o.quiet = true;
        } else if (a == "--wait") {
            o.wait = true;
        } else if (a == "--redial") {
            const std::string_view n = i + 1 < argc ? std::string_view(argv[i + 1]) : std::string_view();
            int value = -1;
            const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), value);
            if (n.empty() || ec != std::errc() || end != n.data() + n.size() || value < 0 || value > 100000) {
                complaint = "--redial needs a count from 0 to 100000";
                return std::nullopt;
            }
            ++i;
            o.redials = value;
            o.wait = true;
        } else if (a == "--status") {
            o.mode = TMode::Status;
            ++modes;
        } else if (a == "--hangup") {
            o.mode = TMode::Hangup;
            ++modes;
        } else {
            complaint = "unknown argument: " + std::string(a);
            return std::nullopt;
        }
    }
    if (modes > 1 || (o.mode != TMode::Dial && (o.wait || o.quiet))) {
        complaint = "--status and --hangup go alone (with --modem at most)";
        return std::nullopt;
    }
    return o;
}

// Ctrl+C and the service manager's stop: a dial is cancelled, a watched
// connection hung up. Taken by a thread of its own through sigwait.
std::mutex gStopMutex;
std::condition_variable gStopped;
bool gStop = false;             // under gStopMutex
TDialSession* gSession = nullptr; // the dial under way, under gStopMutex

bool StopRequested()
{
    std::lock_guard lk(gStopMutex);
    return gStop;
}

// Sleeps `rounds` rounds unless a stop comes first; true when it came.
bool SleepRounds(int rounds)
{
    std::unique_lock lk(gStopMutex);
    return gStopped.wait_for(lk, ConnectionRoundLength() * rounds, [] { return gStop; });
}

class TSignalWatch {
public:
    TSignalWatch()
    {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGHUP);
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this] {
            while (!quit_.load()) {
                timespec wait{0, 100'000'000};
                if (sigtimedwait(&set_, nullptr, &wait) <= 0)
                    continue;
                std::lock_guard lk(gStopMutex);
                gStop = true;
                if (gSession != nullptr)
                    gSession->Cancel();
                gStopped.notify_all();
            }
        });
    }
    ~TSignalWatch()
    {
        quit_.store(true);
        thread_.join();
    }

private:
    sigset_t set_{};
    std::atomic<bool> quit_{false};
    std::thread thread_;
};

std::string Clock()
{
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &tm);
    return text;
}

// A line of the tool's own, with the time of day when it is a log line.
void Say(const std::string& line, bool log = false)
{
    std::cout << (log ? Clock() + " " : std::string()) << line << std::endl;
}

// The states of the dial as lines: each new progress text once, as the
// progress window's status line shows them.
class TConsoleObserver : public IDialObserver {
public:
    explicit TConsoleObserver(bool quiet) : quiet_(quiet) {}
    void Begin(const std::string& text)
    {
        last_ = text;
        Print(text);
    }
    void DialProgress(const std::string& text, int) override { Show(text); }
    void DialAdopted(const std::string& text, int) override
    {
        adopted_ = true;
        Show(text);
    }
    [[nodiscard]] bool Adopted() const { return adopted_; }
    void DialAttempt(const std::string& text, int) override { Show(text); }

private:
    void Show(const std::string& text)
    {
        if (text.empty() || text == last_)
            return;
        last_ = text;
        Print(text);
    }
    void Print(const std::string& text) const
    {
        if (!quiet_)
            std::cout << text << std::endl;
    }

    bool quiet_;
    bool adopted_ = false;
    std::string last_;
};

// The question about a link of another APN: asked on a terminal, answered
// No (keep it) when nobody can be asked.
class TConsoleQuestion : public IConnectionQuestion {
public:
    bool AskYesNo(const std::string& text) override
    {
        if (::isatty(STDIN_FILENO) == 0) {
            std::cout << text << " Нет (no terminal to ask)" << std::endl;
            return false;
        }
        std::cout << text << " [y/N] " << std::flush;
        std::string answer;
        if (!std::getline(std::cin, answer))
            return false;
        return answer == "y" || answer == "Y" || answer == "yes" || answer == "д" || answer == "Д" || answer == "да";
    }
};

// The program's run-time values the APN update after a dial works on.
class TToolHost : public IApnUpdateHost {
public:
    explicit TToolHost(TDialToolSettings& settings) : settings_(settings) {}
    bool APNUpdated() const override { return updated_; }
    void SetAPNUpdated(bool value) override { updated_ = value; }
    std::string GetAPNVersionString() const override { return ProgramVersion() + "." + settings_.apnVersion; }
    void SetAPNVersion(const std::string& version) override
    {
        const size_t dot = version.rfind('.');
        settings_.apnVersion = dot == std::string::npos ? std::string() : version.substr(dot + 1);
    }

private:
    // The version's first two components, as the program asks with.
    static std::string ProgramVersion()
    {
        const std::string_view v = ProjectVersion();
        const size_t first = v.find('.');
        const size_t second = first == std::string_view::npos ? first : v.find('.', first + 1);
        return std::string(v.substr(0, second));
    }

    TDialToolSettings& settings_;
    bool updated_ = false;
};

struct TLink {
    HRASCONN handle = 0;
    std::string entry;
    std::string device;
};

std::string Field(const char* text, size_t size)
{
    return Cp1251ToUtf8(std::string(text, strnlen(text, size)));
}

template <class R>
std::vector<TLink> LinksOf()
{
    std::vector<typename R::RASCONN> conns;
    DWORD count = 0;
    const DWORD code = R::EnumConnections(conns, count);
    std::vector<TLink> links;
    if (code != 0)
        return links;
    for (DWORD i = 0; i < count && i < conns.size(); ++i)
        links.push_back({conns[i].hrasconn, Field(conns[i].szEntryName, sizeof conns[i].szEntryName),
                         Field(conns[i].szDeviceName, sizeof conns[i].szDeviceName)});
    return links;
}

// The live connections, of `modem` only when one is named.
std::vector<TLink> Links(const std::string& modem)
{
    std::vector<TLink> links;
    switch (WinVersion) {
    case 410: links = LinksOf<Ras98>(); break;
    case 490: links = LinksOf<RasME>(); break;
    default: links = LinksOf<Ras2k>(); break;
    }
    if (!modem.empty())
        std::erase_if(links, [&](const TLink& l) { return l.device != modem; });
    std::erase_if(links, [](const TLink& l) { return !ConnIsOpen(l.handle); });
    return links;
}

// The link's addresses and DNS servers as the service lists them (a real
// modem's link once it is usable; the simulated network has none).
std::string LinkAddresses(HRASCONN handle)
{
    const int fd = ras::ConnectToService();
    if (fd < 0)
        return {};
    ras::Frame reply;
    const bool answered = ras::Exchange(fd, ras::Msg::CtlList, "", reply);
    ::close(fd);
    ras::ServiceListing listing;
    if (!answered || !ras::ReadServiceListing(reply.payload, listing))
        return {};
    for (const auto& c : listing.connections)
        if (c.handle == handle)
            return c.addresses;
    return {};
}

void PrintConnected(const TLink& link, bool adopted)
{
    std::cout << (adopted ? "connected (taken over): " : "connected: ") << link.entry << " on " << link.device
              << " (connection " << link.handle << ")" << std::endl;
    if (const std::string addresses = LinkAddresses(link.handle); !addresses.empty())
        std::cout << addresses << std::endl;
}

std::string Duration(uint32_t ms)
{
    const uint32_t s = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
    return text;
}

int Status(const std::string& modem)
{
    const std::vector<TLink> links = Links(modem);
    if (links.empty()) {
        std::cout << "no connection" << std::endl;
        return 1;
    }
    for (const TLink& l : links) {
        uint32_t recv = 0;
        uint32_t xmit = 0;
        (void)GetStatistics(recv, xmit, l.handle);
        std::string time = "-";
        if (WinVersion >= 500) {
            RAS_STATS stats{};
            stats.dwSize = sizeof stats;
            if (Ras2k::RasGetConnectionStatistics(l.handle, &stats) == 0)
                time = Duration(stats.dwConnectDuration);
        }
        std::cout << "entry: " << l.entry << "\n"
                  << "device: " << l.device << "\n"
                  << "connection: " << l.handle << "\n"
                  << "time: " << time << "\n"
                  << "received: " << recv << " bytes\n"
                  << "sent: " << xmit << " bytes" << std::endl;
        if (const std::string addresses = LinkAddresses(l.handle); !addresses.empty())
            std::cout << addresses << std::endl;
    }
    return 0;
}

int Hangup(const std::string& modem)
{
    const std::vector<TLink> links = Links(modem);
    if (links.empty()) {
        std::cout << "no connection" << std::endl;
        return 0;
    }
    int result = 0;
    for (const TLink& l : links) {
        if (CloseConnection(l.handle)) {
            std::cout << "hung up: " << l.entry << " on " << l.device << std::endl;
        } else {
            std::cerr << "skyportal-dial: " << l.entry << " on " << l.device << " could not be hung up" << std::endl;
            result = 1;
        }
    }
    return result;
}

std::string FailureText(int32_t code)
{
    if (code == 0)
        return "Ошибка при соединении.";
    if (code == static_cast<int32_t>(ERROR_PPP_LCP_TERMINATED))
        return "Ошибка. Услуга недоступна";
    return "Ошибка при соединении. Код " + std::to_string(code);
}

// One dial with the program's sequence; the connection's handle, 0 when the
// dial failed (said on standard error).
HRASCONN DialOnce(const std::string& modem, TDialToolSettings& settings, const TOptions& o)
{
    TConsoleObserver observer(o.quiet);
    TConsoleQuestion question;
    std::vector<std::string>& apns = settings.apns;
    HRASCONN h = 0;
    int32_t code = 0;
    std::string details;
    bool adopted = false;
    {
        TDialSession session(modem, settings.connection, apns, &observer, &question);
        if (!session.OnlyDialOfTheMachine()) {
            std::cerr << "skyportal-dial: another dial is under way on this machine (Skyportal or another "
                         "skyportal-dial); not dialling now"
                      << std::endl;
            return 0;
        }
        {
            std::lock_guard lk(gStopMutex);
            if (gStop)
                return 0;
            gSession = &session;
        }
        observer.Begin("Поиск активных соединений...");
        session.Start();
        session.Wait();
        (void)session.Finish();
        {
            std::lock_guard lk(gStopMutex);
            gSession = nullptr;
        }
        settings.connection = session.EntryName();
        h = session.Handle();
        code = session.State().GetErrorCode();
        details = session.State().GetDetails();
        adopted = observer.Adopted();
    }
    if (h == 0) {
        std::cerr << "skyportal-dial: " << FailureText(code) << std::endl;
        if (code != static_cast<int32_t>(ERROR_PPP_LCP_TERMINATED) && !details.empty())
            std::cerr << details << std::endl;
        if (StopRequested())
            std::cerr << "skyportal-dial: cancelled" << std::endl;
        return 0;
    }
    TToolHost host(settings);
    if (ApnUpdateDue(&host)) {
        if (!o.quiet)
            std::cout << "Обновление конфигурации АPN..." << std::endl;
        RunApnUpdate(&host, apns);
    }
    (void)SaveDialToolSettings(settings);
    // An adopted link keeps the entry it was made with.
    TLink link{h, settings.connection, modem};
    for (const TLink& l : Links(modem))
        if (l.handle == h)
            link = l;
    PrintConnected(link, adopted);
    return h;
}

enum class TEnd { HungUpHere, HungUp, Lost };

// How a watched connection ended, as the service tells it: gone from its
// table is a hang-up (the program's, --hangup's); still listed with an error
// is a loss.
template <class R>
TEnd EndOf(HRASCONN h, std::string& why)
{
    typename R::RASCONNSTATUS status{};
    status.dwSize = sizeof status;
    const DWORD code = R::RasGetConnectStatusA(h, &status);
    const DWORD error = code != 0 ? code : status.dwError;
    if (error == ERROR_INVALID_HANDLE) {
        why = "the connection was hung up";
        return TEnd::HungUp;
    }
    const std::string text = error != 0 ? GetRasErrorDescr(static_cast<int32_t>(error)) : std::string();
    why = "the connection was lost";
    if (error != 0)
        why += ": RAS error " + std::to_string(error) + (text.empty() ? std::string() : ", " + text);
    return TEnd::Lost;
}

// Watches `h` as the statistics thread does (every 2 s, two failed checks in
// a row end it) until it ends or a stop comes, which hangs it up.
TEnd WatchUntilEnd(HRASCONN h)
{
    int failed = 0;
    for (;;) {
        if (SleepRounds(4)) {
            (void)CloseConnection(h);
            Say("hung up on request", true);
            return TEnd::HungUpHere;
        }
        failed = ConnIsOpen(h) ? 0 : failed + 1;
        if (failed < 2)
            continue;
        std::string why;
        TEnd end = TEnd::Lost;
        switch (WinVersion) {
        case 410: end = EndOf<Ras98>(h, why); break;
        case 490: end = EndOf<RasME>(h, why); break;
        default: end = EndOf<Ras2k>(h, why); break;
        }
        Say(why, true);
        return end;
    }
}

int Dial(const TOptions& o)
{
    TDialToolSettings settings = LoadDialToolSettings();
    std::string modem = o.modem.value_or(settings.modem);
    std::vector<std::string> modems;
    (void)EnumDevices(modems);
    if (modem.empty()) {
        if (modems.empty()) {
            std::cerr << "skyportal-dial: no modem is registered on this machine" << std::endl;
            return 1;
        }
        modem = modems.front();
        if (!o.quiet)
            Say("no modem chosen in Skyportal's settings; dialling " + modem);
    }
    if (std::find(modems.begin(), modems.end(), modem) == modems.end()) {
        std::cerr << "skyportal-dial: Ошибка: выбраный модем в системе не зарегистрирован. Выберите другой модем для "
                     "соединения\n";
        std::cerr << "skyportal-dial: the modems of this machine:";
        for (const std::string& m : modems)
            std::cerr << " \"" << m << "\"";
        std::cerr << std::endl;
        return 1;
    }
    HRASCONN h = DialOnce(modem, settings, o);
    if (h == 0)
        return 1;
    if (!o.wait)
        return 0;
    int tries = 0;
    for (;;) {
        if (WatchUntilEnd(h) != TEnd::Lost)
            return 0;
        if (tries >= o.redials)
            return 1;
        h = 0;
        while (h == 0 && tries < o.redials) {
            ++tries;
            const int seconds = std::min(60, 1 << std::min(tries - 1, 6));
            Say("redial " + std::to_string(tries) + " of " + std::to_string(o.redials) + " in " +
                    std::to_string(seconds) + " s",
                true);
            if (SleepRounds(2 * seconds))
                return 1;
            h = DialOnce(modem, settings, o);
            if (h == 0 && StopRequested())
                return 1;
        }
        if (h == 0) {
            Say("no redial left", true);
            return 1;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    UsePrivateUmask();
    if (AnswerHelpOrVersion(argc, argv, "skyportal-dial", kUsage))
        return 0;
    std::string complaint;
    const std::optional<TOptions> options = Parse(argc, argv, complaint);
    if (!options)
        return Usage(complaint);
    // Tests shorten the rounds of the dial and of the waits; the counts stay.
    if (const char* ms = std::getenv("SKYPORTAL_DIAL_ROUND_MS")) {
        const int value = std::atoi(ms);
        if (value > 0 && value <= 500)
            SetConnectionRoundLength(std::chrono::milliseconds(value));
    }
    const TSignalWatch signals;
    // A new machine root starts with the simulated network and its modems.
    ras::EnsureDefaultMachine();
    InitRasGlobals();
    const std::string modem = options->modem.value_or(std::string());
    switch (options->mode) {
    case TMode::Status: return Status(modem.empty() ? LoadDialToolSettings().modem : modem);
    case TMode::Hangup: return Hangup(modem.empty() ? LoadDialToolSettings().modem : modem);
    case TMode::Dial: break;
    }
    return Dial(*options);
}
