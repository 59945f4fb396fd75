#include "platform/rasman/PortLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace sp::ras {

namespace {

// A lock file that cannot be read may be one being written right now (other
// programs create it first and write their pid after); only an old one is
// taken for abandoned.
constexpr time_t kUnreadableGraceSec = 10;

// The pid in a lock file: ASCII digits, usually ten and a line end (HDB),
// though some terminal programs add their name and user after it
// ("      1234 minicom alice"); or the old binary form of four bytes. 0 when
// it holds neither.
pid_t ParsePid(const char* data, size_t n)
{
    // Four bytes with a zero among them are a binary pid (no text pid holds
    // a NUL, and no live pid fills all four bytes).
    if (n == sizeof(int32_t) && std::memchr(data, '\0', n) != nullptr) {
        int32_t binary = 0;
        std::memcpy(&binary, data, sizeof binary);
        return binary > 0 ? binary : 0;
    }
    size_t i = 0;
    while (i < n && data[i] == ' ')
        ++i;
    long long pid = 0;
    size_t digits = 0;
    while (i < n && data[i] >= '0' && data[i] <= '9' && digits < 12) {
        pid = pid * 10 + (data[i] - '0');
        ++i;
        ++digits;
    }
    // What follows the pid is the writer's business, as long as the number
    // ends there.
    if (digits == 0 || (i < n && data[i] != ' ' && data[i] != '\t' && data[i] != '\n' && data[i] != '\r'))
        return 0;
    return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
}

struct Existing {
    bool gone = false; // vanished meanwhile
    pid_t pid = 0;
    bool young = false;
    time_t written = 0;
};

Existing ReadLock(const std::filesystem::path& path)
{
    Existing e;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        e.gone = errno == ENOENT;
        return e;
    }
    char buf[64];
    ssize_t n = 0;
    do {
        n = ::read(fd, buf, sizeof buf);
    } while (n < 0 && errno == EINTR);
    struct stat st{};
    const bool stated = ::fstat(fd, &st) == 0;
    ::close(fd);
    e.pid = n > 0 ? ParsePid(buf, static_cast<size_t>(n)) : 0;
    e.young = stated && std::time(nullptr) - st.st_mtime < kUnreadableGraceSec;
    e.written = stated ? st.st_mtime : 0;
    return e;
}

// The machine's boot time as the clock tells it, in seconds; 0 if unknown.
time_t BootTime()
{
    std::FILE* f = std::fopen("/proc/stat", "re");
    if (!f)
        return 0;
    char line[256];
    long long btime = 0;
    while (std::fgets(line, sizeof line, f)) {
        if (std::sscanf(line, "btime %lld", &btime) == 1)
            break;
    }
    std::fclose(f);
    return static_cast<time_t>(btime);
}

// Whether pid holds a lock written at `written`. A process that has ended but
// is not yet reaped (a zombie) holds nothing: it is as gone as one that has
// left. Nor does one that started after the lock was written: its pid was
// reused (after a reboot, say) and the lock's owner is long gone.
bool Holds(pid_t pid, time_t written)
{
    if (::kill(pid, 0) != 0 && errno != EPERM)
        return false;
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true;
    char stat[1024];
    const ssize_t n = ::read(fd, stat, sizeof stat - 1);
    ::close(fd);
    if (n <= 0)
        return true;
    stat[n] = '\0';
    const char* close = std::strrchr(stat, ')'); // the name may hold anything, even ") Z"
    if (!close || close[1] != ' ')
        return true;
    if (close[2] == 'Z')
        return false;
    // Field 22, the start in clock ticks since boot, is the 20th after the name.
    const char* p = close + 2;
    for (int field = 3; field < 22 && p; ++field) {
        p = std::strchr(p, ' ');
        if (p)
            ++p;
    }
    const time_t boot = BootTime();
    const long ticks = ::sysconf(_SC_CLK_TCK);
    if (!p || boot == 0 || ticks <= 0 || written == 0)
        return true;
    const time_t started = boot + static_cast<time_t>(std::strtoull(p, nullptr, 10) / static_cast<unsigned long long>(ticks));
    // The boot time is whole seconds and drifts with clock steps: a margin.
    return started <= written + kUnreadableGraceSec;
}

} // namespace

