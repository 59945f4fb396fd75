#include "platform/rasman/TrafficHistory.h"

#include "platform/base/MachineRoot.h"
#include "platform/rasapi/ras.h"
#include "platform/rasman/ServiceLog.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace sp::ras {

namespace {

using namespace std::chrono;

constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS sessions(id INTEGER PRIMARY KEY, start_at INTEGER NOT NULL, end_at INTEGER,"
    " last_at INTEGER NOT NULL, entry TEXT NOT NULL, device TEXT NOT NULL, apn TEXT NOT NULL,"
    " rx INTEGER NOT NULL, tx INTEGER NOT NULL, ended TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS days(date TEXT PRIMARY KEY, rx INTEGER NOT NULL, tx INTEGER NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS limits(since TEXT PRIMARY KEY, bytes INTEGER) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS settings(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;";

// Sessions ended while the store could not be written are kept up to this many.
constexpr size_t kMaxUnwritten = 1000;

class Stmt {
public:
    Stmt(sqlite3* db, const char* sql)
    {
        if (db)
            sqlite3_prepare_v2(db, sql, -1, &s_, nullptr);
    }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    Stmt& Bind(int i, int64_t v)
    {
        if (s_)
            sqlite3_bind_int64(s_, i, v);
        return *this;
    }
    Stmt& Bind(int i, const std::string& v)
    {
        if (s_)
            sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Stmt& Null(int i)
    {
        if (s_)
            sqlite3_bind_null(s_, i);
        return *this;
    }
    // True while there is a row.
    bool Row() { return s_ && (rc_ = sqlite3_step(s_)) == SQLITE_ROW; }
    bool Run()
    {
        if (!s_)
            return false;
        rc_ = sqlite3_step(s_);
        return rc_ == SQLITE_DONE || rc_ == SQLITE_ROW;
    }
    [[nodiscard]] int64_t Int(int c) const { return sqlite3_column_int64(s_, c); }
    [[nodiscard]] bool IsNull(int c) const { return sqlite3_column_type(s_, c) == SQLITE_NULL; }
    [[nodiscard]] std::string Text(int c) const
    {
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, c));
        return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, c))) : std::string();
    }

private:
    sqlite3_stmt* s_ = nullptr;
    int rc_ = SQLITE_OK;
};

bool Exec(sqlite3* db, const char* sql)
{
    return db && sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

std::string ErrorOf(sqlite3* db) { return db ? sqlite3_errmsg(db) : "not open"; }

bool BrokenStore(sqlite3* db)
{
    const int rc = db ? (sqlite3_extended_errcode(db) & 0xFF) : SQLITE_OK;
    return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

std::optional<sys_days> ParseDate(const std::string& s)
{
    int y = 0;
    unsigned m = 0, d = 0;
    if (std::sscanf(s.c_str(), "%d-%u-%u", &y, &m, &d) != 3)
        return std::nullopt;
    const year_month_day ymd{year(y), month(m), day(d)};
    if (!ymd.ok())
        return std::nullopt;
    return sys_days(ymd);
}

std::string FormatDate(sys_days d)
{
    const year_month_day ymd(d);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02u-%02u", static_cast<int>(ymd.year()), static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()));
    return buf;
}

int64_t ClockOffset()
{
    const char* env = std::getenv("SKYPORTAL_CLOCK_OFFSET");
    return env ? std::strtoll(env, nullptr, 10) : 0;
}

} // namespace

int64_t TrafficHistory::Now()
{
    static const int64_t offset = ClockOffset();
    return static_cast<int64_t>(std::time(nullptr)) + offset;
}

std::filesystem::path TrafficHistory::DefaultPath() { return MachineRoot() / "history.db"; }

TrafficHistory::TrafficHistory(std::filesystem::path file, bool enabled, WallClock clock)
    : file_(std::move(file)), enabled_(enabled), clock_(std::move(clock))
{
    if (enabled_)
        OpenOrRecover();
}

TrafficHistory::~TrafficHistory()
{
    while (!live_.empty())
        End(live_.begin()->first, "service-stopped");
    sqlite3_close(db_);
}

std::string TrafficHistory::Today() const
{
    const std::time_t t = static_cast<std::time_t>(clock_());
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[16];
    std::strftime(buf, sizeof buf, "%Y-%m-%d", &tm);
    return buf;
}

void TrafficHistory::Logged(const std::string& what) { ServiceLog("history: " + what); }

bool TrafficHistory::Open()
{
    CreatePrivateFile(file_);
    auto failed = [&](std::string why) {
        openWhy_ = std::move(why);
        return false;
    };
    if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr)
        != SQLITE_OK)
        return failed(ErrorOf(db_));
    sqlite3_busy_timeout(db_, 2000);
    {
        Stmt mode(db_, "PRAGMA journal_mode=WAL");
        if (!mode.Row())
            return failed(ErrorOf(db_));
        if (mode.Text(0) != "wal")
            return failed("no write-ahead log");
        Stmt check(db_, "PRAGMA quick_check");
        if (!check.Row())
            return failed(ErrorOf(db_));
        if (const std::string result = check.Text(0); result != "ok") {
            // SQLite's own report of the damage, on one line and short.
            std::string what;
            for (const char c : result.substr(0, 160))
                what += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
            return failed("integrity check failed: " + what);
        }
    }
    if (!Exec(db_, "PRAGMA synchronous=NORMAL") || !Exec(db_, kSchema))
        return failed(ErrorOf(db_));
    for (const char* suffix : {"", "-wal", "-shm"})
        ::chmod((file_.string() + suffix).c_str(), 0600);
    // A service that was killed left its sessions open: they end at their
    // last checkpoint, which is as far as their counts go.
    if (!Exec(db_, "UPDATE sessions SET end_at = last_at, ended = 'service-stopped' WHERE ended = 'up'"))
        return false;
    Stmt id(db_, "SELECT coalesce(max(id), 0) + 1 FROM sessions");
    if (!id.Row())
        return false;
    nextId_ = std::max(nextId_, id.Int(0));
    LoadSettings();
    return true;
}

