#include "platform/base/MachineRoot.h"

#include "platform/base/IniFile.h"

#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sp {
namespace fs = std::filesystem;

namespace {

fs::path ResolveRoot() {
    if (const char* r = std::getenv("SKYPORTAL_ROOT"); r && *r)
        return fs::path(r);
    if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x)
        return fs::path(x) / "skyportal";
    const char* home = std::getenv("HOME");
    return fs::path(home && *home ? home : "/tmp") / ".local" / "share" / "skyportal";
}

bool EnsureLayout(const fs::path& root) {
    std::error_code ec;
    // A root made here is its user's alone; one named by the user keeps its mode.
    if (!fs::exists(root, ec) && fs::create_directories(root, ec))
        ::chmod(root.c_str(), 0700);
    fs::create_directories(root / "drive_c", ec);
    fs::create_directories(root / "run", ec);
    // Sockets and locks of the service live here; only the owner may reach them.
    ::chmod((root / "run").c_str(), 0700);
    const fs::path ini = root / "machine.ini";
    if (!fs::exists(ini)) {
        IniFile f;
        f.Set("system", "version", "5.1");
        f.Set("system", "platform", "nt");
        f.Save(ini);
    }
    return fs::is_directory(root / "run", ec) && fs::is_directory(root / "drive_c", ec) && fs::exists(ini, ec);
}

} // namespace

fs::path MachineRoot() {
    // The environment may change between tests in one process, so resolve on
    // every call; each root is laid out once per process (the service asks
    // for paths several times per request).
    static std::mutex m;
    static std::set<fs::path> laidOut;
    fs::path root = ResolveRoot();
    std::lock_guard lock(m);
    if (laidOut.count(root) == 0 && EnsureLayout(root))
        laidOut.insert(root); // a root that could not be laid out is tried again
    return root;
}

fs::path MachineRootPath() { return ResolveRoot(); }

fs::path MachineRunDir() { return MachineRoot() / "run"; }
fs::path MachineDriveC() { return MachineRoot() / "drive_c"; }

MachineVersion ReadMachineVersion() {
    MachineVersion v;
    IniFile f = IniFile::Load(MachineRoot() / "machine.ini");
    const std::string ver = f.Get("system", "version").value_or("5.1");
    const auto dot = ver.find('.');
    try {
        v.major = std::stoi(ver.substr(0, dot));
        v.minor = dot == std::string::npos ? 0 : std::stoi(ver.substr(dot + 1));
    } catch (const std::exception&) {
        v.major = 5;
        v.minor = 1;
    }
    std::string plat = f.Get("system", "platform").value_or(v.major >= 5 ? "nt" : "9x");
    v.nt = plat == "nt" || plat == "NT";
    return v;
}

void WriteMachineVersion(const MachineVersion& v) {
    const fs::path path = MachineRoot() / "machine.ini";
    IniFile f = IniFile::Load(path);
    f.Set("system", "version", std::to_string(v.major) + "." + std::to_string(v.minor));
    f.Set("system", "platform", v.nt ? "nt" : "9x");
    f.Save(path);
}

fs::path WindowsPathToHost(std::string_view w) {
    std::string rest;
    fs::path base;
    if (w.size() >= 2 && w[1] == ':' && (w[0] == 'C' || w[0] == 'c')) {
        base = MachineDriveC();
        rest = std::string(w.substr(2));
    } else if (w.size() >= 2 && w[1] == ':' && (w[0] == 'Z' || w[0] == 'z')) {
        base = "/";
        rest = std::string(w.substr(2));
    } else {
        rest = std::string(w);
    }
    for (char& c : rest)
        if (c == '\\')
            c = '/';
    while (!rest.empty() && rest.front() == '/')
        rest.erase(rest.begin());
    if (base.empty())
        return fs::path(rest);
    return rest.empty() ? base : base / rest;
}

std::string HostPathToWindows(const fs::path& host) {
    const fs::path abs = fs::absolute(host).lexically_normal();
    const fs::path c = MachineDriveC().lexically_normal();
    std::string out;
    const auto rel = abs.lexically_relative(c);
    if (!rel.empty() && *rel.begin() != "..") {
        out = "C:\\";
        if (rel != ".")
            out += rel.string();
    } else {
        out = "Z:" + abs.string();
    }
    for (char& ch : out)
        if (ch == '/')
            ch = '\\';
    return out;
}

void CreatePrivateFile(const fs::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0)
        ::close(fd);
}

} // namespace sp
