#include "platform/rasman/ServiceLog.h"

#include "platform/base/MachineRoot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

namespace sp::ras {

std::filesystem::path ServiceLogPath() { return MachineRunDir() / "rasman.log"; }

void ServiceLog(std::string_view line)
{
    const std::filesystem::path path = ServiceLogPath();
    struct stat st{};
    if (::stat(path.c_str(), &st) == 0 && static_cast<size_t>(st.st_size) > kServiceLogLimit) {
        std::error_code ec;
        std::filesystem::rename(path, path.string() + ".1", ec);
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &tm);
    std::string text = stamp;
    // one line per entry, whatever the device sent
    for (const char ch : line)
        text += (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7f) ? '?' : ch;
    text += '\n';
    if (::write(fd, text.data(), text.size()) < 0) {
        // nowhere to report it
    }
    ::close(fd);
}

} // namespace sp::ras
