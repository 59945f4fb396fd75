// Phonebook entries and active connections against the real service daemon
// on a fresh machine root, for each Windows family.
#include "RasTestRoot.h"

#include "connection/ConnectionQuestion.h"
#include "connection/ConnectionState.h"
#include "connection/PhonebookEntries.h"
#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"
#include "platform/registry/Registry.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/Phonebook.h"
#include "platform/system/WindowMessages.h"
#include "ras/Modems.h"
#include "ras/RasBinding.h"

#include <QApplication>
#include <QThread>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using namespace sp;
namespace fs = std::filesystem;

namespace {

const std::string kUsb = "USB GPRS Modem";
const std::string kBluetooth = "Bluetooth Phone Modem";

struct Family {
    int version;
    bool nt;
    DWORD entrySize;
    DWORD options;
    bool dialModeWritten;
};

void PrintTo(const Family& f, std::ostream* os) { *os << f.version; }

std::string Name(const ::testing::TestParamInfo<Family>& i) { return "Win" + std::to_string(i.param.version); }

struct Seed {
    std::string name;
    std::string device;
    std::string number;
    std::string user;
};

std::atomic<uint32_t> g_state{0};
std::atomic<uint32_t> g_error{0};
void Notifier(UINT, RASCONNSTATE state, DWORD error) {
    g_error = error;
    g_state = state;
}

class PhonebookEntries : public ::testing::TestWithParam<Family> {
protected:
    void SetUp() override {
        if (!ServiceBuilt())
            GTEST_SKIP() << "remote access service not built";
        root_ = std::make_unique<RasTestRoot>(GetParam().version, GetParam().nt);
        // A quick network, so dials take milliseconds.
        ras::EnsureDefaultMachine();
        IniFile net = IniFile::Load(MachineRoot() / "network.ini");
        net.Set("Service", "StateDelayMs", "5");
        ASSERT_TRUE(net.Save(MachineRoot() / "network.ini"));
        SetQuestionHook([this](const std::string& text) {
            questions_.push_back(text);
            onMainThread_ = QThread::currentThread() == qApp->thread();
            return answer_;
        });
    }
    void TearDown() override {
        SetQuestionHook({});
        root_.reset();
    }

    // Entries written into the phonebook before the service reads it.
    void SeedPhonebook(const std::vector<Seed>& seeds) {
        IniFile pbk;
        for (const Seed& s : seeds) {
            pbk.Set(s.name, "szDeviceType", "modem");
            pbk.Set(s.name, "szDeviceName", s.device);
            pbk.Set(s.name, "szLocalPhoneNumber", s.number);
            pbk.Set(s.name, "szAreaCode", "812");
            pbk.Set(s.name, "dwCountryCode", "7");
            pbk.Set(s.name, "dwfOptions", "1");
            pbk.Set(s.name, "UserName", s.user);
        }
        fs::create_directories(ras::Phonebook::DefaultPath().parent_path());
        ASSERT_TRUE(pbk.Save(ras::Phonebook::DefaultPath()));
    }

    [[nodiscard]] static IniFile Pbk() { return IniFile::Load(ras::Phonebook::DefaultPath()); }
    [[nodiscard]] static std::string Key(const std::string& entry, const std::string& key) {
        return Pbk().Get(entry, key).value_or("<none>");
    }

    void ExpectOperatorProperties(const std::string& entry, const std::string& modem) {
        const Family f = GetParam();
        EXPECT_EQ(Key(entry, "dwfOptions"), std::to_string(f.options));
        EXPECT_EQ(Key(entry, "dwFramingProtocol"), "1");
        EXPECT_EQ(Key(entry, "dwfNetProtocols"), "4");
        EXPECT_EQ(Key(entry, "szDeviceType"), "modem");
        EXPECT_EQ(Key(entry, "szDeviceName"), modem);
        EXPECT_EQ(Key(entry, "dwDialMode"), f.dialModeWritten ? "1" : "0");
        EXPECT_EQ(Key(entry, "dwType"), f.dialModeWritten ? "1" : "0");
        EXPECT_EQ(Key(entry, "dwEncryptionType"), f.dialModeWritten ? "3" : "0");
    }

