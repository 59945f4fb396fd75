#include "report/SupportReport.h"

#include "platform/base/Cp1251.h"
#include "platform/base/IniFile.h"
#include "platform/rasman/NetworkConfig.h"
#include "platform/system/VersionInfo.h"
#include "report/ChildProcess.h"
#include "report/EventLogText.h"
#include "report/Privacy.h"
#include "report/RegistryReport.h"
#include "report/ServiceProbe.h"
#include "report/TarGzWriter.h"

#include <QStringDecoder>
#include <QtGlobal>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

namespace sp {

namespace fs = std::filesystem;

namespace {

// Files a person can edit are read up to these sizes.
constexpr size_t kSmallFileLimit = 1024 * 1024;
constexpr size_t kServiceLogLimit = 1024 * 1024;
constexpr size_t kChildOutputLimit = 1024 * 1024;
constexpr auto kChildTimeout = std::chrono::seconds(12);
constexpr auto kServiceTimeout = std::chrono::seconds(3);
constexpr size_t kMaxModemReadings = 8;

// A device's name as part of an archive member's name: letters, digits and
// '-' kept, anything else '_', at most 40 bytes.
std::string MemberWord(std::string_view name) {
    std::string word;
    for (const char c : name.substr(0, 40)) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        word += keep ? c : '_';
    }
    return word.empty() ? "unnamed" : word;
}

struct FileRead {
    enum class State { Ok, Missing, Unreadable } state = State::Missing;
    std::string data;
    uint64_t size = 0;
    uint64_t leftOut = 0; // bytes before a tail, or after a head, not read
    std::string error;
};

// A descriptor closed when it goes.
class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd_, o.fd_);
        return *this;
    }
    [[nodiscard]] int get() const { return fd_; }

private:
    int fd_;
};

void Failed(FileRead& r, int err) {
    r.state = err == ENOENT ? FileRead::State::Missing : FileRead::State::Unreadable;
    r.error = std::strerror(err);
}

// The first (or with tail, the last) `limit` bytes of an open file.
void ReadOpen(const Fd& fd, size_t limit, bool tail, FileRead& r) {
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        r.state = FileRead::State::Unreadable;
        r.error = S_ISDIR(st.st_mode) ? "a folder, not a file" : "not a regular file";
        return;
    }
    r.size = static_cast<uint64_t>(st.st_size);
    const uint64_t want = std::min<uint64_t>(r.size, limit);
    const off_t start = tail ? static_cast<off_t>(r.size - want) : 0;
    r.data.resize(want);
    size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(fd.get(), r.data.data() + got, want - got, start + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            Failed(r, errno);
            r.data.clear();
            return;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    r.data.resize(got);
    r.leftOut = r.size - got;
    r.state = FileRead::State::Ok;
}

// A file outside the machine root (the system's, the program's log).
FileRead ReadBounded(const fs::path& path, size_t limit, bool tail) {
    FileRead r;
    const Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        Failed(r, errno);
    else
        ReadOpen(fd, limit, tail, r);
    return r;
}

