// The remote access functions as the program calls them, through the loaded
// library and a real daemon on a temporary machine root.
#include "ServiceFixture.h"

#include "platform/rasapi/RasProtocol.h"
#include "platform/rasman/Phonebook.h"
#include "platform/rasman/RasCtl.h"

#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

class RasApiTest : public ServiceFixture {};

TEST_F(RasApiTest, DevicesFollowTheSizeHandshake)
{
    DWORD cb = 0, count = 0;
    // the readiness probe's call: no buffer at all
    ASSERT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    ASSERT_EQ(count, 3u);
    ASSERT_EQ(cb, 3u * 152);

    std::vector<RASDEVINFOA> devs(count);
    devs[0].dwSize = cb / count;
    DWORD small = 152;
    EXPECT_EQ(RAS(RasEnumDevicesA)(devs.data(), &small, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small, 3u * 152);
    ASSERT_EQ(RAS(RasEnumDevicesA)(devs.data(), &cb, &count), SUCCESS);
    EXPECT_STREQ(devs[0].szDeviceType, "modem");
    EXPECT_STREQ(devs[0].szDeviceName, "USB GPRS Modem");
    EXPECT_STREQ(devs[1].szDeviceName, "Bluetooth Phone Modem");
    EXPECT_STREQ(devs[2].szDeviceType, "vpn");
    EXPECT_STREQ(devs[2].szDeviceName, "WAN Miniport (PPTP)");
    EXPECT_EQ(devs[1].dwSize, 152u);

    devs[0].dwSize = 150;
    EXPECT_EQ(RAS(RasEnumDevicesA)(devs.data(), &cb, &count), ERROR_INVALID_SIZE);
    EXPECT_EQ(RAS(RasEnumDevicesA)(devs.data(), nullptr, &count), ERROR_INVALID_PARAMETER);
}

TEST_F(RasApiTest, EntriesAreWrittenReadAndEnumerated)
{
    DWORD size = 0;
    ASSERT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, "", nullptr, &size, nullptr, nullptr), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, 2884u); // the emulated XP

    RASENTRYNAMEA probe{};
    probe.dwSize = 532;
    DWORD cb = 0, count = 0;
    EXPECT_EQ(RAS(RasEnumEntriesA)(nullptr, nullptr, &probe, &cb, &count), SUCCESS);
    EXPECT_EQ(count, 0u);

    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99***1#"), SUCCESS);
    ASSERT_EQ(MakeEntry("Other", "Bluetooth Phone Modem", "*99#", 2088), SUCCESS);

    cb = 0;
    ASSERT_EQ(RAS(RasEnumEntriesA)(nullptr, nullptr, &probe, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    ASSERT_EQ(count, 2u);
    ASSERT_EQ(cb, 2u * 532);
    std::vector<RASENTRYNAMEA> names(count);
    names[0].dwSize = cb / count;
    ASSERT_EQ(RAS(RasEnumEntriesA)(nullptr, nullptr, names.data(), &cb, &count), SUCCESS);
    EXPECT_STREQ(names[0].szEntryName, "Zentora");
    EXPECT_STREQ(names[1].szEntryName, "Other");
    EXPECT_NE(std::string(names[1].szPhonebookPath).find("rasphone.pbk"), std::string::npos);

    // the older layout packs 264-byte records
    std::vector<RASENTRYNAME_264> old(2);
    old[0].dwSize = 264;
    cb = 2 * 264;
    ASSERT_EQ(RAS(RasEnumEntriesA)(nullptr, nullptr, reinterpret_cast<LPRASENTRYNAMEA>(old.data()), &cb, &count),
              SUCCESS);
    EXPECT_STREQ(old[1].szEntryName, "Other");
    EXPECT_EQ(RAS(RasEnumEntriesA)("x", nullptr, names.data(), &cb, &count), ERROR_INVALID_PARAMETER);

    RASENTRY_2088 e{};
    e.dwSize = 2088;
    size = 2088;
    ASSERT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, "other", reinterpret_cast<LPRASENTRYA>(&e), &size, nullptr,
                                          nullptr),
              SUCCESS);
    EXPECT_EQ(e.dwSize, 2088u);
    EXPECT_EQ(e.dwfOptions, 0x388C0110u);
    EXPECT_STREQ(e.szLocalPhoneNumber, "*99#");
    EXPECT_STREQ(e.szDeviceName, "Bluetooth Phone Modem");

    RASENTRYA missing{};
    missing.dwSize = 2884;
    size = 2884;
    EXPECT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, "Nobody", &missing, &size, nullptr, nullptr),
              ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    missing.dwSize = 2000;
    EXPECT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, "Zentora", &missing, &size, nullptr, nullptr),
              ERROR_INVALID_SIZE);
    EXPECT_EQ(MakeEntry("Bad", "USB GPRS Modem", "*99#", 1000), ERROR_INVALID_SIZE);

    // The phonebook file keeps every property under its own readable key.
    const sp::IniFile pbk = sp::IniFile::Load(
        root_ / "drive_c/Documents and Settings/All Users/Application Data/Microsoft/Network/Connections/Pbk/rasphone.pbk");
    EXPECT_EQ(pbk.Get("Zentora", "dwfOptions").value_or(""), std::to_string(0x388C0110u));
    EXPECT_EQ(pbk.Get("Zentora", "szLocalPhoneNumber").value_or(""), "*99***1#");
    EXPECT_EQ(pbk.Get("Other", "szDeviceName").value_or(""), "Bluetooth Phone Modem");
    EXPECT_EQ(pbk.Get("Other", "dwfNetProtocols").value_or(""), "4");
    EXPECT_EQ(pbk.Get("Other", "dwFramingProtocol").value_or(""), "1");
}

