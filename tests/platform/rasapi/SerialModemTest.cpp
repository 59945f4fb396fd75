// A real modem on a serial port: the line reader and the answer tables, then
// dials through the client library and the real daemon to a simulated AT
// modem on a pseudo-terminal, with the real pppd where this kernel lets it
// run and a stand-in that speaks pppd's log where it does not.
#include "DialRecorder.h"
#include "FakeModem.h"
#include "ModemManagerStandIn.h"
#include "ServiceFixture.h"

#include "platform/rasapi/RasErrorText.h"
#include "platform/rasapi/ModemReading.h"
#include "platform/rasman/Doctor.h"
#include "platform/rasman/ModemAnswers.h"
#include "platform/rasman/ModemManagerClient.h"
#include "platform/rasman/PortLock.h"
#include "platform/rasman/RasCtl.h"
#include "platform/rasman/SerialDialogue.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace sp::ras;
namespace fs = std::filesystem;
using Reports = std::vector<std::pair<DWORD, DWORD>>;

// ------------------------------------------------------------------ the line reader and the tables

TEST(SerialDialogue, LinesAreSplitOnEitherEndAndBoundedWhenTheyNeverEnd)
{
    LineSplitter s;
    s.Feed(std::string_view("ATZ\r\r\nOK\r\n\0\0NO CAR", 18));
    EXPECT_EQ(s.Next(), "ATZ");
    EXPECT_EQ(s.Next(), "OK");
    EXPECT_EQ(s.Next(), std::nullopt);
    s.Feed("RIER\r\n");
    EXPECT_EQ(s.Next(), "NO CARRIER");

    // A line past the bound is dropped whole; the one after it is read.
    s.Feed(std::string(100000, 'A'));
    EXPECT_LE(s.Pending(), LineSplitter::kMaxLine);
    s.Feed(std::string(100000, 'A') + "\r\nBUSY\r\n");
    EXPECT_EQ(s.Next(), "BUSY");
    EXPECT_EQ(s.Next(), std::nullopt);
}

TEST(SerialDialogue, ResultCodesVerboseAndNumericWithTheirErrors)
{
    uint32_t bps = 0;
    EXPECT_EQ(ClassifyModemLine("CONNECT 236800", &bps), ModemReply::Connect);
    EXPECT_EQ(bps, 236800u);
    EXPECT_EQ(ClassifyModemLine(" ok "), ModemReply::Ok);
    EXPECT_EQ(ClassifyModemLine("+CME ERROR: 30"), ModemReply::Error);
    EXPECT_EQ(ClassifyModemLine("3"), ModemReply::NoCarrier);
    EXPECT_EQ(ClassifyModemLine("NO DIAL TONE"), ModemReply::NoDialtone);
    // echoes, information and junk are not answers
    for (const char* line : {"ATD*99#", "+CGDCONT: 1,\"IP\",\"internet\"", "CONNECTED?", "\xff\xfe", "OKAY"})
        EXPECT_EQ(ClassifyModemLine(line), ModemReply::None) << line;

    EXPECT_EQ(DialReplyError(ModemReply::NoCarrier), 679u);
    EXPECT_EQ(DialReplyError(ModemReply::Busy), 676u);
    EXPECT_EQ(DialReplyError(ModemReply::NoDialtone), 680u);
    EXPECT_EQ(DialReplyError(ModemReply::NoAnswer), 678u);
    EXPECT_EQ(DialReplyError(ModemReply::Error), 651u);

    EXPECT_EQ(InitCommand("  "), "");
    EXPECT_EQ(InitCommand("+CGDCONT=1,\"IP\",\"internet\""), "AT+CGDCONT=1,\"IP\",\"internet\"");
    EXPECT_EQ(InitCommand("at+cgdcont=1"), "at+cgdcont=1");
    // one command line: what follows a line end would be a command of its own
    EXPECT_EQ(InitCommand("AT+CGDCONT=1\rAT+CFUN=0"), "AT+CGDCONT=1");

    EXPECT_TRUE(DialableNumber("*99***1#"));
    EXPECT_TRUE(DialableNumber("+7 (495) 555-06-11,,W"));
    for (const char* n : {"", "  ", "*99#\rAT+CFUN=0", "*99#;\nATH", "ATD123", "*99#\x01"})
        EXPECT_FALSE(DialableNumber(n)) << n;
}

TEST(SerialDialogue, PppdLogAndExitStatus)
{
    EXPECT_EQ(ClassifyPppdLine("Using interface ppp0").value, "ppp0");
    // a name that could point elsewhere in sysfs is not taken
    EXPECT_EQ(ClassifyPppdLine("Using interface ../../etc").event, PppdEvent::None);
    EXPECT_EQ(ClassifyPppdLine("CHAP authentication succeeded").event, PppdEvent::AuthSucceeded);
    EXPECT_EQ(ClassifyPppdLine("PAP authentication failed").event, PppdEvent::AuthFailed);
    EXPECT_EQ(ClassifyPppdLine("local  IP address 10.64.64.64").event, PppdEvent::IpUp);
    EXPECT_EQ(ClassifyPppdLine("local  IP address 10.64.64.64").value, "10.64.64.64");
    EXPECT_EQ(ClassifyPppdLine("remote IP address 10.64.0.1").value, "10.64.0.1");
    EXPECT_EQ(ClassifyPppdLine("primary   DNS address 10.99.0.53").value, "10.99.0.53");
    EXPECT_EQ(ClassifyPppdLine("secondary DNS address 10.99.0.54").event, PppdEvent::Dns);
    // what the peer says goes into the log and rasctl's listing only as an address
    EXPECT_EQ(ClassifyPppdLine("primary   DNS address 10.0.0.1\x1b[2J").event, PppdEvent::None);
    EXPECT_EQ(ClassifyPppdLine("local  IP address 10.0.0.1;rm").value, "");
    EXPECT_EQ(ClassifyPppdLine("Script /etc/ppp/ip-up started (pid 7)").event, PppdEvent::IpUpStarted);
    EXPECT_EQ(ClassifyPppdLine("Script /etc/ppp/ip-up finished (pid 7), status = 0x0").event, PppdEvent::IpUpFinished);
    EXPECT_EQ(ClassifyPppdLine("Script /etc/ppp/ip-pre-up finished (pid 6), status = 0x0").event, PppdEvent::None);
    EXPECT_EQ(ClassifyPppdLine("sent [LCP EchoReq id=0x1 magic=0x5a]").event, PppdEvent::Packet);
    EXPECT_EQ(ClassifyPppdLine("Couldn't open the /dev/ppp device: No such file or directory").event,
              PppdEvent::NoKernelSupport);

    EXPECT_EQ(PppdExitError(4, false), 720u);
    EXPECT_EQ(PppdExitError(19, false), 691u);
    EXPECT_EQ(PppdExitError(10, false), 734u);
    EXPECT_EQ(PppdExitError(15, false), 718u);
    EXPECT_EQ(PppdExitError(16, true), 629u);
    EXPECT_NE(PppdExitText(4).find("no ppp support"), std::string::npos);
}

