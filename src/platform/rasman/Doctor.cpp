#include "platform/rasman/Doctor.h"

#include "platform/base/IniFile.h"
#include "platform/rasman/ModemManagerClient.h"
#include "platform/rasman/NetworkConfig.h"
#include "platform/rasman/PortLock.h"
#include "platform/rasman/SerialDialogue.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

extern char** environ;

namespace sp::ras {

namespace {

class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}
    void Ok(const std::string& what) { out_ << "ok    " << what << "\n"; }
    void Fail(const std::string& what, const std::string& mend)
    {
        out_ << "FAIL  " << what << ". Mend it: " << mend << "\n";
        failed_ = true;
    }
    void Note(const std::string& what) { out_ << "note  " << what << "\n"; }
    [[nodiscard]] bool Failed() const { return failed_; }

private:
    std::ostream& out_;
    bool failed_ = false;
};

std::string UserName()
{
    if (const passwd* pw = ::getpwuid(::getuid()))
        return pw->pw_name;
    return "$USER";
}

// The members /etc/group lists for a group (its primary members are not there).
bool ListedIn(const std::filesystem::path& groupFile, const std::string& group, const std::string& user)
{
    std::ifstream in(groupFile);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::stringstream s(line);
        for (std::string part; std::getline(s, part, ':');)
            f.push_back(part);
        if (f.size() < 4 || f[0] != group)
            continue;
        std::stringstream m(f[3]);
        for (std::string name; std::getline(m, name, ',');) {
            if (name == user)
                return true;
        }
    }
    return false;
}

// Whether this process has the group (the session's groups, as a dial gets them).
bool InSession(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<size_t>(std::max(n, 0)));
    const int got = ::getgroups(static_cast<int>(groups.size()), groups.data());
    return std::find(groups.begin(), groups.begin() + std::max(got, 0), gid) != groups.begin() + std::max(got, 0);
}

void CheckGroup(Report& r, const DoctorPlaces& p, const std::string& name, const std::string& why)
{
    const std::string user = UserName();
    const std::string what = "the user " + user + " in the group " + name + " (" + why + ")";
    const struct group* g = ::getgrnam(name.c_str());
    if (::getuid() == 0) {
        r.Ok(what + ": root needs no group");
        return;
    }
    if (g != nullptr && InSession(g->gr_gid)) {
        r.Ok(what);
        return;
    }
    if (ListedIn(p.groupFile, name, user)) {
        r.Fail(what + ": a member, but not yet in this session", "log out and in again");
        return;
    }
    r.Fail(what + ": not a member", "sudo adduser " + user + " " + name + ", then log out and in again");
}

std::string KernelModulesFolder(const DoctorPlaces& p)
{
    if (!p.kernelModules.empty())
        return p.kernelModules.string();
    utsname u{};
    if (::uname(&u) != 0)
        return {};
    return std::string("/lib/modules/") + u.release;
}

// modules.dep or modules.builtin names the module: it loads on demand or is there.
bool KernelHas(const std::string& folder, const std::string& module)
{
    for (const char* list : {"modules.builtin", "modules.dep"}) {
        std::ifstream in(folder + "/" + list);
        std::string line;
        while (std::getline(in, line)) {
            const std::string path = line.substr(0, line.find(':'));
            const std::string name = path.substr(path.rfind('/') + 1);
            if (name.rfind(module + ".ko", 0) == 0)
                return true;
        }
    }
    return false;
}

void CheckKernel(Report& r, const DoctorPlaces& p)
{
    std::error_code ec;
    const std::string folder = KernelModulesFolder(p);
    if (std::filesystem::exists(p.devPpp, ec))
        r.Ok("the kernel's PPP device " + p.devPpp.string());
    else if (std::filesystem::exists(p.sysModules / "ppp_generic", ec) || KernelHas(folder, "ppp_generic"))
        r.Fail("the kernel's PPP device " + p.devPpp.string() + " is missing", "sudo modprobe ppp_generic");
    else
        r.Fail("this kernel has no PPP support (" + p.devPpp.string() + ", ppp_generic)",
               "sudo apt-get install linux-image-amd64 (Debian's kernel has it), then restart");
    if (std::filesystem::exists(p.sysModules / "ppp_async", ec))
        r.Ok("the kernel's serial PPP (ppp_async) is loaded");
    else if (KernelHas(folder, "ppp_async"))
        r.Ok("the kernel's serial PPP (ppp_async) loads when pppd asks for it");
    else
        r.Fail("this kernel has no serial PPP (ppp_async)", "sudo apt-get install linux-image-amd64, then restart");
}

void CheckPeersFiles(Report& r, const DoctorPlaces& p)
{
    const std::string user = UserName();
    for (const std::string_view name : {kPeer, kPeerDefaultRoute}) {
        const std::filesystem::path f = p.peersFolder / std::string(name);
        if (::access(f.c_str(), R_OK) == 0) {
            r.Ok("pppd's options for the dials " + f.string());
            continue;
        }
        if (errno == ENOENT)
            r.Fail("pppd's options for the dials " + f.string() + " are missing",
                   "sudo apt-get install --reinstall -o Dpkg::Options::=--force-confmiss skyportal");
        else
            r.Fail("pppd's options for the dials " + f.string() + " cannot be read (" + std::strerror(errno) + ")",
                   "sudo adduser " + user + " dip, then log out and in again");
    }
}

