// The single instance, the version information of files and the shell
// mapping, on a fresh machine root.
#include "platform/base/MachineRoot.h"
#include "platform/system/Shell.h"
#include "platform/system/SingleInstance.h"
#include "platform/system/VersionInfo.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace sp;

namespace {

class MachineRootDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string tmpl = (fs::temp_directory_path() / "sp-sys-XXXXXX").string();
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        dir_ = tmpl;
        ::setenv("SKYPORTAL_ROOT", (dir_ / "root").c_str(), 1);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    static std::string Read(const fs::path& p)
    {
        std::ifstream f(p, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    fs::path dir_;
};

TEST_F(MachineRootDir, TheNamedLockIsHeldByTheFirstOnlyAndFreedWithIt)
{
    auto first = std::make_unique<TNamedMutex>("ZentoraSkyportal");
    ASSERT_TRUE(first->Valid());
    EXPECT_FALSE(first->AlreadyExists());
    {
        TNamedMutex second("ZentoraSkyportal");
        EXPECT_TRUE(second.AlreadyExists());
        TNamedMutex other("Other");
        EXPECT_FALSE(other.AlreadyExists());
    }
    // Another process sees it too, and a killed holder frees it.
    const pid_t child = ::fork();
    if (child == 0) {
        TNamedMutex inChild("ZentoraSkyportal");
        ::_exit(inChild.AlreadyExists() ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    first.reset();
    TNamedMutex after("ZentoraSkyportal");
    EXPECT_FALSE(after.AlreadyExists());
}

TEST_F(MachineRootDir, ASecondStartFindsTheRunningWindowByClassAndTitle)
{
    EXPECT_EQ(TRemoteWindow::Find("TfrmGprsMain", "Зентора Skyportal"), nullptr) << "nobody runs yet";
    int shown = 0;
    int foreground = 0;
    std::vector<std::tuple<UINT, WPARAM, LPARAM>> messages;
    TTopLevelWindow window("TfrmGprsMain", "Зентора Skyportal",
                           {[&] { ++shown; }, [&] { ++foreground; },
                            [&](UINT m, WPARAM w, LPARAM l) {
                                messages.emplace_back(m, w, l);
                                return LRESULT{42};
                            }});
    ASSERT_TRUE(window.Listening());

    std::atomic<bool> done{false};
    LRESULT result = 0;
    bool foundOther = true;
    std::thread second([&] {
        foundOther = TRemoteWindow::Find("TfrmGprsMain", "Another title") != nullptr;
        auto w = TRemoteWindow::Find("TfrmGprsMain", "Зентора Skyportal");
        if (w) {
            w->ShowNormal();
            w->SetForeground();
            result = w->SendMessage(0x404, 0, 0);
        }
        done = true;
    });
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    second.join();
    EXPECT_FALSE(foundOther);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(foreground, 1);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(std::get<0>(messages[0]), 0x404u);
    EXPECT_EQ(result, 42) << "the send returns the handler's result";
}

// Runs the main thread's loop until `done` or the limit; true if done.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

// A local client that connects to the instance's socket, as anybody may.
int ConnectRaw(const std::string& name)
{
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True once the other side has closed the connection.
bool ClosedByPeer(int fd)
{
    pollfd p{fd, POLLIN, 0};
    char c = 0;
    return ::poll(&p, 1, 0) == 1 && ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

// Another local user binds the instance's abstract name first: the instance
// listens on a socket only its user reaches, and a second start finds it.
TEST_F(MachineRootDir, ANameTakenByAnotherUserGivesAPrivateSocketThatIsStillFound)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "taking the name as another user needs root";
    const fs::path runtime = dir_ / "runtime";
    fs::create_directories(runtime);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    const std::string name = InstanceSocketName("TfrmGprsMain", "Зентора Skyportal");
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t squatter = ::fork();
    ASSERT_GE(squatter, 0);
    if (squatter == 0) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path + 1, name.data(), name.size());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::setgid(65534) != 0 || ::setuid(65534) != 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0
            || ::listen(fd, 4) != 0)
            ::_exit(1);
        (void)!::write(ready[1], "x", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char c = 0;
    const bool squatting = ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
    struct Reap {
        pid_t pid;
        ~Reap()
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reap{squatter};
    ASSERT_TRUE(squatting);

    int shown = 0;
    TTopLevelWindow window("TfrmGprsMain", "Зентора Skyportal", {[&] { ++shown; }, {}, {}});
    ASSERT_TRUE(window.Listening());
    const fs::path folder = runtime / ("skyportal-" + std::to_string(::geteuid()));
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(fs::status(folder / (name + ".sock")).type(), fs::file_type::socket);

    std::atomic<bool> done{false};
    bool found = false;
    std::thread second([&] {
        auto w = TRemoteWindow::Find("TfrmGprsMain", "Зентора Skyportal");
        found = w && w->ShowNormal();
        done = true;
    });
    PumpUntil([&] { return done.load(); });
    second.join();
    EXPECT_TRUE(found);
    EXPECT_EQ(shown, 1);
    ::unsetenv("XDG_RUNTIME_DIR");
}

TEST_F(MachineRootDir, TheHandOverWorksWhateverTheRootsLength)
{
    // Roots far past what a socket path could hold (108 bytes with the name).
    for (const size_t length : {100u, 200u}) {
        fs::path root = dir_ / "r";
        while (root.string().size() < length)
            root /= "machine-root";
        ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
        int shown = 0;
        TTopLevelWindow window("TfrmGprsMain", "Зентора Skyportal", {[&] { ++shown; }, {}, {}});
        ASSERT_TRUE(window.Listening()) << root.string().size();
        std::atomic<bool> done{false};
        bool showed = false;
        std::thread second([&] {
            auto w = TRemoteWindow::Find("TfrmGprsMain", "Зентора Skyportal");
            showed = w && w->ShowNormal();
            done = true;
        });
        PumpUntil([&] { return done.load(); });
        second.join();
        EXPECT_TRUE(showed) << root.string().size();
        EXPECT_EQ(shown, 1);
    }
    // The name is the root's, however the root is spelled, and nobody else's.
    const std::string longRoot = InstanceSocketName("TfrmGprsMain", "Зентора Skyportal");
    ::setenv("SKYPORTAL_ROOT", (dir_ / "r").c_str(), 1);
    const std::string plain = InstanceSocketName("TfrmGprsMain", "Зентора Skyportal");
    ::setenv("SKYPORTAL_ROOT", (dir_ / "r" / "." / "machine-root" / "..").c_str(), 1);
    EXPECT_EQ(InstanceSocketName("TfrmGprsMain", "Зентора Skyportal"), plain);
    EXPECT_NE(plain, longRoot);
    EXPECT_NE(InstanceSocketName("TfrmGprsMain", "Another title"), plain);
}

TEST_F(MachineRootDir, APeerThatSaysNothingHoldsNobody)
{
    TTopLevelWindow::SetRequestTimeoutForTests(1500);
    int shown = 0;
    TTopLevelWindow window("TfrmGprsMain", "Зентора Skyportal", {[&] { ++shown; }, {}, {}});
    ASSERT_TRUE(window.Listening());
    const std::string name = InstanceSocketName("TfrmGprsMain", "Зентора Skyportal");
    const int silent = ConnectRaw(name);
    ASSERT_GE(silent, 0);
    // A peer that sends a line without end is not read for ever either.
    const int endless = ConnectRaw(name);
    ASSERT_GE(endless, 0);
    const std::string junk(300, 'x');
    ASSERT_EQ(::send(endless, junk.data(), junk.size(), MSG_NOSIGNAL), static_cast<ssize_t>(junk.size()));

    // A second start is answered while the silent peer is still connected,
    // and no turn of the loop waits for a peer meanwhile.
    std::atomic<bool> done{false};
    bool showed = false;
    std::thread second([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        auto w = TRemoteWindow::Find("TfrmGprsMain", "Зентора Skyportal");
        showed = w && w->ShowNormal();
        done = true;
    });
    auto longest = std::chrono::steady_clock::duration::zero();
    EXPECT_TRUE(PumpUntil([&] {
        const auto start = std::chrono::steady_clock::now();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        return done.load();
    }));
    second.join();
    EXPECT_LT(longest, std::chrono::seconds(1)) << "the loop waited for a peer";
    EXPECT_TRUE(showed);
    EXPECT_EQ(shown, 1);
    EXPECT_FALSE(ClosedByPeer(silent)) << "the silent peer was waited for, then dropped";
    EXPECT_TRUE(PumpUntil([&] { return ClosedByPeer(endless); }, std::chrono::seconds(1)));
    // Its time runs out in the end, and only then.
    EXPECT_TRUE(PumpUntil([&] { return ClosedByPeer(silent); }, std::chrono::seconds(10)));
    ::close(silent);
    ::close(endless);
    TTopLevelWindow::SetRequestTimeoutForTests(10000);
}

TEST_F(MachineRootDir, ARequestBeforeTheWindowExistsIsAnsweredOnceItDoes)
{
    // Listening from the moment the lock is held; the window comes later.
    TTopLevelWindow window("TfrmGprsMain", "Зентора Skyportal");
    ASSERT_TRUE(window.Listening());
    std::atomic<bool> found{false};
    std::atomic<bool> done{false};
    LRESULT result = 0;
    std::thread second([&] {
        auto w = TRemoteWindow::Find("TfrmGprsMain", "Зентора Skyportal");
        found = w != nullptr;
        if (w)
            result = w->SendMessage(0x404, 0, 0);
        done = true;
    });
    EXPECT_TRUE(PumpUntil([&] { return found.load(); })) << "not found while the window is being made";
    PumpUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_FALSE(done) << "answered before there was a window";

    std::vector<UINT> messages;
    window.SetHandlers({{}, {}, [&](UINT m, WPARAM, LPARAM) {
                            messages.push_back(m);
                            return LRESULT{7};
                        }});
    EXPECT_TRUE(PumpUntil([&] { return done.load(); }));
    second.join();
    EXPECT_EQ(messages, std::vector<UINT>{0x404});
    EXPECT_EQ(result, 7);
}

TEST(VersionInfo, TheBuildsRecordsAreReadFromAnyFile)
{
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const uint32_t size = GetFileVersionInfoSizeA(self);
    ASSERT_GT(size, 0u);
    std::vector<char> data;
    ASSERT_TRUE(GetFileVersionInfoA(self, size, data));
    std::string translation;
    ASSERT_TRUE(VerQueryValueA(data, "\\VarFileInfo\\Translation", translation));
    EXPECT_EQ(translation, "04E30419");
    std::string version;
    ASSERT_TRUE(VerQueryValueA(data, "\\StringFileInfo\\041904E3\\FileVersion", version));
    EXPECT_EQ(version, "1.2.3.4");
    EXPECT_FALSE(VerQueryValueA(data, "\\StringFileInfo\\041904E3\\ProductName", version));

    // No section, not an ELF file, a file cut short, no file: nothing.
    EXPECT_EQ(GetFileVersionInfoSizeA("/bin/sh"), 0u);
    EXPECT_EQ(GetFileVersionInfoSizeA("/etc/hostname"), 0u);
    EXPECT_EQ(GetFileVersionInfoSizeA("/nonexistent/file"), 0u);
    const fs::path cut = fs::temp_directory_path() / ("sp-cut-" + std::to_string(::getpid()));
    {
        std::ifstream in(self, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream out(cut, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size() / 2));
    }
    EXPECT_EQ(GetFileVersionInfoSizeA(cut.string()), 0u);
    fs::remove(cut);
}

TEST(VersionInfo, BlockMadeForTheBuildReadsBack)
{
    const std::string block = MakeVersionBlock(0x0419, 0x04E3, "7");
    const std::vector<char> data(block.begin(), block.end());
    std::string v;
    ASSERT_TRUE(VerQueryValueA(data, "\\StringFileInfo\\041904E3\\FileVersion", v));
    EXPECT_EQ(v, "7");
}

TEST_F(MachineRootDir, SpecialFoldersAreTheUsersOwnUnlessTheMachineNamesThem)
{
    ::setenv("HOME", (dir_ / "home").c_str(), 1);
    ::unsetenv("XDG_DESKTOP_DIR");
    ::unsetenv("XDG_CONFIG_HOME");
    const std::string path = std::getenv("PATH");
    // With xdg-user-dir, and without it (the folders' file read directly).
    for (const std::string& p : {path, (dir_ / "no-tools").string()}) {
        SCOPED_TRACE("PATH=" + p);
        ::setenv("PATH", p.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1); // not absolute: ignored
        fs::remove_all(dir_ / "home");
        for (int csidl : {CSIDL_DESKTOPDIRECTORY, CSIDL_COMMON_DESKTOPDIRECTORY})
            EXPECT_EQ(SpecialFolderPath(csidl), dir_ / "home" / "Desktop");
        for (int csidl : {CSIDL_STARTUP, CSIDL_COMMON_STARTUP})
            EXPECT_EQ(SpecialFolderPath(csidl), dir_ / "home" / ".config" / "autostart");

        ::setenv("XDG_CONFIG_HOME", (dir_ / "cfg").c_str(), 1);
        fs::create_directories(dir_ / "cfg");
        std::ofstream(dir_ / "cfg" / "user-dirs.dirs")
            << "# written by xdg-user-dirs-update\nXDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n"
            << "XDG_DESKTOP_DIR=\"$HOME/Рабочий стол\"\n";
        EXPECT_EQ(SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY), dir_ / "home" / "Рабочий стол");
        EXPECT_EQ(SpecialFolderPath(CSIDL_STARTUP), dir_ / "cfg" / "autostart");
        std::ofstream(dir_ / "cfg" / "user-dirs.dirs") << "XDG_DESKTOP_DIR=\"/srv/desk top\"\n";
        EXPECT_EQ(SpecialFolderPath(CSIDL_DESKTOPDIRECTORY), fs::path("/srv/desk top"));
        fs::remove(dir_ / "cfg" / "user-dirs.dirs");
    }
    ::setenv("PATH", path.c_str(), 1);

    {
        std::ofstream ini(MachineRoot() / "machine.ini", std::ios::app);
        ini << "[folders]\nCommonStartup=" << (dir_ / "startup").string() << "\nCommonDesktop=C:\\Desk\n"
            << "Desktop=" << (dir_ / "d").string() << "\nStartup=C:\\S\n";
    }
    EXPECT_EQ(SpecialFolderPath(CSIDL_COMMON_STARTUP), dir_ / "startup");
    EXPECT_EQ(SpecialFolderPath(CSIDL_COMMON_DESKTOPDIRECTORY), MachineDriveC() / "Desk");
    EXPECT_EQ(SpecialFolderPath(CSIDL_DESKTOPDIRECTORY), dir_ / "d");
    EXPECT_EQ(SpecialFolderPath(CSIDL_STARTUP), MachineDriveC() / "S");
    EXPECT_TRUE(SpecialFolderPath(0x99).empty());
    ::unsetenv("XDG_CONFIG_HOME");
}

TEST_F(MachineRootDir, ASavedLinkIsExecutableAndMarkedTrustedWhereGioExists)
{
    // A gio that records what it is asked, then one that fails.
    const fs::path tools = dir_ / "tools";
    fs::create_directories(tools);
    const fs::path asked = dir_ / "asked";
    std::ofstream(tools / "gio") << "#!/bin/sh\necho \"$@\" >> '" << asked.string() << "'\n";
    fs::permissions(tools / "gio", fs::perms::owner_all);
    const std::string path = std::getenv("PATH");
    ::setenv("PATH", (tools.string() + ":" + path).c_str(), 1);
    TShellLink link;
    link.name = "Zentora Skyportal";
    link.target = "/usr/bin/skyportal";
    ASSERT_TRUE(SaveShellLink(link, dir_ / "Desktop"));
    const fs::path entry = dir_ / "Desktop" / "Zentora Skyportal.desktop";
    EXPECT_EQ(Read(asked), "set " + entry.string() + " metadata::trusted true\n");
    const auto perms = fs::status(entry).permissions();
    EXPECT_NE(perms & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(perms & fs::perms::others_write, fs::perms::none);

    std::ofstream(tools / "gio") << "#!/bin/sh\nexit 1\n";
    EXPECT_TRUE(SaveShellLink(link, dir_ / "Desktop"));
    ::setenv("PATH", path.c_str(), 1);
}

TEST_F(MachineRootDir, ALinkQuotesWhatAShellOrLauncherWouldReadOtherwise)
{
    TShellLink link;
    link.name = "Zentora Skyportal";
    link.target = "/opt/My \"Apps\"/$HOME/100%/a\\b`x`/skyportal";
    link.arguments = "/auto";
    link.description = "Зентора Skyportal";
    link.workingDirectory = "/opt/My \"Apps\"/$HOME/100%/a\\b`x`";
    const fs::path folder = dir_ / "Desktop folder";
    ASSERT_TRUE(SaveShellLink(link, folder));
    const std::string text = Read(folder / "Zentora Skyportal.desktop");
    EXPECT_NE(text.find("[Desktop Entry]\nType=Application\n"), std::string::npos);
    EXPECT_NE(text.find("\nName=Zentora Skyportal\n"), std::string::npos);
    EXPECT_NE(text.find("\nComment=Зентора Skyportal\n"), std::string::npos);
    // Inside quotes ", `, $ and \ are escaped; % is doubled; then the value's
    // own backslashes are doubled once more.
    EXPECT_NE(text.find("\nExec=\"/opt/My \\\\\"Apps\\\\\"/\\\\$HOME/100%%/a\\\\\\\\b\\\\`x\\\\`/skyportal\" /auto\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\nPath=/opt/My \"Apps\"/$HOME/100%/a\\\\b`x`\n"), std::string::npos) << text;
    EXPECT_EQ(DesktopExecValue("/usr/bin/skyportal", ""), "/usr/bin/skyportal");

    // Saved again: replaced, not doubled; nothing temporary left.
    link.arguments.clear();
    ASSERT_TRUE(SaveShellLink(link, folder));
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);
    EXPECT_EQ(Read(folder / "Zentora Skyportal.desktop").find(" /auto"), std::string::npos);
}

TEST_F(MachineRootDir, TheOpenVerbHandsTheTextToTheDesktopWithoutWaiting)
{
    const fs::path script = dir_ / "opener";
    const fs::path out = dir_ / "opened";
    {
        std::ofstream f(script);
        f << "#!/bin/sh\nprintf '%s' \"$1\" > '" << out.string() << "'\n";
    }
    fs::permissions(script, fs::perms::owner_all);
    ::setenv("SKYPORTAL_OPEN", script.c_str(), 1);
    ASSERT_TRUE(ShellExecuteOpen("mailto:help@zentora.example"));
    for (int i = 0; i < 500 && Read(out).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(Read(out), "mailto:help@zentora.example");
    ::setenv("SKYPORTAL_OPEN", (dir_ / "missing").c_str(), 1);
    EXPECT_FALSE(ShellExecuteOpen("http://x"));
    ::unsetenv("SKYPORTAL_OPEN");
}

} // namespace