// The words pppd refuses from a caller who is not root, as its own
// "requires root privilege" says (pppd 2.4.9, Debian 12).
TEST(SerialDialogue, ANonRootCommandLineHoldsNoneOfPppdsPrivilegedOptions)
{
    SerialModem m;
    m.pppdOptions = {"noauth", "persist", "plugin", "rp-pppoe.so", "ifname", "gprs0", "mtu", "1400"};
    DialRequest req;
    req.user = "vexul";
    req.password = "s3cret";
    for (const bool defaultRoute : {false, true}) {
        req.defaultRoute = defaultRoute;
        const PppdCommand c = PppdCommandLine(m, req, false);
        ASSERT_GE(c.args.size(), 3u);
        // first, so that the plugin its file loads is there for passwordfd
        const std::string peer = defaultRoute ? "skyportal-defaultroute" : "skyportal";
        EXPECT_EQ(c.args[1], "call");
        EXPECT_EQ(c.args[2], peer);
        EXPECT_EQ(c.peersFile, "/etc/ppp/peers/" + peer);
        for (const std::string& a : c.args)
            EXPECT_FALSE(PppdPrivilegedOption(a)) << a;
        for (const char* priv : {"noauth", "plugin", "replacedefaultroute", "ifname", "name", "nolock",
                                 "defaultroute-metric", "ip-up-script", "linkname", "domain", "privgroup",
                                 "allow-ip", "allow-number", "enable-session", "ip-down-script"})
            EXPECT_EQ(std::count(c.args.begin(), c.args.end(), priv), 0) << priv;
        EXPECT_EQ(c.leftOut, (std::vector<std::string>{"noauth", "plugin rp-pppoe.so", "ifname gprs0"}));
        EXPECT_NE(std::find(c.args.begin(), c.args.end(), "persist"), c.args.end());
        EXPECT_NE(std::find(c.args.begin(), c.args.end(), "1400"), c.args.end());
        EXPECT_EQ(std::count(c.args.begin(), c.args.end(), "s3cret"), 0);
    }
    // As root everything is on the command line, the configured options too.
    req.defaultRoute = true;
    const PppdCommand root = PppdCommandLine(m, req, true);
    EXPECT_TRUE(root.peersFile.empty());
    EXPECT_TRUE(root.leftOut.empty());
    for (const char* o : {"noauth", "usepeerdns", "defaultroute", "replacedefaultroute", "passwordfd.so", "ifname"})
        EXPECT_NE(std::find(root.args.begin(), root.args.end(), o), root.args.end()) << o;

    // pppd itself agrees: run as a user who is not root (in dip, as its
    // setuid program needs), it refuses none of the line. The plugin's own
    // passwordfd and the peers file are pppd's from `call`, left out here.
    const gid_t dip = [] { const group* g = ::getgrnam("dip"); return g ? g->gr_gid : gid_t(0); }();
    if (::geteuid() != 0 || dip == 0 || ::access("/usr/sbin/pppd", X_OK) != 0 || ::access("/usr/bin/setpriv", X_OK) != 0)
        GTEST_SKIP() << "needs root, the group dip, pppd and setpriv to ask pppd itself";
    m.pppdOptions = {};
    req.defaultRoute = false;
    std::string line = "/usr/bin/setpriv --reuid=65534 --regid=65534 --groups=" + std::to_string(dip);
    const PppdCommand user = PppdCommandLine(m, req, false);
    for (size_t i = 0; i < user.args.size(); ++i) {
        if (user.args[i] == "call" || user.args[i] == "passwordfd") {
            ++i;
            continue;
        }
        line += " " + user.args[i];
    }
    line += " dryrun </dev/null 2>&1";
    FILE* p = ::popen(line.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string said;
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, p))
        said.append(buf, n);
    ::pclose(p);
    EXPECT_EQ(said.find("privilege"), std::string::npos) << line << "\n" << said;
    EXPECT_EQ(said.find("unrecognized option"), std::string::npos) << line << "\n" << said;
}

TEST(SerialDialogue, InterfaceCountersFromTheStatisticsFolder)
{
    char tmpl[] = "/tmp/netdir-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const fs::path dir = tmpl;
    fs::create_directories(dir / "ppp0" / "statistics");
    std::ofstream(dir / "ppp0" / "statistics" / "rx_bytes") << "123456789012\n";
    std::ofstream(dir / "ppp0" / "statistics" / "tx_bytes") << "42\n";
    const auto c = ReadInterfaceCounters(dir, "ppp0");
    ASSERT_TRUE(c.has_value());
    EXPECT_EQ(c->rx, 123456789012u);
    EXPECT_EQ(c->tx, 42u);
    EXPECT_FALSE(ReadInterfaceCounters(dir, "ppp1").has_value());
    EXPECT_FALSE(ReadInterfaceCounters(dir, "../ppp0").has_value());
    fs::remove_all(dir);
}