TEST_F(RasApiTest, OlderLayoutKeepsTheNewerFieldsAndTextsStopAtTheirField)
{
    RASENTRYA full{};
    full.dwSize = 2884;
    full.dwType = RASET_Phone;
    full.dwRedialCount = 7;
    std::strcpy(full.szDeviceType, "modem");
    std::strcpy(full.szDeviceName, "USB GPRS Modem");
    ASSERT_EQ(RAS(RasSetEntryPropertiesA)(nullptr, "E", &full, 2884, nullptr, 0), SUCCESS);

    // A 1768-byte record whose number fills its field with no terminator.
    RASENTRY_1768 old{};
    old.dwSize = 1768;
    std::memset(old.szLocalPhoneNumber, '7', sizeof old.szLocalPhoneNumber);
    std::strcpy(old.szDeviceType, "modem");
    std::strcpy(old.szDeviceName, "USB GPRS Modem");
    ASSERT_EQ(RAS(RasSetEntryPropertiesA)(nullptr, "E", reinterpret_cast<LPRASENTRYA>(&old), 1768, nullptr, 0),
              SUCCESS);

    RASENTRYA back{};
    back.dwSize = 2884;
    DWORD size = 2884;
    ASSERT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, "E", &back, &size, nullptr, nullptr), SUCCESS);
    EXPECT_EQ(std::string(back.szLocalPhoneNumber), std::string(128, '7'));
    EXPECT_EQ(back.dwRedialCount, 7u);
    EXPECT_EQ(back.dwType, RASET_Phone);
    // the size given must cover the record
    EXPECT_EQ(RAS(RasSetEntryPropertiesA)(nullptr, "E", &full, 2000, nullptr, 0), ERROR_INVALID_SIZE);
    EXPECT_EQ(RAS(RasSetEntryPropertiesA)(nullptr, "", &full, 2884, nullptr, 0), ERROR_INVALID_PARAMETER);
}

