#pragma once

#include <ctime>
#include <filesystem>
#include <string>

namespace sp {

// What a support report is made from and where it goes.
struct ReportOptions {
    std::filesystem::path root;    // the machine root; read as it is, never laid out
    std::filesystem::path program; // the program's file: its FileVersion, GPRSlog.log beside it
    std::filesystem::path rasctl;  // asked for the service's views while the service runs; empty: none
    std::filesystem::path output;  // the .tar.gz to write
    std::time_t now = 0;
};

struct ReportResult {
    bool written = false;
    std::string error; // why no archive was written
};

// Reads what the support service asks for and writes it as one .tar.gz,
// report.txt first. Changes nothing on the machine: a service that is not
// running is not started, and nothing but the archive is written. Bad input
// (missing, unreadable or damaged files, an unreadable registry, log lines
// that do not decipher) is described inside; only an archive that cannot
// be written fails it.
[[nodiscard]] ReportResult MakeSupportReport(const ReportOptions& options);

// "skyportal-report-YYYYMMDD-HHMMSS.tar.gz" in local time.
[[nodiscard]] std::string DefaultReportName(std::time_t now);

// The user's desktop folder (`xdg-user-dir DESKTOP`), else the home folder.
[[nodiscard]] std::filesystem::path DesktopFolder();

// The event log's bytes deciphered: at most this many from its end.
inline constexpr size_t kLogTailBytes = 2 * 1024 * 1024;

} // namespace sp
