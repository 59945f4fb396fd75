#include "platform/rasapi/TrafficHistoryQuery.h"

#include "platform/rasapi/ras.h"


namespace sp::ras {

uint32_t HistoryUsage::Level() const
{
    if (!cycle.limit || *cycle.limit == 0)
        return 0;
    // In 128-bit steps: a cycle's bytes times 100 may pass 64 bits.
    const unsigned __int128 used = (unsigned __int128)(cycle.rx + cycle.tx) * 100;
    if (used >= (unsigned __int128)*cycle.limit * 100)
        return 100;
    if (used >= (unsigned __int128)*cycle.limit * 80)
        return 80;
    return 0;
}

std::string HistoryRequest(HistoryKind kind, uint32_t rows)
{
    return Writer().U32(static_cast<uint32_t>(kind)).U32(rows).Data();
}

std::string HistorySetRequest(HistorySetting what, uint64_t value, const std::string& text)
{
    return Writer().U32(static_cast<uint32_t>(what)).U64(value).Str(text).Data();
}

void PutSessions(Writer& w, const std::vector<HistorySession>& rows)
{
    w.U32(static_cast<uint32_t>(rows.size()));
    for (const HistorySession& s : rows) {
        w.U64(static_cast<uint64_t>(s.start)).U32(s.end ? 1 : 0).U64(static_cast<uint64_t>(s.end.value_or(0)));
        w.Str(s.entry).Str(s.device).Str(s.apn).U64(s.rx).U64(s.tx).Str(s.ended);
    }
}

void PutDays(Writer& w, const std::vector<HistoryDay>& rows)
{
    w.U32(static_cast<uint32_t>(rows.size()));
    for (const HistoryDay& d : rows)
        w.Str(d.date).U64(d.rx).U64(d.tx);
}

namespace {

void PutCycle(Writer& w, const HistoryCycle& c)
{
    w.Str(c.start).Str(c.end).U64(c.rx).U64(c.tx).U32(c.limit ? 1 : 0).U64(c.limit.value_or(0));
}

HistoryCycle GetCycle(Reader& r)
{
    HistoryCycle c;
    c.start = r.Str();
    c.end = r.Str();
    c.rx = r.U64();
    c.tx = r.U64();
    const bool hasLimit = r.U32() != 0;
    const uint64_t limit = r.U64();
    if (hasLimit)
        c.limit = limit;
    return c;
}

// Rows announced by a peer are read one by one, never reserved up front.
template <typename T, typename F>
bool GetRows(Reader& r, std::vector<T>& rows, F one)
{
    rows.clear();
    const uint32_t n = r.U32();
    for (uint32_t i = 0; i < n && !r.Failed(); ++i)
        rows.push_back(one());
    return !r.Failed();
}

// The program asks from its window's thread: a service that is hung or
// still starting costs it a moment, not the usual reply time-out.
std::chrono::steady_clock::time_point Deadline()
{
    return std::chrono::steady_clock::now() + kHistoryReplyTimeout;
}

template <typename T, typename G>
uint32_t Query(HistoryKind kind, uint32_t rows, T& out, G get)
{
    ServiceAnswer a(Msg::CtlHistory, HistoryRequest(kind, rows), Deadline());
    if (a.Code() != SUCCESS)
        return a.Code();
    return get(a.Body(), out) ? SUCCESS : ERROR_INVALID_PARAMETER;
}

} // namespace

void PutCycles(Writer& w, const std::vector<HistoryCycle>& rows)
{
    w.U32(static_cast<uint32_t>(rows.size()));
    for (const HistoryCycle& c : rows)
        PutCycle(w, c);
}

void PutUsage(Writer& w, const HistoryUsage& u)
{
    PutCycle(w, u.cycle);
    w.U32(u.cycleDay).U32(u.hangUpAtLimit ? 1 : 0).U32(u.toldLevel).U32(u.limitHangUpUntold ? 1 : 0);
    w.U32(u.enabled ? 1 : 0);
}

bool GetSessions(Reader& r, std::vector<HistorySession>& rows)
{
    return GetRows(r, rows, [&] {
        HistorySession s;
        s.start = static_cast<int64_t>(r.U64());
        const bool hasEnd = r.U32() != 0;
        const auto end = static_cast<int64_t>(r.U64());
        if (hasEnd)
            s.end = end;
        s.entry = r.Str();
        s.device = r.Str();
        s.apn = r.Str();
        s.rx = r.U64();
        s.tx = r.U64();
        s.ended = r.Str();
        return s;
    });
}

bool GetDays(Reader& r, std::vector<HistoryDay>& rows)
{
    return GetRows(r, rows, [&] {
        HistoryDay d;
        d.date = r.Str();
        d.rx = r.U64();
        d.tx = r.U64();
        return d;
    });
}

bool GetCycles(Reader& r, std::vector<HistoryCycle>& rows)
{
    return GetRows(r, rows, [&] { return GetCycle(r); });
}

bool GetUsage(Reader& r, HistoryUsage& u)
{
    u.cycle = GetCycle(r);
    u.cycleDay = r.U32();
    u.hangUpAtLimit = r.U32() != 0;
    u.toldLevel = r.U32();
    u.limitHangUpUntold = r.U32() != 0;
    u.enabled = r.U32() != 0;
    return !r.Failed();
}

uint32_t QuerySessions(uint32_t rows, std::vector<HistorySession>& out)
{
    return Query(HistoryKind::Sessions, rows, out, GetSessions);
}

uint32_t QueryDays(uint32_t rows, std::vector<HistoryDay>& out)
{
    return Query(HistoryKind::Days, rows, out, GetDays);
}

uint32_t QueryCycles(uint32_t rows, std::vector<HistoryCycle>& out)
{
    return Query(HistoryKind::Cycles, rows, out, GetCycles);
}

uint32_t QueryUsage(HistoryUsage& out)
{
    return Query(HistoryKind::Usage, 1, out, GetUsage);
}

uint32_t ChangeHistory(HistorySetting what, uint64_t value, const std::string& text)
{
    return ServiceAnswer(Msg::CtlHistorySet, HistorySetRequest(what, value, text), Deadline()).Code();
}

} // namespace sp::ras