TEST_F(RasApiTest, DialParametersAreSavedPerEntry)
{
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#"), SUCCESS);
    RASDIALPARAMSA p{};
    p.dwSize = 1060;
    std::strcpy(p.szEntryName, "Zentora");
    BOOL havePassword = 1;
    ASSERT_EQ(RAS(RasGetEntryDialParamsA)(nullptr, &p, &havePassword), SUCCESS);
    EXPECT_STREQ(p.szUserName, "");
    EXPECT_EQ(havePassword, 0);

    std::strcpy(p.szUserName, "vexul");
    std::strcpy(p.szPassword, "secret");
    ASSERT_EQ(RAS(RasSetEntryDialParamsA)(nullptr, &p, 0), SUCCESS);
    RASDIALPARAMSA q{};
    q.dwSize = 1060;
    std::strcpy(q.szEntryName, "Zentora");
    ASSERT_EQ(RAS(RasGetEntryDialParamsA)(nullptr, &q, &havePassword), SUCCESS);
    EXPECT_STREQ(q.szUserName, "vexul");
    EXPECT_STREQ(q.szPassword, "secret");
    EXPECT_EQ(havePassword, 1);

    std::strcpy(q.szEntryName, "Nobody");
    EXPECT_EQ(RAS(RasGetEntryDialParamsA)(nullptr, &q, &havePassword), ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
    q.dwSize = 1056;
    EXPECT_EQ(RAS(RasGetEntryDialParamsA)(nullptr, &q, &havePassword), ERROR_INVALID_SIZE);
}

TEST_F(RasApiTest, StatusAndStatisticsOfAnUnknownHandle)
{
    RASCONNSTATUSA s{};
    s.dwSize = 288;
    EXPECT_EQ(RAS(RasGetConnectStatusA)(12345, &s), ERROR_INVALID_HANDLE);
    s.dwSize = 200;
    EXPECT_EQ(RAS(RasGetConnectStatusA)(12345, &s), ERROR_INVALID_SIZE);
    RAS_STATS st{};
    st.dwSize = 60;
    EXPECT_EQ(RAS(RasGetConnectionStatistics)(12345, &st), ERROR_INVALID_HANDLE);
    st.dwSize = 64;
    EXPECT_EQ(RAS(RasGetConnectionStatistics)(12345, &st), ERROR_INVALID_SIZE);
    EXPECT_EQ(RAS(RasHangUpA)(12345), ERROR_INVALID_HANDLE);

    RASCONNA c{};
    c.dwSize = 692;
    DWORD cb = 692, count = 9;
    EXPECT_EQ(RAS(RasEnumConnectionsA)(&c, &cb, &count), SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(RasApiTest, ErrorTexts)
{
    char buf[512];
    for (UINT code = 600; code < 800; ++code) {
        ASSERT_EQ(RAS(RasGetErrorStringA)(code, buf, sizeof buf), SUCCESS) << code;
        EXPECT_GT(std::strlen(buf), 5u) << code;
    }
    ASSERT_EQ(RAS(RasGetErrorStringA)(678, buf, sizeof buf), SUCCESS);
    EXPECT_STREQ(buf, "The remote computer did not respond.");
    EXPECT_NE(RAS(RasGetErrorStringA)(5000, buf, sizeof buf), SUCCESS);
    EXPECT_NE(RAS(RasGetErrorStringA)(678, buf, 4), SUCCESS);
    EXPECT_NE(RAS(RasGetErrorStringA)(678, nullptr, 512), SUCCESS);
}

struct FamilyCase {
    int major, minor;
    bool nt;
    DWORD entry;                    // size query answer
    std::vector<DWORD> connOk, connBad;
    std::vector<DWORD> paramsOk, paramsBad;
    std::vector<DWORD> namesOk, namesBad;
};

class RasFamilyTest : public ServiceFixture, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(RasFamilyTest, EachFamilyAcceptsItsOwnAndOlderLayouts)
{
    const FamilyCase& f = GetParam();
    SetVersion(f.major, f.minor, f.nt);
    DWORD size = 0;
    EXPECT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, nullptr, nullptr, &size, nullptr, nullptr),
              ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(size, f.entry);
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#", f.entry), SUCCESS);

    std::vector<char> buf(4096);
    for (DWORD s : f.connOk) {
        std::memcpy(buf.data(), &s, 4);
        DWORD cb = s, count = 0;
        EXPECT_EQ(RAS(RasEnumConnectionsA)(reinterpret_cast<LPRASCONNA>(buf.data()), &cb, &count), SUCCESS) << s;
    }
    for (DWORD s : f.connBad) {
        std::memcpy(buf.data(), &s, 4);
        DWORD cb = s, count = 0;
        EXPECT_EQ(RAS(RasEnumConnectionsA)(reinterpret_cast<LPRASCONNA>(buf.data()), &cb, &count),
                  ERROR_INVALID_SIZE) << s;
    }
    for (DWORD s : f.paramsOk) {
        RASDIALPARAMSA p{};
        p.dwSize = s;
        std::strcpy(p.szEntryName, "Zentora");
        BOOL pw = 0;
        EXPECT_EQ(RAS(RasGetEntryDialParamsA)(nullptr, &p, &pw), SUCCESS) << s;
    }
    for (DWORD s : f.paramsBad) {
        RASDIALPARAMSA p{};
        p.dwSize = s;
        std::strcpy(p.szEntryName, "Zentora");
        BOOL pw = 0;
        EXPECT_EQ(RAS(RasGetEntryDialParamsA)(nullptr, &p, &pw), ERROR_INVALID_SIZE) << s;
    }
    for (DWORD s : f.namesOk) {
        std::memcpy(buf.data(), &s, 4);
        DWORD cb = s, count = 0;
        EXPECT_EQ(RAS(RasEnumEntriesA)(nullptr, nullptr, reinterpret_cast<LPRASENTRYNAMEA>(buf.data()), &cb, &count),
                  SUCCESS) << s;
        EXPECT_EQ(cb, s);
    }
    for (DWORD s : f.namesBad) {
        std::memcpy(buf.data(), &s, 4);
        DWORD cb = s, count = 0;
        EXPECT_EQ(RAS(RasEnumEntriesA)(nullptr, nullptr, reinterpret_cast<LPRASENTRYNAMEA>(buf.data()), &cb, &count),
                  ERROR_INVALID_SIZE) << s;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, RasFamilyTest,
    ::testing::Values(FamilyCase{4, 10, false, 1768, {412}, {676, 692}, {1052}, {1060}, {264}, {532}},
                      FamilyCase{4, 90, false, 1768, {412, 676}, {692}, {1052, 1060}, {}, {264}, {532}},
                      FamilyCase{4, 0, true, 1768, {412, 676}, {692}, {1052, 1060}, {}, {264}, {532}},
                      FamilyCase{5, 0, true, 2088, {412, 676, 692}, {700}, {1052, 1060}, {1056}, {264, 532}, {300}},
                      FamilyCase{5, 1, true, 2884, {412, 676, 692}, {0}, {1052, 1060}, {0}, {264, 532}, {4}}));

TEST_F(RasApiTest, DisabledServiceAnswers711AtOnce)
{
    SetNetwork("Service", "Disabled", "1");
    DWORD cb = 0, count = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_RASMAN_CANNOT_INITIALIZE);
    RASCONNSTATUSA s{};
    s.dwSize = 288;
    EXPECT_EQ(RAS(RasGetConnectStatusA)(1, &s), ERROR_RASMAN_CANNOT_INITIALIZE);
    RASDIALPARAMSA p{};
    p.dwSize = 1060;
    HRASCONN h = 0;
    EXPECT_EQ(RAS(RasDialA)(nullptr, nullptr, &p, 0, reinterpret_cast<LPVOID>(+[](UINT, RASCONNSTATE, DWORD) {}),
                            &h),
              ERROR_RASMAN_CANNOT_INITIALIZE);
    EXPECT_EQ(h, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
}

TEST_F(RasApiTest, CallsWaitWhileFrozenAndGoOnAfterTheThaw)
{
    DWORD cb = 0, count = 0;
    ASSERT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    std::ostringstream out, err;
    ASSERT_EQ(sp::ras::RasCtl({"service", "freeze"}, out, err), 0) << err.str();

    std::atomic<bool> done{false};
    std::atomic<DWORD> result{0};
    std::thread caller([&] {
        DWORD c1 = 0, c2 = 0;
        result = RAS(RasEnumDevicesA)(nullptr, &c1, &c2);
        done = true;
    });
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(done.load());
    // rasctl still reaches a frozen service
    ASSERT_EQ(sp::ras::RasCtl({"devices"}, out, err), 0) << err.str();
    ASSERT_EQ(sp::ras::RasCtl({"service", "thaw"}, out, err), 0) << err.str();
    caller.join();
    EXPECT_EQ(result.load(), ERROR_BUFFER_TOO_SMALL);
}

TEST_F(RasApiTest, CallsWaitForAServiceThatIsStillStarting)
{
    SetNetwork("Service", "StartDelayMs", "400");
    DWORD cb = 0, count = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
}

TEST_F(RasApiTest, ThePhonebookSurvivesADaemonRestart)
{
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#"), SUCCESS);
    const int first = DaemonPid();
    StopDaemon();
    RASENTRYA e{};
    e.dwSize = 2884;
    DWORD size = 2884;
    ASSERT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, "Zentora", &e, &size, nullptr, nullptr), SUCCESS);
    EXPECT_STREQ(e.szLocalPhoneNumber, "*99#");
    EXPECT_NE(DaemonPid(), first);
}

TEST_F(RasApiTest, SeveralClientsAtOnce)
{
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#"), SUCCESS);
    StopDaemon();
    // All threads find no daemon at first; exactly one gets started.
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 100; ++i) {
                DWORD cb = 0, count = 0;
                if (RAS(RasEnumDevicesA)(nullptr, &cb, &count) != ERROR_BUFFER_TOO_SMALL || count != 3)
                    ++failures;
                RASENTRYA e{};
                e.dwSize = 2884;
                DWORD size = 2884;
                if (RAS(RasGetEntryPropertiesA)(nullptr, "Zentora", &e, &size, nullptr, nullptr) != SUCCESS)
                    ++failures;
                if (t % 2 == 0 && MakeEntry("T" + std::to_string(t), "USB GPRS Modem", std::to_string(i)) != SUCCESS)
                    ++failures;
            }
        });
    }
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(failures.load(), 0);
    RASENTRYA e{};
    e.dwSize = 2884;
    DWORD size = 2884;
    ASSERT_EQ(RAS(RasGetEntryPropertiesA)(nullptr, "T4", &e, &size, nullptr, nullptr), SUCCESS);
    EXPECT_STREQ(e.szLocalPhoneNumber, "99");
}