// The machine root's files, opened without following a link anywhere below
// the root, and only when they are regular files of the root's owner: run
// by root on a subscriber's root, a link or a file put there must not bring
// another file (/etc/shadow) into the report, nor a FIFO hang it.
class RootFiles {
public:
    explicit RootFiles(const fs::path& root)
        : root_(root), fd_(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {
        struct stat st {};
        if (fd_.get() >= 0 && ::fstat(fd_.get(), &st) == 0)
            owner_ = st.st_uid;
    }

    // Whether the path lies inside the root, as written.
    [[nodiscard]] bool Holds(const fs::path& path) const {
        const fs::path rel = path.lexically_normal().lexically_relative(root_.lexically_normal());
        return !rel.empty() && *rel.begin() != ".." && *rel.begin() != ".";
    }

    // The file, or no descriptor with the reason in `r`.
    [[nodiscard]] Fd Open(const fs::path& path, FileRead& r) const {
        if (fd_.get() < 0) {
            Failed(r, ENOENT);
            return Fd();
        }
        const fs::path rel = path.lexically_normal().lexically_relative(root_.lexically_normal());
        std::vector<std::string> parts;
        for (const fs::path& p : rel)
            parts.push_back(p.string());
        if (parts.empty()) {
            Failed(r, ENOENT);
            return Fd();
        }
        Fd dir(::fcntl(fd_.get(), F_DUPFD_CLOEXEC, 0));
        for (size_t i = 0; i < parts.size(); ++i) {
            const bool last = i + 1 == parts.size();
            const int flags = last ? O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC
                                   : O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
            Fd next(parts[i] == ".." ? -1 : ::openat(dir.get(), parts[i].c_str(), flags));
            if (next.get() < 0) {
                const int err = parts[i] == ".." ? EACCES : errno;
                struct stat st {};
                if (::fstatat(dir.get(), parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
                    r.state = FileRead::State::Unreadable;
                    r.error = last ? "a symbolic link, not followed" : "a symbolic link on the way, not followed";
                } else {
                    Failed(r, err);
                }
                return Fd();
            }
            dir = std::move(next);
        }
        struct stat st {};
        if (::fstat(dir.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            r.state = FileRead::State::Unreadable;
            r.error = S_ISDIR(st.st_mode) ? "a folder, not a file" : "not a regular file";
            return Fd();
        }
        if (st.st_uid != owner_) {
            r.state = FileRead::State::Unreadable;
            r.error = "owned by another user (uid " + std::to_string(st.st_uid) + ") than the machine root, not read";
            return Fd();
        }
        return dir;
    }

    [[nodiscard]] FileRead Read(const fs::path& path, size_t limit, bool tail) const {
        if (!Holds(path))
            return ReadBounded(path, limit, tail);
        FileRead r;
        if (const Fd fd = Open(path, r); fd.get() >= 0)
            ReadOpen(fd, limit, tail, r);
        return r;
    }

private:
    fs::path root_;
    Fd fd_;
    uid_t owner_ = 0;
};

std::string Describe(const fs::path& path, const FileRead& r) {
    if (r.state == FileRead::State::Missing)
        return path.string() + ": missing";
    return path.string() + ": cannot be read (" + r.error + ")";
}

std::string FileVersionOf(const fs::path& file) {
    const uint32_t size = GetFileVersionInfoSizeA(file.string());
    std::vector<char> data;
    std::string translation, version;
    if (size == 0 || !GetFileVersionInfoA(file.string(), size, data) ||
        !VerQueryValueA(data, "\\VarFileInfo\\Translation", translation) || translation.size() < 8)
        return {};
    // The translation's 32-bit value holds the language low and the code page high.
    const std::string block =
        "\\StringFileInfo\\" + translation.substr(4, 4) + translation.substr(0, 4) + "\\FileVersion";
    return VerQueryValueA(data, block, version) ? version : std::string();
}

std::string OsRelease() {
    const FileRead r = ReadBounded("/etc/os-release", 64 * 1024, false);
    const IniFile ini = IniFile::Parse("[os]\n" + r.data);
    std::string name = ini.Get("os", "PRETTY_NAME").value_or("");
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
        name = name.substr(1, name.size() - 2);
    return name.empty() ? "unknown" : name;
}

std::string Kernel() {
    utsname u{};
    if (::uname(&u) != 0)
        return "unknown";
    return std::string(u.sysname) + " " + u.release + " " + u.version + " " + u.machine;
}

std::string LocalTime(std::time_t t, const char* format) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[64];
    std::strftime(buf, sizeof buf, format, &tm);
    return buf;
}

std::string Size(uint64_t bytes) {
    char buf[64];
    if (bytes < 10 * 1024)
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 10ull * 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return buf;
}

// Files a person or another tool writes may be UTF-8 (names given on a
// command line) or code page 1251 (what the program stores): UTF-8 is kept,
// anything else read as code page 1251.
std::string ToUtf8(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8);
    (void)utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return utf8.hasError() ? Cp1251ToUtf8(bytes) : bytes;
}

// "1 line", "2 lines".
std::string Count(size_t n, const char* noun) {
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

std::vector<std::string> SplitCsvLine(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string f;
    while (std::getline(ss, f, ','))
        fields.push_back(f);
    if (!line.empty() && line.back() == ',')
        fields.emplace_back();
    return fields;
}

// The archive's folder: the output's name without its extensions when that
// is a plain name (letters, digits, '-', '_', '.', not beginning with a dot),
// else "skyportal-report".
std::string FolderName(const fs::path& output) {
    std::string folder = output.filename().string();
    for (const char* ext : {".gz", ".tgz", ".tar"})
        if (folder.size() > std::strlen(ext) &&
            folder.compare(folder.size() - std::strlen(ext), std::string::npos, ext) == 0)
            folder.resize(folder.size() - std::strlen(ext));
    const bool plain = std::all_of(folder.begin(), folder.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
               c == '_' || c == '.';
    });
    if (!plain || folder.empty() || folder.front() == '.' || folder.size() > 60)
        return "skyportal-report";
    return folder;
}

class Builder {
public:
    explicit Builder(const ReportOptions& o) : o_(o), files_(o.root) {}

