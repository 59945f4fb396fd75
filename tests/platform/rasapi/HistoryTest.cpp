// The traffic history: the store under a clock the test moves (midnight, the
// cycle's day, a clock set back, counters that start again, warnings and the
// hang-up once per cycle, a corrupt file), its text forms byte for byte, and
// the real service with its links (killed service, killed program, hang-up
// at the limit, the commands).
#include "ServiceFixture.h"

#include "platform/rasapi/TrafficHistoryText.h"
#include "platform/rasman/RasCtl.h"
#include "platform/rasman/TrafficHistory.h"

#include <signal.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace sp::ras;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Local time in the tests' zone, three hours east of UTC.
int64_t Local(int y, int mo, int d, int h, int mi, int s)
{
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    return static_cast<int64_t>(::timegm(&tm)) - 3 * 3600;
}

class HistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/history-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root_ = tmpl;
        ::setenv("SKYPORTAL_ROOT", tmpl, 1);
        ::setenv("TZ", "MSK-3", 1);
        ::tzset();
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    std::unique_ptr<TrafficHistory> Open()
    {
        return std::make_unique<TrafficHistory>(root_ / "history.db", true, [this] { return now_; });
    }
    fs::path root_;
    int64_t now_ = 0;
};

TEST_F(HistoryStoreTest, DaysAndCyclesSplitAtMidnightAndAtTheCycleDayAndNothingGoesNegative)
{
    auto h = Open();
    ASSERT_EQ(h->Change(HistorySetting::CycleDay, 15, ""), 0u);
    now_ = Local(2024, 3, 14, 23, 59, 50);
    h->Begin(1, "Zentora", "USB GPRS Modem", "internet");
    h->Observe(1, {1000, 100});
    now_ += 5;
    h->Observe(1, {3000, 300});
    now_ = Local(2024, 3, 15, 0, 0, 5);
    h->Observe(1, {4000, 400});
    h->Observe(1, {500, 50}); // the counters started again: new traffic
    h->End(1, "hangup");
    // The clock set back by two hours during a session.
    h->Begin(2, "Zentora", "USB GPRS Modem", "");
    now_ -= 7200;
    h->Observe(2, {100, 0});
    h->End(2, "dropped:629");
    h.reset();

    h = Open(); // what was written, not what was in memory
    now_ = Local(2024, 3, 20, 12, 0, 0);
    const auto s = h->Sessions(20);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].rx, 4500u);
    EXPECT_EQ(s[0].tx, 450u);
    EXPECT_EQ(s[0].ended, "hangup");
    EXPECT_EQ(*s[0].end - s[0].start, 15);
    EXPECT_EQ(s[1].end, s[1].start);
    EXPECT_EQ(s[1].ended, "dropped:629");
    EXPECT_EQ(DaysCsv(h->Days(31)), "date,received,sent,total\n"
                                    "2024-03-14,3100,300,3400\n"
                                    "2024-03-15,1500,150,1650\n");
    EXPECT_EQ(CyclesCsv(h->Cycles(12)), "start,end,received,sent,total,limit\n"
                                        "2024-02-15,2024-03-14,3100,300,3400,\n"
                                        "2024-03-15,2024-04-14,1500,150,1650,\n");
    // A cycle's last day in a short month.
    ASSERT_EQ(h->Change(HistorySetting::CycleDay, 1, ""), 0u);
    now_ = Local(2024, 2, 29, 12, 0, 0);
    EXPECT_EQ(h->Usage().cycle.end, "2024-02-29");
    EXPECT_EQ(h->Change(HistorySetting::CycleDay, 29, ""), 87u);
    EXPECT_EQ(h->Usage().cycleDay, 1u);
}

