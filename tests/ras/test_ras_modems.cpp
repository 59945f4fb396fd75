#include <gtest/gtest.h>

#include "RasTestRoot.h"
#include "platform/registry/Registry.h"
#include "ras/Modems.h"
#include "ras/RasGlobals.h"
#include "ras/TrafficCounters.h"

namespace {

const std::string kNtKey = "\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
const std::string k9xDriverRoot = "\\System\\CurrentControlSet\\Services\\Class\\";

void AddNtModem(const std::string& sub, const std::string& friendly, const std::string& init)
{
    sp::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(kNtKey + "\\" + sub, true));
    reg.WriteString("FriendlyName", friendly);
    reg.WriteString("UserInit", init);
}

void Add9xModem(const std::string& enumKey, const std::string& sub, const std::string& friendly,
                const std::string& driver, const std::string& init)
{
    sp::TRegistry reg;
    ASSERT_TRUE(reg.OpenKey(enumKey + "\\" + sub, true));
    reg.WriteString("FriendlyName", friendly);
    reg.WriteString("Driver", driver);
    ASSERT_TRUE(reg.OpenKey(k9xDriverRoot + driver, true));
    reg.WriteString("UserInit", init);
}

std::string ReadValue(const std::string& key, const std::string& name)
{
    sp::TRegistry reg;
    if (!reg.OpenKeyReadOnly(key))
        return "<no key>";
    return reg.ReadString(name);
}

const std::string kNoRights = "Ошибка: недостаточно прав для настройки соединения";

} // namespace

TEST(ModemInit, NtLayoutReadsFirstExactMatchAndWritesEveryMatch)
{
    RasTestRoot root(501, true);
    AddNtModem("0000", "USB Modem", "ATZ");
    AddNtModem("0001", "usb modem", "AT&F"); // differs in case only: never matches
    AddNtModem("0002", "USB Modem", "ATE0"); // same name again
    EXPECT_EQ(sp::GetModemInitString("USB Modem"), "ATZ");
    EXPECT_EQ(sp::GetModemInitString("USB MODEM"), "");
    EXPECT_EQ(sp::GetModemInitString("Other"), "");

    const std::string apn = R"(AT+CGDCONT=1,"IP","internet")";
    EXPECT_TRUE(sp::SetModemInitString("USB Modem", apn));
    EXPECT_EQ(ReadValue(kNtKey + "\\0000", "UserInit"), apn);
    EXPECT_EQ(ReadValue(kNtKey + "\\0001", "UserInit"), "AT&F");
    EXPECT_EQ(ReadValue(kNtKey + "\\0002", "UserInit"), apn);
    EXPECT_EQ(sp::GetModemInitString("USB Modem"), apn);
    EXPECT_FALSE(sp::SetModemInitString("No Such Modem", "ATZ"));
}

TEST(ModemInit, CyrillicNamesAndTextsSurviveTheRoundTrip)
{
    RasTestRoot root(500, true);
    AddNtModem("0000", "Модем Зентора", "ATZ");
    EXPECT_TRUE(sp::SetModemInitString("Модем Зентора", R"(AT+CGDCONT=1,"IP","интернет")"));
    EXPECT_EQ(sp::GetModemInitString("Модем Зентора"), R"(AT+CGDCONT=1,"IP","интернет")");
}

TEST(ModemInit, MissingModemKeyReadsEmptyAndWritesNothing)
{
    RasTestRoot root(501, true);
    EXPECT_EQ(sp::GetModemInitString("USB Modem"), "");
    EXPECT_FALSE(sp::SetModemInitString("USB Modem", "ATZ"));
    sp::TRegistry reg;
    EXPECT_FALSE(reg.KeyExists(kNtKey)); // not created by the attempt
}

TEST(ModemInit, NoRightsOnTheModemKeyIsTheUsersError)
{
    RasTestRoot root(501, true);
    AddNtModem("0000", "USB Modem", "ATZ");
    {
        sp::TRegistry reg;
        reg.SetAccess(kNtKey, sp::RegAccess::ReadOnly);
    }
    EXPECT_EQ(sp::GetModemInitString("USB Modem"), "ATZ"); // reading needs no more
    try {
        (void)sp::SetModemInitString("USB Modem", "AT");
        FAIL() << "no error without rights";
    } catch (const sp::EModemAccess& e) {
        EXPECT_EQ(std::string(e.what()), kNoRights);
    }
    EXPECT_EQ(ReadValue(kNtKey + "\\0000", "UserInit"), "ATZ");
    {
        sp::TRegistry reg;
        reg.SetAccess(kNtKey, sp::RegAccess::None);
    }
    EXPECT_THROW((void)sp::GetModemInitString("USB Modem"), sp::EModemAccess);
}

