#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "RasTestRoot.h"
#include "platform/registry/Registry.h"
#include "platform/system/WindowMessages.h"
#include "ras/Modems.h"
#include "ras/RasBinding.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"
#include "ras/TRasThread.h"
#include "ras/TrafficCounters.h"

using namespace std::chrono_literals;

namespace {

const std::string kNtKey = "\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
const std::string kApnInit = R"(AT+CGDCONT=1,"IP","internet")";

struct Family {
    int version;
    bool nt;
};

std::string BinDir()
{
    const char* bin = std::getenv("SKYPORTAL_BIN_DIR");
    return bin ? bin : std::string();
}

int Rasctl(const std::string& args)
{
    const std::string cmd = "'" + BinDir() + "/rasctl' " + args + " >/dev/null 2>&1";
    return std::system(cmd.c_str());
}

// A small world: two registry modems of the same name and one more, a VPN
// device and a modem that network.ini declares, quick dial states.
void SeedMachine(const RasTestRoot& root, bool nt)
{
    std::ofstream(root.Path() / "network.ini") << "[Service]\nStartDelayMs=0\nDisabled=0\nStateDelayMs=5\n"
                                                  "[Devices]\nDevice1=vpn,WAN Miniport (PPTP)\n"
                                                  "Device2=Modem,Cable Modem X\n"
                                                  "[USB GPRS Modem]\nAPN=internet\nNumbers=*99#\n"
                                                  "RxRate=4000\nTxRate=1000\nTraffic=steady\n";
    sp::TRegistry reg;
    const char* names[] = {"USB GPRS Modem", "Phone Z", "USB GPRS Modem"};
    for (int i = 0; i < 3; ++i) {
        const std::string sub = "000" + std::to_string(i);
        if (nt) {
            ASSERT_TRUE(reg.OpenKey(kNtKey + "\\" + sub, true));
            reg.WriteString("FriendlyName", names[i]);
            reg.WriteString("AttachedTo", "COM" + std::to_string(i + 3));
            reg.WriteString("UserInit", "");
        } else {
            ASSERT_TRUE(reg.OpenKey("\\Enum\\Root\\Modem\\" + sub, true));
            reg.WriteString("FriendlyName", names[i]);
            reg.WriteString("Driver", "Modem\\" + sub);
            ASSERT_TRUE(reg.OpenKey("\\System\\CurrentControlSet\\Services\\Class\\Modem\\" + sub, true));
            reg.WriteString("UserInit", "");
        }
    }
}

template <class Pred>
bool PumpUntil(Pred pred, std::chrono::milliseconds limit = 30s)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        sp::ProcessMessages();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

template <class Rec>
Rec Zeroed(DWORD size)
{
    Rec r;
    std::memset(&r, 0, sizeof r);
    r.dwSize = size;
    return r;
}

template <class Entry>
Entry GprsEntry()
{
    auto e = Zeroed<Entry>(sizeof(Entry));
    std::strcpy(e.szLocalPhoneNumber, "*99#");
    std::strcpy(e.szDeviceType, "modem");
    std::strcpy(e.szDeviceName, "USB GPRS Modem");
    e.dwfNetProtocols = RASNP_Ip;
    e.dwFramingProtocol = RASFP_Ppp;
    if constexpr (sizeof(Entry) >= 2088)
        e.dwType = RASET_Phone;
    return e;
}

// Entry properties go through RasXP on XP, through the family's binding elsewhere.
template <class B, class EB>
void ExerciseFamily(int version)
{
    // Devices: size query, then the array with the family's record size.
    DWORD cb = 0, count = 0;
    ASSERT_EQ(B::RasEnumDevicesA(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    ASSERT_EQ(count, 5u);
    std::vector<RASDEVINFOA> devs(count);
    devs[0].dwSize = B::Sizes.rasDevInfo;
    EXPECT_EQ(B::RasEnumDevicesA(devs.data(), &cb, &count), 0u);

    // Entry properties: write, size query, read back.
    auto entry = GprsEntry<typename EB::RASENTRY>();
    ASSERT_EQ(EB::RasSetEntryPropertiesA(nullptr, "Test", &entry, sizeof entry, nullptr, 0), 0u);
    DWORD size = 0;
    EXPECT_EQ(EB::RasGetEntryPropertiesA(nullptr, "Test", nullptr, &size, nullptr, nullptr), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, EB::Sizes.rasEntry);
    auto back = Zeroed<typename EB::RASENTRY>(EB::Sizes.rasEntry);
    size = sizeof back;
    ASSERT_EQ(EB::RasGetEntryPropertiesA(nullptr, "Test", &back, &size, nullptr, nullptr), 0u);
    EXPECT_STREQ(back.szLocalPhoneNumber, "*99#");
    EXPECT_STREQ(back.szDeviceName, "USB GPRS Modem");

    typename B::RASENTRYNAME names[4];
    std::memset(names, 0, sizeof names);
    names[0].dwSize = B::Sizes.rasEntryName;
    cb = sizeof names;
    count = 0;
    ASSERT_EQ(B::RasEnumEntriesA(nullptr, nullptr, names, &cb, &count), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_STREQ(names[0].szEntryName, "Test");

    auto dp = Zeroed<typename B::RASDIALPARAMS>(B::Sizes.rasDialParams);
    std::strcpy(dp.szEntryName, "Test");
    BOOL hasPassword = 1;
    EXPECT_EQ(B::RasGetEntryDialParamsA(nullptr, &dp, &hasPassword), 0u);

    // Dial (no notifier: the call waits for the end of the dial), then ask.
    ASSERT_TRUE(sp::SetModemInitString("USB GPRS Modem", kApnInit));
    auto dial = Zeroed<typename B::RASDIALPARAMS>(B::Sizes.rasDialParams);
    std::strcpy(dial.szEntryName, "Test");
    HRASCONN h = 0;
    ASSERT_EQ(B::RasDialA(nullptr, nullptr, &dial, 0, nullptr, &h), 0u);
    ASSERT_NE(h, 0u);

    auto st = Zeroed<typename B::RASCONNSTATUS>(B::Sizes.rasConnStatus);
    ASSERT_EQ(B::RasGetConnectStatusA(h, &st), 0u);
    EXPECT_EQ(st.rasconnstate, RASCS_Connected);

    typename B::RASCONN conns[2];
    std::memset(conns, 0, sizeof conns);
    conns[0].dwSize = B::Sizes.rasConn;
    cb = sizeof conns;
    count = 0;
    ASSERT_EQ(B::RasEnumConnectionsA(conns, &cb, &count), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(conns[0].hrasconn, h);

    uint32_t rx = 0, tx = 0;
    EXPECT_EQ(sp::GetStatistics(rx, tx, h), 0u);
    if (version >= 500) {
        auto stats = Zeroed<RAS_STATS>(60);
        EXPECT_EQ(sp::Ras2k::RasGetConnectionStatistics(h, &stats), 0u);
    }

    char text[512] = {};
    EXPECT_EQ(B::RasGetErrorStringA(691, text, sizeof text), 0u);
    EXPECT_GT(std::strlen(text), 0u);

    // Guarded hang-up of a live connection drops it.
    EXPECT_EQ(B::HangUpAndWait(h), 0u);
    st = Zeroed<typename B::RASCONNSTATUS>(B::Sizes.rasConnStatus);
    EXPECT_EQ(B::RasGetConnectStatusA(h, &st), ERROR_INVALID_HANDLE);
    count = 0;
    cb = sizeof conns;
    EXPECT_EQ(B::RasEnumConnectionsA(conns, &cb, &count), 0u);
    EXPECT_EQ(count, 0u);

    // Of a gone one: one hang-up call (no 10-ms retries), its own result.
    const auto t0 = std::chrono::steady_clock::now();
    const DWORD again = B::HangUpAndWait(h);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 150ms);
    const auto direct = reinterpret_cast<PFN_RasHangUpA>(sp::RasProc("RasHangUpA"))(h);
    EXPECT_EQ(again, direct);
}

class RasFamily : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override
    {
        if (!ServiceBuilt())
            GTEST_SKIP() << "the remote access service is not built";
        root_ = std::make_unique<RasTestRoot>(GetParam().version, GetParam().nt);
        SeedMachine(*root_, GetParam().nt);
        ASSERT_NE(sp::hRasApi, nullptr);
    }
    void TearDown() override
    {
        PumpUntil([] { return sp::TRasThread::Alive() == 0; });
        root_.reset();
    }
    std::unique_ptr<RasTestRoot> root_;
};

} // namespace

TEST_P(RasFamily, EveryWrapperReachesTheServiceWithItsFamilysSizes)
{
    const int v = GetParam().version;
    switch (sp::SelectRasVariant(sp::WinVersion)) {
    case sp::RasVariant::Ras98: ExerciseFamily<sp::Ras98, sp::Ras98>(v); break;
    case sp::RasVariant::RasME: ExerciseFamily<sp::RasME, sp::RasME>(v); break;
    default:
        if (v == 501) {
            ExerciseFamily<sp::Ras2k, sp::RasXP>(v);
        } else if (v == 500) {
            ExerciseFamily<sp::Ras2k, sp::Ras2k>(v);
        } else {
            // 400 takes the 2000 sizes, which the older service refuses.
            auto conn = Zeroed<sp::Ras2k::RASCONN>(692);
            DWORD cb = sizeof conn, count = 0;
            EXPECT_EQ(sp::Ras2k::RasEnumConnectionsA(&conn, &cb, &count), ERROR_INVALID_SIZE);
            auto name = Zeroed<sp::Ras2k::RASENTRYNAME>(532);
            cb = sizeof name;
            EXPECT_EQ(sp::Ras2k::RasEnumEntriesA(nullptr, nullptr, &name, &cb, &count), ERROR_INVALID_SIZE);
            auto entry = GprsEntry<sp::Ras2k::RASENTRY>();
            EXPECT_EQ(sp::Ras2k::RasSetEntryPropertiesA(nullptr, "Test", &entry, sizeof entry, nullptr, 0),
                      ERROR_INVALID_SIZE);
            std::vector<std::string> modems;
            EXPECT_EQ(sp::EnumDevices(modems), 0u);
        }
    }
}

TEST_P(RasFamily, EnumDevicesListsModemsOnlyOnceEachInServiceOrder)
{
    std::vector<std::string> modems{"stale"};
    ASSERT_EQ(sp::EnumDevices(modems), 0u);
    EXPECT_EQ(modems, (std::vector<std::string>{"USB GPRS Modem", "Phone Z", "Cable Modem X"}));
    EXPECT_TRUE(root_->LogLines().empty());
}

INSTANTIATE_TEST_SUITE_P(Versions, RasFamily,
                         ::testing::Values(Family{400, true}, Family{410, false}, Family{490, false},
                                           Family{500, true}, Family{501, true}),
                         [](const auto& p) { return std::to_string(p.param.version); });

class RasServiceXP : public RasFamily {};

TEST_P(RasServiceXP, ReadyServiceAnswersWithoutAFullRound)
{
    sp::SetRasRoundLength(500ms);
    (void)sp::WaitRasReady(); // the first call may start the daemon
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t r = sp::WaitRasReady();
    const auto spent = std::chrono::steady_clock::now() - t0;
    sp::SetRasRoundLength(40ms);
    EXPECT_EQ(r, static_cast<int32_t>(ERROR_BUFFER_TOO_SMALL));
    EXPECT_LT(spent, 250ms);
}

TEST_P(RasServiceXP, FrozenServiceGives711AfterItsRounds)
{
    ASSERT_EQ(sp::WaitRasReady(), static_cast<int32_t>(ERROR_BUFFER_TOO_SMALL)); // daemon up
    ASSERT_EQ(Rasctl("service freeze"), 0);

    EXPECT_EQ(sp::WaitRasReady(), 711);
    EXPECT_EQ(sp::LastRasWaitRounds(), 21);

    sp::RasWaitRounds = 120; // what a start with "/auto" leaves
    EXPECT_EQ(sp::WaitRasReady(), 711);
    EXPECT_EQ(sp::LastRasWaitRounds(), 121);
    EXPECT_EQ(sp::RasWaitRounds.load(), 20);

    // Every wrapper then answers 711 without calling the service.
    DWORD cb = 0, count = 0;
    EXPECT_EQ(sp::Ras2k::RasEnumConnectionsA(nullptr, &cb, &count), 711u);
    EXPECT_EQ(sp::LastRasWaitRounds(), 21);
    EXPECT_EQ(sp::Ras2k::HangUpAndWait(1), 711u);

    int configErrors = 0;
    sp::TMessageWindow mainWnd([&](sp::UINT msg, sp::WPARAM, sp::LPARAM) -> sp::LRESULT {
        configErrors += msg == sp::WM_CONFIG_ERROR;
        return 0;
    });
    sp::SetMainWindowHandle(mainWnd.Handle());
    std::vector<std::string> modems;
    EXPECT_EQ(sp::EnumDevices(modems), 711u);
    EXPECT_TRUE(modems.empty());
    EXPECT_EQ(configErrors, 1);
    sp::SetMainWindowHandle(0);

    ASSERT_EQ(Rasctl("service thaw"), 0);
    EXPECT_TRUE(PumpUntil([] { return sp::TRasThread::Alive() == 0; })) << "workers did not end after the thaw";
    EXPECT_EQ(sp::WaitRasReady(), static_cast<int32_t>(ERROR_BUFFER_TOO_SMALL));
}

TEST_P(RasServiceXP, ErrorTextsFromTheService)
{
    const std::string known = sp::GetRasErrorDescr(691);
    EXPECT_FALSE(known.empty());
    EXPECT_EQ(sp::GetRasErrorDescr(99999), "");
    sp::LogRasError("Dial", 691);
    sp::LogRasError("Dial", 99999);
    const auto lines = root_->LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("src: RAS-Dial      code: 691         msg: " + known), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("src: RAS-Dial      code: 99999         msg: Unrecognized"), std::string::npos)
        << lines[1];
}

TEST_P(RasServiceXP, FailedStatisticsLeaveCountersAndLogTwice)
{
    uint32_t rx = 11, tx = 22;
    const DWORD r = sp::GetStatistics(rx, tx, 0x7777);
    EXPECT_NE(r, 0u);
    EXPECT_EQ(rx, 11u);
    EXPECT_EQ(tx, 22u);
    const auto lines = root_->LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("src: RAS-GetStatistics      code: " + std::to_string(r)), std::string::npos);
    EXPECT_EQ(lines[0].substr(lines[0].find(" : ")), lines[1].substr(lines[1].find(" : ")));

    // hConn 0 stands for the main window's connection.
    sp::SetMainConnectionSource([] { return HRASCONN{0x7777}; });
    EXPECT_EQ(sp::GetStatistics(rx, tx, 0), r);
    sp::SetMainConnectionSource(nullptr);
}

INSTANTIATE_TEST_SUITE_P(XP, RasServiceXP, ::testing::Values(Family{501, true}),
                         [](const auto&) { return std::string("501"); });
