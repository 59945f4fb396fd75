// The dial without windows, in a process without any Qt application: the
// dial core against the real service daemon, watched through its observer,
// and skyportal-dial, the console on the same core.
#include "RasTestRoot.h"

#include "connection/ConnectionManager.h"
#include "connection/ConnectionQuestion.h"
#include "connection/ConnectionState.h"
#include "connection/IDialObserver.h"
#include "connection/PhonebookEntries.h"
#include "connection/TDialSession.h"
#include "crypto/uEncrypt.h"
#include "platform/base/Cp1251.h"
#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/Phonebook.h"
#include "platform/rasman/RasCtl.h"
#include "platform/registry/Registry.h"
#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"
#include "report/ChildProcess.h"

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <mutex>
#include <sstream>
#include <thread>

using namespace sp;

namespace {

const std::string kUsb = "USB GPRS Modem";
const std::string kBluetooth = "Bluetooth Phone Modem";

// The first dial of the USB modem, state by state, as the progress window
// shows it.
const std::vector<std::string> kUsbStates = {
    "Выбор и настройка соединения...", "Настройка модема...", "Настройка соединения...",
    "Открытие порта...", "Порт открыт...", "Соединение с модемом...", "Соединение с модемом установлено...",
    "Все устройства соединены...", "Проверка имени и пароля...", "Проверка имени и пароля выполнена...",
    "Проверка имени и пароля выполенена...", "Регистрация компьютера...", "Регистрация компьютера выполнена..."};

struct Report {
    char kind; // 'p' progress, 'a' adopted, 't' attempt
    std::string text;
    int budget;
};

// Records every report, from whichever thread it comes.
class Recorder : public IDialObserver {
public:
    void DialProgress(const std::string& text, int budget) override { Add('p', text, budget); }
    void DialAdopted(const std::string& text, int budget) override { Add('a', text, budget); }
    void DialAttempt(const std::string& text, int budget) override { Add('t', text, budget); }