    ReportResult Run() {
        ReportResult result;
        TarGzWriter tar;
        if (!tar.Open(o_.output, result.error))
            return result;
        Header();
        Machine();
        Modems();
        Service();
        Dials();
        Traffic();
        Files();
        Problems();
        // Everything gathered: a secret met anywhere leaves every text.
        const std::string folder = FolderName(o_.output);
        // An init string with a PIN may stand in any text (the registry, the
        // service's views and log): all are masked before any is scrubbed.
        std::string report = MaskInitSecrets(report_.str(), secrets_);
        for (Piece& m : members_)
            m.content = MaskInitSecrets(m.content, secrets_);
        if (!tar.Add(folder + "/report.txt", secrets_.Scrub(report), o_.now, result.error))
            return result;
        for (const Piece& m : members_)
            if (!tar.Add(folder + "/" + m.name, secrets_.Scrub(m.content), o_.now, result.error))
                return result;
        if (!tar.Commit(result.error))
            return result;
        result.written = true;
        return result;
    }

private:
    void Problem(const std::string& text) { problems_.push_back(text); }
    void Member(std::string name, std::string content, std::string what) {
        members_.push_back(Piece{std::move(name), std::move(content), std::move(what)});
    }

    void Header() {
        std::string version;
        std::error_code ec;
        if (!fs::exists(o_.program, ec))
            version = "unknown (" + o_.program.string() + " not found)";
        else if (version = FileVersionOf(o_.program); version.empty())
            version = "unknown (" + o_.program.string() + " carries none)";
        report_ << "Skyportal support report\n"
                << "Made " << LocalTime(o_.now, "%Y-%m-%d %H:%M:%S %Z") << " by skyportal-report\n\n"
                << "Program\n"
                << "  File:          " << o_.program.string() << "\n"
                << "  FileVersion:   " << version << "\n"
                << "  Qt:            " << qVersion() << "\n"
                << "  Kernel:        " << Kernel() << "\n"
                << "  Distribution:  " << OsRelease() << "\n\n";
    }

    void Machine() {
        std::error_code ec;
        report_ << "Machine\n  Machine root:  " << o_.root.string();
        if (!fs::is_directory(o_.root, ec)) {
            report_ << " (missing: the program has not run here yet)";
            Problem("the machine root " + o_.root.string() + " is missing");
        }
        report_ << "\n";
        const fs::path iniPath = o_.root / "machine.ini";
        const FileRead ini = files_.Read(iniPath, kSmallFileLimit, false);
        std::string version = "5.1", platform = "nt";
        if (ini.state == FileRead::State::Ok) {
            const IniFile f = IniFile::Parse(ini.data);
            version = f.Get("system", "version").value_or("5.1");
            platform = f.Get("system", "platform").value_or(version.rfind("4", 0) == 0 ? "9x" : "nt");
            Member("machine.ini", ToUtf8(MaskIniPasswords(ini.data, secrets_)), Size(ini.size));
        } else {
            Problem(Describe(iniPath, ini));
        }
        nt_ = platform == "nt" || platform == "NT";
        report_ << "  Windows:       " << version << " (" << (nt_ ? "NT family: 2000, XP" : "95/98/ME family")
                << ")"
                << (ini.state == FileRead::State::Ok        ? ""
                    : ini.state == FileRead::State::Missing ? ", the default: machine.ini is missing"
                                                            : ", the default: machine.ini cannot be read")
                << "\n\n";
    }

