#include "crypto/uEncrypt.h"
#include "platform/base/Cp1251.h"
#include "platform/base/IniFile.h"
#include "platform/rasapi/RasErrorText.h"
#include "platform/rasman/Devices.h"
#include "platform/registry/Registry.h"
#include "report/ChildProcess.h"
#include "report/Privacy.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr const char* kPassword = "Pw-7731-secret";
constexpr const char* kNetworkPassword = "Пароль-сети-99"; // stored in code page 1251

fs::path BinDir() {
    const char* dir = std::getenv("SKYPORTAL_BIN_DIR");
    return dir ? fs::path(dir) : fs::current_path();
}

void Write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// One log line as the program writes it, enciphered.
std::string Enciphered(const std::string& time, const std::string& source, int code, const std::string& msg) {
    return sp::EncryptString(sp::Utf8ToCp1251(
               time + " : src: " + source + "      code: " + std::to_string(code) + "         msg: " + msg)) +
           "\r\n";
}

// Every file of a folder with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(e.path(), root).string();
        if (e.is_regular_file())
            files[name] = Read(e.path());
        else if (!e.is_regular_file())
            files[name] = "<not a file>";
    }
    return files;
}

class ReportTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string tmpl = (fs::temp_directory_path() / "sp-report-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        root_ = dir_ / "root";
        program_ = dir_ / "program" / "skyportal";
        fs::create_directories(root_ / "run");
        fs::create_directories(root_ / "drive_c");
        fs::create_directories(program_.parent_path());
        // A file of this build with its FileVersion (the tool carries the
        // program's); the log is looked for beside this link.
        fs::create_symlink(BinDir() / "skyportal-report", program_);
        Write(root_ / "machine.ini", "[system]\r\nversion=5.1\r\nplatform=nt\r\n");
    }

    void TearDown() override {
        if (serviceStarted_)
            (void)Run({(BinDir() / "rasctl").string(), "service", "stop"});
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    sp::ChildResult Run(std::vector<std::string> argv,
                        std::vector<std::pair<std::string, std::string>> env = {}) {
        env.emplace_back("SKYPORTAL_ROOT", root_.string());
        return sp::RunChild(argv, env, 60s, 1 << 20);
    }

    sp::ChildResult Report(const fs::path& output,
                           std::vector<std::pair<std::string, std::string>> env = {}) {
        std::vector<std::string> argv{(BinDir() / "skyportal-report").string(), "--program",
                                      program_.string()};
        if (!output.empty()) {
            argv.push_back("--output");
            argv.push_back(output.string());
        }
        return Run(argv, std::move(env));
    }

    // The archive unpacked by the system's tar; its members by name (without
    // the archive's own folder).
    std::map<std::string, std::string> Unpack(const fs::path& archive) {
        const fs::path into = dir_ / "unpacked";
        fs::create_directories(into);
        const auto r = sp::RunChild({"tar", "-xzf", archive.string(), "-C", into.string()}, {}, 30s, 1 << 20);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        std::map<std::string, std::string> members;
        for (const auto& e : fs::recursive_directory_iterator(into))
            if (e.is_regular_file())
                members[e.path().filename().string()] = Read(e.path());
        return members;
    }

    fs::path dir_, root_, program_;
    bool serviceStarted_ = false;
};

