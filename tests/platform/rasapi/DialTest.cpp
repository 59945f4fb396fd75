// Dialling through the loaded library and the real daemon: the states the
// notifier sees, the failures the simulated network injects, the life of a
// connection after the dial.
#include "DialRecorder.h"
#include "ServiceFixture.h"

#include "platform/rasman/RasCtl.h"
#include "platform/registry/Registry.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Reports = std::vector<std::pair<DWORD, DWORD>>;

class DialTest : public ServiceFixture {
protected:
    DWORD Dial(const std::string& entry, const std::string& number, HRASCONN& h,
               const std::string& user = "vexul", DWORD size = 1060)
    {
        RASDIALPARAMSA p{};
        p.dwSize = size;
        std::strcpy(p.szEntryName, entry.c_str());
        std::strcpy(p.szPhoneNumber, number.c_str());
        std::strcpy(p.szUserName, user.c_str());
        std::strcpy(p.szPassword, user.c_str());
        h = 0;
        return RAS(RasDialA)(nullptr, nullptr, &p, 0, reinterpret_cast<LPVOID>(&DialRecorder::Notify), &h);
    }
    RASCONNSTATUSA Status(HRASCONN h, DWORD& code)
    {
        RASCONNSTATUSA s{};
        s.dwSize = 288;
        code = RAS(RasGetConnectStatusA)(h, &s);
        return s;
    }
    RAS_STATS Stats(HRASCONN h)
    {
        RAS_STATS st{};
        st.dwSize = 60;
        EXPECT_EQ(RAS(RasGetConnectionStatistics)(h, &st), SUCCESS);
        return st;
    }
    void Ctl(std::vector<std::string> args)
    {
        std::ostringstream out, err;
        ASSERT_EQ(sp::ras::RasCtl(args, out, err), 0) << err.str();
    }
    void Prepare(const std::string& modem = "USB GPRS Modem", const std::string& number = "*99***1#")
    {
        ASSERT_EQ(MakeEntry("Zentora", modem, number), SUCCESS);
        SetModemInit(modem, "AT+CGDCONT=1,\"IP\",\"internet\"");
    }
};

const Reports kConnected = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0},
                            {6, 0}, {14, 0}, {10, 0}, {18, 0}, {8192, 0}};

TEST_F(DialTest, StatesArriveInOrderEndingConnected)
{
    Prepare();
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
    ASSERT_NE(h, 0u);
    ASSERT_TRUE(rec.WaitFinal());
    EXPECT_EQ(rec.Reports(), kConnected);

    DWORD code = 0;
    RASCONNSTATUSA s = Status(h, code);
    ASSERT_EQ(code, SUCCESS);
    EXPECT_EQ(s.rasconnstate, RASCS_Connected);
    EXPECT_EQ(s.dwError, 0u);
    EXPECT_STREQ(s.szDeviceName, "USB GPRS Modem");
    EXPECT_STREQ(s.szPhoneNumber, "*99***1#");

    RASCONNA c{};
    c.dwSize = 692;
    DWORD cb = 0, count = 0;
    ASSERT_EQ(RAS(RasEnumConnectionsA)(&c, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(cb, 692u);
    ASSERT_EQ(RAS(RasEnumConnectionsA)(&c, &cb, &count), SUCCESS);
    EXPECT_EQ(c.hrasconn, h);
    EXPECT_STREQ(c.szEntryName, "Zentora");
    EXPECT_STREQ(c.szDeviceName, "USB GPRS Modem");

    ASSERT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    Status(h, code);
    EXPECT_EQ(code, ERROR_INVALID_HANDLE);
}

TEST_F(DialTest, TheNumberOfTheDialReplacesTheEntryNumberAndAWrongOneFails)
{
    Prepare("Bluetooth Phone Modem");
    {
        DialRecorder rec;
        HRASCONN h = 0;
        ASSERT_EQ(Dial("Zentora", "", h), SUCCESS); // the entry's own *99***1#
        ASSERT_TRUE(rec.WaitFinal());
        const Reports want = {{0, 0}, {1, 0}, {2, 678}};
        EXPECT_EQ(rec.Reports(), want);
        DWORD code = 0;
        RASCONNSTATUSA s = Status(h, code);
        ASSERT_EQ(code, SUCCESS); // the handle lives until it is hung up
        EXPECT_EQ(s.dwError, 678u);
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "*99#", h), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal());
    EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(8192), DWORD(0)));
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(DialTest, InjectedFailureForAChosenNumberOfAttempts)
{
    Prepare();
    SetNetwork("USB GPRS Modem", "FailError", "691");
    SetNetwork("USB GPRS Modem", "FailState", "5");
    SetNetwork("USB GPRS Modem", "FailAttempts", "2");
    for (int attempt = 0; attempt < 3; ++attempt) {
        DialRecorder rec;
        HRASCONN h = 0;
        ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
        ASSERT_TRUE(rec.WaitFinal());
        if (attempt < 2) {
            const Reports want = {{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 691}};
            EXPECT_EQ(rec.Reports(), want) << attempt;
        } else {
            EXPECT_EQ(rec.Reports(), kConnected);
        }
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
}

TEST_F(DialTest, EveryConfiguredFailureArrivesAsAnErrorReport)
{
    Prepare();
    for (DWORD error : {629u, 680u, 718u, 797u}) {
        SetNetwork("USB GPRS Modem", "FailError", std::to_string(error));
        SetNetwork("USB GPRS Modem", "FailState", "2");
        Reload();
        DialRecorder rec;
        HRASCONN h = 0;
        ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
        ASSERT_TRUE(rec.WaitFinal());
        EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(2), error));
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
}

