#include "RasTestRoot.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <fstream>
#include <stdexcept>

#include "log/EventLog.h"
#include "platform/base/CommandLine.h"
#include "platform/base/Cp1251.h"
#include "platform/base/MachineRoot.h"
#include "platform/rasapi/RasLibrary.h"
#include "platform/system/WindowMessages.h"
#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"

RasTestRoot::RasTestRoot(int version, bool nt, std::vector<std::string> args)
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "sp-ras-XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    root_ = tmpl;
    ::setenv("SKYPORTAL_ROOT", root_.c_str(), 1);
    sp::MachineVersion v;
    v.major = version / 100;
    v.minor = version % 100;
    v.nt = nt;
    sp::WriteMachineVersion(v);
    args.insert(args.begin(), "test_ras");
    sp::SetCommandLine(args);
    sp::SetLogFolder(root_);
    sp::InitRasGlobals();
}

RasTestRoot::~RasTestRoot()
{
    // Probe workers left behind by a test may still reach the service.
    for (int i = 0; i < 2000 && sp::TRasThread::Alive() > 0; ++i) {
        sp::ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    StopService();
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

namespace {

// The daemon holds its pid file's lock from its start to its last write.
bool DaemonAlive(const std::filesystem::path& root)
{
    const int fd = ::open((root / "run" / "rasman.pid").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
    ::close(fd);
    return held;
}

} // namespace

void RasTestRoot::StopService()
{
    const char* bin = std::getenv("SKYPORTAL_BIN_DIR");
    const std::string dir = bin ? bin : std::filesystem::path(sp::ProgramFile()).parent_path().string();
    const std::string cmd = "SKYPORTAL_ROOT='" + root_.string() + "' '" + dir + "/rasctl' service stop >/dev/null 2>&1";
    // rasctl would start a daemon that is not running: only a live one is
    // asked to stop (one still starting once it listens), and the root is
    // left only when the daemon has finished with it, its last writes too.
    const auto sock = root_ / "run" / "rasman.sock";
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    auto asked = Clock::time_point{};
    while (DaemonAlive(root_) && Clock::now() < deadline) {
        if (std::filesystem::exists(sock) && Clock::now() - asked > std::chrono::milliseconds(200)) {
            (void)std::system(cmd.c_str());
            asked = Clock::now();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<std::string> RasTestRoot::LogLines() const
{
    std::vector<std::string> lines;
    std::ifstream f(sp::LogFilePath(), std::ios::binary);
    std::string line;
    while (std::getline(f, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(sp::Cp1251ToUtf8(line));
    }
    return lines;
}

bool ServiceBuilt()
{
    return std::filesystem::exists(sp::RasLibraryPath());
}