    [[nodiscard]] std::vector<Report> Reports() const
    {
        std::lock_guard lk(mutex_);
        return reports_;
    }
    // The texts in order, each once where it changed, as a status line shows them.
    [[nodiscard]] std::vector<std::string> Statuses() const
    {
        std::vector<std::string> out;
        for (const Report& r : Reports())
            if (!r.text.empty() && (out.empty() || out.back() != r.text))
                out.push_back(r.text);
        return out;
    }
    [[nodiscard]] bool Saw(const std::string& text) const
    {
        const auto s = Statuses();
        return std::find(s.begin(), s.end(), text) != s.end();
    }
    std::function<void(const std::string&)> onText;

private:
    void Add(char kind, const std::string& text, int budget)
    {
        {
            std::lock_guard lk(mutex_);
            reports_.push_back({kind, text, budget});
        }
        if (onText)
            onText(text);
    }
    mutable std::mutex mutex_;
    std::vector<Report> reports_;
};

int RasCtl(const std::vector<std::string>& args)
{
    std::ostringstream out;
    std::ostringstream err;
    return ras::RasCtl(args, out, err);
}

class DialCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(QCoreApplication::instance(), nullptr) << "these dials run without an application";
        if (!ServiceBuilt())
            GTEST_SKIP() << "remote access service not built";
        root_ = std::make_unique<RasTestRoot>(501, true);
        ras::EnsureDefaultMachine();
        Network("Service", "StateDelayMs", "2");
        // Short rounds, yet a budget (59 rounds) well above a loaded
        // machine's dial of the quick network.
        SetConnectionRoundLength(std::chrono::milliseconds(25));
    }
    void TearDown() override
    {
        SetConnectionRoundLength(std::chrono::milliseconds(500));
        if (root_)
            RasCtl({"drop", "all"});
        root_.reset();
    }
    static void Network(const std::string& section, const std::string& key, const std::string& value)
    {
        IniFile net = IniFile::Load(MachineRoot() / "network.ini");
        net.Set(section, key, value);
        ASSERT_TRUE(net.Save(MachineRoot() / "network.ini"));
    }
    // One dial from start to end, the way a front end drives it.
    HRASCONN Dial(const std::string& modem, const std::function<void(TDialSession&)>& whileDialling = {})
    {
        TDialSession session(modem, entry_, apns_, &recorder_, nullptr);
        session.Start();
        if (whileDialling)
            whileDialling(session);
        // A dial that never ends fails the test instead of hanging it.
        std::atomic<bool> ended{false};
        std::thread watchdog([&ended] {
            for (int i = 0; i < 2000 && !ended; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!ended) {
                std::fprintf(stderr, "the dial never ended\n");
                std::_Exit(1);
            }
        });
        session.Wait();
        ended = true;
        watchdog.join();
        const HRASCONN result = session.Finish();
        entry_ = session.EntryName();
        error_ = session.State().GetErrorCode();
        details_ = session.State().GetDetails();
        EXPECT_EQ(result, session.Handle());
        return result;
    }
    [[nodiscard]] int LogCount(const std::string& part) const
    {
        const auto lines = root_->LogLines();
        return static_cast<int>(std::count_if(lines.begin(), lines.end(),
                                              [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }

    std::unique_ptr<RasTestRoot> root_;
    Recorder recorder_;
    std::string entry_;
    std::vector<std::string> apns_{"internet"};
    int32_t error_ = -1;
    std::string details_;
};

// Each report moves the budget as the bar moved: +10, from 0 past 600 back
// to the start, 590 on an adoption, 10 on a new attempt.
void ExpectBarSteps(const std::vector<Report>& reports)
{
    int position = 0;
    for (const Report& r : reports) {
        if (r.kind == 'p')
            position = position + 10 > 600 ? (position + 10) % 600 : position + 10;
        else if (r.kind == 'a')
            position = 590;
        else
            position = 10;
        EXPECT_EQ(r.budget, position) << r.text;
    }
}

TEST_F(DialCore, TheUsbModemConnectsWithEveryStateShown)
{
    const HRASCONN h = Dial(kUsb);
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(ConnIsOpen(h));
    EXPECT_EQ(entry_, "Zentora");
    EXPECT_EQ(recorder_.Statuses(), kUsbStates);
    ExpectBarSteps(recorder_.Reports());
    EXPECT_EQ(error_, 0);
    EXPECT_TRUE(CloseConnection(h));
}

TEST_F(DialCore, TheBluetoothPhoneFailsWith678ThenConnectsOnTheShortNumber)
{
    const HRASCONN h = Dial(kBluetooth);
    ASSERT_NE(h, 0u);
    const auto reports = recorder_.Reports();
    ExpectBarSteps(reports);
    const auto attempt = std::find_if(reports.begin(), reports.end(), [](const Report& r) { return r.kind == 't'; });
    ASSERT_NE(attempt, reports.end()) << "a second attempt";
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(), [](const Report& r) { return r.kind == 't'; }), 1);
    EXPECT_TRUE(recorder_.Saw("Ошибка связи, код: 678"));
    EXPECT_TRUE(recorder_.Saw("Ошибка.Закрытие соединения..."));
    EXPECT_EQ(LogCount("RAS-Dialing error code      code: 678"), 1);
    EXPECT_EQ(LogCount("Phone: *99#  ; APN: internet"), 1);
    const IniFile pbk = IniFile::Load(ras::Phonebook::DefaultPath());
    EXPECT_EQ(pbk.Get("Zentora", "szLocalPhoneNumber").value_or(""), "*99#");
    EXPECT_TRUE(CloseConnection(h));
}

