#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sp {

// The emulated Windows system of this machine root, from machine.ini.
struct MachineVersion {
    int major = 5;
    int minor = 1;
    bool nt = true; // platform "nt" or "9x"
    [[nodiscard]] int Code() const { return major * 100 + minor; }
};

// $SKYPORTAL_ROOT, else $XDG_DATA_HOME/skyportal, else ~/.local/share/skyportal.
// Created on first use together with machine.ini (defaults: 5.1, nt), run/
// (mode 0700) and drive_c/.
[[nodiscard]] std::filesystem::path MachineRoot();
// The same folder without laying anything out: for readers that must leave
// the machine as they found it.
[[nodiscard]] std::filesystem::path MachineRootPath();
[[nodiscard]] std::filesystem::path MachineRunDir();
[[nodiscard]] std::filesystem::path MachineDriveC();

[[nodiscard]] MachineVersion ReadMachineVersion();
void WriteMachineVersion(const MachineVersion& v);

// "C:\Zentora\x.exe" <-> <root>/drive_c/Zentora/x.exe; other host paths are
// shown as "Z:\..." and map back from there. Drive letters ignore case.
[[nodiscard]] std::filesystem::path WindowsPathToHost(std::string_view windowsPath);
[[nodiscard]] std::string HostPathToWindows(const std::filesystem::path& hostPath);

// Creates an empty file of the user's alone (0600) where none is, so that a
// store about to be opened there (SQLite makes its own files under the
// umask, and its -wal and -shm files after the database's mode) is never
// readable by others, not even for a moment. A link there is not followed.
void CreatePrivateFile(const std::filesystem::path& file);

} // namespace sp
