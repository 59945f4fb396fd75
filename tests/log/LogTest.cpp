#include "crypto/uEncrypt.h"
#include "log/EventLog.h"
#include "platform/base/CommandLine.h"
#include "platform/base/Cp1251.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace sp;

namespace {

class EventLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sp-log-XXXXXX";
        root = ::mkdtemp(tmpl);
        ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
        folder = root / "drive_c" / "Zentora";
        fs::create_directories(folder);
        SetLogFolder(folder);
    }
    void TearDown() override {
        SetLogFolder({});
        SetCommandLine(std::vector<std::string>{"skyportal"});
        fs::remove_all(root);
    }

    std::string ReadLog() const {
        std::ifstream in(folder / "GPRSlog.log", std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Lines without their CR LF; fails the test when a line lacks it.
    std::vector<std::string> LogLines() const {
        std::vector<std::string> lines;
        const std::string all = ReadLog();
        size_t pos = 0;
        while (pos < all.size()) {
            const size_t end = all.find("\r\n", pos);
            if (end == std::string::npos) {
                ADD_FAILURE() << "line without CR LF at byte " << pos;
                break;
            }
            lines.push_back(all.substr(pos, end - pos));
            pos = end + 2;
        }
        return lines;
    }

    fs::path root;
    fs::path folder;
};

std::string RunTool(const std::string& args) {
    const char* dir = std::getenv("SKYPORTAL_BIN_DIR");
    const std::string cmd = std::string(dir ? dir : ".") + "/skyportal-cipher " + args;
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t got;
        while ((got = std::fread(buf, 1, sizeof buf, p)) > 0)
            out.append(buf, got);
        if (::pclose(p) != 0)
            out = "<failed>";
    }
    return out;
}

// "HH:MM:SS" of a line, as seconds of the day.
int SecondsOfDay(const std::string& line) {
    return std::stoi(line.substr(0, 2)) * 3600 + std::stoi(line.substr(3, 2)) * 60 + std::stoi(line.substr(6, 2));
}

int NowSecondsOfDay() {
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    ::localtime_r(&now, &t);
    return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

// "HH:MM:SS" at the start of a line.
bool StartsWithTimeOfDay(const std::string& line) {
    if (line.size() < 8 || line[2] != ':' || line[5] != ':')
        return false;
    for (size_t i : {0, 1, 3, 4, 6, 7})
        if (line[i] < '0' || line[i] > '9')
            return false;
    return line.substr(0, 2) < "24" && line[3] < '6' && line[6] < '6';
}

// What EncryptString makes: whole blocks, at least two, upper-case digits.
bool IsEnciphered(const std::string& line) {
    if (line.size() < 32 || line.size() % 16 != 0)
        return false;
    for (char c : line)
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

} // namespace

TEST_F(EventLogTest, NothingIsWrittenUnlessTheFirstArgumentIsExactlyL) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"skyportal"}, {"skyportal", "/n"}, {"skyportal", "/L"}, {"skyportal", "/auto", "/l"}, {"skyportal", "/l "}}) {
        SetCommandLine(args);
        WriteLog("WINVER", 501, "version of Windows");
    }
    EXPECT_FALSE(fs::exists(folder / "GPRSlog.log"));
}

TEST_F(EventLogTest, PlainLinesHaveTheExactFormatInCodePage1251) {
    SetCommandLine(std::vector<std::string>{"skyportal", "/l", "/n"});
    const int before = NowSecondsOfDay();
    WriteLog("WINVER", 501, "version of Windows");
    WriteLog("RAS-Dial", -1, "Ошибка 678");
    EXPECT_EQ(LogFilePath(), folder / "GPRSlog.log");

    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    for (const auto& line : lines) {
        ASSERT_TRUE(StartsWithTimeOfDay(line)) << line;
        const int diff = (SecondsOfDay(line) - before + 86400) % 86400;
        EXPECT_LE(diff, 5) << "not the local time of day: " << line;
    }
    EXPECT_EQ(lines[0].substr(8), " : src: WINVER      code: 501         msg: version of Windows");
    EXPECT_EQ(lines[1].substr(8), " : src: RAS-Dial      code: -1         msg: " + Utf8ToCp1251("Ошибка 678"));
    EXPECT_EQ(lines[1].substr(lines[1].size() - 10), "\xCE\xF8\xE8\xE1\xEA\xE0 678");
}