TEST(ModemInit, Win9xLayoutGoesThroughTheDriverKey)
{
    RasTestRoot root(410, false);
    Add9xModem("\\Enum\\Root\\Modem", "0000", "Phone", "Modem\\0000", "ATZ");
    Add9xModem("\\Enum\\Root\\Modem", "0001", "Phone", "Modem\\0001", "ATQ0");
    Add9xModem("\\Enum\\Root\\MDMGEN", "0000", "Generic", "Modem\\0002", "ATE1");
    EXPECT_EQ(sp::GetModemInitString("Phone"), "ATZ");
    // With "\Enum\Root\Modem" present, MDMGEN is not searched.
    EXPECT_EQ(sp::GetModemInitString("Generic"), "");
    EXPECT_FALSE(sp::SetModemInitString("Generic", "AT"));

    EXPECT_TRUE(sp::SetModemInitString("Phone", "AT+CGDCONT=1"));
    EXPECT_EQ(ReadValue(k9xDriverRoot + "Modem\\0000", "UserInit"), "AT+CGDCONT=1");
    EXPECT_EQ(ReadValue(k9xDriverRoot + "Modem\\0001", "UserInit"), "AT+CGDCONT=1");
    EXPECT_EQ(ReadValue(k9xDriverRoot + "Modem\\0002", "UserInit"), "ATE1");
    // The string lives in the driver key, not beside the friendly name.
    EXPECT_EQ(ReadValue("\\Enum\\Root\\Modem\\0000", "UserInit"), "");
}

TEST(ModemInit, Win9xFallsBackToMdmgen)
{
    RasTestRoot root(490, false);
    Add9xModem("\\Enum\\Root\\MDMGEN", "0000", "Generic", "Modem\\0002", "ATE1");
    EXPECT_EQ(sp::ModemClassKey(), "\\Enum\\Root\\MDMGEN");
    EXPECT_EQ(sp::GetModemInitString("Generic"), "ATE1");
    EXPECT_TRUE(sp::SetModemInitString("Generic", "ATE0"));
    EXPECT_EQ(sp::GetModemInitString("Generic"), "ATE0");
    {
        sp::TRegistry reg;
        reg.SetAccess("\\Enum\\Root\\MDMGEN", sp::RegAccess::ReadOnly);
    }
    EXPECT_THROW((void)sp::SetModemInitString("Generic", "AT"), sp::EModemAccess);
}

TEST(TrafficCounters, Win9xReadsTheAdapterTotalsLittleEndian)
{
    RasTestRoot root(410, false);
    {
        sp::TRegistry reg;
        reg.SetRootKey(sp::RegHive::DynData);
        ASSERT_TRUE(reg.OpenKey("\\PerfStats\\StatData", true));
        const uint8_t rx[4] = {0x78, 0x56, 0x34, 0x12};
        const uint8_t tx[2] = {0x01, 0x02}; // shorter than 4 bytes
        reg.WriteBinaryData("Dial-Up Adapter\\TotalBytesRecvd", rx, 4);
        reg.WriteBinaryData("Dial-Up Adapter\\TotalBytesXmit", tx, 2);
    }
    uint32_t received = 1, transmitted = 1;
    EXPECT_EQ(sp::GetStatistics(received, transmitted, 12345), 0u);
    EXPECT_EQ(received, 0x12345678u);
    EXPECT_EQ(transmitted, 0x0201u);
    EXPECT_TRUE(root.LogLines().empty());
}

TEST(TrafficCounters, Win9xWithoutCountersReadsZeroWithOneEntryEach)
{
    RasTestRoot root(490, false);
    {
        sp::TRegistry reg;
        reg.SetRootKey(sp::RegHive::DynData);
        ASSERT_TRUE(reg.OpenKey("\\PerfStats\\StatData", true));
        reg.WriteString("Dial-Up Adapter\\TotalBytesXmit", "12"); // wrong type
    }
    void* const saved = sp::hRasApi;
    sp::hRasApi = nullptr; // keep the error lookups away from any service
    uint32_t received = 7, transmitted = 7;
    EXPECT_EQ(sp::GetStatistics(received, transmitted, 0), 0u);
    sp::hRasApi = saved;
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(transmitted, 0u);
    const auto lines = root.LogLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("src: RAS-ReadBinary-Dial-Up Adapter\\TotalBytesRecvd      code: 888"), std::string::npos)
        << lines[0];
    EXPECT_NE(lines[1].find("src: RAS-ReadBinary-Dial-Up Adapter\\TotalBytesXmit      code: 888"), std::string::npos)
        << lines[1];
}

TEST(TrafficCounters, NtWithoutAnyConnectionReadsZero)
{
    RasTestRoot root(501, true);
    sp::SetMainConnectionSource(nullptr);
    uint32_t received = 9, transmitted = 9;
    EXPECT_EQ(sp::GetStatistics(received, transmitted, 0), 0u);
    EXPECT_EQ(received, 0u);
    EXPECT_EQ(transmitted, 0u);
    sp::SetMainConnectionSource([] { return HRASCONN{0}; });
    received = transmitted = 9;
    EXPECT_EQ(sp::GetStatistics(received, transmitted, 0), 0u);
    EXPECT_EQ(received + transmitted, 0u);
    sp::SetMainConnectionSource(nullptr);
    EXPECT_TRUE(root.LogLines().empty());
}