TEST_F(RasApiTest, AStoppedServiceAnswers711AndIsUsedAgainWhenItGoesOn)
{
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#"), SUCCESS);
    const int pid = DaemonPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(::kill(pid, SIGSTOP), 0);
    struct Resume {
        int pid;
        ~Resume() { ::kill(pid, SIGCONT); }
    } resume{pid};

    auto enumDevices = std::async(std::launch::async, [] {
        DWORD cb = 0, count = 0;
        return RAS(RasEnumDevicesA)(nullptr, &cb, &count);
    });
    auto status = std::async(std::launch::async, [] {
        RASCONNSTATUSA s{};
        s.dwSize = 288;
        return RAS(RasGetConnectStatusA)(1, &s);
    });
    auto dial = std::async(std::launch::async, [] {
        RASDIALPARAMSA p{};
        p.dwSize = 1060;
        std::strcpy(p.szEntryName, "Zentora");
        HRASCONN h = 0;
        return RAS(RasDialA)(nullptr, nullptr, &p, 0,
                             reinterpret_cast<LPVOID>(+[](UINT, RASCONNSTATE, DWORD) {}), &h);
    });
    auto ctl = std::async(std::launch::async, [] {
        std::ostringstream out, err;
        return sp::ras::RasCtl({"devices"}, out, err);
    });
    // Well past the reply time-out; a call still waiting then would wait for ever.
    const auto limit = std::chrono::steady_clock::now() + sp::ras::kReplyTimeout * 3;
    const bool answered = enumDevices.wait_until(limit) == std::future_status::ready
        && status.wait_until(limit) == std::future_status::ready
        && dial.wait_until(limit) == std::future_status::ready && ctl.wait_until(limit) == std::future_status::ready;
    EXPECT_TRUE(answered);
    ::kill(pid, SIGCONT);
    EXPECT_EQ(enumDevices.get(), ERROR_RASMAN_CANNOT_INITIALIZE);
    EXPECT_EQ(status.get(), ERROR_RASMAN_CANNOT_INITIALIZE);
    EXPECT_EQ(dial.get(), ERROR_RASMAN_CANNOT_INITIALIZE);
    EXPECT_EQ(ctl.get(), 1);
    // The same daemon answers again once it goes on.
    DWORD cb = 0, count = 0;
    EXPECT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(DaemonPid(), pid);
}