    // Dials an entry through the family's binding and waits for the end.
    template <class B>
    HRASCONN DialWith(const std::string& entry) {
        typename B::RASDIALPARAMS p{};
        p.dwSize = sizeof p;
        std::strncpy(p.szEntryName, entry.c_str(), sizeof p.szEntryName - 1);
        std::strcpy(p.szUserName, "vexul");
        std::strcpy(p.szPassword, "vexul");
        g_state = 0;
        g_error = 0;
        HRASCONN h = 0;
        EXPECT_EQ(B::RasDialA(nullptr, nullptr, &p, 0, reinterpret_cast<LPVOID>(&Notifier), &h), 0u);
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (g_state != RASCS_Connected && g_error == 0 && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(g_state.load(), static_cast<uint32_t>(RASCS_Connected)) << "dial error " << g_error;
        return h;
    }
    HRASCONN Dial(const std::string& entry) {
        switch (GetParam().version) {
        case 410: return DialWith<Ras98>(entry);
        case 490: return DialWith<RasME>(entry);
        default: return DialWith<Ras2k>(entry);
        }
    }

    std::unique_ptr<RasTestRoot> root_;
    std::vector<std::string> questions_;
    bool answer_ = false;
    bool onMainThread_ = false;
};

TEST_P(PhonebookEntries, WithoutAnEntryTheOperatorsEntryIsCreated) {
    std::string name;
    TRasEntryPtr r = CheckConnName(kUsb, name);
    ASSERT_TRUE(r);
    EXPECT_EQ(name, "Zentora");
    EXPECT_EQ(r->Size(), GetParam().entrySize);
    EXPECT_STREQ(r->Base().szLocalPhoneNumber, "*99***1#");
    EXPECT_EQ(Key("Zentora", "szLocalPhoneNumber"), "*99***1#");
    ExpectOperatorProperties("Zentora", kUsb);

    // A second check finds the entry by name and leaves it as it is.
    TRasEntryPtr again = CheckConnName(kUsb, name);
    ASSERT_TRUE(again);
    EXPECT_EQ(name, "Zentora");
    EXPECT_EQ(Pbk().SectionNames().size(), 1u);
}

TEST_P(PhonebookEntries, AnEntryOfTheModemWithTheOperatorsOrNoUserIsTakenOver) {
    SeedPhonebook({{"Foreign", kUsb, "555", "someone"},
                   {"Bluetooth", kBluetooth, "*99#", ""},
                   {"Mine", kUsb, "*99#", "vexul"}});
    std::string name;
    TRasEntryPtr r = CheckConnName(kUsb, name);
    ASSERT_TRUE(r);
    EXPECT_EQ(name, "Mine");
    // Repair keeps a known number and every property it did not set.
    EXPECT_EQ(Key("Mine", "szLocalPhoneNumber"), "*99#");
    EXPECT_EQ(Key("Mine", "szAreaCode"), "812");
    EXPECT_EQ(Key("Mine", "dwCountryCode"), "7");
    ExpectOperatorProperties("Mine", kUsb);
    // The others are not touched.
    EXPECT_EQ(Key("Foreign", "szLocalPhoneNumber"), "555");
    EXPECT_EQ(Key("Foreign", "dwfOptions"), "1");
    EXPECT_FALSE(Pbk().HasSection("Zentora"));

    SeedPhonebook({{"NoUser", kUsb, "0123", ""}});
    root_->StopService();
    std::string name2;
    ASSERT_TRUE(CheckConnName(kUsb, name2));
    EXPECT_EQ(name2, "NoUser");
    EXPECT_EQ(Key("NoUser", "szLocalPhoneNumber"), "*99***1#");
}

TEST_P(PhonebookEntries, AnEntryWithAnotherUserIsNeverTaken) {
    SeedPhonebook({{"Foreign", kUsb, "*99#", "someone"}});
    std::string name;
    ASSERT_TRUE(CheckConnName(kUsb, name));
    EXPECT_EQ(name, "Zentora");
    EXPECT_EQ(Key("Foreign", "dwfOptions"), "1");
    EXPECT_EQ(Key("Zentora", "szLocalPhoneNumber"), "*99***1#");
}

TEST_P(PhonebookEntries, ARememberedEntryOnAnotherDeviceIsReplaced) {
    SeedPhonebook({{"Remembered", kBluetooth, "*99#", "vexul"}, {"Spare", kUsb, "*99#", ""}});
    std::string name = "Remembered";
    ASSERT_TRUE(CheckConnName(kUsb, name));
    EXPECT_EQ(name, "Spare");
    EXPECT_EQ(Key("Remembered", "szDeviceName"), kBluetooth);

    // Nothing else for the modem: the operator's entry, and the name follows.
    std::string other = "Remembered";
    ASSERT_TRUE(CheckConnName("No Such Modem", other));
    EXPECT_EQ(other, "Zentora");
    EXPECT_EQ(Key("Zentora", "szDeviceName"), "No Such Modem");
}

TEST_P(PhonebookEntries, ARememberedEntryOnTheModemIsRepairedWhateverItsUser) {
    SeedPhonebook({{"Remembered", kUsb, "12345", "someone"}});
    std::string name = "Remembered";
    TRasEntryPtr r = CheckConnName(kUsb, name);
    ASSERT_TRUE(r);
    EXPECT_EQ(name, "Remembered");
    EXPECT_EQ(Key("Remembered", "szLocalPhoneNumber"), "*99***1#");
    EXPECT_EQ(Key("Remembered", "szAreaCode"), "812");
    ExpectOperatorProperties("Remembered", kUsb);

    std::string gone = "Gone";
    ASSERT_TRUE(CheckConnName(kUsb, gone));
    // No such entry, and the modem's entry belongs to another user: a new one.
    EXPECT_EQ(gone, "Zentora");
}

TEST_P(PhonebookEntries, RepairReplacesUnknownNumbersOnly) {
    std::string name;
    TRasEntryPtr r = CheckConnName(kUsb, name);
    ASSERT_TRUE(r);
    std::strcpy(r->Base().szLocalPhoneNumber, "*99#");
    std::strcpy(r->Base().szScript, "dial.scp");
    ASSERT_TRUE(RepairProp(*r, "Zentora", kUsb, false));
    EXPECT_EQ(Key("Zentora", "szLocalPhoneNumber"), "*99#");
    EXPECT_EQ(Key("Zentora", "szScript"), "dial.scp");
    std::strcpy(r->Base().szLocalPhoneNumber, "*99 #");
    ASSERT_TRUE(RepairProp(*r, "Zentora", kUsb, false));
    EXPECT_EQ(Key("Zentora", "szLocalPhoneNumber"), "*99***1#");
    std::strcpy(r->Base().szLocalPhoneNumber, "*99#");
    ASSERT_TRUE(RepairProp(*r, "Zentora", kUsb, true));
    EXPECT_EQ(Key("Zentora", "szLocalPhoneNumber"), "*99***1#");

    EXPECT_TRUE(IsKnownPhoneNumber("*99***1#"));
    EXPECT_FALSE(IsKnownPhoneNumber("*99#;"));
    EXPECT_EQ(ApnFromInitString("AT+CGDCONT=1,\"IP\",\"internet\""), "internet");
    EXPECT_EQ(ApnFromInitString("AT+CGDCONT=1,\"IP\",\"\""), "");
    EXPECT_EQ(ApnFromInitString("ATZ"), "");
}

TEST_P(PhonebookEntries, AnEntryTheServiceCannotWriteLeavesTheNameEmpty) {
    // A folder where the phonebook file should be: the service cannot save.
    fs::create_directories(ras::Phonebook::DefaultPath());
    std::string name = "Remembered";
    TRasEntryPtr r = CheckConnName(kUsb, name);
    ASSERT_TRUE(r);
    EXPECT_EQ(name, "");
    EXPECT_EQ(r->Size(), GetParam().entrySize);
    EXPECT_STREQ(r->Base().szDeviceName, kUsb.c_str());
    bool logged = false;
    for (const std::string& line : root_->LogLines())
        logged |= line.find("src: RAS-Repair-SetEntryProperties") != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST_P(PhonebookEntries, ActiveConnectionsAreAdoptedOrQuestioned) {
    std::string name;
    EXPECT_EQ(CheckAlreadyConnected(kUsb, name, {"internet"}), 0u);

    ASSERT_TRUE(CheckConnName(kUsb, name));
    ASSERT_TRUE(SetModemInitString(kUsb, "AT+CGDCONT=1,\"IP\",\"internet\""));
    const HRASCONN h = Dial("Zentora");
    ASSERT_NE(h, 0u);
    EXPECT_TRUE(ConnIsOpen(h));

    // Programmed with a listed APN (letter case aside): adopted, no question.
    std::string remembered = "Other";
    ASSERT_TRUE(SetModemInitString(kUsb, "AT+CGDCONT=1,\"IP\",\"InterNet\""));
    EXPECT_EQ(CheckAlreadyConnected(kUsb, remembered, {"wap", "INTERNET"}), h);
    EXPECT_EQ(remembered, "Other");
    EXPECT_TRUE(questions_.empty());
    // Another modem's connection is none of ours.
    EXPECT_EQ(CheckAlreadyConnected(kBluetooth, remembered, {"internet"}), 0u);

    // A foreign init string asks; No adopts and renames.
    ASSERT_TRUE(SetModemInitString(kUsb, "ATZ"));
    answer_ = false;
    EXPECT_EQ(CheckAlreadyConnected(kUsb, remembered, {"internet"}), h);
    EXPECT_EQ(remembered, "Zentora");
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_EQ(questions_[0], "Ошибка: Выбраный модем соединен через другой APN. Отсоединить?");

    // An empty init string asks too; Yes hangs up.
    ASSERT_TRUE(SetModemInitString(kUsb, ""));
    answer_ = true;
    remembered = "Other";
    EXPECT_EQ(CheckAlreadyConnected(kUsb, remembered, {"internet"}), 0u);
    EXPECT_EQ(remembered, "Other");
    EXPECT_EQ(questions_.size(), 2u);
    EXPECT_FALSE(ConnIsOpen(h));
}

TEST_P(PhonebookEntries, AnUnreadableModemKeyIsLoggedAndGivesNoConnection) {
    std::string name;
    ASSERT_TRUE(CheckConnName(kUsb, name));
    ASSERT_TRUE(SetModemInitString(kUsb, "AT+CGDCONT=1,\"IP\",\"internet\""));
    const HRASCONN h = Dial("Zentora");
    ASSERT_NE(h, 0u);
    {
        TRegistry reg;
        reg.SetAccess(ModemClassKey(), RegAccess::None);
    }
    EXPECT_EQ(CheckAlreadyConnected(kUsb, name, {"internet"}), 0u);
    EXPECT_TRUE(questions_.empty());
    EXPECT_TRUE(ConnIsOpen(h)); // nothing was hung up
    bool logged = false;
    for (const std::string& line : root_->LogLines())
        logged |= line.find("src: CheckAlreadyConnected      code: 888         msg: Ошибка: недостаточно прав "
                            "для настройки соединения") != std::string::npos;
    EXPECT_TRUE(logged);
}

TEST_P(PhonebookEntries, OnlyTheFirstReportedConnectionCounts) {
    SeedPhonebook({{"BT", kBluetooth, "*99#", "vexul"}, {"USB", kUsb, "*99#", "vexul"}});
    ASSERT_TRUE(SetModemInitString(kUsb, "AT+CGDCONT=1,\"IP\",\"internet\""));
    ASSERT_TRUE(SetModemInitString(kBluetooth, "AT+CGDCONT=1,\"IP\",\"internet\""));
    const HRASCONN first = Dial("BT");
    const HRASCONN second = Dial("USB");
    ASSERT_NE(first, 0u);
    ASSERT_NE(second, 0u);
    std::string name;
    EXPECT_EQ(CheckAlreadyConnected(kUsb, name, {"internet"}), 0u);
    EXPECT_EQ(CheckAlreadyConnected(kBluetooth, name, {"internet"}), first);
}

TEST_P(PhonebookEntries, TheQuestionOfAWorkerIsAskedOnTheMainThread) {
    std::string name;
    ASSERT_TRUE(CheckConnName(kUsb, name));
    ASSERT_TRUE(SetModemInitString(kUsb, "AT+CGDCONT=1,\"IP\",\"internet\""));
    const HRASCONN h = Dial("Zentora");
    ASSERT_TRUE(SetModemInitString(kUsb, "ATZ"));
    answer_ = false;
    std::atomic<HRASCONN> result{0};
    std::atomic<bool> done{false};
    std::string remembered;
    std::thread worker([&] {
        result = CheckAlreadyConnected(kUsb, remembered, {"internet"});
        done = true;
    });
    while (!done) {
        ProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    worker.join();
    EXPECT_EQ(result.load(), h);
    ASSERT_EQ(questions_.size(), 1u);
    EXPECT_TRUE(onMainThread_);
}

INSTANTIATE_TEST_SUITE_P(Families, PhonebookEntries,
                         ::testing::Values(Family{410, false, 1768, 0x110, false},
                                           Family{490, false, 1768, 0x110, false},
                                           Family{500, true, 2088, 0x388C0110, true},
                                           Family{501, true, 2884, 0x388C0110, true}),
                         Name);

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