    void Modems() {
        // The database is opened by its name; it and its companions are
        // looked at first, the way every file of the root is.
        const fs::path db = o_.root / "registry.db";
        for (const char* suffix : {"", "-wal", "-shm"}) {
            const fs::path part = db.string() + suffix;
            FileRead r;
            std::error_code ec;
            if ((*suffix == '\0' || fs::exists(fs::symlink_status(part, ec))) && files_.Open(part, r).get() < 0 &&
                r.state != FileRead::State::Missing) {
                registry_.error = Describe(part, r);
                break;
            }
        }
        if (registry_.error.empty())
            registry_ = ReadRegistryReport(db, nt_);
        if (!registry_.readable)
            Problem("the registry cannot be read: " + registry_.error);
        for (const std::string& n : registry_.notes)
            Problem("registry: " + n);
        if (registry_.readable)
            Member("registry.reg", MaskIniPasswords(registry_.regFile, secrets_),
                   "the program's key (values deciphered) and the modem keys");

        const fs::path netPath = o_.root / "network.ini";
        FileRead net;
        const Fd netFd = files_.Open(netPath, net);
        if (netFd.get() >= 0)
            ReadOpen(netFd, kSmallFileLimit, false, net);
        ras::NetworkConfig config;
        if (net.state == FileRead::State::Ok) {
            // The very file that was checked, not whatever the name means now.
            if (net.leftOut == 0)
                config = ras::NetworkConfig::Load("/proc/self/fd/" + std::to_string(netFd.get()));
            Member("network.ini", ToUtf8(MaskIniPasswords(net.data, secrets_)),
                   Size(net.size) + ", passwords masked");
        } else {
            Problem(Describe(netPath, net));
        }

        report_ << "Modems (registry, drivers from network.ini)\n";
        std::vector<std::string> listed;
        for (const RegistryReport::Modem& m : registry_.modems) {
            report_ << "  " << m.name << "\n      driver:    " << Driver(config, m.name)
                    << "\n      port:      " << (m.attachedTo.empty() ? "-" : m.attachedTo)
                    << "\n      UserInit:  " << (m.userInit.empty() ? "-" : m.userInit) << "\n";
            listed.push_back(m.name);
        }
        for (const auto& [key, serial] : config.serialModems) {
            if (std::none_of(listed.begin(), listed.end(),
                             [&](const std::string& n) { return EqualsNoCase(n, serial.name); }))
                report_ << "  " << serial.name << "\n      driver:    " << Driver(config, serial.name)
                        << "\n      (in network.ini, not registered yet: the service registers it when it "
                           "next runs)\n";
        }
        if (registry_.modems.empty() && config.serialModems.empty())
            report_ << "  none\n";
        const auto& settings = registry_.settings;
        report_ << "\nSettings (HKEY_LOCAL_MACHINE" << kProgramKey << ")\n";
        for (const RegistryReport::Setting& s : settings) {
            std::string value = MaskSecretWords(s.value, secrets_);
            for (char& c : value)
                if (c == '\r' || c == '\n')
                    c = ' ';
            report_ << "  " << s.name << " = " << value << (s.deciphered ? "" : "   (not enciphered)")
                    << "\n";
        }
        if (settings.empty())
            report_ << "  none\n";
        report_ << "\n";
    }

    static std::string Driver(const ras::NetworkConfig& config, const std::string& name) {
        if (const ras::SerialModem* m = config.SerialFor(name))
            return "serial " + m->port + " " + std::to_string(m->speed);
        return "simulated";
    }

