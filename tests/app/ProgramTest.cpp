// The real program as processes on one machine root: the single instance and
// its hand-over, the copy in "C:\Zentora\" and the installed tree.

#include "FileText.h"
#include "QtTestApp.h"
#include "RasTestRoot.h"

#include "platform/base/MachineRoot.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/system/SingleInstance.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr const char* kClass = "TfrmGprsMain";
constexpr const char* kTitle = "Зентора Skyportal";
constexpr sp::UINT WM_RESTORE_APP = 0x404;
constexpr sp::UINT WM_CLOSE = 0x0010;
constexpr sp::UINT kWmNull = 0x0000;

fs::path BinDir() {
    const char* dir = std::getenv("SKYPORTAL_BIN_DIR");
    return dir != nullptr ? fs::path(dir) : fs::path(SKYPORTAL_BUILD_DIR) / "bin";
}

// A child process of the program; killed if a test leaves it behind.
class TProgram {
public:
    // Without the variables that point to the build's files, so the program
    // finds its library and service on its own.
    TProgram(const fs::path& exe, std::vector<std::string> args, const fs::path& cwd) {
        std::vector<std::string> env;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string var = *e;
            if (var.rfind("SKYPORTAL_BIN_DIR=", 0) == 0 || var.rfind("SKYPORTAL_RASAPI=", 0) == 0 ||
                var.rfind("SKYPORTAL_RASMAN=", 0) == 0)
                continue;
            env.push_back(var);
        }
        std::vector<char*> envp;
        for (auto& v : env)
            envp.push_back(v.data());
        envp.push_back(nullptr);
        args.insert(args.begin(), exe.string());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
        if (::posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~TProgram() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    TProgram(const TProgram&) = delete;
    TProgram& operator=(const TProgram&) = delete;

    [[nodiscard]] bool Started() const { return pid_ > 0; }
    // The exit code once it has ended within about 20 s, else -1.
    int Wait() {
        for (int i = 0; i < 4000 && !exited_; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                break;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return exited_ ? code_ : -1;
    }
    [[nodiscard]] bool Running() {
        if (exited_)
            return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            exited_ = true;
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return false;
        }
        return true;
    }

private:
    pid_t pid_ = -1;
    bool exited_ = false;
    int code_ = -1;
};

bool WaitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 4000; ++i) {
        if (done())
            return true;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// The running instance, once its window exists: it is found as soon as it
// holds its lock, and a message (WM_NULL, which does nothing) is answered
// once the window is made.
std::unique_ptr<sp::TRemoteWindow> WaitForInstance(TProgram& program) {
    std::unique_ptr<sp::TRemoteWindow> w;
    WaitFor([&] {
        w = sp::TRemoteWindow::Find(kClass, kTitle);
        return w != nullptr || !program.Running();
    });
    if (w != nullptr)
        (void)w->SendMessage(kWmNull, 0, 0);
    return w;
}

// The executable of the service daemon that runs for the machine root.
fs::path ServiceExecutable() {
    const std::string pid = ReadFile(sp::MachineRunDir() / "rasman.pid");
    std::error_code ec;
    return fs::read_symlink("/proc/" + std::to_string(std::atoi(pid.c_str())) + "/exe", ec);
}

} // namespace

class Program : public ::testing::Test {
protected:
    void SetUp() override {
        if (!ServiceBuilt() || !fs::exists(BinDir() / "skyportal"))
            GTEST_SKIP() << "the program is not built";
        root_ = std::make_unique<RasTestRoot>(501, true);
        sp::ras::EnsureDefaultMachine();
        work_ = root_->Path() / "work";
        fs::create_directories(work_);
    }
    void TearDown() override { root_.reset(); }

    std::unique_ptr<RasTestRoot> root_;
    fs::path work_;
};

TEST_F(Program, ASecondStartHandsOverToTheRunningOneAndEndsWithZero) {
    TProgram first(BinDir() / "skyportal", {"/l", "/n"}, work_);
    ASSERT_TRUE(first.Started());
    auto running = WaitForInstance(first);
    ASSERT_NE(running, nullptr) << "the first instance does not answer";

    TProgram second(BinDir() / "skyportal", {}, work_);
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_TRUE(first.Running());
    // The first still answers, and closes on the system's request. (A
    // message's result is 0 also when nobody answers; a show request says
    // whether it was carried out.)
    running = sp::TRemoteWindow::Find(kClass, kTitle);
    ASSERT_NE(running, nullptr);
    EXPECT_TRUE(running->ShowNormal());
    (void)running->SendMessage(WM_RESTORE_APP, 0, 0);
    (void)running->SendMessage(WM_CLOSE, 0, 0);
    EXPECT_EQ(first.Wait(), 0);
    // Its lock went with it: a start now is a first start again.
    TProgram third(BinDir() / "skyportal", {}, work_);
    EXPECT_NE(WaitForInstance(third), nullptr);
    (void)sp::TRemoteWindow::Find(kClass, kTitle)->SendMessage(WM_CLOSE, 0, 0);
    EXPECT_EQ(third.Wait(), 0);
}

