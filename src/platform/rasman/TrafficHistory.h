#pragma once

#include "platform/rasapi/TrafficHistoryQuery.h"
#include "platform/rasman/Link.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct sqlite3;

namespace sp::ras {

// The traffic history of the service's connections in <root>/history.db
// (SQLite, WAL, 0600): one row per session, byte totals per local day, and
// the subscriber's limit, cycle day and hang-up choice. What a link counts
// between two checkpoints is kept in memory and written at the next one, so
// a killed service loses at most one interval. The history never stands in
// the way of a link: a store that cannot be read is set aside and a new one
// begun, one that cannot be written keeps its counts in memory until it can.
class TrafficHistory {
public:
    using WallClock = std::function<int64_t()>;
    // enabled false: nothing is kept and every question gets an empty answer.
    // The clock is Now() unless a test brings its own.
    TrafficHistory(std::filesystem::path file, bool enabled, WallClock clock = &TrafficHistory::Now);
    // Closes the sessions still up as ended by the service's stop.
    ~TrafficHistory();
    TrafficHistory(const TrafficHistory&) = delete;
    TrafficHistory& operator=(const TrafficHistory&) = delete;

    // The wall clock the history counts by, seconds since 1970. Tests move it
    // with $SKYPORTAL_CLOCK_OFFSET (seconds, read once).
    [[nodiscard]] static int64_t Now();
    [[nodiscard]] static std::filesystem::path DefaultPath();

    void SetCheckpointInterval(std::chrono::milliseconds interval) { interval_ = interval; }

    // A link came up (key: its connection handle).
    void Begin(uint32_t key, const std::string& entry, const std::string& device, const std::string& apn);
    // The link's counters since it came up; what is new counts on today.
    // Counters that went down started again from zero: they are new traffic.
    void Observe(uint32_t key, LinkCounters counters);
    // The session ends ("hangup", "dropped:<code>", "service-stopped") and
    // is written at once.
    void End(uint32_t key, const std::string& how);
    [[nodiscard]] bool IsOpen(uint32_t key) const { return live_.count(key) != 0; }

    // Writes what is due. True when the cycle has reached its limit, the
    // subscriber asked for a hang-up there, and none was made in this cycle.
    [[nodiscard]] bool Tick(std::chrono::steady_clock::time_point now);
    // The hang-up at the limit has been made (once per cycle).
    void LimitHangUpMade();
    // Writes everything now (sessions stay open).
    void Checkpoint();

    [[nodiscard]] std::vector<HistorySession> Sessions(uint32_t rows);
    [[nodiscard]] std::vector<HistoryDay> Days(uint32_t rows);
    [[nodiscard]] std::vector<HistoryCycle> Cycles(uint32_t rows);
    [[nodiscard]] HistoryUsage Usage();
    // A change of the settings or of what the subscriber has been told;
    // the result code (87 for a value out of range).
    [[nodiscard]] uint32_t Change(HistorySetting what, uint64_t value, const std::string& text);

private:
    struct Row {
        int64_t id = 0;
        int64_t start = 0;
        int64_t last = 0; // the last checkpoint, or the end
        std::string entry, device, apn;
        uint64_t rx = 0, tx = 0;
        std::string ended = "up";
        LinkCounters seen; // the link's counters at the last observation
    };
    struct Totals {
        uint64_t rx = 0, tx = 0;
    };

    bool Open();
    void SetAside(const std::string& why);
    void OpenOrRecover();
    bool Flush(int64_t now, bool recover = true);
    void LoadSettings();
    bool SaveSetting(const char* key, const std::string& value);
    [[nodiscard]] std::pair<std::string, std::string> CycleOfDay(const std::string& date) const;
    [[nodiscard]] Totals Between(const std::string& first, const std::string& last);
    [[nodiscard]] std::optional<uint64_t> LimitFor(const std::string& cycleEnd, bool current);
    [[nodiscard]] std::string Today() const;
    void Logged(const std::string& what);

    std::filesystem::path file_;
    bool enabled_;
    WallClock clock_;
    sqlite3* db_ = nullptr;
    std::chrono::milliseconds interval_{10000};
    std::chrono::steady_clock::time_point nextFlush_{};
    int64_t nextId_ = 1;
    std::map<uint32_t, Row> live_;
    std::vector<Row> closed_;                // ended, not yet written
    std::map<std::string, Totals> pending_; // by local date, not yet written
    bool writeFailed_ = false;               // logged once until a write succeeds
    std::string openWhy_;                    // why the last Open failed
    // settings
    uint32_t cycleDay_ = 1;
    std::optional<uint64_t> limit_;
    bool hangUp_ = false;
    std::string toldCycle_;
    uint32_t toldLevel_ = 0;
    std::string hungUpCycle_;
    bool hungUpTold_ = true;
};

} // namespace sp::ras