    void Service() {
        service_ = ProbeService(o_.root, kServiceTimeout);
        report_ << "Remote access service\n  ";
        switch (service_.kind) {
        case ServiceState::Kind::Running:
            report_ << (service_.frozen ? "running, frozen (it holds the program's calls)" : "running");
            break;
        case ServiceState::Kind::Starting:
            report_ << "starting";
            break;
        case ServiceState::Kind::NoAnswer:
            report_ << "not answering: " << service_.detail;
            break;
        case ServiceState::Kind::NotRunning:
            report_ << "not running (" << service_.detail << "); the report did not start it";
            break;
        }
        report_ << "\n\nConnections\n";
        if (service_.kind != ServiceState::Kind::Running)
            report_ << "  unknown: the service does not answer\n";
        else if (service_.connections.empty())
            report_ << "  none\n";
        for (const auto& c : service_.connections) {
            report_ << "  handle " << c.handle << "  entry " << c.entry << "  device " << c.device
                    << "  state " << c.state;
            if (c.error != 0)
                report_ << "/" << c.error << " (" << ServiceErrorText(c.error) << ")";
            report_ << "  received " << c.rx << "  sent " << c.tx << "\n";
        }
        report_ << "\n";

        Rasctl({"devices"}, "rasctl-devices.txt");
        Rasctl({"entries"}, "rasctl-entries.txt");
        Rasctl({"connections"}, "rasctl-connections.txt");
        Rasctl({"history", "sessions"}, "rasctl-history-sessions.txt");
        Rasctl({"history", "days"}, "rasctl-history-days.txt");
        Rasctl({"history", "cycles"}, "rasctl-history-cycles.txt");
        // What each modem last said of its SIM, network and signal; the
        // report asks no modem anew.
        size_t modems = 0;
        for (const auto& d : service_.devices) {
            if (d.type != "modem" || ++modems > kMaxModemReadings)
                continue;
            Rasctl({"modem", d.name, "--last"}, "rasctl-modem-" + MemberWord(d.name) + ".txt");
        }

        // The service's own log, the older half first.
        for (const char* name : {"rasman.log.1", "rasman.log"}) {
            const fs::path path = o_.root / "run" / name;
            const FileRead log = files_.Read(path, kServiceLogLimit, true);
            if (log.state == FileRead::State::Ok)
                Member(name, ToUtf8(log.data), Size(log.size) + (log.leftOut ? ", its end" : ""));
            else if (log.state == FileRead::State::Unreadable || std::string(name) == "rasman.log")
                Problem("the service's log " + Describe(path, log));
        }
    }

    // Why rasctl is not asked, or empty when it may be: it would start a
    // service that is not running, and lay out a machine root that is
    // missing parts.
    std::string RasctlRefusal() const {
        if (service_.kind != ServiceState::Kind::Running)
            return "the service is not running, and the report starts nothing";
        std::error_code ec;
        for (const char* part : {"machine.ini", "network.ini", "run", "drive_c"})
            if (!fs::exists(o_.root / part, ec))
                return std::string("the machine root has no ") + part + ", which rasctl would make";
        if (o_.rasctl.empty() || ::access(o_.rasctl.c_str(), X_OK) != 0)
            return "rasctl was not found" + (o_.rasctl.empty() ? std::string() : " at " + o_.rasctl.string());
        return {};
    }

