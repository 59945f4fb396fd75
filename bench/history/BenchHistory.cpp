// Writes a year of a subscriber's traffic into <root>/history.db through the
// service's own store, under a clock that walks the year: four sessions a
// day, each counted at a checkpoint every 10 s of its hour. Prints the
// file's size and how long the store takes for the questions rasctl asks.
//   bench_history ROOT [DAYS]
#include "platform/rasman/TrafficHistory.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace sp::ras;
namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_history ROOT [DAYS]\n");
        return 2;
    }
    const fs::path root = argv[1];
    const int days = argc > 2 ? std::atoi(argv[2]) : 365;
    fs::create_directories(root / "run");
    ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
    const int64_t first = (static_cast<int64_t>(std::time(nullptr)) / 86400 - days) * 86400;
    int64_t now = first;
    const auto t0 = std::chrono::steady_clock::now();
    {
        TrafficHistory h(root / "history.db", true, [&now] { return now; });
        (void)h.Change(HistorySetting::Limit, 3ull << 30, "");
        uint32_t seed = 1;
        auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
        auto steady = std::chrono::steady_clock::time_point{};
        uint32_t key = 1;
        for (int d = 0; d < days; ++d) {
            for (int s = 0; s < 4; ++s) {
                now = first + int64_t(d) * 86400 + (7 + s * 4) * 3600;
                h.Begin(key, "Zentora", "USB GPRS Modem", "internet");
                LinkCounters c;
                // An hour of link, counted every second and written every
                // 10 s, as the service does.
                for (int i = 0; i < 3600; ++i) {
                    now += 1;
                    steady += std::chrono::seconds(1);
                    c.rx += next() % 4000;
                    c.tx += next() % 400;
                    h.Observe(key, c);
                    (void)h.Tick(steady);
                }
                h.End(key, (next() % 8) == 0 ? "dropped:629" : "hangup");
                ++key;
            }
        }
    }
    const double writeS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::error_code ec;
    uintmax_t size = 0;
    for (const char* f : {"history.db", "history.db-wal"})
        size += fs::exists(root / f, ec) ? fs::file_size(root / f, ec) : 0;
    std::printf("year: %d days, %d sessions, history.db %.2f MiB (with its WAL), written in %.1f s\n", days,
                days * 4, static_cast<double>(size) / (1024 * 1024), writeS);
    TrafficHistory h(root / "history.db", true);
    auto time = [&](const char* what, auto f) {
        const auto a = std::chrono::steady_clock::now();
        for (int i = 0; i < 20; ++i)
            f();
        std::printf("store %-8s %.3f ms\n", what,
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count() / 20);
    };
    time("days", [&] { (void)h.Days(kDefaultDayRows); });
    time("sessions", [&] { (void)h.Sessions(kDefaultSessionRows); });
    time("cycles", [&] { (void)h.Cycles(kDefaultCycleRows); });
    return 0;
}