// A machine as a subscriber's would be: an enciphered log with a failed and
// a successful dial, settings enciphered, a saved password, a serial modem.
TEST_F(ReportTest, PreparedMachineGivesDecipheredLogAndSettingsWithoutPasswordsAndChangesNothing) {
    {
        sp::TRegistry reg(root_ / "registry.db");
        reg.SetRootKey(sp::RegHive::LocalMachine);
        ASSERT_TRUE(reg.OpenKey("\\Software\\Zentora\\Skyportal", true));
        reg.WriteString("Modem", sp::EncryptString("My Phone"));
        reg.WriteString("APNs", sp::EncryptString("internet\r\n"));
        reg.WriteString("StartStage", sp::EncryptString("2"));
        reg.WriteString("APNVersion", "0"); // written with /r
        ASSERT_TRUE(reg.OpenKey(std::string(sp::ras::kNtModemClassKey) + "\\0000", true));
        reg.WriteString("FriendlyName", "My Phone");
        reg.WriteString("AttachedTo", "/dev/ttyUSB7");
        reg.WriteString("UserInit", "AT+CGDCONT=1,\"IP\",\"internet\"");
    }
    // Closed cleanly, the registry is whole in its file; a reader must not
    // leave a new write-ahead log or index beside it.
    fs::remove(root_ / "registry.db-wal");
    fs::remove(root_ / "registry.db-shm");
    Write(root_ / "network.ini",
          std::string("[Service]\r\nPassword=") + sp::Utf8ToCp1251(kNetworkPassword) +
              "\r\n[My Phone]\r\nDriver=serial\r\nPort=/dev/ttyUSB7\r\nSpeed=57600\r\n");
    Write(root_ / "drive_c/Documents and Settings/All Users/Application "
                  "Data/Microsoft/Network/Connections/Pbk/rasphone.pbk",
          std::string(
              "[Zentora]\r\nszLocalPhoneNumber=*99***1#\r\nUserName=vexul\r\nSavePassword=1\r\nPassword=") +
              kPassword + "\r\n");
    const std::string params =
        std::string("Entry: Zentora ; Phone: *99***1#  ; APN: internet  User: vexul  ; Pswd: ") + kPassword +
        "  ";
    Write(program_.parent_path() / "GPRSlog.log",
          Enciphered("10:00:01", "WINVER", 501, "version of Windows") +
              Enciphered("10:00:05", "DIAL-params", 0, params) +
              Enciphered("10:00:09", "RAS-Dialing error code", 678, std::string(sp::ras::ErrorText(678))) +
              Enciphered("10:00:09", "RAS-HangUp", 6, "The handle is invalid.") + "0F1E2D3C4B5A\r\n" +
              Enciphered("10:01:00", "DIAL-params", 0, params) +
              "10:01:03 : src: THREAD-new-stat      code: 0         msg: Speed: 120 Received 5000 "
              "Tramsmitted 800 Time 0:00:02\r\n");
    // The copy's log is older: the dials are read from the log written last.
    Write(root_ / "drive_c/Zentora/GPRSlog.log", Enciphered("09:00:00", "WINVER", 501, "version of Windows"));
    fs::last_write_time(root_ / "drive_c/Zentora/GPRSlog.log", fs::file_time_type::clock::now() - 1h);
    Write(root_ / "run/rasman.log", std::string("serial: pppd said: password ") + kPassword +
                                        " refused\nsimulated: " + kNetworkPassword + " accepted\n");
    const auto before = Snapshot(root_);

    const fs::path out = dir_ / "out" / "report.tar.gz";
    fs::create_directories(out.parent_path());
    const auto r = Report(out);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, out.string() + "\n");

    // Nothing on the machine changed, and no service was started.
    EXPECT_EQ(Snapshot(root_), before);
    EXPECT_FALSE(fs::exists(root_ / "run/rasman.sock"));
    EXPECT_EQ(fs::status(out).permissions(), fs::perms::owner_read | fs::perms::owner_write);

    const auto list = sp::RunChild({"tar", "-tzf", out.string()}, {}, 30s, 1 << 20);
    EXPECT_EQ(list.out.substr(0, list.out.find('\n')), "report/report.txt");
    auto m = Unpack(out);
    const std::string& report = m["report.txt"];
    EXPECT_TRUE(Has(report, std::string("FileVersion:   ") + SKYPORTAL_PROGRAM_VERSION)) << report;
    EXPECT_TRUE(Has(report, "Windows:       5.1 (NT family")) << report;
    EXPECT_TRUE(Has(report, "My Phone\n      driver:    serial /dev/ttyUSB7 57600")) << report;
    EXPECT_TRUE(Has(report, "not running")) << report;
    EXPECT_TRUE(Has(report, "Modem = My Phone\n")) << report;
    EXPECT_TRUE(Has(report, "APNVersion = 0   (not enciphered)")) << report;
    // The failed dial with both texts, then the one that connected.
    EXPECT_TRUE(
        Has(report, "failed, error 678\n      program:   Ошибка при соединении. Код 678\n      service:   " +
                        std::string(sp::ras::ErrorText(678))))
        << report;
    EXPECT_TRUE(Has(
        report, "10:01:00  Entry: Zentora ; Phone: *99***1#  ; APN: internet  User: vexul  ; Pswd: ********\n"
                "      outcome:   connected"))
        << report;
    EXPECT_TRUE(Has(report, "Traffic this billing cycle\n  not available: the service is not running"))
        << report;

    const std::string& log = m["GPRSlog.log"];
    EXPECT_TRUE(Has(log, "10:00:01 : src: WINVER      code: 501         msg: version of Windows\n")) << log;
    EXPECT_TRUE(Has(log, "[not deciphered, left out] 12 bytes\n")) << log;
    EXPECT_TRUE(Has(log, "msg: Speed: 120 Received 5000")) << log;
    EXPECT_TRUE(Has(m["Zentora-copy-GPRSlog.log"], "09:00:00 : src: WINVER"));
    EXPECT_TRUE(Has(m["registry.reg"], "\"Modem\"=\"My Phone\"")) << m["registry.reg"];
    EXPECT_TRUE(Has(m["registry.reg"], "\"AttachedTo\"=\"/dev/ttyUSB7\""));
    EXPECT_TRUE(Has(m["rasphone.pbk"], "Password=********\r\n"));
    EXPECT_TRUE(Has(m["network.ini"], "Port=/dev/ttyUSB7"));
    EXPECT_TRUE(Has(m["machine.ini"], "version=5.1"));
    EXPECT_TRUE(Has(m["rasctl-devices.txt"], "not available: the service is not running"));
    EXPECT_TRUE(Has(m["rasman.log"], "pppd said: password ******** refused\nsimulated: ******** accepted"));

    // No password and no key of the cipher anywhere in the archive.
    const auto tarStream = sp::RunChild({"gzip", "-dc", out.string()}, {}, 30s, 64 << 20);
    ASSERT_EQ(tarStream.exitCode, 0);
    ASSERT_TRUE(Has(tarStream.out, "report.txt"));
    for (const std::string& secret :
         {std::string(kPassword), std::string(kNetworkPassword), sp::Utf8ToCp1251(kNetworkPassword),
          std::string("5AC31E9740B86DF2"), std::string("\x5A\xC3\x1E\x97\x40\xB8\x6D\xF2")})
        EXPECT_FALSE(Has(tarStream.out, secret)) << secret;
}