TEST_F(DialCore, AModemThatNeverAnswersEndsAtTheBudgetsEnd)
{
    Network("Service", "NeverAnswers", "1");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Dial(kUsb), 0u);
    const auto took = std::chrono::steady_clock::now() - start;
    const auto reports = recorder_.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().text, "Модем не отвечает");
    ExpectBarSteps(reports);
    // The wait ended at 590 without any report of the service: every step
    // from the attempt's start to there is a round of waiting.
    const auto waitStart = std::find_if(reports.begin(), reports.end(),
                                        [](const Report& r) { return r.text == "Настройка соединения..."; });
    ASSERT_NE(waitStart, reports.end());
    const auto spent = std::find_if(waitStart, reports.end(), [](const Report& r) { return r.budget >= 590; });
    ASSERT_NE(spent, reports.end());
    EXPECT_EQ(spent->budget, 590);
    // Closing the line and the verdict step on past the end: 600, then 10.
    ASSERT_GE(reports.size(), 2u);
    EXPECT_EQ(reports[reports.size() - 2].text, "Ошибка.Закрытие соединения...");
    EXPECT_EQ(reports.back().budget, 10);
    EXPECT_GE(took, ConnectionRoundLength() * ((590 - waitStart->budget) / 10 - 10));
    EXPECT_EQ(error_, 0);
    EXPECT_EQ(LogCount("DIAL-params"), 1) << "no further attempt";
}

TEST_F(DialCore, ACancelFromAnotherThreadEndsTheDial)
{
    Network("Service", "NeverAnswers", "1");
    std::thread canceller;
    const HRASCONN h = Dial(kUsb, [&](TDialSession& session) {
        canceller = std::thread([&session] {
            std::this_thread::sleep_for(ConnectionRoundLength() * 4);
            session.Cancel();
        });
    });
    canceller.join();
    EXPECT_EQ(h, 0u);
    EXPECT_FALSE(recorder_.Saw("Модем не отвечает"));
    const auto reports = recorder_.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_LT(std::max_element(reports.begin(), reports.end(),
                               [](const Report& a, const Report& b) { return a.budget < b.budget; })
                  ->budget,
              590)
        << "ended by the cancel, not by the budget";
    EXPECT_EQ(LogCount("DIAL-params"), 1);
}

