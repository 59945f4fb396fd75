// Times one complete UpdateAPNList (version request, list request, list
// read) against a local nginx serving server/, and curl fetching the same
// two resources in the same run. Then the cost of a signed list: the
// signature check of a 100-APN list beside one fetch of that list, and the
// signed update beside the unsigned one. Prints medians of 200 runs each.
#include "NginxServer.h"

#include "update/ApnUpdate.h"
#include "update/HttpFetch.h"
#include "update/ListSignature.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

constexpr int kRuns = 200;
constexpr int kWarmUp = 10;
using Clock = std::chrono::steady_clock;

struct TStats {
    double median;
    double p10;
    double p90;
};

TStats Summarise(std::vector<double> us) {
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[static_cast<size_t>(q * static_cast<double>(us.size() - 1))]; };
    return {at(0.5), at(0.1), at(0.9)};
}

bool RunUpdate(const std::string& host) {
    std::string version = "1.0.0";
    std::vector<std::string> apns{"internet"};
    std::string message;
    return sp::UpdateAPNList(host, version, apns, message, true) && version == "1.0.5" && apns.size() == 2;
}

// Runs curl for both URLs; returns the sum of curl's own time_total of the
// two transfers in microseconds, or a negative value on failure.
double RunCurl(const std::string& host) {
    const std::string v = "http://" + host + "/apn/";
    const std::string l = "http://" + host + "/apn/list/";
    int out[2];
    if (::pipe(out) < 0)
        return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    const char* argv[] = {"curl", "-s", "--http1.0", "-o", "/dev/null", "-o", "/dev/null", "-w", "%{time_total}\n",
                          v.c_str(), l.c_str(), nullptr};
    pid_t pid;
    int rc = posix_spawnp(&pid, "curl", &fa, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return -1;
    }
    std::string text;
    char buf[256];
    ssize_t n;
    while ((n = ::read(out[0], buf, sizeof buf)) > 0)
        text.append(buf, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    double total = 0;
    size_t pos = 0;
    int transfers = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        total += std::atof(text.substr(pos, end - pos).c_str());
        ++transfers;
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return transfers == 2 ? total * 1e6 : -1;
}

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

} // namespace

int main() {
    const std::string host = "127.0.0.200";
    sptest::TNginxServer nginx(host);
    nginx.Publish("apn/version", "VERSION=1.0.5\n");
    nginx.Publish("apn/list", "Zentora APN list 5\ninternet.zentora\nwap.zentora\n");

    for (int i = 0; i < kWarmUp; ++i) {
        if (!RunUpdate(host) || RunCurl(host) < 0) {
            std::fprintf(stderr, "bench_update: the update or curl failed against %s\n", host.c_str());
            return 1;
        }
    }

    std::vector<double> update;
    std::vector<double> curlWall;
    std::vector<double> curlOwn;
    // Interleaved, so both see the same machine load.
    for (int i = 0; i < kRuns; ++i) {
        auto t0 = Clock::now();
        if (!RunUpdate(host))
            return 1;
        auto t1 = Clock::now();
        double own = RunCurl(host);
        auto t2 = Clock::now();
        if (own < 0)
            return 1;
        update.push_back(Micros(t1 - t0));
        curlWall.push_back(Micros(t2 - t1));
        curlOwn.push_back(own);
    }

    auto print = [](const char* what, const TStats& s) {
        std::printf("%-58s %9.1f us  (p10 %.1f, p90 %.1f)\n", what, s.median, s.p10, s.p90);
    };
    std::printf("Complete APN list update against nginx on %s:80, median of %d runs\n", host.c_str(), kRuns);
    print("UpdateAPNList (GET /apn/ + GET /apn/list/, list read)", Summarise(update));
    print("curl --http1.0, same two GETs, process start to exit", Summarise(curlWall));
    print("curl --http1.0, same two GETs, its own time_total sum", Summarise(curlOwn));

    // A list of 100 APNs signed by the example operator key with minisign.
    const std::filesystem::path source = std::filesystem::path(SKYPORTAL_SOURCE_DIR) / "server";
    std::string list = "Zentora APN list 06\r\n";
    for (int i = 0; i < 100; ++i)
        list += "apn" + std::to_string(i) + ".internet.zentora\r\n";
    const std::filesystem::path file = nginx.Prefix() / "bench-list";
    std::ofstream(file, std::ios::binary) << list;
    const std::string sign = "minisign -S -s " + (source / "keys/example-operator.key").string() + " -m " + file.string() +
                             " -t 'skyportal-apn-list version=1.0.6 expires=2099-01-01T00:00:00Z' >/dev/null";
    if (std::system(sign.c_str()) != 0) {
        std::fprintf(stderr, "bench_update: minisign could not sign (is it installed?)\n");
        return 1;
    }
    std::ifstream in(file.string() + ".minisig", std::ios::binary);
    const std::string signature((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    nginx.Publish("apn/list", list);
    nginx.Publish("apn/list.minisig", signature);
    nginx.Publish("apn/version", "VERSION=1.0.6\n");
    const sp::TListKeys keys = sp::LoadListKeys(source / "keys");
    const sp::TListKeys none;
    const std::string listUrl = "http://" + host + "/apn/list/";

    auto check = [&] {
        return sp::CheckListSignature(list, signature, keys.keys, "1.0.6", std::chrono::system_clock::now()).empty();
    };
    auto fetch = [&] {
        std::string body, error;
        return sp::FetchUrl(listUrl, body, error) == sp::TFetchFailure::None && body == list;
    };
    auto update100 = [&](const sp::TListKeys& k) {
        std::string version = "1.0.5";
        std::vector<std::string> apns;
        std::string message;
        return sp::UpdateAPNList(host, version, apns, message, true, k) && apns.size() == 100;
    };
    if (!check() || !fetch() || !update100(keys) || !update100(none)) {
        std::fprintf(stderr, "bench_update: the signed list was not taken\n");
        return 1;
    }
    std::vector<double> checks, fetches, signedUpdates, unsignedUpdates;
    for (int i = 0; i < kRuns; ++i) {
        auto a = Clock::now();
        const bool ok1 = check();
        auto b = Clock::now();
        const bool ok2 = fetch();
        auto c = Clock::now();
        const bool ok3 = update100(keys);
        auto d = Clock::now();
        const bool ok4 = update100(none);
        auto e = Clock::now();
        if (!ok1 || !ok2 || !ok3 || !ok4)
            return 1;
        checks.push_back(Micros(b - a));
        fetches.push_back(Micros(c - b));
        signedUpdates.push_back(Micros(d - c));
        unsignedUpdates.push_back(Micros(e - d));
    }
    std::printf("A signed list of 100 APNs (%zu bytes, signature %zu bytes), median of %d runs\n", list.size(),
                signature.size(), kRuns);
    print("CheckListSignature (BLAKE2b-512 + 2 x Ed25519 verify)", Summarise(checks));
    print("one fetch of GET /apn/list/ from nginx on loopback", Summarise(fetches));
    print("UpdateAPNList with the key (3 GETs, list checked)", Summarise(signedUpdates));
    print("UpdateAPNList without a key (2 GETs)", Summarise(unsignedUpdates));
    return 0;
}