TEST(ModemManagerClient, ABusThatAcceptsAndNeverGreetsIsGivenUpAtTheListingsDeadline)
{
    // Listening, never accepting: the connection is made and no greeting comes.
    char tmpl[] = "/tmp/silentbus-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const std::string path = std::string(tmpl) + "/bus";
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ::setenv("SKYPORTAL_SYSTEM_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ModemManagerClient::ManagedPorts(300ms), std::nullopt);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    ::unsetenv("SKYPORTAL_SYSTEM_BUS_ADDRESS");
    ::close(fd);
    fs::remove_all(tmpl);
}

TEST(PortLock, TakenInTheUsualFormatAndHonouredAsOtherDialersWriteIt)
{
    EXPECT_EQ(PortLock::FileName("/dev/ttyUSB7"), "ttyUSB7");
    EXPECT_EQ(PortLock::FileName("/dev/pts/3"), "pts_3");
    EXPECT_EQ(PortLock::FileName("/dev/.."), "");

    char tmpl[] = "/tmp/lockdir-XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    const fs::path dir = tmpl;
    const fs::path file = dir / "LCK..ttyUSB7";
    auto read = [&] {
        std::ifstream in(file);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    auto write = [&](const std::string& text) { std::ofstream(file, std::ios::binary) << text; };
    char mine[16];
    std::snprintf(mine, sizeof mine, "%10d\n", static_cast<int>(::getpid()));

    // none: ten characters of pid and a line end, readable by every dialer
    // whatever our umask, gone again at release
    {
        PortLock lock;
        const mode_t mask = ::umask(077);
        ASSERT_EQ(lock.Take(dir, "/dev/ttyUSB7"), PortLock::Result::Taken) << lock.Error();
        ::umask(mask);
        EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
        EXPECT_EQ(read(), mine);
        EXPECT_FALSE(lock.StaleRemoved());
    }
    EXPECT_FALSE(fs::exists(file));

    // live: another process's, in the text or the old binary form, with the
    // writer's name and user after the pid, or one still being written
    const int32_t init = 1;
    for (const std::string& live : {std::string("         1\n"), std::string(reinterpret_cast<const char*>(&init), 4),
                                    std::string("      1 minicom alice\n"), std::string()}) {
        write(live);
        PortLock lock;
        EXPECT_EQ(lock.Take(dir, "/dev/ttyUSB7"), PortLock::Result::Busy);
        EXPECT_EQ(lock.Holder(), live.empty() ? 0 : 1);
        EXPECT_EQ(read(), live);
    }

    // stale: its process has gone (or has ended and waits to be reaped), or
    // it named nobody long ago
    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    const pid_t zombie = ::fork();
    if (zombie == 0)
        ::_exit(0);
    ASSERT_GT(gone, 0);
    ASSERT_GT(zombie, 0);
    ::waitpid(gone, nullptr, 0);
    siginfo_t info{};
    ::waitid(P_PID, static_cast<id_t>(zombie), &info, WEXITED | WNOWAIT); // ended, not reaped
    for (const pid_t stale : {gone, zombie, 0}) {
        write(stale ? std::to_string(stale) + "\n" : "not a pid\n");
        if (!stale)
            fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::minutes(5));
        PortLock lock;
        ASSERT_EQ(lock.Take(dir, "/dev/ttyUSB7"), PortLock::Result::Taken) << lock.Error();
        EXPECT_EQ(lock.StaleRemoved(), std::optional<pid_t>(stale));
        EXPECT_EQ(read(), mine);
        // a lock someone else has taken over meanwhile stays theirs
        write("         1\n");
    }
    EXPECT_EQ(read(), "         1\n");
    ::waitpid(zombie, nullptr, 0);

    // stale too: a live process whose pid the lock names, started after the
    // lock was written (the pid was reused)
    const pid_t reused = ::fork();
    if (reused == 0) {
        ::pause();
        ::_exit(0);
    }
    write(std::to_string(reused) + " minicom alice\n");
    fs::last_write_time(file, fs::file_time_type::clock::now() - std::chrono::minutes(5));
    {
        PortLock lock;
        ASSERT_EQ(lock.Take(dir, "/dev/ttyUSB7"), PortLock::Result::Taken) << lock.Error();
        EXPECT_EQ(lock.StaleRemoved(), std::optional<pid_t>(reused));
    }
    ::kill(reused, SIGKILL);
    ::waitpid(reused, nullptr, 0);
    write("         1\n");

    EXPECT_EQ(PortLock().Take(dir / "missing", "/dev/ttyUSB7"), PortLock::Result::NoFolder);
    // no temporary file left behind
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    fs::remove_all(dir);
}

// ------------------------------------------------------------------ dials through the service

constexpr const char* kPhone = "Real Phone";

bool ProcessHasParent(int parent)
{
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(e.path() / "stat");
        std::string line;
        if (!std::getline(in, line))
            continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        int ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent)
            return true;
    }
    return false;
}

class SerialModemTest : public ServiceFixture {
protected:
    std::string Ctl(std::vector<std::string> args, int expect = 0)
    {
        std::ostringstream out, err;
        EXPECT_EQ(RasCtl(args, out, err), expect) << err.str();
        return out.str();
    }

    // The modem written into network.ini as rasctl writes it, with short
    // time-outs, registered by the service, with an entry and an APN.
    void Install(const std::string& port, const std::string& pppd = "", DWORD entrySize = 2884)
    {
        Ctl({"add-modem", kPhone, port});
        SetNetwork(kPhone, "AnswerTimeoutMs", "1000");
        SetNetwork(kPhone, "ConnectTimeoutMs", "2000");
        SetNetwork(kPhone, "PppTimeoutMs", "3000");
        if (!pppd.empty())
            SetNetwork(kPhone, "Pppd", pppd);
        Reload();
        ASSERT_NE(Ctl({"devices"}).find(std::string("modem\t") + kPhone + "\tserial " + port + " 115200"),
                  std::string::npos);
        ASSERT_EQ(MakeEntry("Zentora", kPhone, "*99#", entrySize), SUCCESS);
        SetModemInit(kPhone, "AT+CGDCONT=1,\"IP\",\"internet\"");
    }

    DWORD Dial(HRASCONN& h, const std::string& user = "vexul", const std::string& password = "vexul")
    {
        RASDIALPARAMSA p{};
        p.dwSize = dialSize_;
        std::strcpy(p.szEntryName, "Zentora");
        std::strcpy(p.szUserName, user.c_str());
        std::strcpy(p.szPassword, password.c_str());
        h = 0;
        return RAS(RasDialA)(nullptr, nullptr, &p, 0, reinterpret_cast<LPVOID>(&DialRecorder::Notify), &h);
    }

    // Dials, waits for the dial's last report and hangs up: that report.
    std::pair<DWORD, DWORD> DialToEnd()
    {
        DialRecorder rec;
        HRASCONN h = 0;
        EXPECT_EQ(Dial(h), SUCCESS);
        EXPECT_TRUE(rec.WaitFinal(5s)) << ServiceLogText();
        const Reports r = rec.Reports();
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
        return r.empty() ? std::make_pair(~DWORD(0), ~DWORD(0)) : r.back();
    }

    RASCONNSTATUSA Status(HRASCONN h)
    {
        RASCONNSTATUSA s{};
        s.dwSize = 288;
        EXPECT_EQ(RAS(RasGetConnectStatusA)(h, &s), SUCCESS);
        return s;
    }

    DWORD dialSize_ = 1060;