// Secrets that stand where no key names them: a SIM PIN in an init string,
// a password inside another value, a line commented out, a damaged log line.
TEST_F(ReportTest, SecretsOutsidePasswordKeysLeaveEveryText) {
    {
        sp::TRegistry reg(root_ / "registry.db");
        reg.SetRootKey(sp::RegHive::LocalMachine);
        ASSERT_TRUE(reg.OpenKey(std::string(sp::ras::kNtModemClassKey) + "\\0000", true));
        reg.WriteString("FriendlyName", "My Phone");
        reg.WriteString("UserInit", "AT+CPIN=\"4398\";+CGDCONT=1,\"IP\",\"internet\"");
        ASSERT_TRUE(reg.OpenKey(std::string(sp::ras::kNtModemClassKey) + "\\0001", true));
        reg.WriteString("FriendlyName", "Other");
        reg.WriteString("UserInit", "AT+CLCK=\"SC\",0,\"8765\"");
    }
    Write(root_ / "network.ini", "[My Phone]\r\nDriver=serial\r\nPppdOptions=user bob password Pq-55-z noauth\r\n"
                                 ";Password=Old-pass-1\r\n");
    Write(root_ / "run/rasman.log", "serial: sent AT+CPWD=\"SC\",\"4398\",\"9999\"\npin 4398 taken\n");
    const std::string params = "Entry: Zentora ; Pswd: Log-pass-3  ";
    std::string damaged = Enciphered("10:00:05", "DIAL-params", 0, params);
    damaged.erase(damaged.size() - 4, 1); // one digit lost: not a whole line any more
    Write(program_.parent_path() / "GPRSlog.log", Enciphered("10:00:01", "WINVER", 501, "v") + damaged);

    const fs::path out = dir_ / "r.tar.gz";
    ASSERT_EQ(Report(out).exitCode, 0);
    auto m = Unpack(out);
    EXPECT_TRUE(Has(m["report.txt"], "UserInit:  AT+CPIN=********;+CGDCONT=1,\"IP\",\"internet\"")) << m["report.txt"];
    EXPECT_TRUE(Has(m["registry.reg"], "AT+CLCK=********\"")) << m["registry.reg"];
    EXPECT_TRUE(Has(m["network.ini"], "user bob password ******** noauth\r\n;Password=********\r\n"))
        << m["network.ini"];
    EXPECT_TRUE(Has(m["GPRSlog.log"], "[not deciphered, left out] ")) << m["GPRSlog.log"];
    EXPECT_TRUE(Has(m["report.txt"], "1 line that could not be deciphered (left out")) << m["report.txt"];
    const auto tarStream = sp::RunChild({"gzip", "-dc", out.string()}, {}, 30s, 64 << 20);
    ASSERT_EQ(tarStream.exitCode, 0);
    for (const std::string& secret : std::vector<std::string>{"4398", "8765", "9999", "Pq-55-z", "Old-pass-1", "Log-pass-3",
                                     damaged.substr(0, damaged.size() - 2)})
        EXPECT_FALSE(Has(tarStream.out, secret)) << secret;
}