TEST_F(Program, ASecondStartShowsTheRunningWindowAndSendsTheRestoreRequestInOrder) {
    // This test plays the running instance.
    sp::TNamedMutex mutex("ZentoraSkyportal");
    ASSERT_FALSE(mutex.AlreadyExists());
    std::vector<std::string> calls;
    sp::TTopLevelWindow window(kClass, kTitle,
                               {[&] { calls.push_back("show normal"); }, [&] { calls.push_back("foreground"); },
                                [&](sp::UINT msg, sp::WPARAM w, sp::LPARAM l) -> sp::LRESULT {
                                    calls.push_back("message " + std::to_string(msg) + " " + std::to_string(w) +
                                                    " " + std::to_string(l));
                                    return 0;
                                }});
    ASSERT_TRUE(window.Listening());
    TProgram second(BinDir() / "skyportal", {"/auto"}, work_);
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_EQ(calls, (std::vector<std::string>{"show normal", "foreground", "message 1028 0 0"}));
    // It ended before the program proper: not even the service was started.
    EXPECT_FALSE(fs::exists(sp::MachineRunDir() / "rasman.sock"));
}

TEST_F(Program, ASecondStartWithNobodyAnsweringEndsQuietly) {
    sp::TNamedMutex mutex("ZentoraSkyportal");
    TProgram second(BinDir() / "skyportal", {}, work_);
    EXPECT_EQ(second.Wait(), 0);
}

TEST_F(Program, TheCopyInTheCopyFolderFindsTheLibraryAndTheService) {
    const fs::path folder = sp::MachineDriveC() / "Zentora";
    fs::create_directories(folder);
    fs::copy_file(BinDir() / "skyportal", folder / "skyportal");
    TProgram copy(folder / "skyportal", {"/l", "/n"}, work_);
    auto running = WaitForInstance(copy);
    ASSERT_NE(running, nullptr);
    // It started the service through the client library.
    EXPECT_TRUE(WaitFor([] { return fs::exists(sp::MachineRunDir() / "rasman.sock"); }));
    const std::string log = ReadFile(folder / "GPRSlog.log");
    EXPECT_NE(log.find("src: WINVER"), std::string::npos) << log;
    EXPECT_EQ(log.find("RAS-"), std::string::npos) << log;
    (void)running->SendMessage(WM_CLOSE, 0, 0);
    EXPECT_EQ(copy.Wait(), 0);
}

TEST_F(Program, TheInstalledTreeRunsFromItsPrefix) {
    const fs::path prefix = root_->Path() / "prefix with blank";
    const std::string cmd = "cmake --install '" + std::string(SKYPORTAL_BUILD_DIR) + "' --prefix '" +
                            prefix.string() + "' >'" + (root_->Path() / "install.log").string() + "' 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0) << ReadFile(root_->Path() / "install.log");
    for (const char* f : {"bin/skyportal", "lib/skyportal/rasman", "bin/rasctl", "bin/skyportal-reg",
                          "bin/skyportal-cipher", "bin/skyportal-update", "lib/skyportal/libskyportal-rasapi.so",
                          "share/applications/skyportal.desktop", "share/icons/hicolor/48x48/apps/skyportal.png",
                          "share/icons/hicolor/256x256/apps/skyportal.png",
                          "share/metainfo/ru.zentora.skyportal.metainfo.xml", "share/man/man1/skyportal.1",
                          "share/man/man1/rasctl.1"})
        EXPECT_TRUE(fs::exists(prefix / f)) << f;
    EXPECT_NE(ReadFile(prefix / "share/applications/skyportal.desktop").find("Exec=skyportal"), std::string::npos);

    TProgram installed(prefix / "bin" / "skyportal", {"/l", "/n"}, work_);
    auto running = WaitForInstance(installed);
    ASSERT_NE(running, nullptr) << ReadFile(prefix / "bin" / "GPRSlog.log");
    // Its window was shown (the log line comes just before) and its own
    // service runs.
    EXPECT_NE(ReadFile(prefix / "bin" / "GPRSlog.log").find("src: WINVER"), std::string::npos);
    EXPECT_TRUE(WaitFor([] { return fs::exists(sp::MachineRunDir() / "rasman.sock"); }));
    EXPECT_EQ(ServiceExecutable(), prefix / "lib" / "skyportal" / "rasman");
    (void)running->SendMessage(WM_CLOSE, 0, 0);
    EXPECT_EQ(installed.Wait(), 0);

    // The wizard's copy of the installed program finds the library of the
    // prefix it was installed into, by the full path in its run path.
    root_->StopService();
    const fs::path folder = sp::MachineDriveC() / "Zentora";
    fs::create_directories(folder);
    fs::copy_file(prefix / "bin" / "skyportal", folder / "skyportal");
    TProgram copy(folder / "skyportal", {"/l", "/n"}, work_);
    running = WaitForInstance(copy);
    ASSERT_NE(running, nullptr);
    EXPECT_TRUE(WaitFor([] { return fs::exists(sp::MachineRunDir() / "rasman.sock"); }));
    EXPECT_EQ(ServiceExecutable(), prefix / "lib" / "skyportal" / "rasman");
    const std::string log = ReadFile(folder / "GPRSlog.log");
    EXPECT_NE(log.find("src: WINVER"), std::string::npos) << log;
    EXPECT_EQ(log.find("RAS-"), std::string::npos) << log;
    (void)running->SendMessage(WM_CLOSE, 0, 0);
    EXPECT_EQ(copy.Wait(), 0);
}