void TrafficHistory::SetAside(const std::string& why)
{
    sqlite3_close(db_);
    db_ = nullptr;
    std::error_code ec;
    if (!std::filesystem::exists(file_, ec))
        return;
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    // Never over an earlier one of the same second.
    std::string aside = file_.string() + ".broken-" + stamp;
    for (int n = 2; n < 100; ++n) {
        std::error_code e;
        const bool taken = std::filesystem::exists(aside, e) || std::filesystem::exists(aside + "-wal", e)
            || std::filesystem::exists(aside + "-shm", e);
        if (!taken)
            break;
        aside = file_.string() + ".broken-" + stamp + "-" + std::to_string(n);
    }
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::error_code e;
        std::filesystem::rename(file_.string() + suffix, aside + suffix, e);
    }
    Logged(file_.filename().string() + " could not be used (" + why + "): set aside as "
           + std::filesystem::path(aside).filename().string() + ", a new one begun");
}

void TrafficHistory::OpenOrRecover()
{
    if (Open())
        return;
    SetAside(openWhy_);
    if (Open())
        return;
    Logged(file_.filename().string() + " cannot be opened (" + openWhy_ + "): the counts are kept in memory only");
    sqlite3_close(db_);
    db_ = nullptr;
}

void TrafficHistory::LoadSettings()
{
    Stmt s(db_, "SELECT key, value FROM settings");
    while (s.Row()) {
        const std::string key = s.Text(0);
        const std::string value = s.Text(1);
        const auto colon = value.rfind(':');
        if (key == "cycle_day") {
            const long d = std::strtol(value.c_str(), nullptr, 10);
            cycleDay_ = d >= 1 && d <= 28 ? static_cast<uint32_t>(d) : 1;
        } else if (key == "limit") {
            const unsigned long long b = std::strtoull(value.c_str(), nullptr, 10);
            limit_ = b > 0 ? std::optional<uint64_t>(b) : std::nullopt;
        } else if (key == "hangup") {
            hangUp_ = value == "1";
        } else if (key == "told" && colon != std::string::npos) {
            toldCycle_ = value.substr(0, colon);
            toldLevel_ = static_cast<uint32_t>(std::strtoul(value.c_str() + colon + 1, nullptr, 10));
        } else if (key == "hung_up" && colon != std::string::npos) {
            hungUpCycle_ = value.substr(0, colon);
            hungUpTold_ = value.substr(colon + 1) == "1";
        }
    }
}

bool TrafficHistory::SaveSetting(const char* key, const std::string& value)
{
    Stmt s(db_, "INSERT OR REPLACE INTO settings(key, value) VALUES(?, ?)");
    return s.Bind(1, std::string(key)).Bind(2, value).Run();
}