TEST_F(RasApiTest, AServiceStartingForLongerThanTheReplyTimeOutIsWaitedFor)
{
    const auto delay = sp::ras::kReplyTimeout + 1500ms;
    SetNetwork("Service", "StartDelayMs", std::to_string(delay.count()));
    DWORD cb = 0, count = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RAS(RasEnumDevicesA)(nullptr, &cb, &count), ERROR_BUFFER_TOO_SMALL);
    EXPECT_GE(std::chrono::steady_clock::now() - start, delay);
}

TEST_F(RasApiTest, ThePhonebookAndTheRootAreTheirUsersAloneAndHalfWritesAreTidied)
{
    const std::filesystem::path pbk = sp::ras::Phonebook::DefaultPath();
    StopDaemon();
    std::filesystem::create_directories(pbk.parent_path());
    std::ofstream(pbk.string() + ".tmp.4242") << "[half";
    std::ofstream(pbk.string() + ".tmp.77") << "";
    ASSERT_EQ(MakeEntry("Zentora", "USB GPRS Modem", "*99#"), SUCCESS);
    RASDIALPARAMSA p{};
    p.dwSize = 1060;
    std::strcpy(p.szEntryName, "Zentora");
    std::strcpy(p.szPassword, "secret");
    ASSERT_EQ(RAS(RasSetEntryDialParamsA)(nullptr, &p, 0), SUCCESS);
    struct stat st {};
    ASSERT_EQ(::stat(pbk.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_FALSE(std::filesystem::exists(pbk.string() + ".tmp.4242"));
    EXPECT_FALSE(std::filesystem::exists(pbk.string() + ".tmp.77"));
    for (const char* file : {"machine.ini", "network.ini", "registry.db"}) {
        ASSERT_EQ(::stat((root_ / file).c_str(), &st), 0) << file;
        EXPECT_EQ(st.st_mode & 0077, 0u) << file;
    }
}

} // namespace
