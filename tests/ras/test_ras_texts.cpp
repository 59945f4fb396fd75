#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "RasTestRoot.h"
#include "platform/base/CommandLine.h"
#include "platform/base/MachineRoot.h"
#include "platform/system/WindowMessages.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"

using namespace std::chrono_literals;

namespace {

const std::string kConfigText =
    "Во время работы программы возникла ошибка конфигурации системы. Восстановление требует перезагрузки.";

int CountContaining(const std::vector<std::string>& lines, const std::string& part)
{
    int n = 0;
    for (const auto& l : lines)
        if (l.find(part) != std::string::npos)
            ++n;
    return n;
}

} // namespace

TEST(RasGlobals, StartUpValuesFromMachineAndCommandLine)
{
    RasTestRoot root(410, false, {"/auto"});
    EXPECT_EQ(sp::WinVersion, 410u);
    EXPECT_EQ(sp::RasWaitRounds.load(), 120);

    struct Case {
        std::vector<std::string> args;
        int rounds;
    };
    const Case cases[] = {
        {{"/auto"}, 120},         {{"/AUTO"}, 20}, {{"/auto "}, 20}, {{"/l", "/auto"}, 20},
        {{}, 20},                 {{"auto"}, 20},  {{"/auto", "/n"}, 120},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "prog");
        sp::SetCommandLine(args);
        sp::InitRasGlobals();
        EXPECT_EQ(sp::RasWaitRounds.load(), c.rounds) << (c.args.empty() ? "(none)" : c.args[0]);
    }
    sp::MachineVersion v{5, 0, true};
    sp::WriteMachineVersion(v);
    sp::InitRasGlobals();
    EXPECT_EQ(sp::WinVersion, 500u);
}

TEST(RasGlobals, MissingLibraryOrFunctionIsAnExceptionForTheCaller)
{
    RasTestRoot root(501, true);
    void* const saved = sp::hRasApi;
    sp::hRasApi = nullptr;
    EXPECT_THROW((void)sp::RasProc("RasEnumDevicesA"), sp::ERasBinding);
    sp::hRasApi = saved;
    if (saved) {
        EXPECT_THROW((void)sp::RasProc("RasNoSuchFunctionA"), sp::ERasBinding);
        EXPECT_NO_THROW((void)sp::RasProc("RasEnumDevicesA"));
    }
}

TEST(RasProbe, WithoutLibraryTheProbeRunsOutItsRoundsAndGives711)
{
    RasTestRoot root(501, true);
    void* const saved = sp::hRasApi;
    sp::hRasApi = nullptr;
    sp::RasWaitRounds = 20;
    EXPECT_EQ(sp::WaitRasReady(), 711);
    EXPECT_EQ(sp::LastRasWaitRounds(), 21);
    EXPECT_EQ(sp::RasWaitRounds.load(), 20);
    // A negative count waits no round at all and still resets the count.
    sp::RasWaitRounds = -1;
    EXPECT_EQ(sp::WaitRasReady(), 711);
    EXPECT_EQ(sp::LastRasWaitRounds(), 0);
    EXPECT_EQ(sp::RasWaitRounds.load(), 20);
    while (sp::TRasThread::Alive() > 0) // the worker left behind fails on its own
        std::this_thread::yield();
    sp::hRasApi = saved;
}

TEST(RasTexts, ConnectionStateTexts)
{
    EXPECT_EQ(sp::ConnStateText(0), "Открытие порта...");
    EXPECT_EQ(sp::ConnStateText(14), "Проверка имени и пароля выполенена...");
    EXPECT_EQ(sp::ConnStateText(5), sp::ConnStateText(19));
    EXPECT_EQ(sp::ConnStateText(21), "Вход в сеть...");
    EXPECT_EQ(sp::ConnStateText(0x1000), "Пауза...");
    EXPECT_EQ(sp::ConnStateText(0x1004), "Пауза для идентификации...");
    for (uint32_t silent : {22u, 23u, 0x2000u, 0x2001u, 24u, 0x1005u, 0xFFFFFFFFu})
        EXPECT_FALSE(sp::ConnStateText(silent).has_value()) << silent;
}

TEST(RasTexts, Error711GivesOwnTextAndTellsTheMainWindowEachTime)
{
    RasTestRoot root(501, true);
    int configErrors = 0;
    sp::TMessageWindow mainWnd([&](sp::UINT msg, sp::WPARAM w, sp::LPARAM l) -> sp::LRESULT {
        if (msg == sp::WM_CONFIG_ERROR && w == 0 && l == 0)
            ++configErrors;
        return 0;
    });
    sp::SetMainWindowHandle(mainWnd.Handle());
    void* const saved = sp::hRasApi;
    sp::hRasApi = nullptr; // the service is not asked for 711: no wait, no call
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(sp::GetRasErrorDescr(711), kConfigText);
    EXPECT_EQ(configErrors, 1);
    EXPECT_EQ(sp::GetRasErrorDescr(711), kConfigText);
    EXPECT_EQ(configErrors, 2);
    sp::LogRasError("Dial", 711);
    EXPECT_EQ(configErrors, 3);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 400ms);
    sp::hRasApi = saved;

    const auto lines = root.LogLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("src: RAS-Dial      code: 711         msg: " + kConfigText), std::string::npos)
        << lines[0];
    sp::SetMainWindowHandle(0);
}

TEST(RasTexts, Error711FromAWorkerReachesTheMainWindowThread)
{
    RasTestRoot root(501, true);
    std::thread::id handlerThread;
    sp::TMessageWindow mainWnd([&](sp::UINT, sp::WPARAM, sp::LPARAM) -> sp::LRESULT {
        handlerThread = std::this_thread::get_id();
        return 0;
    });
    sp::SetMainWindowHandle(mainWnd.Handle());
    std::string text;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        text = sp::GetRasErrorDescr(711);
        done = true;
    });
    while (!done)
        sp::ProcessMessages();
    worker.join();
    EXPECT_EQ(text, kConfigText);
    EXPECT_EQ(handlerThread, std::this_thread::get_id());
    sp::SetMainWindowHandle(0);
}

TEST(RasTexts, CodeZeroLogsNothingAndAsksNothing)
{
    RasTestRoot root(501, true);
    void* const saved = sp::hRasApi;
    sp::hRasApi = nullptr;
    const auto t0 = std::chrono::steady_clock::now();
    sp::LogRasError("EnumDevices", 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 100ms); // no probe was run
    sp::hRasApi = saved;
    EXPECT_TRUE(root.LogLines().empty());
}

TEST(RasTexts, WithoutTheLibraryACodeIsLoggedUnrecognized)
{
    RasTestRoot root(501, true);
    void* const saved = sp::hRasApi;
    sp::hRasApi = nullptr;
    sp::LogRasError("GetConnectStatus", 668);
    sp::hRasApi = saved;
    const auto lines = root.LogLines();
    EXPECT_EQ(CountContaining(lines, "src: RAS-GetConnectStatus      code: 668         msg: Unrecognized"), 1);
}
