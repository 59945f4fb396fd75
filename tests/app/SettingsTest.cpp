#include "QtTestApp.h"

#include "app/fGprsMain.h"
#include "crypto/uEncrypt.h"
#include "platform/base/CommandLine.h"
#include "platform/base/Cp1251.h"
#include "platform/registry/Registry.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace sp;

namespace {

constexpr const char* kKey = "\\Software\\Zentora\\Skyportal";

// prefix followed by one or more decimal digits.
bool IsNumbered(const std::string& text, const std::string& prefix) {
    if (text.size() <= prefix.size() || text.compare(0, prefix.size(), prefix) != 0)
        return false;
    return text.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

bool IsEnciphered(const std::string& text) {
    return text.size() >= 32 && text.size() % 16 == 0 &&
           text.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sp-settings-XXXXXX";
        root = ::mkdtemp(tmpl);
        ::setenv("SKYPORTAL_ROOT", root.c_str(), 1);
        SetCommandLine(std::vector<std::string>{"skyportal"});
    }
    void TearDown() override {
        SetCommandLine(std::vector<std::string>{"skyportal"});
        fs::remove_all(root);
    }

    // The registry as another process (skyportal-reg, a person) sees it.
    static std::unique_ptr<TRegistry> OpenRaw() {
        auto reg = std::make_unique<TRegistry>();
        reg->SetRootKey(RegHive::LocalMachine);
        EXPECT_TRUE(reg->OpenKey(kKey, true));
        return reg;
    }

    // By reference: the window is not a value (it becomes a widget).
    static void Fill(TfrmGprsMain& w) {
        w.FModem = "Модем Зентора USB";
        w.FConnection = "Zentora";
        w.FAPNs = {"internet", "", "wap.zentora.ru"};
        w.FAPNVersion = "17";
        w.FStage = 2;
    }

    static void ExpectSameSettings(const TfrmGprsMain& a, const TfrmGprsMain& b) {
        EXPECT_EQ(a.FModem, b.FModem);
        EXPECT_EQ(a.FConnection, b.FConnection);
        EXPECT_EQ(a.FAPNs, b.FAPNs);
        EXPECT_EQ(a.FAPNVersion, b.FAPNVersion);
        EXPECT_EQ(a.FStage, b.FStage);
    }

    fs::path root;
};

} // namespace

// ---- reading ------------------------------------------------------------

TEST_F(SettingsTest, WithoutTheKeyTheDefaultsApplyAndItIsTheFirstStart) {
    TfrmGprsMain w;
    w.FAPNs = {"stale"};
    w.FStage = 0;
    EXPECT_FALSE(w.LoadSettings());
    EXPECT_EQ(w.FModem, "");
    EXPECT_EQ(w.FConnection, "");
    EXPECT_EQ(w.FAPNs, std::vector<std::string>{"internet"});
    EXPECT_EQ(w.FAPNVersion, "0");
    EXPECT_EQ(w.FStage, 3);

    TRegistry reg;
    reg.SetRootKey(RegHive::LocalMachine);
    EXPECT_FALSE(reg.KeyExists(kKey)) << "reading must not create the key";
}

TEST_F(SettingsTest, OnlyTheStoredValuesReplaceTheDefaults) {
    OpenRaw()->WriteString("StartStage", EncryptString("2"));
    TfrmGprsMain w;
    EXPECT_TRUE(w.LoadSettings());
    EXPECT_EQ(w.FStage, 2);
    EXPECT_EQ(w.FModem, "");
    EXPECT_EQ(w.FAPNs, std::vector<std::string>{"internet"});
    EXPECT_EQ(w.FAPNVersion, "0");
}

TEST_F(SettingsTest, StageAndApnTextsAreParsedLeniently) {
    SetCommandLine(std::vector<std::string>{"skyportal", "", "/r"});
    const struct {
        const char* stored;
        uint8_t stage;
    } stages[] = {{"abc", 0}, {"", 0}, {"2x", 0}, {"258", 2}, {"-1", 255}, {"+0", 0}, {"99999999999", 0}};
    for (const auto& s : stages) {
        OpenRaw()->WriteString("StartStage", s.stored);
        TfrmGprsMain w;
        ASSERT_TRUE(w.LoadSettings());
        EXPECT_EQ(w.FStage, s.stage) << '"' << s.stored << '"';
    }

    const struct {
        const char* stored;
        std::vector<std::string> names;
    } lists[] = {{"internet", {"internet"}},
                 {"a\rb\nc\r\n\r\nd\r\n", {"a", "b", "c", "", "d"}},
                 {"\r\n", {""}},
                 {"", {}}};
    for (const auto& l : lists) {
        OpenRaw()->WriteString("APNs", l.stored);
        TfrmGprsMain w;
        ASSERT_TRUE(w.LoadSettings());
        EXPECT_EQ(w.FAPNs, l.names);
    }
}

TEST_F(SettingsTest, AValueOfAnotherTypeCountsAsAbsent) {
    auto raw = OpenRaw();
    raw->WriteInteger("StartStage", 2);
    raw->WriteString("Modem", EncryptString("COM3"));
    raw.reset();
    TfrmGprsMain w;
    EXPECT_TRUE(w.LoadSettings());
    EXPECT_EQ(w.FStage, 3);
    EXPECT_EQ(w.FModem, "COM3");
}

// ---- writing ------------------------------------------------------------

