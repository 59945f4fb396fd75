// The support report for a machine whose event log has grown to 10 MiB,
// timed as a subscriber meets it (the whole tool, a process), beside
// references in the same run: skyportal-cipher deciphering the whole log and
// the same last 2 MiB the report reads, and copying the log file.
//
// Usage: bench_report [RUNS]   (tools found beside this program)
#include "crypto/uEncrypt.h"
#include "platform/registry/Registry.h"
#include "report/ChildProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double TimeMs(const std::vector<std::string>& argv,
              const std::vector<std::pair<std::string, std::string>>& env) {
    const auto start = Clock::now();
    const sp::ChildResult r = sp::RunChild(argv, env, std::chrono::seconds(120), 1 << 16);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    if (r.exitCode != 0) {
        std::fprintf(stderr, "bench_report: %s failed: %s\n", argv[0].c_str(), r.err.c_str());
        std::exit(1);
    }
    return ms;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    std::string tmpl = (fs::temp_directory_path() / "sp-bench-report-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        return 1;
    const fs::path dir = tmpl, root = dir / "root", program = dir / "program" / "skyportal";
    fs::create_directories(root / "run");
    fs::create_directories(root / "drive_c");
    fs::create_directories(program.parent_path());
    fs::copy_file(bin / "skyportal-report", program); // any file: only its version is read
    std::ofstream(root / "machine.ini") << "[system]\r\nversion=5.1\r\nplatform=nt\r\n";
    std::ofstream(root / "network.ini") << "[Service]\r\nStateDelayMs=300\r\n";
    {
        sp::TRegistry reg(root / "registry.db");
        reg.SetRootKey(sp::RegHive::LocalMachine);
        reg.OpenKey("\\Software\\Zentora\\Skyportal", true);
        reg.WriteString("Modem", sp::EncryptString("USB GPRS Modem"));
    }

    // A statistics sample every 2 s and a dial now and then, enciphered, to 10 MiB.
    const fs::path log = program.parent_path() / "GPRSlog.log";
    {
        std::ofstream out(log, std::ios::binary);
        size_t size = 0;
        for (int i = 0; size < 10u * 1024 * 1024; ++i) {
            char line[256];
            if (i % 500 == 0)
                std::snprintf(line, sizeof line,
                              "%02d:%02d:%02d : src: DIAL-params      code: 0         msg: Entry: Zentora ; "
                              "Phone: *99***1#  ; "
                              "APN: internet  User: vexul  ; Pswd: vexul  ",
                              i / 1800 % 24, i / 30 % 60, i * 2 % 60);
            else
                std::snprintf(
                    line, sizeof line,
                    "%02d:%02d:%02d : src: THREAD-new-stat      code: 0         msg: Speed: %d Received %d "
                    "Tramsmitted %d Time 0:%02d:%02d",
                    i / 1800 % 24, i / 30 % 60, i * 2 % 60, 1000 + i % 900, i * 1000, i * 200, i / 30 % 60,
                    i * 2 % 60);
            const std::string enc = sp::EncryptString(line) + "\r\n";
            out << enc;
            size += enc.size();
        }
    }
    const double logMiB = static_cast<double>(fs::file_size(log)) / (1024 * 1024);

    const std::vector<std::pair<std::string, std::string>> env{{"SKYPORTAL_ROOT", root.string()}};
    std::vector<double> report, decipher, tail, copy;
    for (int i = 0; i < runs; ++i) {
        const fs::path out = dir / ("r" + std::to_string(i) + ".tar.gz");
        report.push_back(TimeMs(
            {(bin / "skyportal-report").string(), "--output", out.string(), "--program", program.string()},
            env));
        decipher.push_back(TimeMs({"sh", "-c", "\"$0\" decrypt-log \"$1\" > /dev/null",
                                   (bin / "skyportal-cipher").string(), log.string()},
                                  env));
        tail.push_back(TimeMs({"sh", "-c", "tail -c 2097152 \"$1\" | \"$0\" decrypt-log > /dev/null",
                               (bin / "skyportal-cipher").string(), log.string()},
                              env));
        copy.push_back(TimeMs({"cp", log.string(), (dir / "copy").string()}, env));
    }
    const double r = Median(report), d = Median(decipher), t = Median(tail), c = Median(copy);
    std::printf("support report, event log of %.1f MiB, median of %d runs\n", logMiB, runs);
    std::printf("  skyportal-report (whole tool)              %8.1f ms   target 2000 ms     ratio %.2fx\n", r,
                r / 2000);
    std::printf("  skyportal-cipher decrypt-log, whole log    %8.1f ms   report / this      ratio %.2fx\n", d,
                r / d);
    std::printf("  skyportal-cipher decrypt-log, last 2 MiB   %8.1f ms   report / this      ratio %.2fx\n", t,
                r / t);
    std::printf("  cp of the log file                         %8.1f ms   report / this      ratio %.2fx\n", c,
                r / c);
    std::error_code ec;
    fs::remove_all(dir, ec);
    return 0;
}