// pkcheck's answer for this process: allowed, refused, or not asked.
std::optional<bool> PolkitAllows(const std::string& pkcheck, const std::string& action)
{
    if (::access(pkcheck.c_str(), X_OK) != 0)
        return std::nullopt;
    const std::string pid = std::to_string(::getpid());
    std::vector<std::string> args = {pkcheck, "--action-id", action, "--process", pid};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int rc = ::posix_spawn(&child, pkcheck.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return std::nullopt;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status))
        return std::nullopt;
    // 0 allowed; 1 refused; 2 would ask for a password (no agent here): refused for the service
    const int code = WEXITSTATUS(status);
    if (code == 0)
        return true;
    if (code == 1 || code == 2)
        return false;
    return std::nullopt;
}

void CheckModems(Report& r, const DoctorPlaces& p, const NetworkConfig& net)
{
    if (net.serialModems.empty()) {
        std::string port = "/dev/ttyACM0";
        std::error_code ec;
        for (const char* candidate : {"/dev/ttyACM0", "/dev/ttyUSB0", "/dev/ttyACM1", "/dev/ttyUSB1"}) {
            if (std::filesystem::exists(candidate, ec)) {
                port = candidate;
                break;
            }
        }
        r.Fail("no modem configured", "rasctl add-modem \"My Phone\" " + port);
        return;
    }
    std::optional<std::optional<std::vector<std::string>>> managed;
    std::set<std::string> groups;
    for (const auto& [key, m] : net.serialModems) {
        struct stat st{};
        if (::stat(m.port.c_str(), &st) != 0) {
            r.Fail("the modem \"" + m.name + "\": its port " + m.port + " is not there (plugged in?)",
                   "plug the modem in, or give its port: rasctl add-modem \"" + m.name + "\" /dev/ttyACM0");
            continue;
        }
        r.Ok("the modem \"" + m.name + "\": its port " + m.port);
        if (const struct group* g = ::getgrgid(st.st_gid))
            groups.insert(g->gr_name);
        if (::access(m.pppd.c_str(), X_OK) == 0)
            r.Ok("pppd installed (" + m.pppd + ")");
        else
            r.Fail("pppd is not installed (" + m.pppd + ")", "sudo apt-get install ppp");
        if (!p.askModemManager)
            continue;
        if (!managed)
            managed = ModemManagerClient::ManagedPorts(std::chrono::milliseconds(1000));
        if (!*managed) {
            r.Ok("ModemManager does not hold " + m.port + " (not running)");
            continue;
        }
        const bool holds = std::any_of((*managed)->begin(), (*managed)->end(),
                                       [&](const std::string& n) { return ModemManagerClient::SamePort(n, m.port); });
        if (!holds) {
            r.Ok("ModemManager does not manage " + m.port);
            continue;
        }
        const std::optional<bool> allowed = PolkitAllows(p.pkcheck, "org.freedesktop.ModemManager1.Device.Control");
        if (allowed == std::nullopt)
            r.Note("ModemManager manages " + m.port + "; the service asks it to let go for the dial (polkit not asked: no pkcheck)");
        else if (*allowed)
            r.Ok("ModemManager manages " + m.port + " and polkit lets this user ask it to let go for the dial");
        else
            r.Fail("ModemManager manages " + m.port + " and polkit does not let this user ask it to let go",
                   "sudo systemctl stop ModemManager (or join the group dialout, which the package's polkit rule allows)");
    }
    for (const std::string& g : groups) {
        if (g != "dialout")
            CheckGroup(r, p, g, "the group of the modem's port");
    }
}

} // namespace

int Doctor(std::ostream& out, const DoctorPlaces& places)
{
    Report r(out);
    const NetworkConfig net = NetworkConfig::Load(NetworkConfig::Path());
    if (net.serialModems.empty()) {
        const std::string pppd = SerialModem{}.pppd;
        if (::access(pppd.c_str(), X_OK) == 0)
            r.Ok("pppd installed (" + pppd + ")");
        else
            r.Fail("pppd is not installed (" + pppd + ")", "sudo apt-get install ppp");
    }
    CheckGroup(r, places, "dialout", "serial ports");
    CheckGroup(r, places, "dip", "pppd");
    CheckPeersFiles(r, places);
    CheckKernel(r, places);
    const std::filesystem::path lock = PortLock::DefaultFolder();
    if (!lock.empty())
        r.Ok("the lock folder " + lock.string());
    else
        r.Note("neither /var/lock nor /run/lock is writable: dials go on without a lock file");
    CheckModems(r, places, net);
    out << (r.Failed() ? "A dial cannot work yet: mend the lines marked FAIL.\n" : "Nothing stands in the way of a dial.\n");
    return r.Failed() ? 1 : 0;
}

} // namespace sp::ras