// A PIN leaves the report as a number of its own, and only so: a byte count
// or a time that holds its digits stays as it was.
TEST(SecretSet, ADigitSecretIsMaskedOnlyAsANumberOfItsOwn) {
    sp::SecretSet secrets;
    secrets.Add("4398");
    secrets.Add("Pq-55-z");
    EXPECT_EQ(secrets.Scrub("pin 4398, \"4398\"; Received 143980 at 14398 s; Pq-55-zz"),
              "pin ********, \"********\"; Received 143980 at 14398 s; ********z");
}

// An odd output name gives the archive's plain folder, and no member is
// readable by others once unpacked.
TEST_F(ReportTest, MembersStayInsideAPlainFolderAndAreTheOwnersAlone) {
    for (const std::string name : {"...tar.gz", "..tgz", "a b$.tar.gz"}) {
        const fs::path out = dir_ / name;
        ASSERT_EQ(Report(out).exitCode, 0) << name;
        const auto list = sp::RunChild({"tar", "-tvzf", out.string()}, {}, 30s, 1 << 20);
        ASSERT_EQ(list.exitCode, 0) << list.err;
        std::stringstream lines(list.out);
        int members = 0;
        for (std::string line; std::getline(lines, line); ++members) {
            EXPECT_TRUE(line.starts_with("-rw------- ")) << line;
            EXPECT_TRUE(Has(line, " skyportal-report/")) << name << ": " << line;
        }
        EXPECT_GT(members, 3);
    }
}

// Run by root on a subscriber's machine root, the report reads no file a
// link points at or another user owns, and a FIFO does not hold it.
TEST_F(ReportTest, LinksFifosAndOtherUsersFilesInTheRootAreNotRead) {
    Write(dir_ / "outside/secret.ini", "[system]\r\nversion=TOP-SECRET-1\r\n");
    Write(dir_ / "outside/run/rasman.log", "LINKED-LOG-3\n");
    fs::remove(root_ / "machine.ini");
    fs::create_symlink(dir_ / "outside/secret.ini", root_ / "machine.ini");
    fs::remove_all(root_ / "run");
    fs::create_directory_symlink(dir_ / "outside/run", root_ / "run");
    ASSERT_EQ(::mkfifo((root_ / "registry.db").c_str(), 0600), 0);
    Write(root_ / "network.ini", "[Service]\r\nTickMs=OTHER-USER-2\r\n");
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        ASSERT_EQ(::chown((root_ / "network.ini").c_str(), 65534, 65534), 0);
    }

    const fs::path out = dir_ / "r.tar.gz";
    const auto r = Report(out);
    ASSERT_FALSE(r.timedOut);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto m = Unpack(out);
    const std::string& report = m["report.txt"];
    for (const std::string& expected :
         {(root_ / "machine.ini").string() + ": cannot be read (a symbolic link, not followed)",
          (root_ / "run/rasman.log").string() + ": cannot be read (a symbolic link on the way, not followed)",
          "the registry cannot be read: " + (root_ / "registry.db").string() + ": cannot be read (not a regular file)"})
        EXPECT_TRUE(Has(report, expected)) << expected << "\n" << report;
    if (asRoot) {
        EXPECT_TRUE(Has(report, (root_ / "network.ini").string() + ": cannot be read (owned by another user"))
            << report;
    }
    const auto tarStream = sp::RunChild({"gzip", "-dc", out.string()}, {}, 30s, 64 << 20);
    for (const char* leaked : {"TOP-SECRET-1", "LINKED-LOG-3", "OTHER-USER-2"})
        EXPECT_FALSE(Has(tarStream.out, leaked)) << leaked;
}

