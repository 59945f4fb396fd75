#include "log/EventLog.h"

#include "crypto/uEncrypt.h"
#include "platform/base/CommandLine.h"
#include "platform/base/Cp1251.h"
#include "platform/base/MachineRoot.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <string>
#include <unistd.h>

namespace sp {
namespace {

constexpr const char* kLogFileName = "GPRSlog.log";

// Serializes the open-write-close of every line, so lines written from
// several threads at once stay whole, and guards the folder.
std::mutex& LogLock() {
    static std::mutex lock;
    return lock;
}

std::optional<std::filesystem::path>& FolderOverride() {
    static std::optional<std::filesystem::path> folder;
    return folder;
}

// Set once the design's folder refused a line: every later line of the run
// goes to the machine root, so the run's lines stay in one file.
bool& UseMachineRoot() {
    static bool use = false;
    return use;
}

std::filesystem::path DesignFolderLocked() {
    return FolderOverride() ? *FolderOverride() : std::filesystem::path(ProgramFile()).parent_path();
}

// An installed program lives in a folder its user cannot write (/usr/bin);
// a folder that is gone, or is no folder, loses the lines as before.
bool CannotBeWritten(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

std::filesystem::path LogFilePathLocked() {
    if (UseMachineRoot())
        return MachineRoot() / kLogFileName;
    const std::filesystem::path folder = DesignFolderLocked();
    std::error_code ec;
    if (std::filesystem::is_directory(folder, ec) && ::access(folder.c_str(), W_OK) != 0 &&
        CannotBeWritten(errno))
        return MachineRootPath() / kLogFileName;
    return folder / kLogFileName;
}

// Time of day in the long time format, e.g. "14:05:09".
std::string TimeOfDay() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char buf[16];
    const size_t n = std::strftime(buf, sizeof buf, "%H:%M:%S", &local);
    return std::string(buf, n);
}

// 0 when the line was written, else the error of the open.
int AppendToFile(const std::filesystem::path& path, const std::string& bytes, mode_t mode, int flags = 0) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | flags, mode);
    if (fd < 0)
        return errno;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
    return 0;
}

void AppendLocked(const std::string& bytes) {
    if (!UseMachineRoot()) {
        const std::filesystem::path design = DesignFolderLocked() / kLogFileName;
        const int error = AppendToFile(design, bytes, 0644);
        if (!CannotBeWritten(error))
            return;
        UseMachineRoot() = true;
        // Said once, on the program's own diagnostics, so a person who looks
        // beside the program learns where the log is.
        const std::filesystem::path moved = MachineRoot() / kLogFileName;
        std::fprintf(stderr, "%s: %s cannot be written (%s); the event log goes to %s\n",
                     std::filesystem::path(ProgramFile()).filename().c_str(), design.c_str(),
                     std::strerror(error), moved.c_str());
    }
    // The machine root is its user's alone; so is the log kept there.
    AppendToFile(MachineRoot() / kLogFileName, bytes, 0600, O_NOFOLLOW);
}

// Length of the UTF-8 sequence that starts the text, or 1 for a byte that
// does not start a whole one.
size_t Utf8SequenceLength(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text.front());
    const size_t n = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 1;
    if (n > text.size())
        return 1;
    for (size_t i = 1; i < n; ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
            return 1;
    return n;
}

// C0 controls, DEL and the C1 controls (U+0080 to U+009F).
bool IsControl(std::string_view character) {
    const auto first = static_cast<unsigned char>(character.front());
    if (character.size() == 1)
        return first < 0x20 || first == 0x7F;
    return first == 0xC2 && static_cast<unsigned char>(character[1]) < 0xA0;
}

} // namespace

std::string LogLineText(std::string_view text) {
    text = text.substr(0, text.find_first_of("\r\n"));
    std::string line;
    line.reserve(std::min(text.size(), kMaxLogTextLength));
    for (size_t count = 0; count < kMaxLogTextLength && !text.empty(); ++count) {
        const std::string_view character = text.substr(0, Utf8SequenceLength(text));
        if (IsControl(character))
            line += ' ';
        else
            line += character;
        text.remove_prefix(character.size());
    }
    return line;
}

void WriteLog(std::string_view source, int32_t code, std::string_view text) {
    if (ParamStr(1) != "/l")
        return;
    try {
        std::string line = TimeOfDay();
        line += " : src: ";
        line += source;
        line += "      code: ";
        line += std::to_string(code);
        line += "         msg: ";
        line += LogLineText(text);

        std::string bytes = Utf8ToCp1251(line);
        if (ParamStr(2) != "/n")
            bytes = EncryptString(bytes);
        bytes += "\r\n";

        const std::lock_guard guard(LogLock());
        AppendLocked(bytes);
    } catch (...) {
        // The log must never disturb its caller; the line is lost.
    }
}

void SetLogFolder(const std::filesystem::path& folder) {
    const std::lock_guard guard(LogLock());
    UseMachineRoot() = false;
    if (folder.empty())
        FolderOverride().reset();
    else
        FolderOverride() = folder;
}

std::filesystem::path LogFilePath() {
    const std::lock_guard guard(LogLock());
    return LogFilePathLocked();
}

} // namespace sp
