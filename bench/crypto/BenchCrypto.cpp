// Cost of one enciphered value or log line, and raw block throughput next to
// OpenSSL's Blowfish in the same run.
#include "crypto/Blowfish.h"
#include "crypto/uEncrypt.h"

#include <benchmark/benchmark.h>
#include <openssl/blowfish.h>

#include <string>
#include <vector>

namespace {

constexpr uint8_t kKey[8] = {0x5A, 0xC3, 0x1E, 0x97, 0x40, 0xB8, 0x6D, 0xF2};
constexpr size_t kBufferBytes = 64 * 1024;

void BM_EncryptString40(benchmark::State& state) {
    const std::string text = "14:05:09 : src: WINVER      code: 501  ."; // 40 bytes
    for (auto _ : state)
        benchmark::DoNotOptimize(sp::EncryptString(text));
}
BENCHMARK(BM_EncryptString40)->Repetitions(9)->ReportAggregatesOnly(true)->DisplayAggregatesOnly(true);

void BM_DecryptString40(benchmark::State& state) {
    const std::string hex = sp::EncryptString("14:05:09 : src: WINVER      code: 501  .");
    for (auto _ : state)
        benchmark::DoNotOptimize(sp::DecryptString(hex));
}
BENCHMARK(BM_DecryptString40)->Repetitions(9)->ReportAggregatesOnly(true)->DisplayAggregatesOnly(true);

void BM_BlowfishEcbBlocks(benchmark::State& state) {
    sp::TBlowfishData data;
    sp::BlowfishInit(data, kKey, sizeof kKey);
    std::vector<uint8_t> buf(kBufferBytes, 0x5A);
    for (auto _ : state) {
        for (size_t i = 0; i < buf.size(); i += 8)
            sp::BlowfishEncryptBlock(data, &buf[i], &buf[i]);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buf.size()));
}
BENCHMARK(BM_BlowfishEcbBlocks)->Repetitions(5)->ReportAggregatesOnly(true)->DisplayAggregatesOnly(true);

void BM_OpenSslBfEcbBlocks(benchmark::State& state) {
    BF_KEY key;
    BF_set_key(&key, sizeof kKey, kKey);
    std::vector<uint8_t> buf(kBufferBytes, 0x5A);
    for (auto _ : state) {
        for (size_t i = 0; i < buf.size(); i += 8)
            BF_ecb_encrypt(&buf[i], &buf[i], &key, BF_ENCRYPT);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(buf.size()));
}
BENCHMARK(BM_OpenSslBfEcbBlocks)->Repetitions(5)->ReportAggregatesOnly(true)->DisplayAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