// Each bad input is described inside; the archive is still written, into
// the home folder when there is no desktop folder.
TEST_F(ReportTest, BadInputIsReportedInsideAndTheReportIsStillWritten) {
    fs::remove(root_ / "machine.ini");
    fs::create_directories(root_ / "machine.ini"); // unreadable: a folder
    Write(root_ / "registry.db", std::string(4096, '\x5A'));
    fs::create_directories(root_ / "drive_c/Zentora"); // a copy folder without a log
    const auto before = Snapshot(root_);
    const fs::path home = dir_ / "home";
    fs::create_directories(home);

    const auto r = Report({}, {{"HOME", home.string()}, {"XDG_CONFIG_HOME", (home / ".config").string()}});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::string path(sp::TrimSpace(r.out));
    EXPECT_TRUE(
        std::regex_match(path, std::regex(home.string() + "/skyportal-report-[0-9]{8}-[0-9]{6}\\.tar\\.gz")))
        << path;
    EXPECT_EQ(Snapshot(root_), before);

    auto m = Unpack(path);
    const std::string& report = m["report.txt"];
    const std::string problems = report.substr(report.find("Problems met while making the report"));
    for (const std::string& expected :
         {(root_ / "machine.ini").string() + ": cannot be read (a folder, not a file)",
          std::string("the registry cannot be read: "),
          (program_.parent_path() / "GPRSlog.log").string() +
              ": missing (the program writes it only when started with /l)",
          (root_ / "drive_c/Zentora/GPRSlog.log").string() + ": missing", std::string("the phonebook "),
          (root_ / "network.ini").string() + ": missing"})
        EXPECT_TRUE(Has(problems, expected)) << expected << "\n" << problems;
    EXPECT_TRUE(Has(report, "Windows:       5.1 (NT family: 2000, XP), the default")) << report;
    EXPECT_FALSE(m.count("registry.reg"));
    EXPECT_FALSE(m.count("GPRSlog.log"));
}

// An installed program cannot write beside itself: its log is the machine
// root's, and the dials come from there without a complaint about the other.
// A planted 40 MiB value is named in the report, not copied into it, and
// the tool stays within 64 MiB of data doing so.
TEST_F(ReportTest, AHugeRegistryValueIsLeftOutAndTheReportStaysSmall) {
    {
        sp::TRegistry reg(root_ / "registry.db");
        reg.SetRootKey(sp::RegHive::LocalMachine);
        ASSERT_TRUE(reg.OpenKey("\\Software\\Zentora\\Skyportal", true));
        const std::string huge(40 << 20, 'A');
        reg.WriteBinaryData("Huge", huge.data(), static_cast<int>(huge.size()));
        reg.WriteString("Modem", "My Phone");
    }
    std::vector<std::string> argv{"bash", "-c", "ulimit -d 65536 && exec \"$@\"", "report",
                                  (BinDir() / "skyportal-report").string(), "--program", program_.string(),
                                  "--output", (dir_ / "huge.tar.gz").string()};
#if defined(__SANITIZE_ADDRESS__)
    argv.erase(argv.begin(), argv.begin() + 4); // the sanitizer's own heap knows no such bound
#endif
    const auto r = Run(argv);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto m = Unpack(dir_ / "huge.tar.gz");
    EXPECT_TRUE(Has(m["report.txt"], "Huge: left out (41943040 bytes")) << m["report.txt"];
    EXPECT_TRUE(Has(m["registry.reg"], "\"Modem\"=\"My Phone\"")) << m["registry.reg"];
    EXPECT_LT(m["registry.reg"].size(), 64u << 10);
}

