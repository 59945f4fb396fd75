#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace sp::ras {

// A serial port's lock file as pppd, minicom and the other dialers take it:
// <folder>/LCK..<port name> holding the owner's pid as ten characters and a
// line end. A lock whose process has gone is stale and is taken over.
class PortLock {
public:
    enum class Result {
        Taken,
        Busy,     // another live process holds it (Holder())
        NoFolder, // the folder is missing or not writable: nobody can lock here
        Failed,   // the file could not be written (Error())
    };

    PortLock() = default;
    ~PortLock() { Release(); }
    PortLock(PortLock&& other) noexcept;
    PortLock& operator=(PortLock&& other) noexcept;
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Takes the lock of port in folder, removing a stale one on the way.
    [[nodiscard]] Result Take(const std::filesystem::path& folder, const std::string& port);
    // Removes the lock file, when it is still ours.
    void Release();

    [[nodiscard]] bool Held() const { return !path_.empty(); }
    [[nodiscard]] const std::filesystem::path& Path() const { return path_; }
    // After Busy: the holder's pid (0 when its file is being written or unreadable).
    [[nodiscard]] pid_t Holder() const { return holder_; }
    // After Taken: the pid of a stale lock that was removed on the way (0:
    // an old lock that named nobody).
    [[nodiscard]] std::optional<pid_t> StaleRemoved() const { return stale_; }
    [[nodiscard]] const std::string& Error() const { return error_; }

    // The lock file's name for a port, as pppd names it: the device path
    // after /dev/ with '/' as '_' (LCK..ttyUSB0, LCK..pts_3); empty when the
    // path gives no usable name.
    [[nodiscard]] static std::string FileName(const std::string& port);
    // The machine's lock folder: /var/lock, else /run/lock, when writable;
    // empty when neither is.
    [[nodiscard]] static std::filesystem::path DefaultFolder();

private:
    std::filesystem::path path_;
    pid_t holder_ = 0;
    std::optional<pid_t> stale_;
    std::string error_;
};

} // namespace sp::ras