    std::string ServiceLogText() const
    {
        std::ifstream in(root_ / "run" / "rasman.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // A stand-in for pppd where the kernel has no ppp: a script that logs as
    // pppd logs, keeps what it was given, and ends as pppd ends.
    fs::path FakePppd(const std::string& body)
    {
        const fs::path dir = root_ / "fake-pppd";
        fs::create_directories(dir);
        const fs::path script = dir / "pppd";
        std::ofstream(script) << "#!/bin/sh\n"
                              << "d=$(dirname \"$0\")\n"
                              << "printf '%s\\n' \"$@\" > \"$d/args\"\n"
                              << "if [ -e /proc/self/fd/3 ]; then cat <&3 > \"$d/password\"; fi\n"
                              << body;
        fs::permissions(script, fs::perms::owner_all);
        return script;
    }

    static std::string Read(const fs::path& p)
    {
        std::ifstream in(p);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    // The service's children have all gone (pppd and what it ran).
    bool NoChildLeft()
    {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (!ProcessHasParent(DaemonPid()))
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
};

TEST_F(SerialModemTest, TheModemIsProgrammedAndDialledThenPppdRunsTheLine)
{
    FakeModem modem;
    Install(modem.Port());
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal(10s));
    const Reports r = rec.Reports();
    ASSERT_GE(r.size(), 6u);
    const Reports before = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}};
    EXPECT_EQ(Reports(r.begin(), r.begin() + 6), before);

    // reset, the APN, the SIM, the network, the signal and the operator, the number
    const std::vector<std::string> commands = modem.Commands();
    const std::vector<std::string> expected = {"ATZ",      "AT+CGDCONT=1,\"IP\",\"internet\"", "AT+CPIN?", "AT+CREG?",
                                               "AT+CGREG?", "AT+CEREG?", "AT+CSQ", "AT+COPS=3,0", "AT+COPS?",
                                               "ATD*99#"};
    ASSERT_GE(commands.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 10), expected);
    const std::string said = ServiceLogText();
    EXPECT_NE(said.find("SIM ready; registration home; operator Zentora; signal -73 dBm (64 %)"), std::string::npos)
        << said;

    const std::string log = ServiceLogText();
    if (!fs::exists("/dev/ppp")) {
        // This kernel has no ppp: the dial fails with a clear code and says why.
        EXPECT_EQ(r.back(), std::make_pair(DWORD(RASCS_Authenticate), DWORD(720))) << log;
        EXPECT_NE(log.find("no ppp support"), std::string::npos) << log;
    } else {
        // pppd talks to a modem that discards its frames: it gives up in time.
        EXPECT_NE(r.back().second, 0u) << log;
    }
    EXPECT_TRUE(NoChildLeft());
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);

    // The port is free again for the next dial.
    DialRecorder again;
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(again.WaitFinal(10s));
    EXPECT_GE(again.Reports().size(), 6u);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(SerialModemTest, EachRefusalOfTheDialGivesItsOwnCode)
{
    const std::pair<const char*, DWORD> cases[] = {
        {"NO CARRIER", 679}, {"BUSY", 676}, {"NO DIALTONE", 680}, {"ERROR", 651}, {"NO ANSWER", 678}};
    for (const auto& [answer, code] : cases) {
        FakeModem::Behaviour b;
        b.dialAnswer = answer;
        FakeModem modem(b);
        Install(modem.Port());
        DialRecorder rec;
        HRASCONN h = 0;
        ASSERT_EQ(Dial(h), SUCCESS);
        ASSERT_TRUE(rec.WaitFinal(5s)) << answer;
        EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(RASCS_ConnectDevice), code)) << answer;
        EXPECT_EQ(Status(h).dwError, code) << answer;
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(SerialModemTest, TheSimAndTheNetworkEndTheDialWithTheirOwnCodesBeforeItIsDialled)
{
    struct Case {
        const char* what;
        void (*set)(FakeModem::Behaviour&);
        DWORD code;
    };
    const Case cases[] = {
        {"PIN", [](FakeModem::Behaviour& b) { b.cpin = "SIM PIN"; }, ERROR_SIM_PIN_REQUIRED},
        {"PUK", [](FakeModem::Behaviour& b) { b.cpin = "SIM PUK"; }, ERROR_SIM_PUK_REQUIRED},
        {"denied", [](FakeModem::Behaviour& b) { b.creg = b.cgreg = 3; }, ERROR_NETWORK_DENIED},
        {"searching", [](FakeModem::Behaviour& b) { b.creg = b.cgreg = 2; }, ERROR_NO_NETWORK},
        {"no GPRS", [](FakeModem::Behaviour& b) { b.cgreg = 0; }, ERROR_NO_PACKET_SERVICE},
        // a modem that knows none of the questions, one that searches a
        // moment, one that never answers AT+CSQ, one abroad: each still dials
        {"unknown commands", [](FakeModem::Behaviour& b) { b.cpin = ""; b.creg = b.cgreg = -1; }, 676},
        {"registers later", [](FakeModem::Behaviour& b) { b.registerAfterMs = 400; }, 676},
        {"CSQ silent", [](FakeModem::Behaviour& b) { b.csqSilent = true; }, 676},
        {"roaming", [](FakeModem::Behaviour& b) { b.creg = b.cgreg = 5; }, 676},
    };
    for (const Case& c : cases) {
        FakeModem::Behaviour b;
        b.dialAnswer = "BUSY";
        c.set(b);
        FakeModem modem(b);
        Install(modem.Port());
        SetNetwork(kPhone, "RegistrationTimeoutMs", "800");
        SetNetwork(kPhone, "QueryTimeoutMs", "300");
        Reload();
        DialRecorder rec;
        HRASCONN h = 0;
        ASSERT_EQ(Dial(h), SUCCESS);
        ASSERT_TRUE(rec.WaitFinal(5s)) << c.what;
        const Reports r = rec.Reports();
        EXPECT_EQ(r.back().second, c.code) << c.what << "\n" << ServiceLogText();
        const bool dialled = modem.WaitCommand("ATD", 0ms);
        EXPECT_EQ(dialled, c.code == 676) << c.what;
        const bool waited = std::any_of(r.begin(), r.end(), [](const auto& p) { return p.first == RASCS_WaitForNetwork; });
        EXPECT_EQ(waited, std::string(c.what) == "searching" || std::string(c.what) == "no GPRS"
                              || std::string(c.what) == "registers later")
            << c.what;
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
    const std::string log = ServiceLogText();
    EXPECT_NE(log.find("registration roaming (not the home network"), std::string::npos) << log;
    EXPECT_NE(log.find("no answer to AT+CSQ within 300 ms; passed over"), std::string::npos) << log;
}

TEST_F(SerialModemTest, RasctlReadsTheModemAndAsksItsBalanceOnAFreePortOnly)
{
    FakeModem::Behaviour b;
    b.csq = 31;
    b.cops = "Zen\"tora";
    const EncodedUssd e = EncodeUssd("Баланс: 99,90 руб.", UssdCoding::Ucs2);
    b.ussdText = e.text;
    b.ussdDcs = e.dcs;
    b.dialDelayMs = 3000; // the dial below holds the port a while
    FakeModem modem(b);
    Install(modem.Port());
    SetNetwork(kPhone, "UssdTimeoutMs", "700");
    Reload();
    const std::string reading = Ctl({"modem", kPhone});
    EXPECT_NE(reading.find("signal        -51 dBm (100 %)"), std::string::npos) << reading;
    EXPECT_NE(reading.find("registration  home"), std::string::npos) << reading;
    EXPECT_EQ(Ctl({"ussd", kPhone, "*102#"}), "Баланс: 99,90 руб.\n");
    EXPECT_TRUE(modem.WaitCommand("AT+CUSD=1,\"*102#\",15", 0ms));
    EXPECT_EQ(modem.Hangups(), 2); // the port let go after each question

    // while a dial holds the only port the balance waits for the link's end
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(modem.WaitCommand("ATD", 3s));
    std::ostringstream out, err;
    EXPECT_EQ(RasCtl({"ussd", kPhone}, out, err), 1);
    EXPECT_NE(err.str().find("966"), std::string::npos) << err.str();
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(SerialModemTest, AModemThatCannotBeReadSaysWhyAtOnceAndIsNotAskedOverAndOver)
{
    FakeModem::Behaviour b;
    b.initAnswer = "ERROR";
    FakeModem modem(b);
    Install(modem.Port());
    for (int round = 0; round < 2; ++round) {
        std::ostringstream out, err;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RasCtl({"modem", kPhone}, out, err), 1);
        EXPECT_NE(err.str().find("651"), std::string::npos) << err.str();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    EXPECT_EQ(modem.Commands(), std::vector<std::string>{"AT"});
}

TEST_F(SerialModemTest, ABalanceThatNeverComesOrCannotBeReadIsRefusedInTime)
{
    {
        FakeModem::Behaviour b;
        b.ussdSilent = true;
        FakeModem modem(b);
        Install(modem.Port());
        SetNetwork(kPhone, "UssdTimeoutMs", "500");
        Reload();
        std::ostringstream out, err;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RasCtl({"ussd", kPhone}, out, err), 1);
        EXPECT_NE(err.str().find("638"), std::string::npos) << err.str();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        EXPECT_TRUE(modem.WaitCommand("AT+CUSD=1,\"*100#\",15", 0ms)); // the balance's code by default
    }
    FakeModem::Behaviour b;
    b.ussdText = "04ZZ";
    b.ussdDcs = 72;
    FakeModem modem(b);
    Install(modem.Port());
    std::ostringstream out, err;
    EXPECT_EQ(RasCtl({"ussd", kPhone}, out, err), 1);
    EXPECT_NE(err.str().find("967"), std::string::npos) << err.str();
}

TEST_F(SerialModemTest, ANumberThatWouldSlipACommandToTheModemIsNotDialled)
{
    FakeModem modem;
    Install(modem.Port());
    ASSERT_EQ(MakeEntry("Zentora", kPhone, "*99#\rAT+CFUN=0"), SUCCESS);
    EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_ConnectDevice), DWORD(749)));
    for (const std::string& c : modem.Commands())
        EXPECT_EQ(c.find("CFUN"), std::string::npos) << c;
}

