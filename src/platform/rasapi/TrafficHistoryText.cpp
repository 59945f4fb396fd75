#include "platform/rasapi/TrafficHistoryText.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace sp::ras {

namespace {

// A CSV field: quoted only when it has to be (RFC 4180).
std::string Field(std::string_view s)
{
    // A spreadsheet runs a cell that begins like a formula (an entry named
    // "=HYPERLINK(...)"): a leading apostrophe makes it text again.
    const bool formula = !s.empty() && std::string_view("=+-@\t\r").find(s.front()) != std::string_view::npos;
    if (!formula && s.find_first_of(",\"\r\n") == std::string_view::npos)
        return std::string(s);
    std::string out = formula ? "\"'" : "\"";
    for (const char c : s) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + '"';
}

// Columns padded to their widest cell: text to the left, figures to the right.
class Table {
public:
    explicit Table(std::vector<std::string> head, std::vector<bool> right) : right_(std::move(right))
    {
        rows_.push_back(std::move(head));
    }
    void Add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
    [[nodiscard]] std::string Text() const
    {
        std::vector<size_t> width(right_.size(), 0);
        for (const auto& row : rows_)
            for (size_t i = 0; i < row.size(); ++i)
                width[i] = std::max(width[i], Columns(row[i]));
        std::string out;
        for (const auto& row : rows_) {
            std::string line;
            for (size_t i = 0; i < row.size(); ++i) {
                const std::string pad(width[i] - Columns(row[i]), ' ');
                if (i > 0)
                    line += "  ";
                line += right_[i] ? pad + row[i] : row[i] + (i + 1 < row.size() ? pad : "");
            }
            out += line + "\n";
        }
        return out;
    }

private:
    // Characters, not bytes: names may be Cyrillic.
    static size_t Columns(const std::string& s)
    {
        return static_cast<size_t>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
    }
    std::vector<bool> right_;
    std::vector<std::vector<std::string>> rows_;
};

std::string Stamp(int64_t t, bool utc, const char* format)
{
    const std::time_t tt = static_cast<std::time_t>(t);
    std::tm tm{};
    if (utc)
        ::gmtime_r(&tt, &tm);
    else
        ::localtime_r(&tt, &tm);
    char buf[40];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

} // namespace

std::string FormatBytes(uint64_t bytes)
{
    static constexpr const char* kUnits[] = {"KiB", "MiB", "GiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double v = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (v >= 1024 && unit + 1 < std::size(kUnits)) {
        v /= 1024;
        ++unit;
    }
    char buf[48];
    std::snprintf(buf, sizeof buf, "%.2f %s", v, kUnits[unit]);
    return buf;
}

bool ParseBytes(std::string_view text, uint64_t& bytes)
{
    if (text.empty() || text.size() > 24)
        return false;
    unsigned shift = 0;
    switch (text.back()) {
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    default: break;
    }
    if (shift != 0)
        text.remove_suffix(1);
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        if (v > (UINT64_MAX - 9) / 10)
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v == 0 || v > (UINT64_MAX >> shift))
        return false;
    bytes = v << shift;
    return true;
}

std::string UtcStamp(int64_t t) { return Stamp(t, true, "%Y-%m-%dT%H:%M:%SZ"); }

std::string LocalStamp(int64_t t) { return Stamp(t, false, "%Y-%m-%d %H:%M:%S"); }

std::string SessionsCsv(const std::vector<HistorySession>& rows)
{
    std::string out = "start,end,entry,device,apn,received,sent,ended\n";
    for (const HistorySession& s : rows) {
        out += UtcStamp(s.start) + "," + (s.end ? UtcStamp(*s.end) : std::string()) + "," + Field(s.entry) + ","
            + Field(s.device) + "," + Field(s.apn) + "," + std::to_string(s.rx) + "," + std::to_string(s.tx) + ","
            + Field(s.ended) + "\n";
    }
    return out;
}

std::string DaysCsv(const std::vector<HistoryDay>& rows)
{
    std::string out = "date,received,sent,total\n";
    for (const HistoryDay& d : rows)
        out += d.date + "," + std::to_string(d.rx) + "," + std::to_string(d.tx) + "," + std::to_string(d.rx + d.tx) + "\n";
    return out;
}

std::string CyclesCsv(const std::vector<HistoryCycle>& rows)
{
    std::string out = "start,end,received,sent,total,limit\n";
    for (const HistoryCycle& c : rows) {
        out += c.start + "," + c.end + "," + std::to_string(c.rx) + "," + std::to_string(c.tx) + ","
            + std::to_string(c.rx + c.tx) + "," + (c.limit ? std::to_string(*c.limit) : std::string()) + "\n";
    }
    return out;
}

std::string SessionsTable(const std::vector<HistorySession>& rows)
{
    Table t({"start", "end", "entry", "device", "apn", "received", "sent", "ended"},
            {false, false, false, false, false, true, true, false});
    for (const HistorySession& s : rows) {
        t.Add({LocalStamp(s.start), s.end ? LocalStamp(*s.end) : std::string("-"), s.entry, s.device,
               s.apn.empty() ? std::string("-") : s.apn, FormatBytes(s.rx), FormatBytes(s.tx), s.ended});
    }
    return t.Text();
}

std::string DaysTable(const std::vector<HistoryDay>& rows)
{
    Table t({"day", "received", "sent", "total"}, {false, true, true, true});
    for (const HistoryDay& d : rows)
        t.Add({d.date, FormatBytes(d.rx), FormatBytes(d.tx), FormatBytes(d.rx + d.tx)});
    return t.Text();
}

std::string CyclesTable(const std::vector<HistoryCycle>& rows)
{
    Table t({"start", "end", "received", "sent", "total", "limit", "used"},
            {false, false, true, true, true, true, true});
    for (const HistoryCycle& c : rows) {
        std::string used = "-";
        if (c.limit && *c.limit > 0)
            used = std::to_string(static_cast<uint64_t>((unsigned __int128)(c.rx + c.tx) * 100 / *c.limit)) + " %";
        t.Add({c.start, c.end, FormatBytes(c.rx), FormatBytes(c.tx), FormatBytes(c.rx + c.tx),
               c.limit ? FormatBytes(*c.limit) : std::string("off"), used});
    }
    return t.Text();
}

} // namespace sp::ras
