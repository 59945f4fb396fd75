#pragma once

// The traffic history that the service keeps in <root>/history.db, as its
// readers see it: the records, their form on the service's socket, and the
// questions a reader (rasctl, the program) asks. Only the service writes the
// store; everybody else asks it.

#include "platform/rasapi/RasProtocol.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sp::ras {

struct HistorySession {
    int64_t start = 0;          // UTC, seconds since 1970
    std::optional<int64_t> end; // none while the link is up
    std::string entry;          // UTF-8
    std::string device;
    std::string apn;
    uint64_t rx = 0;
    uint64_t tx = 0;
    std::string ended; // "up", "hangup", "dropped:<code>", "service-stopped"
};

struct HistoryDay {
    std::string date; // local, YYYY-MM-DD
    uint64_t rx = 0;
    uint64_t tx = 0;
};

struct HistoryCycle {
    std::string start; // local dates, YYYY-MM-DD, both days included
    std::string end;
    uint64_t rx = 0;
    uint64_t tx = 0;
    std::optional<uint64_t> limit; // none: no limit
};

// The current cycle against its limit, with what the subscriber has been told.
struct HistoryUsage {
    HistoryCycle cycle;
    uint32_t cycleDay = 1;
    bool hangUpAtLimit = false;
    uint32_t toldLevel = 0;        // 0, 80 or 100: the highest warning shown in this cycle
    bool limitHangUpUntold = false; // the service hung up at the limit; nobody was told yet
    bool enabled = true;           // false: the service keeps no history

    // 0, 80 or 100: the highest threshold the cycle has passed.
    [[nodiscard]] uint32_t Level() const;
};

enum class HistoryKind : uint32_t { Sessions = 1, Days = 2, Cycles = 3, Usage = 4 };

enum class HistorySetting : uint32_t {
    Limit = 1,         // value: bytes, 0 = off
    CycleDay = 2,      // 1..28
    HangUpAtLimit = 3, // 0 or 1
    Clear = 4,
    Told = 5,            // value: the level shown; text: the cycle's start
    LimitHangUpTold = 6, // text: the cycle's start
};

inline constexpr uint32_t kDefaultSessionRows = 20;
inline constexpr uint32_t kDefaultDayRows = 31;
inline constexpr uint32_t kDefaultCycleRows = 12;
// More rows than anybody reads at once; keeps an answer within one frame.
inline constexpr uint32_t kMaxHistoryRows = 5000;

// The request payloads.
[[nodiscard]] std::string HistoryRequest(HistoryKind kind, uint32_t rows);
[[nodiscard]] std::string HistorySetRequest(HistorySetting what, uint64_t value, const std::string& text = {});

// The answers (after the result code).
void PutSessions(Writer& w, const std::vector<HistorySession>& rows);
void PutDays(Writer& w, const std::vector<HistoryDay>& rows);
void PutCycles(Writer& w, const std::vector<HistoryCycle>& rows);
void PutUsage(Writer& w, const HistoryUsage& u);
[[nodiscard]] bool GetSessions(Reader& r, std::vector<HistorySession>& rows);
[[nodiscard]] bool GetDays(Reader& r, std::vector<HistoryDay>& rows);
[[nodiscard]] bool GetCycles(Reader& r, std::vector<HistoryCycle>& rows);
[[nodiscard]] bool GetUsage(Reader& r, HistoryUsage& u);

// Questions to the running service (it is not started for them). Each
// returns the result code: 0, 711 when nobody answers within
// kHistoryReplyTimeout, 87 for a bad value.
inline constexpr std::chrono::milliseconds kHistoryReplyTimeout{2000};
[[nodiscard]] uint32_t QuerySessions(uint32_t rows, std::vector<HistorySession>& out);
[[nodiscard]] uint32_t QueryDays(uint32_t rows, std::vector<HistoryDay>& out);
[[nodiscard]] uint32_t QueryCycles(uint32_t rows, std::vector<HistoryCycle>& out);
[[nodiscard]] uint32_t QueryUsage(HistoryUsage& out);
[[nodiscard]] uint32_t ChangeHistory(HistorySetting what, uint64_t value, const std::string& text = {});

} // namespace sp::ras