TEST_F(SerialModemTest, AModemThatRefusesItsInitOrNeverAnswersFailsInTime)
{
    {
        FakeModem::Behaviour b;
        b.initAnswer = "ERROR";
        FakeModem modem(b);
        Install(modem.Port());
        EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_PortOpened), DWORD(651)));
    }
    for (const FakeModem::Mode mode : {FakeModem::Mode::Silent, FakeModem::Mode::EndlessLine}) {
        FakeModem::Behaviour b;
        b.mode = mode;
        FakeModem modem(b);
        Install(modem.Port());
        DialRecorder rec;
        HRASCONN h = 0;
        const auto start = std::chrono::steady_clock::now();
        ASSERT_EQ(Dial(h), SUCCESS);
        // Meanwhile the service answers everyone else at once.
        for (int i = 0; i < 5; ++i) {
            const auto t = std::chrono::steady_clock::now();
            DWORD cb = 0, count = 0;
            EXPECT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
            // (a service held by the modem would answer only at its 1 s time-out)
            EXPECT_LT(std::chrono::steady_clock::now() - t, 500ms);
        }
        ASSERT_TRUE(rec.WaitFinal(5s));
        EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
        EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(RASCS_PortOpened), DWORD(666)));
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
}

TEST_F(SerialModemTest, AHangUpMidDialFreesThePortAtOnce)
{
    FakeModem::Behaviour b;
    b.mode = FakeModem::Mode::Silent;
    FakeModem modem(b);
    Install(modem.Port());
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(modem.WaitCommand("ATZ", 2s));
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (modem.Hangups() == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(modem.Hangups(), 1);
    // the next dial gets the port (and its own time-out)
    EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_PortOpened), DWORD(666)));
}

TEST_F(SerialModemTest, TheModemIsRegisteredInTheLayoutOfTheEmulatedFamily)
{
    SetVersion(4, 10, false); // the 9x family: Enum key plus driver key
    dialSize_ = 1052;
    FakeModem::Behaviour b;
    b.dialAnswer = "BUSY";
    FakeModem modem(b);
    Install(modem.Port(), "", 1768);
    EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_ConnectDevice), DWORD(676)));
    const std::vector<std::string> commands = modem.Commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[1], "AT+CGDCONT=1,\"IP\",\"internet\"");
}

TEST_F(SerialModemTest, JunkAndEchoOnTheLineDoNotConfuseTheDialogue)
{
    for (const bool echo : {true, false}) {
        FakeModem::Behaviour b;
        b.mode = FakeModem::Mode::JunkThenNormal;
        b.echo = echo;
        b.dialAnswer = "BUSY";
        FakeModem modem(b);
        Install(modem.Port());
        EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_ConnectDevice), DWORD(676))) << echo;
    }
}

TEST_F(SerialModemTest, ALineThatBreaksAMissingPortAndABusyPort)
{
    {
        FakeModem::Behaviour b;
        b.mode = FakeModem::Mode::BreakOnDial;
        FakeModem modem(b);
        Install(modem.Port());
        EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_ConnectDevice), DWORD(630)));
    }
    Install("/dev/ttyNoSuchPort7");
    EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_OpenPort), DWORD(615)));
    {
        FakeModem modem;
        Install(modem.Port());
        // another program holds the port
        const int other = ::open(modem.Port().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(other, 0);
        ASSERT_EQ(::flock(other, LOCK_EX), 0);
        EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_OpenPort), DWORD(633)));
        ::close(other);
    }
    EXPECT_NE(ServiceLogText().find("cannot open the port"), std::string::npos);
}