TEST_F(EventLogTest, EncipheredLinesReadBackWithTheSupportTool) {
    SetCommandLine(std::vector<std::string>{"skyportal", "/l"});
    const std::string longText = "Подробности: " + std::string(900, 'x'); // beyond the old 247-byte limit
    WriteLog("THREAD-new-stat", 0, "Speed: 120 Received 5000 Tramsmitted 800 Time 0:02:10");
    WriteLog("OpenConnection", 888, "Нет доступа");
    WriteLog("DIAL-params", 0, longText);

    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines)
        EXPECT_TRUE(IsEnciphered(line)) << line.substr(0, 80);

    std::istringstream decrypted(RunTool("decrypt-log " + (folder / "GPRSlog.log").string()));
    std::vector<std::string> out;
    for (std::string l; std::getline(decrypted, l);)
        out.push_back(l);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].substr(8),
              " : src: THREAD-new-stat      code: 0         msg: Speed: 120 Received 5000 Tramsmitted 800 Time 0:02:10");
    EXPECT_EQ(out[1].substr(8), " : src: OpenConnection      code: 888         msg: Нет доступа");
    EXPECT_EQ(out[2].substr(8), " : src: DIAL-params      code: 0         msg: " + longText);
    for (const auto& l : out)
        EXPECT_TRUE(StartsWithTimeOfDay(l)) << l.substr(0, 40);
}

TEST_F(EventLogTest, SupportToolLeavesPlainLinesAlone) {
    SetCommandLine(std::vector<std::string>{"skyportal", "/l", "/n"});
    WriteLog("WINVER", 501, "version of Windows");
    SetCommandLine(std::vector<std::string>{"skyportal", "/l"});
    WriteLog("GetAPNList", 0, "no answer");

    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 2u);
    const std::string out = RunTool("decrypt-log < " + (folder / "GPRSlog.log").string());
    EXPECT_EQ(out, lines[0] + "\n" + DecryptString(lines[1]) + "\n");
}

TEST_F(EventLogTest, ConcurrentWritersKeepEveryLineWhole) {
    SetCommandLine(std::vector<std::string>{"skyportal", "/l"});
    constexpr int kThreads = 3;
    constexpr int kLines = 2000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                WriteLog("writer-" + std::to_string(t), i, "line " + std::to_string(i) + " of writer " + std::to_string(t));
        });
    for (auto& w : writers)
        w.join();

    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    std::map<int, int> next; // each writer's lines arrive in its own order
    for (const auto& line : lines) {
        const std::string plain = DecryptString(line);
        ASSERT_TRUE(StartsWithTimeOfDay(plain)) << plain;
        int t = -1;
        int i = -1;
        ASSERT_EQ(std::sscanf(plain.c_str() + 8, " : src: writer-%d", &t), 1) << plain;
        ASSERT_TRUE(t >= 0 && t < kThreads) << plain;
        i = next[t]++;
        ASSERT_EQ(plain.substr(8), " : src: writer-" + std::to_string(t) + "      code: " + std::to_string(i) +
                                       "         msg: line " + std::to_string(i) + " of writer " + std::to_string(t));
    }
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(next[t], kLines);
}

TEST_F(EventLogTest, AFolderThatCannotBeWrittenLosesTheLineQuietly) {
    SetCommandLine(std::vector<std::string>{"skyportal", "/l", "/n"});
    SetLogFolder(root / "missing" / "folder");
    WriteLog("WINVER", 501, "version of Windows");
    EXPECT_FALSE(fs::exists(root / "missing"));

    SetLogFolder({});
    EXPECT_EQ(LogFilePath(), fs::path(ProgramFile()).parent_path() / "GPRSlog.log");
}