    // The output of one rasctl command, or why there is none.
    std::optional<std::string> AskRasctl(const std::vector<std::string>& args, std::string& why) {
        why = RasctlRefusal();
        if (!why.empty())
            return std::nullopt;
        std::vector<std::string> argv{o_.rasctl.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        // A path that cannot run keeps rasctl from starting a service, should
        // this one stop in the meantime.
        const ChildResult r = RunChild(
            argv, {{"SKYPORTAL_ROOT", o_.root.string()}, {"SKYPORTAL_RASMAN", "/nonexistent/rasman"}},
            kChildTimeout, kChildOutputLimit);
        if (!r.started)
            why = "rasctl could not be started: " + r.err;
        else if (r.timedOut)
            why = "rasctl did not finish within " + std::to_string(kChildTimeout.count()) + " s";
        else if (r.exitCode == 2)
            why = "this rasctl does not know `" + args.front() + "`";
        else if (r.exitCode != 0)
            why = "rasctl ended with " + std::to_string(r.exitCode) + ": " +
                  std::string(TrimSpace(std::string_view(r.err).substr(0, r.err.find('\n'))));
        else
            return r.out;
        return std::nullopt;
    }

    void Rasctl(const std::vector<std::string>& args, const std::string& member) {
        std::string command = "rasctl";
        for (const std::string& a : args)
            command += " " + a;
        std::string why;
        if (auto out = AskRasctl(args, why))
            Member(member, "$ " + command + "\n" + *out, "the output of `" + command + "`");
        else
            Member(member, "$ " + command + "\nnot available: " + why + "\n", "not available");
    }

    void Dials() {
        const fs::path programLog = o_.program.parent_path() / "GPRSlog.log";
        const fs::path copyFolder = o_.root / "drive_c" / "Zentora";
        const fs::path copyLog = copyFolder / "GPRSlog.log";
        // An installed program cannot write beside itself and keeps its log here.
        const fs::path rootLog = o_.root / "GPRSlog.log";
        std::error_code ec;
        std::optional<DecipheredLog> root;
        if (fs::exists(fs::symlink_status(rootLog, ec)))
            root = Log(rootLog, "machine-root-GPRSlog.log", "in the machine root");
        std::optional<DecipheredLog> beside;
        if (root && !fs::exists(fs::symlink_status(programLog, ec)))
            notes_.push_back(
                "no GPRSlog.log beside the program: its folder cannot be written, the log is in the "
                "machine root");
        else
            beside = Log(programLog, "GPRSlog.log", "beside the program");
        std::optional<DecipheredLog> copy;
        if (fs::equivalent(programLog, copyLog, ec))
            notes_.push_back("the program runs from the copy folder C:\\Zentora\\: its log is GPRSlog.log");
        else if (fs::is_directory(copyFolder, ec))
            copy = Log(copyLog, "Zentora-copy-GPRSlog.log", "in the copy folder C:\\Zentora\\");
        else
            notes_.push_back("no copy folder C:\\Zentora\\");

        // Lines carry the time of day only, so the logs cannot be merged:
        // the dials come from the one written last.
        const DecipheredLog* source = nullptr;
        std::string from;
        fs::file_time_type newest = fs::file_time_type::min();
        const auto consider = [&](const std::optional<DecipheredLog>& log, const fs::path& path,
                                  const char* what) {
            if (!log)
                return;
            const fs::file_time_type written = fs::last_write_time(path, ec);
            if (!source || (!ec && written > newest)) {
                source = &*log;
                from = what;
                newest = ec ? newest : written;
            }
        };
        consider(beside, programLog, "GPRSlog.log beside the program");
        consider(copy, copyLog, "the copy folder's GPRSlog.log");
        consider(root, rootLog, "the machine root's GPRSlog.log");
        const std::vector<DialRecord> dials =
            source ? LastDials(source->lines, 10) : std::vector<DialRecord>{};
        if (source)
            report_ << "Last dials (from " << from << ", oldest first)\n"
                    << (dials.empty() ? "  none logged\n" : "");
        else
            report_
                << "Last dials\n  unknown: no event log (the program writes one only when started with /l)\n";
        for (const DialRecord& d : dials) {
            report_ << "  " << d.time << "  " << d.params << "\n      outcome:   ";
            switch (d.outcome) {
            case DialRecord::Outcome::Connected:
                report_ << "connected\n";
                break;
            case DialRecord::Outcome::Unknown:
                report_ << "no outcome logged (still dialling, or the program ended)\n";
                break;
            case DialRecord::Outcome::NoCode:
                report_ << "ended without an error code (cancelled, or the modem did not answer)\n"
                        << "      program:   " << ProgramDialErrorText(0) << "\n";
                break;
            case DialRecord::Outcome::Failed: {
                const std::string service = ServiceErrorText(d.code);
                report_ << "failed, error " << d.code << "\n"
                        << "      program:   " << ProgramDialErrorText(d.code) << "\n"
                        << "      service:   " << (service.empty() ? "(no text for this code)" : service)
                        << "\n";
                if (d.logged != service && !d.logged.empty())
                    report_ << "      logged:    " << d.logged << "\n";
                break;
            }
            }
        }
        report_ << "\n";
    }

    std::optional<DecipheredLog> Log(const fs::path& path, const std::string& member,
                                     const std::string& where) {
        const FileRead r = files_.Read(path, kLogTailBytes, true);
        if (r.state != FileRead::State::Ok) {
            Problem("the event log " + where + " " + Describe(path, r) +
                    (r.state == FileRead::State::Missing
                         ? " (the program writes it only when started with /l)"
                         : ""));
            return std::nullopt;
        }
        DecipheredLog log = DecipherLog(r.data, r.size, r.leftOut, secrets_);
        std::string what = Count(log.lines.size(), "line") + ": " + std::to_string(log.enciphered) +
                           " deciphered, " + std::to_string(log.plain) + " plain";
        if (log.leftOut)
            what += "; the file's last " + Size(r.size - log.leftOut) + " of " + Size(r.size);
        if (log.notDeciphered) {
            what += "; " + std::to_string(log.notDeciphered) + " left out, marked \"" +
                    std::string(kNotDeciphered) + "\"";
            Problem(path.string() + ": " + Count(log.notDeciphered, "line") +
                    " that could not be deciphered (left out, marked)");
        }
        Member(member, log.text, what);
        return log;
    }

    void Traffic() {
        report_ << "Traffic this billing cycle\n  ";
        std::string why;
        const auto csv = AskRasctl({"history", "cycles", "1", "--csv"}, why);
        std::vector<std::string> rows;
        if (csv) {
            std::stringstream ss(*csv);
            for (std::string line; std::getline(ss, line);)
                if (!TrimSpace(line).empty())
                    rows.push_back(std::string(TrimSpace(line)));
        }
        const std::vector<std::string> header =
            rows.empty() ? std::vector<std::string>{} : SplitCsvLine(rows.front());
        const std::vector<std::string> expected{"start", "end", "received", "sent", "total", "limit"};
        if (!csv) {
            report_ << "not available: " << why << "\n\n";
            return;
        }
        if (header != expected || rows.size() < 2) {
            report_ << (rows.size() == 1 && header == expected
                            ? "none recorded yet"
                            : "not available: an answer in an unknown form")
                    << "\n\n";
            return;
        }
        const std::vector<std::string> f = SplitCsvLine(rows.back());
        if (f.size() != expected.size()) {
            report_ << "not available: an answer in an unknown form\n\n";
            return;
        }
        report_ << f[0] << " to " << f[1] << ": received " << f[2] << " bytes, sent " << f[3]
                << " bytes, total " << f[4] << " bytes; limit " << (f[5].empty() ? "off" : f[5] + " bytes")
                << "\n\n";
    }

    void Files() {
        const fs::path pbkPath = o_.root / "drive_c" / "Documents and Settings" / "All Users" /
                                 "Application Data" / "Microsoft" / "Network" / "Connections" / "Pbk" /
                                 "rasphone.pbk";
        const FileRead pbk = files_.Read(pbkPath, kSmallFileLimit, false);
        if (pbk.state == FileRead::State::Ok)
            Member("rasphone.pbk", ToUtf8(MaskIniPasswords(pbk.data, secrets_)),
                   "the phonebook, " + Size(pbk.size) + ", saved passwords masked" +
                       (pbk.leftOut ? ", its beginning" : ""));
        else
            Problem("the phonebook " + Describe(pbkPath, pbk));

        report_ << "Files in this report\n  report.txt: this text\n";
        // The logs first, then the service's views, then the settings.
        const auto rank = [](const std::string& name) {
            static const char* const order[] = {
                "GPRSlog", "machine-root-GPRSlog", "Zentora-copy", "rasman", "rasctl", "registry",
                "rasphone"};
            for (size_t i = 0; i < std::size(order); ++i)
                if (name.starts_with(order[i]))
                    return i;
            return std::size(order);
        };
        std::stable_sort(members_.begin(), members_.end(),
                         [&](const Piece& a, const Piece& b) { return rank(a.name) < rank(b.name); });
        for (const Piece& m : members_)
            report_ << "  " << m.name << ": " << m.what << "\n";
        for (const std::string& n : notes_)
            report_ << "  " << n << "\n";
        report_ << "\n";
    }

    void Problems() {
        report_ << "Problems met while making the report\n";
        if (problems_.empty())
            report_ << "  none\n";
        for (const std::string& p : problems_)
            report_ << "  - " << p << "\n";
    }

    const ReportOptions& o_;
    RootFiles files_;
    std::ostringstream report_;
    struct Piece {
        std::string name, content, what;
    };
    std::vector<Piece> members_;
    std::vector<std::string> notes_;
    std::vector<std::string> problems_;
    SecretSet secrets_;
    RegistryReport registry_;
    ServiceState service_;
    bool nt_ = true;
};

} // namespace

ReportResult MakeSupportReport(const ReportOptions& options) {
    try {
        return Builder(options).Run();
    } catch (const std::exception& e) {
        ReportResult r;
        r.error = e.what();
        return r;
    }
}

std::string DefaultReportName(std::time_t now) {
    return "skyportal-report-" + LocalTime(now, "%Y%m%d-%H%M%S") + ".tar.gz";
}

fs::path DesktopFolder() {
    std::error_code ec;
    const ChildResult r = RunChild({"xdg-user-dir", "DESKTOP"}, {}, std::chrono::seconds(5), 4096);
    const std::string_view desktop = TrimSpace(r.out);
    if (r.exitCode == 0 && !desktop.empty() && fs::is_directory(fs::path(desktop), ec))
        return fs::path(desktop);
    const char* home = std::getenv("HOME");
    if (home && *home && fs::is_directory(home, ec))
        return home;
    return fs::current_path(ec);
}

} // namespace sp