TEST_F(SerialModemTest, PppdNotInstalledFailsClearlyAndLeavesNothingRunning)
{
    FakeModem modem;
    Install(modem.Port(), "/nonexistent/pppd");
    EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_AllDevicesConnected), DWORD(720)));
    EXPECT_NE(ServiceLogText().find("pppd could not be started"), std::string::npos);
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(SerialModemTest, ALinkUpThroughPppdIsConnectedCountedAndHungUp)
{
    FakeModem modem;
    // The trap comes first: the hang-up may arrive as soon as the last line is read.
    const fs::path pppd = FakePppd("trap 'echo \"Terminating on signal 15\"; exit 5' TERM\n"
                                   "echo 'Using interface ppp9'\n"
                                   "echo 'Connect: ppp9 <--> /dev/pts/0'\n"
                                   "echo 'PAP authentication succeeded'\n"
                                   "echo 'local  IP address 10.64.64.64'\n"
                                   "echo 'remote IP address 10.64.0.1'\n"
                                   "echo 'primary   DNS address 10.99.0.53'\n"
                                   "echo 'Script /etc/ppp/ip-up started (pid 9)'\n"
                                   "sleep 0.5; touch \"$d/ip-up-done\"\n"
                                   "echo 'Script /etc/ppp/ip-up finished (pid 9), status = 0x0'\n"
                                   "while :; do sleep 0.05; done\n");
    Install(modem.Port(), pppd.string());
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial(h, "vexul", "s3cret pass"), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal(10s)) << ServiceLogText();
    const Reports connected = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0},
                               {6, 0}, {14, 0}, {10, 0}, {18, 0}, {8192, 0}};
    EXPECT_EQ(rec.Reports(), connected) << ServiceLogText();
    // usable only once pppd's ip-up has put the DNS in place
    EXPECT_TRUE(fs::exists(pppd.parent_path() / "ip-up-done"));
    EXPECT_EQ(Status(h).rasconnstate, RASCS_Connected);
    EXPECT_NE(Ctl({"connections"}).find("\taddress 10.64.64.64, peer 10.64.0.1, DNS 10.99.0.53\n"), std::string::npos)
        << Ctl({"connections"});
    EXPECT_NE(ServiceLogText().find("the link is up on ppp9: address 10.64.64.64, peer 10.64.0.1, DNS 10.99.0.53"),
              std::string::npos) << ServiceLogText();
    RAS_STATS st{};
    st.dwSize = 60;
    EXPECT_EQ(RAS(RasGetConnectionStatistics)(h, &st), SUCCESS);
    EXPECT_EQ(st.dwBps, 236800u); // the speed CONNECT named

    // What pppd was given: the line on its standard input, the entry's user,
    // the password through a pipe and never on its command line, the
    // default route because the entry asks for it.
    const std::string args = Read(pppd.parent_path() / "args");
    EXPECT_NE(args.find("nodetach\n"), std::string::npos) << args;
    EXPECT_NE(args.find("user\nvexul\n"), std::string::npos) << args;
    EXPECT_NE(args.find("defaultroute\n"), std::string::npos) << args;
    EXPECT_EQ(args.find("s3cret"), std::string::npos) << args;
    EXPECT_EQ(Read(pppd.parent_path() / "password"), "s3cret pass");

    // A hang-up ends pppd and frees the line.
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    EXPECT_TRUE(NoChildLeft());
    // written just after the reaping, so it may come a moment after the process went
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (ServiceLogText().find("ended after the hang-up") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_NE(ServiceLogText().find("ended after the hang-up: ended by a signal"), std::string::npos) << ServiceLogText();
}

TEST_F(SerialModemTest, PppdRefusedOrEndedBecomesTheConnectionsError)
{
    FakeModem modem;
    const fs::path pppd = FakePppd("echo 'PAP authentication failed'\nexit 19\n");
    Install(modem.Port(), pppd.string());
    // Each next dial only once the modem has seen the last one hang up: on a
    // loaded machine it may still be in its data mode, silent to ATZ.
    const auto hungUp = [&](int count) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (modem.Hangups() < count && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(10ms);
        return modem.Hangups() >= count;
    };
    EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_Authenticate), DWORD(691)));
    ASSERT_TRUE(hungUp(1));
    // A link that was up and ends on its own (the modem hung up) is lost
    // with the link's error; rasctl drop does the same to a live one.
    FakePppd("echo 'local  IP address 10.64.64.64'\necho 'Script /etc/ppp/ip-up started (pid 9)'\n"
             "echo 'Script /etc/ppp/ip-up finished (pid 9), status = 0x0'\nsleep 0.5\necho 'Modem hangup'\nexit 16\n");
    {
        DialRecorder rec;
        HRASCONN h = 0;
        ASSERT_EQ(Dial(h), SUCCESS);
        ASSERT_TRUE(rec.WaitFinal(5s));
        EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(RASCS_Connected), DWORD(0)));
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        while (Status(h).rasconnstate != RASCS_Disconnected && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(Status(h).rasconnstate, RASCS_Disconnected);
        EXPECT_EQ(Status(h).dwError, 629u);
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
    ASSERT_TRUE(hungUp(2));
    FakePppd("echo 'local  IP address 10.64.64.64'\nwhile :; do sleep 0.05; done\n");
    {
        DialRecorder rec;
        HRASCONN h = 0;
        ASSERT_EQ(Dial(h), SUCCESS);
        ASSERT_TRUE(rec.WaitFinal(5s));
        Ctl({"drop", std::to_string(h)});
        EXPECT_EQ(Status(h).rasconnstate, RASCS_Disconnected);
        EXPECT_EQ(Status(h).dwError, 629u);
        EXPECT_TRUE(NoChildLeft());
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
}

TEST_F(SerialModemTest, AnIpUpThatHangsHoldsTheDialNoLongerThanItsBound)
{
    FakeModem modem;
    const fs::path pppd = FakePppd("echo 'local  IP address 10.64.64.64'\necho 'Script /etc/ppp/ip-up started (pid 9)'\n"
                                   "while :; do sleep 0.05; done\n");
    Install(modem.Port(), pppd.string());
    DialRecorder rec;
    HRASCONN h = 0;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal(20s)) << ServiceLogText();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(RASCS_Connected), DWORD(0)));
    EXPECT_GE(took, 9s);
    EXPECT_LT(took, 15s);
    EXPECT_NE(ServiceLogText().find("pppd's ip-up did not finish in time"), std::string::npos);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    EXPECT_TRUE(NoChildLeft());
}

