// What the service daemon pays per enumeration of the modems (a fresh
// TRegistry, open the class key, walk its subkeys, read a value) and what a
// single write costs.
#include "platform/registry/Registry.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

namespace {

const char* kClass = "\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";

// The benchmark's own folder, removed again when the run ends.
std::filesystem::path g_folder;

std::filesystem::path Seeded() {
    static const std::filesystem::path db = [] {
        std::string tmpl = (std::filesystem::temp_directory_path() / "sp-bench-reg-XXXXXX").string();
        if (!::mkdtemp(tmpl.data()))
            std::abort();
        g_folder = tmpl;
        std::filesystem::path file = std::filesystem::path(tmpl) / "registry.db";
        sp::TRegistry reg(file);
        for (int i = 0; i < 4; ++i) {
            reg.OpenKey(std::string(kClass) + "\\000" + std::to_string(i), true);
            reg.WriteString("FriendlyName", "Modem " + std::to_string(i));
            reg.WriteString("UserInit", "AT+CGDCONT=1,\"IP\",\"internet\"");
        }
        return file;
    }();
    return db;
}

void BM_OpenAndReadOneValue(benchmark::State& state) {
    const auto db = Seeded();
    for (auto _ : state) {
        sp::TRegistry reg(db);
        reg.OpenKeyReadOnly(std::string(kClass) + "\\0002");
        benchmark::DoNotOptimize(reg.ReadString("UserInit"));
    }
}
BENCHMARK(BM_OpenAndReadOneValue);

// The service daemon keeps one TRegistry for its whole life; with it running,
// other processes' opens find the shared WAL index ready.
void BM_OpenAndReadWhileServiceRuns(benchmark::State& state) {
    const auto db = Seeded();
    sp::TRegistry service(db);
    (void)service.KeyExists("\\");
    for (auto _ : state) {
        sp::TRegistry reg(db);
        reg.OpenKeyReadOnly(std::string(kClass) + "\\0002");
        benchmark::DoNotOptimize(reg.ReadString("UserInit"));
    }
}
BENCHMARK(BM_OpenAndReadWhileServiceRuns);

void BM_OpenOnly(benchmark::State& state) {
    const auto db = Seeded();
    for (auto _ : state) {
        sp::TRegistry reg(db);
        benchmark::DoNotOptimize(reg.KeyExists("\\"));
    }
}
BENCHMARK(BM_OpenOnly);

void BM_OpenKeyDeep(benchmark::State& state) {
    sp::TRegistry reg(Seeded());
    for (auto _ : state)
        benchmark::DoNotOptimize(reg.OpenKeyReadOnly(std::string(kClass) + "\\0002"));
}
BENCHMARK(BM_OpenKeyDeep);

void BM_EnumerateModems(benchmark::State& state) {
    const auto db = Seeded();
    for (auto _ : state) {
        sp::TRegistry reg(db);
        reg.OpenKeyReadOnly(kClass);
        for (const std::string& sub : reg.GetKeyNames()) {
            reg.OpenKeyReadOnly(std::string(kClass) + "\\" + sub);
            benchmark::DoNotOptimize(reg.ReadString("FriendlyName"));
        }
    }
}
BENCHMARK(BM_EnumerateModems);

void BM_ReadOnOpenKey(benchmark::State& state) {
    sp::TRegistry reg(Seeded());
    reg.OpenKeyReadOnly(std::string(kClass) + "\\0001");
    for (auto _ : state)
        benchmark::DoNotOptimize(reg.ReadString("UserInit"));
}
BENCHMARK(BM_ReadOnOpenKey);

void BM_WriteString(benchmark::State& state) {
    sp::TRegistry reg(Seeded());
    reg.OpenKey(std::string(kClass) + "\\0003", false);
    int i = 0;
    for (auto _ : state)
        reg.WriteString("UserInit", "AT+CGDCONT=1,\"IP\",\"apn" + std::to_string(++i) + "\"");
}
BENCHMARK(BM_WriteString);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    if (!g_folder.empty())
        std::filesystem::remove_all(g_folder, ec);
    return 0;
}