TEST_F(HistoryStoreTest, WarningsAndTheHangUpComeOncePerCycle)
{
    auto h = Open();
    ASSERT_EQ(h->Change(HistorySetting::Limit, 1000, ""), 0u);
    ASSERT_EQ(h->Change(HistorySetting::HangUpAtLimit, 1, ""), 0u);
    now_ = Local(2024, 5, 10, 12, 0, 0);
    const auto t0 = std::chrono::steady_clock::now();
    h->Begin(1, "Zentora", "USB GPRS Modem", "internet");
    h->Observe(1, {700, 99});
    EXPECT_EQ(h->Usage().Level(), 0u);
    h->Observe(1, {701, 99});
    EXPECT_EQ(h->Usage().Level(), 80u);
    EXPECT_FALSE(h->Tick(t0));
    EXPECT_EQ(h->Change(HistorySetting::Told, 80, "2024-04-01"), 87u); // not this cycle
    ASSERT_EQ(h->Change(HistorySetting::Told, 80, "2024-05-01"), 0u);
    EXPECT_EQ(h->Usage().toldLevel, 80u);
    h->Observe(1, {901, 99});
    EXPECT_EQ(h->Usage().Level(), 100u);
    ASSERT_TRUE(h->Tick(t0 + 1s));
    h->LimitHangUpMade();
    h->End(1, "hangup");
    h->Begin(2, "Zentora", "USB GPRS Modem", "internet");
    h->Observe(2, {5000, 0});
    EXPECT_FALSE(h->Tick(t0 + 2s)); // dialled again by the subscriber: not hung up twice
    h.reset();

    h = Open();
    HistoryUsage u = h->Usage();
    EXPECT_EQ(u.toldLevel, 80u);
    EXPECT_TRUE(u.limitHangUpUntold);
    EXPECT_EQ(u.cycle.rx + u.cycle.tx, 6000u);
    ASSERT_EQ(h->Change(HistorySetting::LimitHangUpTold, 0, "2024-05-01"), 0u);
    EXPECT_FALSE(h->Usage().limitHangUpUntold);

    // The next cycle starts with nothing told and nothing hung up.
    now_ = Local(2024, 6, 1, 0, 0, 1);
    u = h->Usage();
    EXPECT_EQ(u.toldLevel, 0u);
    EXPECT_EQ(u.Level(), 0u);
    h->Begin(3, "Zentora", "USB GPRS Modem", "internet");
    h->Observe(3, {1000, 0});
    EXPECT_TRUE(h->Tick(t0 + 3s));
    EXPECT_EQ(CyclesCsv(h->Cycles(2)), "start,end,received,sent,total,limit\n"
                                       "2024-05-01,2024-05-31,5901,99,6000,1000\n"
                                       "2024-06-01,2024-06-30,1000,0,1000,1000\n");
}

