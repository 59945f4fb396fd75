// skyportal-report: what the operator's support service asks for, in one
// .tar.gz a subscriber can send.
#include "platform/base/MachineRoot.h"
#include "platform/base/ProgramInfo.h"
#include "report/SupportReport.h"

#include <cstring>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage =
    "usage: skyportal-report [--output FILE]\n"
    "\n"
    "Writes a support report (a .tar.gz) and prints its path. Without --output it goes\n"
    "to skyportal-report-YYYYMMDD-HHMMSS.tar.gz in the desktop folder (else home).\n"
    "It holds report.txt, the event log deciphered, the service's log and views, the\n"
    "program's registry key (deciphered) and modem keys, the phonebook (passwords\n"
    "masked), machine.ini and network.ini. Nothing on the machine is changed.\n"
    "\n"
    "  --output FILE     where to write the report\n"
    "  --program FILE    the program to report on (default: skyportal beside this tool)\n"
    "  --help            this text\n"
    "  --version         the tool's version\n";

std::filesystem::path SelfFolder() {
    std::error_code ec;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::filesystem::current_path(ec) : self.parent_path();
}

int Usage() {
    std::cerr << kUsage;
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    sp::UsePrivateUmask();
    sp::ReportOptions options;
    options.now = std::time(nullptr);
    options.program = SelfFolder() / "skyportal";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--version") {
            std::cout << "skyportal-report " << SKYPORTAL_VERSION << "\n";
            return 0;
        }
        if ((arg == "--output" || arg == "--program") && i + 1 < argc && *argv[i + 1]) {
            (arg == "--output" ? options.output : options.program) = std::filesystem::absolute(argv[++i]);
            continue;
        }
        return Usage();
    }
    if (options.output.empty())
        options.output = sp::DesktopFolder() / sp::DefaultReportName(options.now);
    options.root = sp::MachineRootPath();
    // rasctl is installed beside this tool, as the service is.
    options.rasctl = SelfFolder() / "rasctl";

    const sp::ReportResult result = sp::MakeSupportReport(options);
    if (!result.written) {
        std::cerr << "skyportal-report: no report written: " << result.error << "\n";
        return 1;
    }
    std::cout << options.output.string() << "\n";
    return 0;
}