TEST_F(ReportTest, AnInstalledProgramsLogIsTakenFromTheMachineRoot) {
    Write(root_ / "GPRSlog.log", Enciphered("11:00:00", "DIAL-params", 0, "Entry: Zentora ; Phone: *99#  ") +
                                     Enciphered("11:00:04", "RAS-Dialing error code", 679, "no carrier"));
    const fs::path out = dir_ / "r.tar.gz";
    const auto r = Report(out);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto m = Unpack(out);
    const std::string& report = m["report.txt"];
    EXPECT_TRUE(Has(m["machine-root-GPRSlog.log"], "11:00:00 : src: DIAL-params")) << report;
    EXPECT_TRUE(Has(report, "Last dials (from the machine root's GPRSlog.log")) << report;
    EXPECT_TRUE(Has(report, "failed, error 679")) << report;
    EXPECT_FALSE(Has(report, (program_.parent_path() / "GPRSlog.log").string() + ": missing")) << report;
}

TEST_F(ReportTest, AnOutputThatCannotBeWrittenEndsWithOneAndNoFile) {
    const auto r = Report(dir_ / "no-such-folder" / "r.tar.gz");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(Has(r.err, "skyportal-report: no report written: cannot write " +
                               (dir_ / "no-such-folder/r.tar.gz").string()))
        << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_FALSE(fs::exists(dir_ / "no-such-folder"));

    const auto help = Run({(BinDir() / "skyportal-report").string(), "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(Has(help.out, "usage: skyportal-report [--output FILE]"));
    const auto version = Run({(BinDir() / "skyportal-report").string(), "--version"});
    EXPECT_EQ(version.out, std::string("skyportal-report ") + SKYPORTAL_PROGRAM_VERSION + "\n");
    EXPECT_EQ(Run({(BinDir() / "skyportal-report").string(), "--outptu", "x"}).exitCode, 2);
}

// A running service is asked, through rasctl, for its devices, entries and
// connections; what it cannot answer is "not available".
TEST_F(ReportTest, ARunningServiceGivesItsViewsThroughRasctl) {
    fs::remove_all(root_);
    const auto start = Run({(BinDir() / "rasctl").string(), "service", "start"});
    ASSERT_EQ(start.exitCode, 0) << start.err;
    serviceStarted_ = true;
    ASSERT_EQ(Run({(BinDir() / "rasctl").string(), "modem", "USB GPRS Modem"}).exitCode, 0);
    const fs::path out = dir_ / "r.tar.gz";
    const auto r = Report(out);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    auto m = Unpack(out);
    EXPECT_TRUE(Has(m["report.txt"], "Remote access service\n  running\n")) << m["report.txt"];
    EXPECT_TRUE(Has(m["report.txt"], "Connections\n  none\n")) << m["report.txt"];
    EXPECT_TRUE(Has(m["rasctl-devices.txt"], "$ rasctl devices\nmodem\tUSB GPRS Modem\tsimulated\n"))
        << m["rasctl-devices.txt"];
    EXPECT_TRUE(Has(m["rasctl-entries.txt"], "$ rasctl entries\n"));
    EXPECT_TRUE(m.count("rasctl-history-cycles.txt"));
    EXPECT_TRUE(Has(m["rasctl-modem-USB_GPRS_Modem.txt"],
                    "$ rasctl modem USB GPRS Modem --last\nmodem         USB GPRS Modem\nSIM           ready\n"))
        << m["rasctl-modem-USB_GPRS_Modem.txt"];
    EXPECT_TRUE(Has(m["report.txt"], "USB GPRS Modem\n      driver:    simulated")) << m["report.txt"];
}

} // namespace