TEST_F(DialTest, WrongApnAndWrongPasswordFail)
{
    Prepare();
    SetModemInit("USB GPRS Modem", "AT+CGDCONT=1,\"IP\",\"wap.example\"");
    {
        DialRecorder rec;
        HRASCONN h = 0;
        ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
        ASSERT_TRUE(rec.WaitFinal());
        EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(RASCS_AuthProject), DWORD(734)));
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }
    SetModemInit("USB GPRS Modem", "AT+CGDCONT=1,\"IP\",\"INTERNET\"");
    SetNetwork("USB GPRS Modem", "User", "vexul");
    Reload();
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h, "guest"), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal());
    EXPECT_EQ(rec.Reports().back(), std::make_pair(DWORD(RASCS_Authenticate), DWORD(691)));
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(DialTest, DialRefusals)
{
    Prepare();
    HRASCONN h = 0;
    EXPECT_EQ(Dial("Nobody", "", h), ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    EXPECT_EQ(Dial("Zentora", "", h, "vexul", 1000), ERROR_INVALID_SIZE);
    RASDIALPARAMSA p{};
    p.dwSize = 1060;
    std::strcpy(p.szEntryName, "Zentora");
    h = 77;
    EXPECT_EQ(RAS(RasDialA)(nullptr, nullptr, &p, 0, reinterpret_cast<LPVOID>(&DialRecorder::Notify), &h),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RAS(RasDialA)(nullptr, nullptr, nullptr, 0, nullptr, &h), ERROR_INVALID_PARAMETER);
}

TEST_F(DialTest, AModemThatNeverAnswersAndAHangUpInTheMiddle)
{
    Prepare();
    SetNetwork("USB GPRS Modem", "NeverAnswers", "1");
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
    ASSERT_TRUE(rec.WaitCount(3, 2s));
    EXPECT_FALSE(rec.WaitFinal(300ms));
    const Reports want = {{0, 0}, {1, 0}, {2, 0}};
    EXPECT_EQ(rec.Reports(), want);
    DWORD code = 0;
    EXPECT_EQ(Status(h, code).rasconnstate, RASCS_ConnectDevice);
    ASSERT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    Status(h, code);
    EXPECT_EQ(code, ERROR_INVALID_HANDLE);
    // nothing more is reported after the hang-up
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(rec.Reports().size(), 3u);
}

TEST_F(DialTest, AHangUpWhileStatesAreStillComing)
{
    Prepare();
    SetNetwork("Service", "StateDelayMs", "60");
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
    ASSERT_TRUE(rec.WaitCount(2, 2s));
    ASSERT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    const size_t seen = rec.Reports().size();
    std::this_thread::sleep_for(300ms);
    EXPECT_LE(rec.Reports().size(), seen + 1); // at most one already on its way
    EXPECT_FALSE(rec.WaitFinal(10ms));
    DWORD cb = 0, count = 0;
    RASCONNA c{};
    c.dwSize = 692;
    EXPECT_EQ(RAS(RasEnumConnectionsA)(&c, &cb, &count), SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(DialTest, ADroppedLinkTurnsTheStatusIntoAnError)
{
    Prepare();
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal());
    DWORD code = 0;
    ASSERT_EQ(Status(h, code).rasconnstate, RASCS_Connected);
    Ctl({"drop", std::to_string(h)});
    RASCONNSTATUSA s = Status(h, code);
    ASSERT_EQ(code, SUCCESS);
    EXPECT_EQ(s.rasconnstate, RASCS_Disconnected);
    EXPECT_EQ(s.dwError, 629u);
    // a dropped link is no longer an active connection
    DWORD cb = 0, count = 0;
    RASCONNA c{};
    c.dwSize = 692;
    EXPECT_EQ(RAS(RasEnumConnectionsA)(&c, &cb, &count), SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(DialTest, ALinkThatDropsByItself)
{
    Prepare();
    SetNetwork("USB GPRS Modem", "DropAfterSec", "1");
    SetNetwork("USB GPRS Modem", "DropError", "628");
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal());
    DWORD code = 0;
    EXPECT_EQ(Status(h, code).rasconnstate, RASCS_Connected);
    std::this_thread::sleep_for(1200ms);
    RASCONNSTATUSA s = Status(h, code);
    EXPECT_EQ(s.rasconnstate, RASCS_Disconnected);
    EXPECT_EQ(s.dwError, 628u);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(DialTest, CountersFollowTheTrafficModel)
{
    Prepare();
    SetNetwork("USB GPRS Modem", "RxRate", "100000");
    SetNetwork("USB GPRS Modem", "TxRate", "10000");
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal());
    const RAS_STATS a = Stats(h);
    std::this_thread::sleep_for(300ms);
    const RAS_STATS b = Stats(h);
    // 100 bytes a millisecond of the link's own clock
    const double ms = b.dwConnectDuration - a.dwConnectDuration;
    EXPECT_GE(ms, 300.0);
    EXPECT_NEAR(b.dwBytesRcved - a.dwBytesRcved, 100.0 * ms, 10.0 * ms);
    EXPECT_NEAR(b.dwBytesXmited - a.dwBytesXmited, 10.0 * ms, 1.0 * ms);

    Ctl({"traffic", std::to_string(h), "0", "0"});
    const RAS_STATS c = Stats(h);
    std::this_thread::sleep_for(100ms);
    const RAS_STATS d = Stats(h);
    EXPECT_EQ(c.dwBytesRcved, d.dwBytesRcved);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(DialTest, OnWindows98TheAdapterTotalsGrowInTheDynamicRegistry)
{
    SetVersion(4, 10, false);
    SetNetwork("USB GPRS Modem", "RxRate", "50000");
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#", 1768), SUCCESS);
    SetModemInit("USB GPRS Modem", "AT+CGDCONT=1,\"IP\",\"internet\"");
    auto totals = [] {
        sp::TRegistry reg;
        reg.SetRootKey(sp::RegHive::DynData);
        uint32_t v = 0;
        if (reg.OpenKeyReadOnly("\\PerfStats\\StatData")) {
            const auto b = reg.ReadBinary("Dial-Up Adapter\\TotalBytesRecvd");
            for (size_t i = 0; i < b.size() && i < 4; ++i)
                v |= uint32_t(b[i]) << (8 * i);
        }
        return v;
    };
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h, "vexul", 1052), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal());
    EXPECT_EQ(rec.Reports().back().first, DWORD(RASCS_Connected));
    std::this_thread::sleep_for(200ms);
    const uint32_t first = totals();
    std::this_thread::sleep_for(300ms);
    const uint32_t second = totals();
    EXPECT_GT(second, first);
    EXPECT_GE(second - first, 5000u);
    ASSERT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    // the totals are the adapter's since start: a later daemon goes on from them
    StopDaemon();
    const uint32_t kept = totals();
    EXPECT_GE(kept, second);
    ASSERT_EQ(Dial("Zentora", "", h, "vexul", 1052), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal());
    std::this_thread::sleep_for(200ms);
    EXPECT_GE(totals(), kept);
    ASSERT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(DialTest, AConnectionOutlivesTheClientThatDialled)
{
    Prepare();
    std::ignore = Lib();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Dial without a notifier (the call waits) and leave with the link up.
        RASDIALPARAMSA p{};
        p.dwSize = 1060;
        std::strcpy(p.szEntryName, "Zentora");
        HRASCONN h = 0;
        const DWORD r = RAS(RasDialA)(nullptr, nullptr, &p, 0, nullptr, &h);
        ::_exit(r == SUCCESS && h != 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    RASCONNA c{};
    c.dwSize = 692;
    DWORD cb = 692, count = 0;
    ASSERT_EQ(RAS(RasEnumConnectionsA)(&c, &cb, &count), SUCCESS);
    ASSERT_EQ(count, 1u);
    DWORD code = 0;
    EXPECT_EQ(Status(c.hrasconn, code).rasconnstate, RASCS_Connected);
    EXPECT_EQ(RAS(RasHangUpA)(c.hrasconn), SUCCESS);
}

TEST_F(DialTest, DiallingAConnectedEntryHandsBackItsConnection)
{
    Prepare();
    HRASCONN h1 = 0, h2 = 0;
    {
        DialRecorder rec;
        ASSERT_EQ(Dial("Zentora", "", h1), SUCCESS);
        ASSERT_TRUE(rec.WaitFinal());
    }
    DialRecorder rec;
    ASSERT_EQ(Dial("Zentora", "", h2), SUCCESS);
    ASSERT_TRUE(rec.WaitFinal());
    EXPECT_EQ(h1, h2);
    EXPECT_EQ(rec.Reports().back().first, DWORD(RASCS_Connected));
    // another entry on the busy modem cannot have the port
    ASSERT_EQ(MakeEntry("Second", "USB GPRS Modem", "*99#"), SUCCESS);
    DialRecorder rec2;
    HRASCONN h3 = 0;
    ASSERT_EQ(Dial("Second", "", h3), SUCCESS);
    ASSERT_TRUE(rec2.WaitFinal());
    EXPECT_EQ(rec2.Reports().back(), std::make_pair(DWORD(0), DWORD(633)));
    EXPECT_EQ(RAS(RasHangUpA)(h3), SUCCESS);
    EXPECT_EQ(RAS(RasHangUpA)(h1), SUCCESS);
}

TEST_F(DialTest, SigkillNeverLeavesAnUnreadablePhonebook)
{
    const std::filesystem::path pbk =
        root_ / "drive_c/Documents and Settings/All Users/Application Data/Microsoft/Network/Connections/Pbk/rasphone.pbk";
    std::mt19937 rng(7);
    for (int round = 0; round < 5; ++round) {
        std::atomic<bool> stop{false};
        std::thread writer([&] {
            for (int i = 0; !stop; ++i)
                (void)MakeEntry("E" + std::to_string(i % 40), "USB GPRS Modem", std::to_string(i));
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(30 + rng() % 50));
        const int pid = DaemonPid();
        if (pid > 0)
            ::kill(pid, SIGKILL);
        std::this_thread::sleep_for(20ms);
        stop = true;
        writer.join();
        // Every entry in the file is whole.
        const sp::IniFile ini = sp::IniFile::Load(pbk);
        for (const std::string& s : ini.SectionNames()) {
            EXPECT_TRUE(ini.Get(s, "dwfOptions").has_value()) << s;
            EXPECT_TRUE(ini.Get(s, "Password").has_value()) << s;
        }
    }
    RASENTRYA e{};
    e.dwSize = 2884;
    DWORD size = 2884;
    EXPECT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, "E0", &e, &size, nullptr, nullptr), SUCCESS);
}

TEST_F(DialTest, TheServiceDyingMidDialEndsTheDialWithAnError)
{
    Prepare();
    SetNetwork("USB GPRS Modem", "NeverAnswers", "1");
    DialRecorder rec;
    HRASCONN h = 0;
    ASSERT_EQ(Dial("Zentora", "", h), SUCCESS);
    ASSERT_TRUE(rec.WaitCount(3, 2s));
    ::kill(DaemonPid(), SIGKILL);
    // The caller's wait ends with an error report instead of running out.
    ASSERT_TRUE(rec.WaitFinal(5s));
    const Reports want = {{0, 0}, {1, 0}, {2, 0}, {2, ERROR_PORT_DISCONNECTED}};
    EXPECT_EQ(rec.Reports(), want);
}

TEST_F(DialTest, ADialWithoutNotifierReturnsAnErrorWhenTheServiceDies)
{
    Prepare();
    SetNetwork("USB GPRS Modem", "NeverAnswers", "1");
    DWORD cb = 0, count = 0;
    ASSERT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    const int pid = DaemonPid();
    std::thread killer([&] {
        std::this_thread::sleep_for(200ms);
        ::kill(pid, SIGKILL);
    });
    RASDIALPARAMSA p{};
    p.dwSize = 1060;
    std::strcpy(p.szEntryName, "Zentora");
    HRASCONN h = 0;
    EXPECT_EQ(RAS(RasDialA)(nullptr, nullptr, &p, 0, nullptr, &h), ERROR_PORT_DISCONNECTED);
    killer.join();
}

} // namespace