TEST_F(HistoryStoreTest, ACorruptStoreIsSetAsideAndANewOneBegun)
{
    {
        std::ofstream(root_ / "history.db") << std::string(5000, 'x');
    }
    now_ = Local(2024, 1, 2, 3, 4, 5);
    auto h = Open();
    h->Begin(1, "Zentora", "USB GPRS Modem", "internet");
    h->Observe(1, {10, 1});
    h->End(1, "hangup");
    h.reset();
    h = Open();
    EXPECT_EQ(h->Sessions(5).size(), 1u);
    int asides = 0;
    for (const auto& e : fs::directory_iterator(root_))
        asides += e.path().filename().string().rfind("history.db.broken-", 0) == 0 && fs::file_size(e.path()) == 5000;
    EXPECT_EQ(asides, 1);
    std::ifstream log(root_ / "run" / "rasman.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("history.db could not be used"), std::string::npos) << text.str();
    EXPECT_EQ(fs::status(root_ / "history.db").permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // A store that opens but fails its integrity check says so (SQLite's own
    // error text there is "not an error"), and its set-aside keeps the first.
    h.reset();
    fs::remove(root_ / "history.db-wal");
    fs::remove(root_ / "history.db-shm");
    fs::remove(root_ / "history.db");
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root_ / "history.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t(a, b); CREATE INDEX i ON t(b); WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL "
                               "SELECT x + 1 FROM n WHERE x < 2000) INSERT INTO t SELECT x, printf('%050d', x) FROM n",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    {
        std::fstream f(root_ / "history.db", std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(4096 * 5 + 100);
        f << std::string(3900, 'U');
    }
    h = Open();
    EXPECT_EQ(h->Sessions(5).size(), 0u);
    asides = 0;
    for (const auto& e : fs::directory_iterator(root_))
        asides += e.path().filename().string().rfind("history.db.broken-", 0) == 0;
    EXPECT_EQ(asides, 2);
    std::ifstream again(root_ / "run" / "rasman.log");
    text.str("");
    text << again.rdbuf();
    EXPECT_NE(text.str().find("(integrity check failed: "), std::string::npos) << text.str();
    EXPECT_EQ(text.str().find("not an error"), std::string::npos) << text.str();
}

TEST_F(HistoryStoreTest, AFullDiskKeepsTheCountsUntilTheyCanBeWritten)
{
    now_ = Local(2024, 1, 2, 3, 4, 5);
    auto h = Open();
    h->Checkpoint();
    // Files may not grow from here on, as on a full disk.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &before), 0);
    rlimit full = before;
    full.rlim_cur = 32 * 1024;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    for (uint32_t k = 1; k <= 200; ++k) {
        h->Begin(k, "Zentora", "USB GPRS Modem", std::string(100, 'a'));
        h->Observe(k, {k, 1});
        h->End(k, "hangup");
    }
    EXPECT_EQ(h->Sessions(500).size(), 200u); // from memory
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &before), 0);
    h->Checkpoint();
    h.reset();
    h = Open();
    const auto s = h->Sessions(500);
    ASSERT_EQ(s.size(), 200u);
    EXPECT_EQ(s.back().rx, 200u);
    EXPECT_EQ(h->Days(5).at(0).rx, 200u * 201 / 2);
    std::ifstream log(root_ / "run" / "rasman.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("could not be written"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("is written again"), std::string::npos) << text.str();
}

TEST(HistoryText, CsvIsExactAndSizesParseAsPowersOf1024)
{
    HistorySession up{1709251200, std::nullopt, "Zentora", "USB GPRS Modem", "internet", 1048576, 2048, "up"};
    HistorySession odd{1709337599, 1709337600, "Work, \"old\"", "Phone", "", 0, 0, "dropped:629"};
    EXPECT_EQ(SessionsCsv({up, odd}), "start,end,entry,device,apn,received,sent,ended\n"
                                      "2024-03-01T00:00:00Z,,Zentora,USB GPRS Modem,internet,1048576,2048,up\n"
                                      "2024-03-01T23:59:59Z,2024-03-02T00:00:00Z,\"Work, \"\"old\"\"\",Phone,,0,0,dropped:629\n");
    // what a spreadsheet would run is text
    HistorySession formula{1709251200, 1709251260, "=HYPERLINK(\"http://x\")", "@SUM(A1)", "+1", 0, 0, "-2"};
    EXPECT_EQ(SessionsCsv({formula}).substr(47),
              "2024-03-01T00:00:00Z,2024-03-01T00:01:00Z,\"'=HYPERLINK(\"\"http://x\"\")\",\"'@SUM(A1)\",\"'+1\",0,0,\"'-2\"\n");
    EXPECT_EQ(CyclesCsv({{"2024-03-01", "2024-03-31", 1, 2, {524288000}}}),
              "start,end,received,sent,total,limit\n2024-03-01,2024-03-31,1,2,3,524288000\n");
    const std::string table = DaysTable({{"2024-03-01", 1023, 1024}, {"2024-03-02", 1536 * 1024, 5ull << 30}});
    EXPECT_EQ(table, "day         received      sent     total\n"
                     "2024-03-01    1023 B  1.00 KiB  2.00 KiB\n"
                     "2024-03-02  1.50 MiB  5.00 GiB  5.00 GiB\n");
    uint64_t b = 0;
    EXPECT_TRUE(ParseBytes("500M", b));
    EXPECT_EQ(b, 524288000u);
    EXPECT_TRUE(ParseBytes("2G", b));
    EXPECT_EQ(b, 2147483648u);
    EXPECT_TRUE(ParseBytes("1000", b));
    EXPECT_EQ(b, 1000u);
    for (const char* bad : {"", "0", "M", "5T", "1.5G", "-1", " 5", "99999999999999999999", "17179869184G"})
        EXPECT_FALSE(ParseBytes(bad, b)) << bad;
}

// ------------------------------------------------------------------ the service

class HistoryDaemonTest : public ServiceFixture {
protected:
    void SetUp() override
    {
        ServiceFixture::SetUp();
        SetNetwork("Service", "HistoryCheckpointMs", "200");
        SetNetwork("USB GPRS Modem", "RxRate", std::to_string(kRate));
        SetNetwork("USB GPRS Modem", "TxRate", "1000");
        SetNetwork("USB GPRS Modem", "Traffic", "steady");
        ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#"), SUCCESS);
        SetModemInit("USB GPRS Modem", "AT+CGDCONT=1,\"IP\",\"internet\"");
    }
    void TearDown() override
    {
        ServiceFixture::TearDown();
        ::unsetenv("SKYPORTAL_CLOCK_OFFSET");
    }
    std::string Ctl(std::vector<std::string> args, int expect = 0)
    {
        std::ostringstream out, err;
        EXPECT_EQ(RasCtl(args, out, err), expect) << err.str();
        return out.str();
    }
    HRASCONN Dial()
    {
        RASDIALPARAMSA p{};
        p.dwSize = 1060;
        std::strcpy(p.szEntryName, "Zentora");
        HRASCONN h = 0;
        EXPECT_EQ(RAS(RasDialA)(nullptr, nullptr, &p, 0, nullptr, &h), SUCCESS);
        return h;
    }
    // The CSV rows after the header, each split at its commas.
    std::vector<std::vector<std::string>> Rows(const std::string& what)
    {
        std::istringstream in(Ctl({"history", what, "--csv"}));
        std::string line;
        std::getline(in, line);
        std::vector<std::vector<std::string>> rows;
        while (std::getline(in, line)) {
            std::vector<std::string> cells;
            std::istringstream l(line + ",");
            std::string cell;
            while (std::getline(l, cell, ','))
                cells.push_back(cell);
            rows.push_back(cells);
        }
        return rows;
    }
    static constexpr uint64_t kRate = 20000;
};

TEST_F(HistoryDaemonTest, TheCommandsShowEveryEndAndRefuseBadInput)
{
    const auto before = Ctl({"history", "cycles", "--csv"});
    Ctl({"history", "limit", "12X"}, 1);
    Ctl({"history", "limit", "0"}, 1);
    Ctl({"history", "cycle-day", "29"}, 1);
    Ctl({"history", "cycle-day", "0"}, 1);
    Ctl({"history", "hangup-at-limit", "maybe"}, 1);
    Ctl({"history", "clear"}, 1);
    Ctl({"history", "days", "-3"}, 1);
    Ctl({"history", "weeks"}, 1);
    EXPECT_EQ(Ctl({"history", "cycles", "--csv"}), before);
    Ctl({"history", "limit", "500M"});
    EXPECT_EQ(Rows("cycles").back()[5], "524288000");

    HRASCONN h = Dial();
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(Rows("sessions").back()[7], "up");
    EXPECT_EQ(Rows("sessions").back()[1], "");
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    h = Dial();
    std::this_thread::sleep_for(300ms);
    Ctl({"drop", "all"});
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);

    const auto sessions = Rows("sessions");
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0][2] + "," + sessions[0][3] + "," + sessions[0][4] + "," + sessions[0][7],
              "Zentora,USB GPRS Modem,internet,hangup");
    EXPECT_EQ(sessions[1][7], "dropped:629");
    uint64_t sessionBytes = 0, dayBytes = 0;
    for (const auto& s : sessions) {
        EXPECT_GT(std::stoull(s[5]), 0u);
        sessionBytes += std::stoull(s[5]) + std::stoull(s[6]);
    }
    for (const auto& d : Rows("days"))
        dayBytes += std::stoull(d[3]);
    EXPECT_EQ(dayBytes, sessionBytes);
    EXPECT_EQ(std::stoull(Rows("cycles").back()[4]), sessionBytes);
    EXPECT_NE(Ctl({"history", "sessions"}).find("hangup"), std::string::npos);

    Ctl({"history", "clear", "--yes"});
    EXPECT_TRUE(Rows("sessions").empty());
    EXPECT_TRUE(Rows("days").empty());
}