// An installed program runs from a folder its user cannot write: the lines go
// to the machine root instead, and standard error says so once. The writer is
// a child that, when the suite runs as root, becomes an ordinary user first
// (root may write any folder).
TEST_F(EventLogTest, AProgramFolderThatCannotBeWrittenSendsTheLogToTheMachineRoot) {
    const fs::path bin = root / "usr-bin";
    fs::create_directories(bin);
    const fs::path err = root / "stderr.txt";
    const bool asRoot = ::geteuid() == 0;
    const uid_t user = asRoot ? 65534 : ::geteuid();
    const gid_t group = asRoot ? 65534 : ::getegid();
    ASSERT_EQ(::chown(root.c_str(), user, group), 0);
    ::chmod(root.c_str(), 0700);
    ::chmod(bin.c_str(), 0555);

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, 2) < 0 || ::fchown(fd, user, group) != 0)
            ::_exit(3);
        if (asRoot && (::setgroups(0, nullptr) != 0 || ::setgid(group) != 0 || ::setuid(user) != 0))
            ::_exit(4);
        SetCommandLine(std::vector<std::string>{"skyportal", "/l", "/n"});
        SetLogFolder(bin);
        if (LogFilePath() != root / "GPRSlog.log")
            ::_exit(5);
        WriteLog("WINVER", 501, "version of Windows");
        WriteLog("DIAL-params", 0, "second line");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 0);

    EXPECT_FALSE(fs::exists(bin / "GPRSlog.log"));
    std::ifstream in(root / "GPRSlog.log", std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(log.find(" : src: WINVER      code: 501         msg: version of Windows\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("msg: second line\r\n"), std::string::npos) << log;
    EXPECT_EQ(fs::status(root / "GPRSlog.log").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    std::ifstream e(err);
    const std::string said((std::istreambuf_iterator<char>(e)), std::istreambuf_iterator<char>());
    EXPECT_EQ(said, fs::path(ProgramFile()).filename().string() + ": " + (bin / "GPRSlog.log").string() +
                        " cannot be written (Permission denied); the event log goes to " +
                        (root / "GPRSlog.log").string() + "\n");
    ::chmod(bin.c_str(), 0755);
}

// Texts from outside (a server's answer, the service's error texts, values a
// user edited) stand in the log as one line of bounded length.
TEST_F(EventLogTest, EveryTextBecomesOneLineOfAtMostAThousandCharacters) {
    SetCommandLine(std::vector<std::string>{"skyportal", "/l", "/n"});
    WriteLog("GetAPNList", 0, "404 Not Found\r\n12:00:00 : src: WINVER      code: 501         msg: forged");
    WriteLog("RAS-Dial", 720, std::string("a\tb\x1b[31mc\x7f" "d\0e", 13) + "\xC2\x85" "f\rg");
    WriteLog("FIRST_START", 0, std::string(1500, 'z') + "\n");
    WriteLog("FIRST_START", 0, std::string(600, 'w') + std::string(10, '\xFF') + "Ж" + "Ы" + std::string(500, 'v'));
    WriteLog("DIAL-params", 0, "Entry: " + std::string(1200, 'y'));
    WriteLog("FIRST_START", 0, "\nafter an empty first line");

    const auto lines = LogLines();
    ASSERT_EQ(lines.size(), 6u);
    auto text = [&](size_t i) { return lines[i].substr(lines[i].find("msg: ") + 5); };
    EXPECT_EQ(text(0), "404 Not Found");
    EXPECT_EQ(text(1), "a b [31mc d e f");
    EXPECT_EQ(text(2), std::string(1000, 'z'));
    // Characters, not bytes: a byte that is not UTF-8 counts as one.
    EXPECT_EQ(text(3), std::string(600, 'w') + std::string(10, '?') + Utf8ToCp1251("ЖЫ") + std::string(388, 'v'));
    EXPECT_EQ(text(4).size(), 1000u);
    EXPECT_EQ(text(5), "");
}
