#include "platform/system/Shell.h"

#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"

#include <cstdlib>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace sp {

namespace {

std::filesystem::path Home()
{
    const char* home = std::getenv("HOME");
    return home && *home ? std::filesystem::path(home) : std::filesystem::path("/tmp");
}

std::filesystem::path EnvOr(const char* name, const std::filesystem::path& fallback)
{
    const char* v = std::getenv(name);
    return v && *v ? std::filesystem::path(v) : fallback;
}

// A folder named in machine.ini: a Windows path maps under drive C:.
std::filesystem::path MachineFolder(std::string_view key, std::string_view windowsDefault)
{
    const IniFile ini = IniFile::Load(MachineRoot() / "machine.ini");
    const std::string value = ini.Get("folders", key).value_or(std::string(windowsDefault));
    if (value.size() >= 2 && value[1] == ':')
        return WindowsPathToHost(value);
    return value;
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
    case CSIDL_DESKTOPDIRECTORY: return EnvOr("XDG_DESKTOP_DIR", Home() / "Desktop");
    case CSIDL_STARTUP: return EnvOr("XDG_CONFIG_HOME", Home() / ".config") / "autostart";
    case CSIDL_COMMON_DESKTOPDIRECTORY:
        return MachineFolder("CommonDesktop", "C:\\Documents and Settings\\All Users\\Desktop");
    case CSIDL_COMMON_STARTUP:
        return MachineFolder("CommonStartup", "C:\\Documents and Settings\\All Users\\Start Menu\\Programs\\Startup");
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
    std::filesystem::permissions(tmp, std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

bool ShellExecuteOpen(const std::string& what)
{
    const char* opener = std::getenv("SKYPORTAL_OPEN");
    const std::string program = opener && *opener ? opener : "xdg-open";
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(what.c_str()), nullptr};
    pid_t pid = 0;
    if (::posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
        return false;
    // Reaped in the background, so no child is left behind as a zombie.
    std::thread([pid] {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }).detach();
    return true;
}

} // namespace sp