// skyportal-dial as a script runs it.
class DialTool : public DialCore {
protected:
    ChildResult Run(std::vector<std::string> args, std::chrono::milliseconds limit = std::chrono::seconds(60))
    {
        args.insert(args.begin(), std::string(std::getenv("SKYPORTAL_BIN_DIR")) + "/skyportal-dial");
        return RunChild(args, Env(), limit, 1 << 20);
    }
    static std::vector<std::pair<std::string, std::string>> Env()
    {
        // Nothing listens on this loopback port: the update after a dial is
        // refused at once.
        return {{"SKYPORTAL_DIAL_ROUND_MS", "25"}, {"SKYPORTAL_UPDATE_HOST", "127.250.28.1"}};
    }
    // Started as a service manager starts it, its output into a file.
    pid_t Spawn(std::vector<std::string> args, const std::string& out)
    {
        args.insert(args.begin(), std::string(std::getenv("SKYPORTAL_BIN_DIR")) + "/skyportal-dial");
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e)
            env.emplace_back(*e);
        for (const auto& [k, v] : Env())
            env.push_back(k + "=" + v);
        std::vector<char*> envp;
        for (std::string& e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        pid_t pid = 0;
        if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        return pid;
    }
    static int ExitCode(pid_t pid)
    {
        int status = 0;
        if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
            return -1;
        return WEXITSTATUS(status);
    }
    static std::string FileText(const std::string& path)
    {
        FILE* f = std::fopen(path.c_str(), "r");
        std::string s;
        if (f != nullptr) {
            char buf[4096];
            for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
                s.append(buf, n);
            std::fclose(f);
        }
        return s;
    }
    // Waits (10 s at most) until `what` stands `count` times in the file.
    static bool WaitForText(const std::string& path, const std::string& what, int count)
    {
        for (int i = 0; i < 1000; ++i) {
            const std::string s = FileText(path);
            int n = 0;
            for (size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1))
                ++n;
            if (n >= count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    static std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
};

TEST_F(DialTool, DialsPrintsEachStateAndTheConnectionThenShowsAndHangsItUp)
{
    const ChildResult r = Run({"--modem", kUsb});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    std::vector<std::string> expected = {"Поиск активных соединений..."};
    expected.insert(expected.end(), kUsbStates.begin(), kUsbStates.end());
    expected.push_back("Обновление конфигурации АPN...");
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), expected.size() + 1) << r.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.end() - 1), expected);
    EXPECT_EQ(lines.back().rfind("connected: Zentora on USB GPRS Modem (connection ", 0), 0u) << lines.back();

    // The program finds the link at its connected stage and takes it over.
    std::string entry = "Zentora";
    const HRASCONN live = CheckAlreadyConnected(kUsb, entry, {"internet"});
    EXPECT_NE(live, 0u);
    EXPECT_NE(lines.back().find("(connection " + std::to_string(live) + ")"), std::string::npos);

    const ChildResult status = Run({"--status"});
    EXPECT_EQ(status.exitCode, 0);
    EXPECT_NE(status.out.find("entry: Zentora\ndevice: USB GPRS Modem\n"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("received: "), std::string::npos);

    const ChildResult quiet = Run({"--modem", kUsb, "--quiet"});
    EXPECT_EQ(quiet.exitCode, 0);
    EXPECT_EQ(Lines(quiet.out).size(), 1u) << quiet.out;
    EXPECT_EQ(quiet.out.rfind("connected (taken over): Zentora on USB GPRS Modem", 0), 0u) << quiet.out;

    const ChildResult hangup = Run({"--hangup", "--modem", kUsb});
    EXPECT_EQ(hangup.exitCode, 0) << hangup.err;
    EXPECT_EQ(hangup.out, "hung up: Zentora on USB GPRS Modem\n");
    EXPECT_FALSE(ConnIsOpen(live));
    const ChildResult none = Run({"--status"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "no connection\n");
}

TEST_F(DialTool, TheBluetoothPhonesFallbackAndTheFailuresAndTheirCodes)
{
    ChildResult r = Run({"--modem", kBluetooth});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\nОшибка связи, код: 678\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nconnected: Zentora on Bluetooth Phone Modem"), std::string::npos) << r.out;
    ASSERT_EQ(RasCtl({"drop", "all"}), 0);

    Network("Service", "NeverAnswers", "1");
    r = Run({"--modem", kUsb});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("\nМодем не отвечает\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "skyportal-dial: Ошибка при соединении.\n");

    Network("Service", "NeverAnswers", "0");
    Network("Service", "FailError", "619");
    Network("Service", "FailState", "3");
    ASSERT_EQ(RasCtl({"reload"}), 0);
    r = Run({"--modem", kUsb, "--quiet"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("skyportal-dial: Ошибка при соединении. Код 619\n", 0), 0u) << r.err;
    EXPECT_GT(Lines(r.err).size(), 1u) << "the RAS error's text follows";

    r = Run({"--modem", "No Such Modem"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("\"USB GPRS Modem\""), std::string::npos) << r.err;
    for (const auto& wrong : std::vector<std::vector<std::string>>{
             {"--redial"}, {"--redial", "x"}, {"--modem"}, {"--status", "--hangup"}, {"--status", "--wait"}, {"-x"}}) {
        r = Run(wrong);
        EXPECT_EQ(r.exitCode, 2) << wrong.front();
        EXPECT_NE(r.err.find("usage: skyportal-dial"), std::string::npos);
    }
    r = Run({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("usage: skyportal-dial", 0), 0u);
}

TEST_F(DialTool, RefusesWhileAnotherDialOfTheMachineRuns)
{
    // The program's dial holds the machine's dial lock from its start to its end.
    std::string entry;
    std::vector<std::string> apns{"internet"};
    TDialSession programs(kUsb, entry, apns, nullptr, nullptr);
    ASSERT_TRUE(programs.OnlyDialOfTheMachine());
    const ChildResult r = Run({"--modem", kUsb});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("another dial is under way on this machine"), std::string::npos) << r.err;
    EXPECT_EQ(LogCount("DIAL-params"), 0);
}

TEST_F(DialTool, RedialsADroppedLinkWithGrowingPausesAndHangsUpOnStop)
{
    // Two drops, two redials; the third is never needed.
    const std::string out = (root_->Path() / "dial.out").string();
    const pid_t pid = Spawn({"--modem", kUsb, "--redial", "3"}, out);
    ASSERT_GT(pid, 0);

    const auto text = [&] { return FileText(out); };
    const auto waitFor = [&](const std::string& what, int count) { return WaitForText(out, what, count); };
    ASSERT_TRUE(waitFor("connected: ", 1)) << text();
    ASSERT_EQ(RasCtl({"drop", "all"}), 0);
    ASSERT_TRUE(waitFor("connected: ", 2)) << text();
    ASSERT_EQ(RasCtl({"drop", "all"}), 0);
    ASSERT_TRUE(waitFor("connected: ", 3)) << text();
    ::kill(pid, SIGTERM);
    EXPECT_EQ(ExitCode(pid), 0) << "hung up on request";
    const std::string s = text();
    EXPECT_NE(s.find("hung up on request"), std::string::npos) << s;
    EXPECT_NE(s.find(" the connection was lost: RAS error 629"), std::string::npos) << s;
    EXPECT_NE(s.find(" redial 1 of 3 in 1 s\n"), std::string::npos) << s;
    EXPECT_NE(s.find(" redial 2 of 3 in 2 s\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("redial 3"), std::string::npos);
    std::string entry;
    EXPECT_EQ(CheckAlreadyConnected(kUsb, entry, {"internet"}), 0u) << "hung up on the stop";
}

TEST_F(DialTool, AWatchedLinkHungUpElsewhereEndsTheWaitWithoutARedial)
{
    const std::string out = (root_->Path() / "dial.out").string();
    const pid_t pid = Spawn({"--modem", kUsb, "--redial", "1"}, out);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(WaitForText(out, "connected: ", 1)) << FileText(out);
    EXPECT_EQ(Run({"--hangup"}).exitCode, 0);
    EXPECT_EQ(ExitCode(pid), 0);
    const std::string s = FileText(out);
    EXPECT_NE(s.find(" the connection was hung up\n"), std::string::npos) << s;
    EXPECT_EQ(s.find("redial"), std::string::npos) << s;
}

TEST_F(DialTool, DialsWithTheProgramsSettingsAndKeepsWhatTheDialChanged)
{
    // As the program stores them: enciphered code page 1251.
    const auto store = [](const std::string& name, const std::string& text) {
        TRegistry reg;
        reg.SetRootKey(RegHive::LocalMachine);
        ASSERT_TRUE(reg.OpenKey("\\Software\\Zentora\\Skyportal", true));
        reg.WriteString(name, EncryptString(Utf8ToCp1251(text)));
    };
    store("Modem", kBluetooth);
    store("Connection", "");
    store("APNs", "wrong\r\ninternet\r\n");
    store("APNVersion", "4");
    const ChildResult r = Run({"--quiet"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("connected: Zentora on Bluetooth Phone Modem", 0), 0u) << r.out;

    TRegistry reg;
    reg.SetRootKey(RegHive::LocalMachine);
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Zentora\\Skyportal"));
    EXPECT_EQ(Cp1251ToUtf8(DecryptString(reg.ReadString("APNs"))), "internet\r\nwrong\r\n") << "the APN that worked first";
    EXPECT_EQ(Cp1251ToUtf8(DecryptString(reg.ReadString("Connection"))), "Zentora");
    EXPECT_EQ(Cp1251ToUtf8(DecryptString(reg.ReadString("APNVersion"))), "4") << "the update failed";
    EXPECT_EQ(Cp1251ToUtf8(DecryptString(reg.ReadString("Modem"))), kBluetooth);
}

} // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    SetRasRoundLength(std::chrono::milliseconds(40));
    return RUN_ALL_TESTS();
}