TEST_F(SettingsTest, EncipheredValuesRoundTripAndHideTheirText) {
    TfrmGprsMain saved;
    Fill(saved);
    saved.FAPNs.push_back(std::string(400, 'a')); // a list longer than one short value
    saved.SaveSettings();

    auto raw = OpenRaw();
    for (const char* name : {"Modem", "Connection", "APNs", "APNVersion", "StartStage"}) {
        const std::string stored = raw->ReadString(name);
        EXPECT_TRUE(IsEnciphered(stored)) << name << ": " << stored;
    }
    EXPECT_EQ(DecryptString(raw->ReadString("APNs")),
              "internet\r\n\r\nwap.zentora.ru\r\n" + std::string(400, 'a') + "\r\n");
    EXPECT_EQ(DecryptString(raw->ReadString("Modem")), Utf8ToCp1251("Модем Зентора USB"));
    EXPECT_EQ(DecryptString(raw->ReadString("StartStage")), "2");
    raw.reset();

    TfrmGprsMain loaded;
    EXPECT_TRUE(loaded.LoadSettings());
    ExpectSameSettings(saved, loaded);
}

TEST_F(SettingsTest, PlainModeStoresTheTextsThemselves) {
    SetCommandLine(std::vector<std::string>{"skyportal", "/l", "/r"});
    TfrmGprsMain saved;
    Fill(saved);
    saved.FAPNs = {"internet"};
    saved.SaveSettings();

    auto raw = OpenRaw();
    EXPECT_EQ(raw->ReadString("APNs"), "internet\r\n");
    EXPECT_EQ(raw->ReadString("StartStage"), "2");
    EXPECT_EQ(raw->ReadString("APNVersion"), "17");
    const auto modem = raw->ReadBinary("Modem");
    EXPECT_EQ(std::string(modem.begin(), modem.end()), Utf8ToCp1251("Модем Зентора USB"));
    raw.reset();

    TfrmGprsMain loaded;
    EXPECT_TRUE(loaded.LoadSettings());
    ExpectSameSettings(saved, loaded);

    // The mode is not recorded: read enciphered, the plain values are junk,
    // but nothing fails.
    SetCommandLine(std::vector<std::string>{"skyportal"});
    TfrmGprsMain mixed;
    EXPECT_TRUE(mixed.LoadSettings());
    EXPECT_NE(mixed.FAPNVersion, "17");
}

TEST_F(SettingsTest, WithoutRightsNothingIsWrittenAndNothingReported) {
    {
        TRegistry admin;
        admin.SetRootKey(RegHive::LocalMachine);
        admin.SetAccess("\\Software\\Zentora", RegAccess::ReadOnly);
    }
    TfrmGprsMain w;
    Fill(w);
    w.SaveSettings(); // the key would have to be created
    TRegistry reg;
    reg.SetRootKey(RegHive::LocalMachine);
    EXPECT_FALSE(reg.KeyExists(kKey));

    reg.SetAccess(kKey, RegAccess::ReadOnly); // present, but read-only
    w.SaveSettings();
    ASSERT_TRUE(reg.OpenKeyReadOnly(kKey));
    EXPECT_TRUE(reg.GetValueNames().empty());
    reg.CloseKey();

    TfrmGprsMain readable;
    EXPECT_TRUE(readable.LoadSettings()); // readable: not a first start
    EXPECT_EQ(readable.FStage, 3);

    reg.SetAccess(kKey, RegAccess::None);
    TfrmGprsMain hidden;
    EXPECT_FALSE(hidden.LoadSettings());
}

TEST_F(SettingsTest, KillingTheProcessDuringSavesLeavesWholeValues) {
    for (int round = 0; round < 3; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            for (int i = 0;; ++i) {
                TfrmGprsMain w;
                const std::string n = std::to_string(i);
                w.FModem = "Модем " + n;
                w.FConnection = "Zentora " + n;
                w.FAPNs = {"internet", "apn" + n};
                w.FAPNVersion = n;
                w.FStage = 2;
                w.SaveSettings();
                if (::write(ready[1], "s", 1) != 1)
                    ::_exit(1);
            }
        }
        ::close(ready[1]);
        // Let it run a few saves, then kill it in the middle of the next ones.
        char c;
        for (int i = 0; i < 5 + 7 * round; ++i)
            ASSERT_EQ(::read(ready[0], &c, 1), 1);
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ::close(ready[0]);
        ASSERT_TRUE(WIFSIGNALED(status));

        TfrmGprsMain w;
        ASSERT_TRUE(w.LoadSettings());
        EXPECT_TRUE(IsNumbered(w.FModem, "Модем ")) << w.FModem;
        EXPECT_TRUE(IsNumbered(w.FConnection, "Zentora ")) << w.FConnection;
        ASSERT_EQ(w.FAPNs.size(), 2u);
        EXPECT_EQ(w.FAPNs[0], "internet");
        EXPECT_TRUE(IsNumbered(w.FAPNs[1], "apn")) << w.FAPNs[1];
        EXPECT_TRUE(IsNumbered(w.FAPNVersion, "")) << w.FAPNVersion;
        EXPECT_EQ(w.FStage, 2);

        // And the database still takes writes.
        TfrmGprsMain after;
        Fill(after);
        after.SaveSettings();
        TfrmGprsMain check;
        ASSERT_TRUE(check.LoadSettings());
        ExpectSameSettings(after, check);
    }
}