// rasctl doctor on this machine's stand-ins: each failing line has its mend.
TEST_F(SerialModemTest, TheDoctorNamesWhatStandsInTheWayAndHowToMendIt)
{
    const fs::path places = root_ / "doctor";
    fs::create_directories(places / "peers");
    fs::create_directories(places / "modules");
    fs::create_directories(places / "sys");
    DoctorPlaces p;
    p.peersFolder = places / "peers";
    p.devPpp = places / "ppp";
    p.sysModules = places / "sys";
    p.kernelModules = places / "modules";
    p.askModemManager = false;
    const auto doctor = [&](int expect) {
        std::ostringstream out;
        EXPECT_EQ(Doctor(out, p), expect) << out.str();
        return out.str();
    };
    std::string said = doctor(1);
    EXPECT_NE(said.find("FAIL  pppd's options for the dials " + (places / "peers/skyportal").string()
                        + " are missing. Mend it: sudo apt-get install --reinstall -o Dpkg::Options::=--force-confmiss skyportal"),
              std::string::npos) << said;
    EXPECT_NE(said.find("this kernel has no PPP support"), std::string::npos) << said;
    EXPECT_NE(said.find("FAIL  no modem configured. Mend it: rasctl add-modem \"My Phone\" /dev/tty"), std::string::npos) << said;

    FakeModem modem;
    Ctl({"add-modem", kPhone, modem.Port()});
    std::ofstream(places / "peers/skyportal") << "noauth\n";
    std::ofstream(places / "peers/skyportal-defaultroute") << "file /etc/ppp/peers/skyportal\n";
    std::ofstream(places / "ppp") << "";
    std::ofstream(places / "modules/modules.dep") << "kernel/drivers/net/ppp/ppp_async.ko: kernel/drivers/net/ppp/ppp_generic.ko\n";
    said = doctor(::access("/usr/sbin/pppd", X_OK) == 0 ? 0 : 1);
    EXPECT_EQ(said.find("FAIL  pppd's"), std::string::npos) << said;
    EXPECT_NE(said.find("ok    the modem \"" + std::string(kPhone) + "\": its port " + modem.Port()), std::string::npos) << said;
    EXPECT_NE(said.find("ok    the kernel's serial PPP (ppp_async) loads when pppd asks for it"), std::string::npos) << said;

    // A modem whose port has gone (unplugged).
    SetNetwork(kPhone, "Port", "/dev/ttyACM77");
    said = doctor(1);
    EXPECT_NE(said.find("FAIL  the modem \"" + std::string(kPhone) + "\": its port /dev/ttyACM77 is not there"), std::string::npos) << said;
}

// ------------------------------------------------------------------ lock files and ModemManager

class PortClaimTest : public SerialModemTest {
protected:
    fs::path LockFile(const std::string& port) const { return root_ / "lock" / ("LCK.." + PortLock::FileName(port)); }
    static std::string Hdb(int pid)
    {
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", pid);
        return text;
    }
    std::string ErrorString(DWORD code)
    {
        char buf[512] = {};
        EXPECT_EQ(RAS(RasGetErrorStringA)(code, buf, sizeof buf), SUCCESS);
        return buf;
    }
};

TEST_F(PortClaimTest, AnotherProgramsLiveLockKeepsTheDialOutAStaleOneIsTakenOver)
{
    FakeModem::Behaviour b;
    b.dialAnswer = "BUSY";
    b.dialDelayMs = 600;
    FakeModem modem(b);
    Install(modem.Port());
    const fs::path lock = LockFile(modem.Port());

    std::ofstream(lock) << Hdb(1);
    EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_OpenPort), DWORD(633)));
    EXPECT_TRUE(modem.Commands().empty());
    EXPECT_NE(ServiceLogText().find("locked by another program: pid 1 in " + lock.string()), std::string::npos)
        << ServiceLogText();
    EXPECT_EQ(Read(lock), Hdb(1));

    const pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    std::ofstream(lock) << Hdb(gone);
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(modem.WaitCommand("ATD", 5s));
    EXPECT_EQ(Read(lock), Hdb(DaemonPid())); // the service's own while it dials
    ASSERT_TRUE(rec.WaitFinal(5s));
    EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(RASCS_ConnectDevice), DWORD(676)));
    EXPECT_FALSE(fs::exists(lock)); // given back with the port
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    EXPECT_NE(ServiceLogText().find("removed the stale lock " + lock.string() + " of pid " + std::to_string(gone)),
              std::string::npos);
}

TEST_F(PortClaimTest, ModemManagerLetsGoOfTheModemForTheDialAndGetsItBackAfter)
{
    FakeModem::Behaviour b;
    b.dialDelayMs = 800; // time to look at the service mid-dial
    FakeModem modem(b);
    ModemManagerStandIn mm(root_ / "mm", modem.Port(), ModemManagerStandIn::Mode::Normal);
    ASSERT_TRUE(mm.Ready());
    Install(modem.Port());
    const std::string uid = ModemManagerStandIn::kUid;
    EXPECT_NE(Ctl({"devices"}).find(" 115200\tmanaged by ModemManager\n"), std::string::npos) << Ctl({"devices"});

    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(modem.WaitCommand("ATD", 10s)) << ServiceLogText();
    EXPECT_NE(Ctl({"devices"}).find("\tmanaged by ModemManager, released for the dial\n"), std::string::npos);
    ASSERT_TRUE(rec.WaitFinal(10s));
    if (!fs::exists("/dev/ppp")) {
        EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(RASCS_Authenticate), DWORD(720))) << ServiceLogText();
    }
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);

    // Given back once pppd has gone and the port is closed: ModemManager takes it at once.
    ASSERT_TRUE(mm.WaitRecord("took the port back", 5s));
    const std::vector<std::string> calls = {"InhibitDevice " + uid + " true", "let go of the port",
                                            "InhibitDevice " + uid + " false", "took the port back"};
    EXPECT_EQ(mm.Record(), calls);
    const std::string log = Ctl({"log"});
    EXPECT_NE(log.find("ModemManager manages the port (modem " + uid + "): it let go of the modem for the dial"),
              std::string::npos) << log;
    EXPECT_NE(log.find("ModemManager has the modem back"), std::string::npos) << log;
    EXPECT_NE(Ctl({"devices"}).find(" 115200\tmanaged by ModemManager\n"), std::string::npos);
}

TEST_F(PortClaimTest, AServiceKilledMidDialLeavesNeitherTheModemNorThePortHeld)
{
    FakeModem::Behaviour b;
    b.dialDelayMs = 3000;
    b.dialAnswer = "BUSY";
    FakeModem modem(b);
    ModemManagerStandIn mm(root_ / "mm", modem.Port(), ModemManagerStandIn::Mode::Normal);
    ASSERT_TRUE(mm.Ready());
    Install(modem.Port());
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(modem.WaitCommand("ATD", 10s));
    const int pid = DaemonPid();
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGKILL);
    // ModemManager sees the service's bus connection close and takes its modem back.
    EXPECT_TRUE(mm.WaitRecord("client left " + std::string(ModemManagerStandIn::kUid), 5s));
    EXPECT_TRUE(mm.WaitRecord("took the port back", 5s));
    EXPECT_TRUE(rec.WaitFinal(10s)); // the dial's end (619) reaches its notifier
    EXPECT_EQ(Read(LockFile(modem.Port())), Hdb(pid)); // a dead process's lock

    // The next service takes the stale lock over and has the modem released again.
    DialRecorder again;
    ASSERT_EQ(Dial(h), SUCCESS);
    ASSERT_TRUE(again.WaitFinal(15s)) << ServiceLogText();
    EXPECT_EQ(again.Reports().back(), std::make_pair(DWORD(RASCS_ConnectDevice), DWORD(678))) << ServiceLogText();
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    EXPECT_NE(ServiceLogText().find("of pid " + std::to_string(pid) + " (no such process)"), std::string::npos);
    const std::vector<std::string> calls = mm.Record();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "InhibitDevice " + std::string(ModemManagerStandIn::kUid) + " true"),
              2);
}

