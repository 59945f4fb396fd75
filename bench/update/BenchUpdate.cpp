// Times one complete UpdateAPNList (version request, list request, list
// read) against a local nginx serving server/, and curl fetching the same
// two resources in the same run. Prints medians of 200 runs each.
#include "NginxServer.h"

#include "update/ApnUpdate.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
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
    return 0;
}