bool TrafficHistory::Flush(int64_t now, bool recover)
{
    if (!db_)
        return false;
    bool ok = Exec(db_, "BEGIN IMMEDIATE");
    auto put = [&](const Row& r, bool open) {
        Stmt s(db_, "INSERT OR REPLACE INTO sessions VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
        s.Bind(1, r.id).Bind(2, r.start);
        if (open)
            s.Null(3);
        else
            s.Bind(3, r.last);
        s.Bind(4, open ? std::max(r.start, now) : r.last).Bind(5, r.entry).Bind(6, r.device).Bind(7, r.apn);
        s.Bind(8, static_cast<int64_t>(r.rx)).Bind(9, static_cast<int64_t>(r.tx)).Bind(10, r.ended);
        return s.Run();
    };
    for (const auto& [key, r] : live_)
        ok = ok && put(r, true);
    for (const Row& r : closed_)
        ok = ok && put(r, false);
    for (const auto& [date, t] : pending_) {
        Stmt s(db_, "INSERT INTO days VALUES(?, ?, ?) ON CONFLICT(date) DO UPDATE SET rx = rx + excluded.rx,"
                    " tx = tx + excluded.tx");
        ok = ok && s.Bind(1, date).Bind(2, static_cast<int64_t>(t.rx)).Bind(3, static_cast<int64_t>(t.tx)).Run();
    }
    ok = ok && Exec(db_, "COMMIT");
    if (ok) {
        closed_.clear();
        pending_.clear();
        for (auto& [key, r] : live_)
            r.last = std::max(r.start, now);
        if (writeFailed_)
            Logged(file_.filename().string() + " is written again");
        writeFailed_ = false;
        return true;
    }
    const std::string why = ErrorOf(db_);
    const bool broken = BrokenStore(db_);
    Exec(db_, "ROLLBACK");
    // One new store per flush: a rename that keeps failing (the folder made
    // read-only) must not set aside and reopen for ever.
    if (broken && recover) {
        SetAside(why);
        if (Open())
            return Flush(now, false);
        sqlite3_close(db_);
        db_ = nullptr;
    }
    if (!writeFailed_)
        Logged(file_.filename().string() + " could not be written (" + why + "): the counts are kept until it can");
    writeFailed_ = true;
    return false;
}

void TrafficHistory::Begin(uint32_t key, const std::string& entry, const std::string& device, const std::string& apn)
{
    if (!enabled_)
        return;
    Row r;
    r.id = nextId_++;
    r.start = r.last = clock_();
    r.entry = entry;
    r.device = device;
    r.apn = apn;
    live_[key] = std::move(r);
    Flush(clock_());
}

void TrafficHistory::Observe(uint32_t key, LinkCounters c)
{
    const auto it = live_.find(key);
    if (it == live_.end())
        return;
    Row& r = it->second;
    const uint64_t rx = c.rx >= r.seen.rx ? c.rx - r.seen.rx : c.rx;
    const uint64_t tx = c.tx >= r.seen.tx ? c.tx - r.seen.tx : c.tx;
    r.seen = c;
    if (rx == 0 && tx == 0)
        return;
    r.rx += rx;
    r.tx += tx;
    Totals& day = pending_[Today()];
    day.rx += rx;
    day.tx += tx;
}

void TrafficHistory::End(uint32_t key, const std::string& how)
{
    const auto it = live_.find(key);
    if (it == live_.end())
        return;
    Row r = std::move(it->second);
    live_.erase(it);
    r.ended = how;
    r.last = std::max(r.start, clock_());
    if (closed_.size() >= kMaxUnwritten)
        closed_.erase(closed_.begin());
    closed_.push_back(std::move(r));
    Flush(clock_());
}

void TrafficHistory::Checkpoint() { Flush(clock_()); }

bool TrafficHistory::Tick(steady_clock::time_point now)
{
    if (!enabled_)
        return false;
    if (now >= nextFlush_) {
        if (!live_.empty() || !pending_.empty() || !closed_.empty())
            Flush(clock_());
        nextFlush_ = now + interval_;
    }
    if (!hangUp_ || !limit_ || live_.empty())
        return false;
    const auto [first, last] = CycleOfDay(Today());
    if (hungUpCycle_ == first)
        return false;
    const Totals t = Between(first, last);
    return t.rx + t.tx >= *limit_;
}

void TrafficHistory::LimitHangUpMade()
{
    hungUpCycle_ = CycleOfDay(Today()).first;
    hungUpTold_ = false;
    SaveSetting("hung_up", hungUpCycle_ + ":0");
}

std::pair<std::string, std::string> TrafficHistory::CycleOfDay(const std::string& date) const
{
    const sys_days d = ParseDate(date).value_or(sys_days{});
    const year_month_day ymd(d);
    year_month ym = ymd.year() / ymd.month();
    if (static_cast<unsigned>(ymd.day()) < cycleDay_)
        ym -= months(1);
    const sys_days first = sys_days(ym / day(cycleDay_));
    const sys_days next = sys_days((ym + months(1)) / day(cycleDay_));
    return {FormatDate(first), FormatDate(next - days(1))};
}

TrafficHistory::Totals TrafficHistory::Between(const std::string& first, const std::string& last)
{
    Totals t;
    Stmt s(db_, "SELECT coalesce(sum(rx), 0), coalesce(sum(tx), 0) FROM days WHERE date BETWEEN ? AND ?");
    if (s.Bind(1, first).Bind(2, last).Row()) {
        t.rx = static_cast<uint64_t>(s.Int(0));
        t.tx = static_cast<uint64_t>(s.Int(1));
    }
    for (auto it = pending_.lower_bound(first); it != pending_.end() && it->first <= last; ++it) {
        t.rx += it->second.rx;
        t.tx += it->second.tx;
    }
    return t;
}

std::optional<uint64_t> TrafficHistory::LimitFor(const std::string& cycleEnd, bool current)
{
    if (current)
        return limit_;
    Stmt s(db_, "SELECT bytes FROM limits WHERE since <= ? ORDER BY since DESC LIMIT 1");
    if (!s.Bind(1, cycleEnd).Row() || s.IsNull(0) || s.Int(0) <= 0)
        return std::nullopt;
    return static_cast<uint64_t>(s.Int(0));
}

std::vector<HistorySession> TrafficHistory::Sessions(uint32_t rows)
{
    std::map<int64_t, HistorySession> byId;
    auto add = [&](const Row& r, bool open) {
        HistorySession& s = byId[r.id];
        s.start = r.start;
        if (!open)
            s.end = r.last;
        s.entry = r.entry;
        s.device = r.device;
        s.apn = r.apn;
        s.rx = r.rx;
        s.tx = r.tx;
        s.ended = open ? "up" : r.ended;
    };
    Stmt s(db_, "SELECT id, start_at, end_at, entry, device, apn, rx, tx, ended FROM sessions ORDER BY id DESC LIMIT ?");
    s.Bind(1, rows);
    while (s.Row()) {
        HistorySession& h = byId[s.Int(0)];
        h.start = s.Int(1);
        if (!s.IsNull(2))
            h.end = s.Int(2);
        h.entry = s.Text(3);
        h.device = s.Text(4);
        h.apn = s.Text(5);
        h.rx = static_cast<uint64_t>(s.Int(6));
        h.tx = static_cast<uint64_t>(s.Int(7));
        h.ended = s.Text(8);
    }
    for (const Row& r : closed_)
        add(r, false);
    for (const auto& [key, r] : live_)
        add(r, true);
    std::vector<HistorySession> out;
    for (auto it = byId.rbegin(); it != byId.rend() && out.size() < rows; ++it)
        out.push_back(it->second);
    std::reverse(out.begin(), out.end());
    return out;
}

std::vector<HistoryDay> TrafficHistory::Days(uint32_t rows)
{
    std::map<std::string, Totals> byDate;
    Stmt s(db_, "SELECT date, rx, tx FROM days ORDER BY date DESC LIMIT ?");
    s.Bind(1, rows);
    while (s.Row())
        byDate[s.Text(0)] = {static_cast<uint64_t>(s.Int(1)), static_cast<uint64_t>(s.Int(2))};
    for (const auto& [date, t] : pending_) {
        byDate[date].rx += t.rx;
        byDate[date].tx += t.tx;
    }
    std::vector<HistoryDay> out;
    for (auto it = byDate.rbegin(); it != byDate.rend() && out.size() < rows; ++it)
        out.push_back({it->first, it->second.rx, it->second.tx});
    std::reverse(out.begin(), out.end());
    return out;
}

std::vector<HistoryCycle> TrafficHistory::Cycles(uint32_t rows)
{
    std::string earliest = Today();
    Stmt s(db_, "SELECT min(date) FROM days");
    if (s.Row() && !s.IsNull(0))
        earliest = std::min(earliest, s.Text(0));
    if (!pending_.empty())
        earliest = std::min(earliest, pending_.begin()->first);
    std::vector<HistoryCycle> out;
    auto [first, last] = CycleOfDay(Today());
    const std::string current = first;
    while (out.size() < rows && (out.empty() || last >= earliest)) {
        HistoryCycle c;
        c.start = first;
        c.end = last;
        const Totals t = Between(first, last);
        c.rx = t.rx;
        c.tx = t.tx;
        c.limit = LimitFor(last, first == current);
        out.push_back(std::move(c));
        std::tie(first, last) = CycleOfDay(FormatDate(ParseDate(first).value_or(sys_days{}) - days(1)));
    }
    std::reverse(out.begin(), out.end());
    return out;
}

HistoryUsage TrafficHistory::Usage()
{
    HistoryUsage u;
    u.enabled = enabled_;
    const auto [first, last] = CycleOfDay(Today());
    u.cycle.start = first;
    u.cycle.end = last;
    const Totals t = Between(first, last);
    u.cycle.rx = t.rx;
    u.cycle.tx = t.tx;
    u.cycle.limit = limit_;
    u.cycleDay = cycleDay_;
    u.hangUpAtLimit = hangUp_;
    u.toldLevel = toldCycle_ == first ? toldLevel_ : 0;
    u.limitHangUpUntold = hungUpCycle_ == first && !hungUpTold_;
    return u;
}

uint32_t TrafficHistory::Change(HistorySetting what, uint64_t value, const std::string& text)
{
    if (!enabled_)
        return ERROR_CALL_NOT_IMPLEMENTED;
    bool saved = true;
    switch (what) {
    case HistorySetting::Limit: {
        if (value > static_cast<uint64_t>(INT64_MAX))
            return ERROR_INVALID_PARAMETER;
        limit_ = value > 0 ? std::optional<uint64_t>(value) : std::nullopt;
        saved = SaveSetting("limit", std::to_string(value));
        // A new limit has its own warnings and its own hang-up.
        toldCycle_.clear();
        toldLevel_ = 0;
        hungUpCycle_.clear();
        hungUpTold_ = true;
        saved = Exec(db_, "DELETE FROM settings WHERE key IN ('told', 'hung_up')") && saved;
        Stmt s(db_, "INSERT OR REPLACE INTO limits(since, bytes) VALUES(?, ?)");
        s.Bind(1, Today());
        if (limit_)
            s.Bind(2, static_cast<int64_t>(*limit_));
        else
            s.Null(2);
        saved = s.Run() && saved;
        break;
    }
    case HistorySetting::CycleDay:
        if (value < 1 || value > 28)
            return ERROR_INVALID_PARAMETER;
        cycleDay_ = static_cast<uint32_t>(value);
        saved = SaveSetting("cycle_day", std::to_string(value));
        break;
    case HistorySetting::HangUpAtLimit:
        if (value > 1)
            return ERROR_INVALID_PARAMETER;
        hangUp_ = value == 1;
        saved = SaveSetting("hangup", hangUp_ ? "1" : "0");
        break;
    case HistorySetting::Clear: {
        // Sessions still up begin again now, so the days and the sessions
        // keep adding up to the same bytes.
        const int64_t now = clock_();
        for (auto& [key, r] : live_) {
            r.start = r.last = now;
            r.rx = r.tx = 0;
        }
        closed_.clear();
        pending_.clear();
        toldCycle_.clear();
        toldLevel_ = 0;
        hungUpCycle_.clear();
        hungUpTold_ = true;
        saved = Exec(db_, "BEGIN IMMEDIATE") && Exec(db_, "DELETE FROM sessions") && Exec(db_, "DELETE FROM days")
            && Exec(db_, "DELETE FROM settings WHERE key IN ('told', 'hung_up')") && Exec(db_, "COMMIT");
        if (!saved)
            Exec(db_, "ROLLBACK");
        Flush(now);
        break;
    }
    case HistorySetting::Told: {
        const std::string current = CycleOfDay(Today()).first;
        if (text != current || (value != 80 && value != 100))
            return ERROR_INVALID_PARAMETER;
        if (toldCycle_ != current)
            toldLevel_ = 0;
        toldCycle_ = current;
        toldLevel_ = std::max(toldLevel_, static_cast<uint32_t>(value));
        saved = SaveSetting("told", toldCycle_ + ":" + std::to_string(toldLevel_));
        break;
    }
    case HistorySetting::LimitHangUpTold:
        if (text != hungUpCycle_)
            return ERROR_INVALID_PARAMETER;
        hungUpTold_ = true;
        saved = SaveSetting("hung_up", hungUpCycle_ + ":1");
        break;
    default:
        return ERROR_INVALID_PARAMETER;
    }
    return saved ? SUCCESS : ERROR_UNKNOWN;
}

} // namespace sp::ras