TEST_F(PortClaimTest, ModemManagerThatWillNotLetGoGives633WithTheWayOut)
{
    const std::string table633 = ErrorString(633);
    const std::pair<ModemManagerStandIn::Mode, const char*> refusals[] = {
        {ModemManagerStandIn::Mode::Denied, "Unauthorized: Not authorized"},
        {ModemManagerStandIn::Mode::Old, "UnknownMethod"}};
    int n = 0;
    for (const auto& [mode, why] : refusals) {
        StopDaemon(); // the next one is started on this stand-in's bus
        FakeModem modem;
        ModemManagerStandIn mm(root_ / ("mm" + std::to_string(++n)), modem.Port(), mode);
        ASSERT_TRUE(mm.Ready());
        Install(modem.Port());
        EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_OpenPort), DWORD(633))) << why;
        EXPECT_TRUE(modem.Commands().empty());
        const std::string log = ServiceLogText();
        EXPECT_NE(log.find(std::string("and refused to let go of it: org.freedesktop.")), std::string::npos) << log;
        EXPECT_NE(log.find(why), std::string::npos) << log;
        const std::string text = ErrorString(633);
        EXPECT_NE(text.find("ModemManager holds the modem's port"), std::string::npos) << text;
        EXPECT_NE(text.find("sudo systemctl stop ModemManager"), std::string::npos) << text;
        EXPECT_FALSE(fs::exists(LockFile(modem.Port())));
    }
    EXPECT_NE(ServiceLogText().find("polkit action org.freedesktop.ModemManager1.Device.Control"), std::string::npos);
    EXPECT_NE(ServiceLogText().find("older than 1.16"), std::string::npos);

    // Without ModemManager on its bus the dial goes straight to the port, and
    // 633 has its own text again.
    StopDaemon();
    FakeModem::Behaviour b;
    b.dialAnswer = "BUSY";
    FakeModem modem(b);
    ModemManagerStandIn bus(root_ / "bus", modem.Port(), ModemManagerStandIn::Mode::Absent);
    ASSERT_TRUE(bus.Ready());
    const size_t before = ServiceLogText().size();
    Install(modem.Port());
    EXPECT_EQ(Ctl({"devices"}).find("ModemManager"), std::string::npos);
    EXPECT_EQ(DialToEnd(), std::make_pair(DWORD(RASCS_ConnectDevice), DWORD(676)));
    EXPECT_EQ(ServiceLogText().find("ModemManager", before), std::string::npos);
    EXPECT_EQ(ErrorString(633), table633);
}

TEST_F(PortClaimTest, AModemModemManagerManagesIsReadAndAskedThroughItNeverOnItsPort)
{
    FakeModem modem;
    {
        ModemManagerStandIn mm(root_ / "mm", modem.Port(), ModemManagerStandIn::Mode::Normal,
                               {"--registration", "5", "--operator", "Zen\ttora", "--ussd-mode", "more"});
        ASSERT_TRUE(mm.Ready());
        Install(modem.Port());
        const std::string reading = Ctl({"modem", kPhone});
        EXPECT_NE(reading.find("registration  roaming\noperator      Zen tora\nsignal        -73 dBm (64 %)"),
                  std::string::npos) << reading;
        EXPECT_EQ(Ctl({"ussd", kPhone}), "Баланс: 250,00 руб.\n");
        // the network waited for more: the session is ended
        EXPECT_TRUE(mm.WaitRecord("Ussd.Cancel", 2s));
        EXPECT_EQ(mm.Record(), (std::vector<std::string>{"Ussd.Initiate *100#", "Ussd.Cancel"}));
        EXPECT_TRUE(modem.Commands().empty());
        EXPECT_NE(ServiceLogText().find("ModemManager manages the modem (" + std::string(ModemManagerStandIn::kUid)
                                        + "): SIM ready; registration roaming"),
                  std::string::npos) << ServiceLogText();
    }
    // Its refusals, each with the service's own code.
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{"--state", "2", "--lock", "2"}, "960"},
        {{"--ussd-mode", "error"}, "968"},
        {{"--ussd-mode", "silent"}, "638"},
        {{"--no-ussd"}, "968"},
    };
    int n = 0;
    for (const auto& [options, code] : cases) {
        StopDaemon();
        ModemManagerStandIn mm(root_ / ("mm" + std::to_string(++n)), modem.Port(), ModemManagerStandIn::Mode::Normal,
                               options);
        ASSERT_TRUE(mm.Ready());
        SetNetwork(kPhone, "UssdTimeoutMs", "600");
        std::ostringstream out, err;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(RasCtl({"ussd", kPhone}, out, err), 1) << code;
        EXPECT_NE(err.str().find(code), std::string::npos) << code << ": " << err.str();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << code;
    }
    EXPECT_TRUE(modem.Commands().empty());
    EXPECT_NE(ServiceLogText().find("ModemManager refused the USSD code: org.freedesktop.ModemManager1.Error.Core."
                                    "Failed: USSD: network rejected"),
              std::string::npos) << ServiceLogText();
}

TEST_F(PortClaimTest, TheTextsOf720And633SayWhatTheServiceFoundAndPointToTheDoctor)
{
    NoteDial(DialNote::None);
    for (const DWORD code : {633u, 720u})
        EXPECT_NE(ErrorString(code).find("rasctl doctor"), std::string::npos) << code;
    EXPECT_EQ(ErrorString(691).find("doctor"), std::string::npos);
    NoteDial(DialNote::NoPeersFile);
    const std::string missing = ErrorString(720);
    EXPECT_NE(missing.find("/etc/ppp/peers/skyportal is not there"), std::string::npos) << missing;
    EXPECT_NE(missing.find("sudo apt-get install --reinstall -o Dpkg::Options::=--force-confmiss skyportal"),
              std::string::npos) << missing;
    NoteDial(DialNote::PeersFileUnreadable);
    const std::string unreadable = ErrorString(720);
    EXPECT_NE(unreadable.find("sudo adduser $USER dip"), std::string::npos) << unreadable;
    EXPECT_EQ(ErrorString(633).find("peers"), std::string::npos);
    NoteDial(DialNote::None);
}

} // namespace
