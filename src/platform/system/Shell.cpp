#include "platform/system/Shell.h"

#include "platform/base/IniFile.h"
#include "platform/base/ProgramInfo.h"
#include "platform/base/MachineRoot.h"

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace sp {

namespace {

std::filesystem::path Home()
{
    const char* home = std::getenv("HOME");
    return home && *home ? std::filesystem::path(home) : std::filesystem::path("/tmp");
}

// An XDG base folder: only an absolute value counts.
std::filesystem::path XdgOr(const char* name, const std::filesystem::path& fallback)
{
    const char* v = std::getenv(name);
    return v && *v == '/' ? std::filesystem::path(v) : fallback;
}

std::filesystem::path ConfigHome() { return XdgOr("XDG_CONFIG_HOME", Home() / ".config"); }

// Runs a helper of the desktop with its output captured, for at most
// `limit`; a helper that hangs is killed. Nullopt when it is missing, fails
// or runs out of time.
std::optional<std::string> RunHelper(std::vector<std::string> args, std::chrono::milliseconds limit)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        return std::nullopt;
    }
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool eof = false;
    while (!eof) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[512];
        const ssize_t n = ::read(fds[0], buf, sizeof buf);
        if (n <= 0)
            eof = true;
        else if (out.size() < 64 * 1024)
            out.append(buf, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    if (!eof) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return std::nullopt;
    }
    // Output closed: the helper is ending; give it the rest of the time.
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return out;
}

// An absolute path on the first line of a helper's answer, else empty.
std::filesystem::path FirstLinePath(const std::string& text)
{
    const std::string line = text.substr(0, text.find('\n'));
    return !line.empty() && line[0] == '/' ? std::filesystem::path(line) : std::filesystem::path();
}

// XDG_DESKTOP_DIR of user-dirs.dirs: "$HOME/Desktop" or an absolute path,
// in double quotes, as xdg-user-dirs writes it.
std::filesystem::path DesktopFromUserDirs()
{
    std::ifstream f(ConfigHome() / "user-dirs.dirs");
    std::string line;
    std::filesystem::path found;
    while (std::getline(f, line)) {
        constexpr std::string_view key = "XDG_DESKTOP_DIR=";
        if (line.rfind(key, 0) != 0)
            continue;
        std::string v = line.substr(key.size());
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"')
            v = v.substr(1, v.size() - 2);
        if (v.rfind("$HOME", 0) == 0 && (v.size() == 5 || v[5] == '/'))
            found = Home() / std::filesystem::path(v.substr(5)).relative_path();
        else if (!v.empty() && v[0] == '/')
            found = v;
    }
    return found;
}

// The user's desktop folder as the desktop itself names it.
std::filesystem::path UserDesktopFolder()
{
    if (auto out = RunHelper({"xdg-user-dir", "DESKTOP"}, std::chrono::seconds(3))) {
        if (auto p = FirstLinePath(*out); !p.empty())
            return p;
    }
    if (auto p = DesktopFromUserDirs(); !p.empty())
        return p;
    return XdgOr("XDG_DESKTOP_DIR", Home() / "Desktop");
}

std::filesystem::path UserAutostartFolder() { return ConfigHome() / "autostart"; }

// A folder named in machine.ini [folders] (a Windows path maps under drive
// C:), else the user's own folder.
template <class Fallback>
std::filesystem::path MachineFolderOr(std::string_view key, Fallback fallback)
{
    const IniFile ini = IniFile::Load(MachineRoot() / "machine.ini");
    const std::optional<std::string> value = ini.Get("folders", key);
    if (!value || value->empty())
        return fallback();
    if (value->size() >= 2 && (*value)[1] == ':')
        return WindowsPathToHost(*value);
    return *value;
}

// One argument of Exec: quoted when it holds anything but plain characters,
// with ", `, $ and \ escaped inside the quotes.
std::string QuoteExecArgument(std::string_view arg)
{
    bool plain = !arg.empty();
    for (char c : arg)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' || c == '-' || c == '_'))
            plain = false;
    if (plain)
        return std::string(arg);
    std::string q = "\"";
    for (char c : arg) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            q.push_back('\\');
        q.push_back(c);
    }
    q.push_back('"');
    return q;
}

