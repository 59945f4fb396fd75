#include "platform/rasman/RasCtl.h"

#include "platform/base/MachineRoot.h"
#include "platform/rasapi/RasErrorText.h"
#include "platform/rasapi/RasProtocol.h"
#include "platform/rasapi/ModemReading.h"
#include "platform/rasapi/ServiceStart.h"
#include "platform/rasapi/TrafficHistoryText.h"
#include "platform/rasapi/ras.h"
#include "platform/base/IniFile.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/Doctor.h"
#include "platform/rasman/ModemManagerClient.h"
#include "platform/rasman/NetworkConfig.h"
#include "platform/rasman/ServiceLog.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>

namespace sp::ras {

namespace {

constexpr const char* kUsage =
    "usage: rasctl devices | entries | connections | log\n"
    "       rasctl doctor                        (what stands between this machine and a dial)\n"
    "       rasctl add-modem NAME PORT [SPEED]   (a real modem on a serial port)\n"
    "       rasctl drop HANDLE|all\n"
    "       rasctl traffic HANDLE RX TX      (bytes per second)\n"
    "       rasctl service start|stop|freeze|thaw\n"
    "       rasctl reload\n"
    "       rasctl history sessions [N] [--csv] | days [N] [--csv] | cycles [N] [--csv]\n"
    "       rasctl history limit SIZE|off | cycle-day D | hangup-at-limit on|off | clear --yes\n"
    "       rasctl modem NAME [--last]           (its SIM, network, operator and signal)\n"
    "       rasctl ussd NAME [CODE]              (a USSD code, the balance's by default, and the answer)\n";

constexpr const char* kHistoryUsage =
    "usage: rasctl history                             (this cycle, its limit and settings)\n"
    "       rasctl history sessions [N] [--csv]        (the last N sessions, default 20)\n"
    "       rasctl history days [N] [--csv]            (the last N days with traffic, default 31)\n"
    "       rasctl history cycles [N] [--csv]          (the last N billing cycles, default 12)\n"
    "       rasctl history limit SIZE|off              (bytes per cycle; K, M, G: powers of 1024)\n"
    "       rasctl history cycle-day D                 (the day of the month a cycle starts, 1-28)\n"
    "       rasctl history hangup-at-limit on|off\n"
    "       rasctl history clear --yes\n";

using Listing = ServiceListing;

// The daemon lies beside rasctl (both are installed together).
std::string DaemonPath()
{
    if (const char* env = std::getenv("SKYPORTAL_RASMAN"); env && *env)
        return env;
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string("rasman") : (self.parent_path() / "rasman").string();
}

bool Start() { return StartServiceWith(DaemonPath()); }

// One control request; the daemon is started when it is not running.
bool Ask(Msg type, const std::string& payload, Frame& reply, uint32_t& code, std::ostream& err, bool start = true)
{
    bool busy = false;
    int fd = ConnectToService(&busy);
    if (fd < 0 && !busy && start && Start())
        fd = ConnectToService();
    if (fd < 0) {
        err << "rasctl: the remote access service does not answer (711)\n";
        return false;
    }
    const bool ok = Exchange(fd, type, payload, reply);
    ::close(fd);
    if (!ok) {
        err << "rasctl: the remote access service does not answer (711)\n";
        return false;
    }
    Reader r(reply.payload);
    code = r.U32();
    return !r.Failed();
}

bool List(Listing& l, std::ostream& err)
{
    Frame reply;
    uint32_t code = 0;
    if (!Ask(Msg::CtlList, "", reply, code, err))
        return false;
    if (!ReadServiceListing(reply.payload, l)) {
        err << "rasctl: malformed answer\n";
        return false;
    }
    return true;
}

bool ParseU32(const std::string& s, uint32_t& v)
{
    try {
        size_t used = 0;
        const unsigned long long x = std::stoull(s, &used, 0);
        if (used != s.size() || x > 0xFFFFFFFFull)
            return false;
        v = static_cast<uint32_t>(x);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// A serial modem's fourth column: whether ModemManager manages its port.
// ModemManager is asked once per listing, and only when it lists a serial
// modem; while a dial holds the modem the service says so itself.
using ManagedPorts = std::optional<std::optional<std::vector<std::string>>>;
std::string ModemManagerColumn(const std::string& driver, ManagedPorts& managed)
{
    constexpr std::string_view kSerial = "serial ";
    const auto speed = driver.rfind(' ');
    if (driver.compare(0, kSerial.size(), kSerial) != 0 || driver.find('\t') != std::string::npos
        || speed <= kSerial.size())
        return {};
    const std::string port = driver.substr(kSerial.size(), speed - kSerial.size());
    if (!managed)
        managed = ModemManagerClient::ManagedPorts(std::chrono::milliseconds(500));
    if (!*managed)
        return {}; // no ModemManager on this machine
    for (const std::string& name : **managed) {
        if (ModemManagerClient::SamePort(name, port))
            return "\tmanaged by ModemManager";
    }
    return "\tnot managed by ModemManager";
}

int Result(uint32_t code, std::ostream& err)
{
    if (code == 0)
        return 0;
    err << "rasctl: " << code << " " << ErrorText(code) << "\n";
    return 1;
}

// Writes a serial modem's section into network.ini; the service registers
// the modem when it next lists its devices.
int AddModem(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    const std::string& name = args[1];
    const std::string& port = args[2];
    uint32_t speed = 115200;
    if (args.size() == 4 && (!ParseU32(args[3], speed) || speed < 300)) {
        err << "rasctl: the speed must be a number of bits per second\n";
        return 2;
    }
    const bool printable = std::all_of(name.begin(), name.end(), [](unsigned char c) { return c >= 0x20 && c != '[' && c != ']' && c != '='; });
    if (name.empty() || !printable || name.size() > 128 || EqualsNoCase(name, "Service") || EqualsNoCase(name, "Devices")) {
        err << "rasctl: a modem's name must be printable text without [ ] or =\n";
        return 2;
    }
    if (port.empty() || port.front() != '/') {
        err << "rasctl: the port is a device path such as /dev/ttyACM0\n";
        return 2;
    }
    IniFile ini = IniFile::Load(NetworkConfig::Path());
    ini.Set(name, "Driver", "serial");
    ini.Set(name, "Port", port);
    ini.Set(name, "Speed", std::to_string(speed));
    if (!ini.Save(NetworkConfig::Path())) {
        err << "rasctl: " << NetworkConfig::Path().string() << " could not be written\n";
        return 1;
    }
    Frame reply;
    uint32_t code = 0;
    // A service that is not running reads the file when it starts: nothing to report.
    std::ostringstream notRunning;
    if (Ask(Msg::CtlReload, "", reply, code, notRunning, false) && code != 0)
        return Result(code, err);
    out << name << " on " << port << " at " << speed << " bit/s\n";
    return 0;
}

// A decimal count above zero ("010" is ten, not eight).
bool Positive(const std::string& s, uint32_t& v)
{
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 10);
    return ec == std::errc() && end == s.data() + s.size() && v > 0;
}

// rasctl history ...: errors go to standard error with status 1 and change nothing.
int History(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    auto usage = [&](const std::string& why) {
        err << "rasctl history: " << why << "\n" << kHistoryUsage;
        return 1;
    };
    Frame reply;
    uint32_t code = 0;
    auto ask = [&](Msg type, const std::string& payload) -> std::optional<Reader> {
        if (!Ask(type, payload, reply, code, err))
            return std::nullopt;
        if (code != 0) {
            if (code == ERROR_CALL_NOT_IMPLEMENTED)
                err << "rasctl: the service keeps no traffic history (History=0 in network.ini)\n";
            else
                Result(code, err);
            return std::nullopt;
        }
        Reader r(reply.payload);
        r.U32();
        return r;
    };
    auto set = [&](HistorySetting what, uint64_t value) {
        return ask(Msg::CtlHistorySet, HistorySetRequest(what, value)) ? 0 : 1;
    };
    if (args.size() == 1) {
        auto r = ask(Msg::CtlHistory, HistoryRequest(HistoryKind::Usage, 1));
        HistoryUsage u;
        if (!r || !GetUsage(*r, u))
            return 1;
        const uint64_t total = u.cycle.rx + u.cycle.tx;
        out << "cycle            " << u.cycle.start << " .. " << u.cycle.end << "\n";
        out << "used             " << FormatBytes(total);
        if (u.cycle.limit)
            out << " of " << FormatBytes(*u.cycle.limit) << " ("
                << static_cast<uint64_t>((unsigned __int128)total * 100 / *u.cycle.limit) << " %)";
        out << "\nlimit            " << (u.cycle.limit ? std::to_string(*u.cycle.limit) + " bytes" : "off") << "\n";
        out << "cycle day        " << u.cycleDay << "\n";
        out << "hang-up at limit " << (u.hangUpAtLimit ? "on" : "off") << "\n";
        return 0;
    }
    const std::string& what = args[1];
    if (what == "sessions" || what == "days" || what == "cycles") {
        bool csv = false;
        std::optional<uint32_t> rows;
        for (size_t i = 2; i < args.size(); ++i) {
            uint32_t n = 0;
            if (args[i] == "--csv" && !csv)
                csv = true;
            else if (!rows && Positive(args[i], n))
                rows = n;
            else
                return usage("not a number of rows: " + args[i]);
        }
        const HistoryKind kind = what == "sessions" ? HistoryKind::Sessions
                                 : what == "days"   ? HistoryKind::Days
                                                    : HistoryKind::Cycles;
        const uint32_t n = rows.value_or(kind == HistoryKind::Sessions ? kDefaultSessionRows
                                         : kind == HistoryKind::Days   ? kDefaultDayRows
                                                                       : kDefaultCycleRows);
        auto r = ask(Msg::CtlHistory, HistoryRequest(kind, n));
        if (!r)
            return 1;
        bool ok = false;
        if (kind == HistoryKind::Sessions) {
            std::vector<HistorySession> v;
            ok = GetSessions(*r, v);
            out << (csv ? SessionsCsv(v) : SessionsTable(v));
        } else if (kind == HistoryKind::Days) {
            std::vector<HistoryDay> v;
            ok = GetDays(*r, v);
            out << (csv ? DaysCsv(v) : DaysTable(v));
        } else {
            std::vector<HistoryCycle> v;
            ok = GetCycles(*r, v);
            out << (csv ? CyclesCsv(v) : CyclesTable(v));
        }
        if (!ok) {
            err << "rasctl: malformed answer\n";
            return 1;
        }
        return 0;
    }
    if (what == "limit" && args.size() == 3) {
        uint64_t bytes = 0;
        if (args[2] == "off")
            return set(HistorySetting::Limit, 0);
        if (!ParseBytes(args[2], bytes) || bytes > static_cast<uint64_t>(INT64_MAX))
            return usage("not a size: " + args[2] + " (bytes, or a number with K, M or G)");
        const int rc = set(HistorySetting::Limit, bytes);
        if (rc == 0)
            out << "limit " << bytes << " bytes (" << FormatBytes(bytes) << ") per billing cycle\n";
        return rc;
    }
    if (what == "cycle-day" && args.size() == 3) {
        uint32_t d = 0;
        if (!Positive(args[2], d) || d > 28)
            return usage("the cycle's first day is a day of the month from 1 to 28: " + args[2]);
        return set(HistorySetting::CycleDay, d);
    }
    if (what == "hangup-at-limit" && args.size() == 3 && (args[2] == "on" || args[2] == "off"))
        return set(HistorySetting::HangUpAtLimit, args[2] == "on" ? 1 : 0);
    if (what == "clear" && args.size() == 3 && args[2] == "--yes")
        return set(HistorySetting::Clear, 0);
    if (what == "clear")
        return usage("clear forgets every session and day: confirm with --yes");
    return usage("unknown: " + what + (args.size() > 2 ? " " + args[2] : std::string()));
}

// The service must run for these: it holds the modem's port and its reading.
bool ServiceUp(std::ostream& err)
{
    bool busy = false;
    const int fd = ConnectToService(&busy);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    if (!busy && Start())
        return true;
    err << "rasctl: the remote access service does not answer (711)\n";
    return false;
}

// `last`: only what the service last heard, the modem left alone.
int Modem(const std::string& name, bool last, std::ostream& out, std::ostream& err)
{
    if (!ServiceUp(err))
        return 1;
    ModemReading r;
    // A reading older than 10 s is taken anew when the port is free.
    const uint32_t code = last ? QueryModem(name, r, kLastReadingOnly)
                               : QueryModem(name, r, std::chrono::seconds(10), std::chrono::seconds(15));
    if (code != 0)
        return Result(code, err);
    out << "modem         " << name << "\n";
    if (!r.Known()) {
        out << (last ? "read          never since the service started\n"
                     : "read          never (a modem whose only port carries the link is read before its next dial)\n");
        return 0;
    }
    out << "SIM           " << SimText(r) << "\n";
    out << "registration  " << RegistrationText(r.registration) << "\n";
    out << "operator      " << (r.operatorName.empty() ? std::string("unknown") : r.operatorName) << "\n";
    out << "signal        ";
    if (SignalKnown(r.rssi))
        out << SignalDbm(r.rssi) << " dBm (" << SignalPercent(r.rssi) << " %)\n";
    else
        out << "unknown\n";
    out << "read          " << LocalStamp(r.readAt) << "\n";
    return 0;
}

int Ussd(const std::string& name, const std::string& code, std::ostream& out, std::ostream& err)
{
    if (!code.empty() && !UssdCode(code)) {
        err << "rasctl: a USSD code is 1 to 32 digits, * and #, such as *100#\n";
        return 2;
    }
    if (!ServiceUp(err))
        return 1;
    std::string answer;
    const uint32_t rc = AskUssd(name, code, answer);
    if (rc != 0)
        return Result(rc, err);
    out << answer << "\n";
    return 0;
}

} // namespace

const char* RasCtlUsage() { return kUsage; }

int RasCtl(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    if (args.empty()) {
        err << kUsage;
        return 2;
    }
    // A fresh machine root gets its default machine first.
    EnsureDefaultMachine();
    const std::string& cmd = args[0];
    Frame reply;
    uint32_t code = 0;
    if (cmd == "devices" || cmd == "entries" || cmd == "connections") {
        Listing l;
        if (!List(l, err))
            return 1;
        if (cmd == "devices") {
            ManagedPorts managed;
            for (const auto& d : l.devices)
                out << d.type << "\t" << d.name << "\t" << d.driver << ModemManagerColumn(d.driver, managed) << "\n";
        } else if (cmd == "entries") {
            for (const auto& e : l.entries)
                out << e.name << "\t" << e.device << "\t" << e.number << "\n";
        } else {
            for (const auto& c : l.connections) {
                out << c.handle << "\t" << c.entry << "\t" << c.device << "\t" << c.state;
                if (c.error != 0)
                    out << "/" << c.error;
                out << "\t" << c.rx << "\t" << c.tx;
                if (!c.addresses.empty())
                    out << "\t" << c.addresses;
                out << "\n";
            }
        }
        return 0;
    }
    if (cmd == "doctor" && args.size() == 1)
        return Doctor(out);
    if (cmd == "add-modem" && (args.size() == 3 || args.size() == 4))
        return AddModem(args, out, err);
    if (cmd == "history")
        return History(args, out, err);
    if (cmd == "modem" && (args.size() == 2 || (args.size() == 3 && args[2] == "--last")))
        return Modem(args[1], args.size() == 3, out, err);
    if (cmd == "ussd" && (args.size() == 2 || args.size() == 3))
        return Ussd(args[1], args.size() == 3 ? args[2] : std::string(), out, err);
    if (cmd == "log" && args.size() == 1) {
        std::ifstream in(ServiceLogPath());
        out << in.rdbuf();
        return 0;
    }
    if (cmd == "drop" && args.size() == 2) {
        uint32_t h = 0;
        if (args[1] != "all" && (!ParseU32(args[1], h) || h == 0)) {
            err << kUsage;
            return 2;
        }
        if (!Ask(Msg::CtlDrop, Writer().U32(h).Data(), reply, code, err))
            return 1;
        return Result(code, err);
    }
    if (cmd == "traffic" && args.size() == 4) {
        uint32_t h = 0, rx = 0, tx = 0;
        if (!ParseU32(args[1], h) || !ParseU32(args[2], rx) || !ParseU32(args[3], tx)) {
            err << kUsage;
            return 2;
        }
        if (!Ask(Msg::CtlTraffic, Writer().U32(h).U32(rx).U32(tx).Data(), reply, code, err))
            return 1;
        return Result(code, err);
    }
    if (cmd == "reload" && args.size() == 1) {
        if (!Ask(Msg::CtlReload, "", reply, code, err))
            return 1;
        return Result(code, err);
    }
    if (cmd == "service" && args.size() == 2) {
        const std::string& what = args[1];
        if (what == "start")
            return Start() ? 0 : Result(711, err);
        if (what == "stop") {
            const int fd = ConnectToService();
            if (fd < 0)
                return 0; // not running
            const bool sent = Exchange(fd, Msg::CtlStop, "", reply);
            ::close(fd);
            // Wait until the socket is gone, so a following start finds no old daemon.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (std::chrono::steady_clock::now() < deadline) {
                const int probe = ConnectToService();
                if (probe < 0)
                    return 0;
                ::close(probe);
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            (void)sent;
            err << "rasctl: the remote access service did not stop\n";
            return 1;
        }
        if (what == "freeze" || what == "thaw") {
            if (!Ask(what == "freeze" ? Msg::CtlFreeze : Msg::CtlThaw, "", reply, code, err))
                return 1;
            return Result(code, err);
        }
    }
    err << kUsage;
    return 2;
}

} // namespace sp::ras