TEST_F(HistoryDaemonTest, AKilledServiceLosesAtMostOneCheckpointAndAKilledProgramNothing)
{
    // The program dials and is killed: the service counts on.
    const pid_t program = ::fork();
    ASSERT_GE(program, 0);
    if (program == 0) {
        RASDIALPARAMSA p{};
        p.dwSize = 1060;
        std::strcpy(p.szEntryName, "Zentora");
        HRASCONN h = 0;
        RAS(RasDialA)(nullptr, nullptr, &p, 0, nullptr, &h);
        ::raise(SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(program, &status, 0), program);
    ASSERT_TRUE(WIFSIGNALED(status));
    const uint64_t first = std::stoull(Rows("sessions").at(0)[5]);
    std::this_thread::sleep_for(600ms);
    const auto row = Rows("sessions").at(0);
    EXPECT_EQ(row[7], "up");
    EXPECT_GE(std::stoull(row[5]), first + kRate / 4);

    // The service is killed: its session ends at its last checkpoint.
    DWORD cb = 0, n = 0;
    RASCONNA conns[2]{};
    conns[0].dwSize = sizeof(RASCONNA);
    cb = sizeof conns;
    ASSERT_EQ(RAS(RasEnumConnectionsA)(conns, &cb, &n), SUCCESS);
    ASSERT_EQ(n, 1u);
    RAS_STATS stats{};
    stats.dwSize = sizeof stats;
    ASSERT_EQ(RAS(RasGetConnectionStatistics)(conns[0].hrasconn, &stats), SUCCESS);
    ::kill(DaemonPid(), SIGKILL);
    std::this_thread::sleep_for(100ms);
    const auto killed = Rows("sessions").at(0); // starts the service again
    EXPECT_EQ(killed[7], "service-stopped");
    EXPECT_NE(killed[1], "");
    const auto counted = static_cast<int64_t>(std::stoull(killed[5]));
    // At most one checkpoint (and a loaded machine's delays) from the truth.
    EXPECT_LE(std::llabs(counted - static_cast<int64_t>(stats.dwBytesRcved)), static_cast<int64_t>(kRate * 2));
}

TEST_F(HistoryDaemonTest, TheLinkIsHungUpAtTheLimitOnceACycle)
{
    Ctl({"history", "limit", "30K"});
    Ctl({"history", "hangup-at-limit", "on"});
    HRASCONN h = Dial();
    std::string conns;
    for (int i = 0; i < 100 && conns.find("8193/631") == std::string::npos; ++i) {
        std::this_thread::sleep_for(50ms);
        conns = Ctl({"connections"});
    }
    EXPECT_NE(conns.find("8193/631"), std::string::npos) << conns;
    EXPECT_EQ(Rows("sessions").back()[7], "hangup");
    const uint64_t total = std::stoull(Rows("cycles").back()[4]);
    EXPECT_GE(total, 30u * 1024);
    EXPECT_LT(total, 30u * 1024 + kRate); // within a tick or two of the limit
    EXPECT_NE(Ctl({"log"}).find("hung up at the traffic limit"), std::string::npos);
    HistoryUsage u;
    ASSERT_EQ(QueryUsage(u), 0u);
    EXPECT_TRUE(u.limitHangUpUntold);
    EXPECT_EQ(u.Level(), 100u);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    // Dialled again by the subscriber: the link stays.
    h = Dial();
    std::this_thread::sleep_for(600ms);
    EXPECT_NE(Ctl({"connections"}).find("\t8192\t"), std::string::npos);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(HistoryDaemonTest, ACorruptStoreNeverStopsADialAndMidnightSplitsTheDay)
{
    StopDaemon();
    for (const char* f : {"history.db", "history.db-wal", "history.db-shm"})
        fs::remove(root_ / f);
    {
        std::ofstream(root_ / "history.db") << "not a database at all";
    }
    // Three seconds before the next local midnight.
    ::setenv("TZ", "MSK-3", 1);
    ::tzset();
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    tm.tm_mday += 1;
    tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
    const std::time_t midnight = std::mktime(&tm);
    ::setenv("SKYPORTAL_CLOCK_OFFSET", std::to_string(midnight - now - 3).c_str(), 1);
    ::localtime_r(&midnight, &tm);
    const bool cycleToo = tm.tm_mday <= 28;
    if (cycleToo)
        Ctl({"history", "cycle-day", std::to_string(tm.tm_mday)});

    HRASCONN h = Dial();
    for (int i = 0; i < 100 && Rows("days").size() < 2; ++i)
        std::this_thread::sleep_for(100ms);
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    const auto days = Rows("days");
    ASSERT_EQ(days.size(), 2u);
    const uint64_t session = std::stoull(Rows("sessions").at(0)[5]) + std::stoull(Rows("sessions").at(0)[6]);
    EXPECT_EQ(std::stoull(days[0][3]) + std::stoull(days[1][3]), session);
    if (cycleToo) {
        const auto cycles = Rows("cycles");
        ASSERT_EQ(cycles.size(), 2u);
        EXPECT_EQ(cycles[1][0], days[1][0]);
        EXPECT_EQ(cycles[0][4], days[0][3]);
    }
    bool aside = false;
    for (const auto& e : fs::directory_iterator(root_))
        aside = aside || e.path().filename().string().rfind("history.db.broken-", 0) == 0;
    EXPECT_TRUE(aside);
    EXPECT_NE(Ctl({"log"}).find("set aside"), std::string::npos);
}

} // namespace