PortLock::PortLock(PortLock&& other) noexcept
    : path_(std::move(other.path_)), holder_(other.holder_), stale_(other.stale_), error_(std::move(other.error_))
{
    other.path_.clear();
}

PortLock& PortLock::operator=(PortLock&& other) noexcept
{
    if (this != &other) {
        Release();
        path_ = std::move(other.path_);
        other.path_.clear();
        holder_ = other.holder_;
        stale_ = other.stale_;
        error_ = std::move(other.error_);
    }
    return *this;
}

std::string PortLock::FileName(const std::string& port)
{
    std::string path = port;
    if (char* real = ::realpath(port.c_str(), nullptr)) {
        path = real; // a /dev/serial/by-id link locks the device it names
        std::free(real);
    }
    std::string name;
    if (const auto dev = path.find("dev/"); dev != std::string::npos)
        name = path.substr(dev + 4);
    else
        name = path.substr(path.rfind('/') + 1);
    for (char& c : name) {
        if (c == '/')
            c = '_';
    }
    if (name.empty() || name == "." || name == ".." || name.size() > 128)
        return {};
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return {};
    }
    return name;
}

std::filesystem::path PortLock::DefaultFolder()
{
    for (const char* folder : {"/var/lock", "/run/lock"}) {
        struct stat st{};
        if (::stat(folder, &st) == 0 && S_ISDIR(st.st_mode) && ::access(folder, W_OK | X_OK) == 0)
            return folder;
    }
    return {};
}

PortLock::Result PortLock::Take(const std::filesystem::path& folder, const std::string& port)
{
    Release();
    holder_ = 0;
    stale_.reset();
    error_.clear();
    struct stat st{};
    if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)
        || ::access(folder.c_str(), W_OK | X_OK) != 0)
        return Result::NoFolder;
    const std::string name = FileName(port);
    if (name.empty()) {
        error_ = "the port's path gives no lock file name";
        return Result::Failed;
    }
    const std::filesystem::path lock = folder / ("LCK.." + name);

    // Written in full under a name of our own, then linked into place: no
    // other program ever reads a half-written lock of ours.
    static std::atomic<unsigned> counter{0};
    const pid_t self = ::getpid();
    const std::filesystem::path temp =
        folder / ("LTMP." + std::to_string(self) + "." + std::to_string(counter.fetch_add(1)));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        error_ = temp.string() + ": " + std::strerror(errno);
        return Result::Failed;
    }
    // Every dialer must read who holds the port, whatever our umask.
    ::fchmod(fd, 0644);
    char text[16];
    const int len = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(self));
    const bool written = ::write(fd, text, static_cast<size_t>(len)) == len;
    const int writeErrno = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temp.c_str());
        error_ = temp.string() + ": " + std::strerror(writeErrno);
        return Result::Failed;
    }

    Result result = Result::Failed;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (::link(temp.c_str(), lock.c_str()) == 0) {
            path_ = lock;
            result = Result::Taken;
            break;
        }
        if (errno != EEXIST) {
            error_ = lock.string() + ": " + std::strerror(errno);
            break;
        }
        const Existing e = ReadLock(lock);
        if (e.gone)
            continue;
        const bool unreadable = e.pid == 0;
        if (e.pid == self || (!unreadable && Holds(e.pid, e.written)) || (unreadable && e.young)) {
            holder_ = e.pid;
            result = Result::Busy;
            break;
        }
        // Its process has gone, its pid is another's now, or it never said
        // who it was, long ago.
        if (::unlink(lock.c_str()) != 0 && errno != ENOENT) {
            error_ = "a stale " + lock.string() + " could not be removed: " + std::strerror(errno);
            break;
        }
        stale_ = e.pid;
    }
    if (result == Result::Failed && error_.empty())
        error_ = lock.string() + " keeps changing";
    ::unlink(temp.c_str());
    return result;
}

void PortLock::Release()
{
    if (path_.empty())
        return;
    // Only our own: a lock that someone took over as stale is theirs now.
    if (ReadLock(path_).pid == ::getpid())
        ::unlink(path_.c_str());
    path_.clear();
}

} // namespace sp::ras