// A value of the string type: backslash and line breaks escaped.
std::string EscapeValue(std::string_view v)
{
    std::string out;
    for (char c : v) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

} // namespace

std::filesystem::path SpecialFolderPath(int csidl)
{
    switch (csidl) {
    case CSIDL_DESKTOPDIRECTORY: return MachineFolderOr("Desktop", UserDesktopFolder);
    case CSIDL_STARTUP: return MachineFolderOr("Startup", UserAutostartFolder);
    // The all-users folders of the emulated system would be seen by nobody on
    // a Linux desktop: they are the user's own unless machine.ini names them.
    case CSIDL_COMMON_DESKTOPDIRECTORY: return MachineFolderOr("CommonDesktop", UserDesktopFolder);
    case CSIDL_COMMON_STARTUP: return MachineFolderOr("CommonStartup", UserAutostartFolder);
    default: return {};
    }
}

std::string DesktopExecValue(const std::filesystem::path& target, std::string_view arguments)
{
    std::string exec = QuoteExecArgument(target.string());
    // The arguments are the program's own switches, each one word.
    size_t pos = 0;
    while (pos < arguments.size()) {
        const size_t next = arguments.find(' ', pos);
        const std::string_view word = arguments.substr(pos, next == std::string_view::npos ? std::string_view::npos : next - pos);
        if (!word.empty())
            exec += " " + QuoteExecArgument(word);
        if (next == std::string_view::npos)
            break;
        pos = next + 1;
    }
    // Field codes start with %; a literal one is doubled.
    std::string out;
    for (char c : exec) {
        out.push_back(c);
        if (c == '%')
            out.push_back('%');
    }
    return EscapeValue(out);
}

std::string ShellLinkText(const TShellLink& link)
{
    std::string t = "[Desktop Entry]\n";
    t += "Type=Application\n";
    t += "Version=1.0\n";
    t += "Name=" + EscapeValue(link.name) + "\n";
    if (!link.description.empty())
        t += "Comment=" + EscapeValue(link.description) + "\n";
    t += "Exec=" + DesktopExecValue(link.target, link.arguments) + "\n";
    if (!link.workingDirectory.empty())
        t += "Path=" + EscapeValue(link.workingDirectory.string()) + "\n";
    if (!link.icon.empty())
        t += "Icon=" + EscapeValue(link.icon) + "\n";
    t += "Terminal=false\n";
    return t;
}

bool SaveShellLink(const TShellLink& link, const std::filesystem::path& folder)
{
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    const std::filesystem::path path = folder / (link.name + ".desktop");
    const std::filesystem::path tmp = folder / ("." + link.name + ".desktop.tmp");
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << ShellLinkText(link);
        f.flush();
        if (!f) {
            std::filesystem::remove(tmp, ec);
            return false;
        }
    }
    // Launchers want the entry executable to trust it.
    std::filesystem::permissions(tmp,
                                 std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec |
                                     std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return false;
    }
    // GNOME's desktop also wants it marked trusted before it launches it.
    // Where gio is missing or keeps no metadata the entry still works
    // elsewhere, so a failure here is no failure of the link.
    (void)RunHelper({"gio", "set", path.string(), "metadata::trusted", "true"}, std::chrono::seconds(3));
    return true;
}

bool ShellExecuteOpen(const std::string& what)
{
    const char* opener = std::getenv("SKYPORTAL_OPEN");
    const std::string program = opener && *opener ? opener : "xdg-open";
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(what.c_str()), nullptr};
    pid_t pid = 0;
    // The browser it may start is the user's, with the user's own umask.
    if (SpawnWithStartingUmask([&] { return ::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ); })
        != 0)
        return false;
    // Reaped in the background, so no child is left behind as a zombie.
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return true;
}

} // namespace sp
