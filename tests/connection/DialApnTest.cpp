// The dial sequence against a simulated AT modem on a pseudo-terminal,
// through the real service daemon and its serial driver: what the list
// holds reaches the modem only when it is an access point name.
#include "FakeModem.h"
#include "RasTestRoot.h"

#include "connection/ui/ConnectionWindow.h"
#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"
#include "platform/rasman/DefaultMachine.h"
#include "platform/rasman/RasCtl.h"
#include "ras/Modems.h"
#include "ras/TRasThread.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace sp;

namespace {

const std::string kPhone = "Real Phone";

int RasCtl(const std::vector<std::string>& args)
{
    std::ostringstream out;
    std::ostringstream err;
    return ras::RasCtl(args, out, err);
}

void Network(const std::string& section, const std::string& key, const std::string& value)
{
    IniFile net = IniFile::Load(MachineRoot() / "network.ini");
    net.Set(section, key, value);
    ASSERT_TRUE(net.Save(MachineRoot() / "network.ini"));
}

// Dials `apns` through the real service to a fake modem, the failure box
// answered at once; the modem's commands afterwards.
std::vector<std::string> DialList(std::vector<std::string>& apns, HRASCONN& h,
                                  const std::vector<std::pair<std::string, std::string>>& network = {})
{
    ras::EnsureDefaultMachine();
    FakeModem modem;
    EXPECT_EQ(RasCtl({"add-modem", kPhone, modem.Port()}), 0);
    for (const auto& [key, value] : network)
        Network(kPhone, key, value);
    EXPECT_EQ(RasCtl({"reload"}), 0);
    // The bar's budget (59 rounds) above a pppd that gives up after 3 s.
    SetConnectionRoundLength(std::chrono::milliseconds(100));
    SetProgressFailureHook([](TfrmProgress&) {});
    std::string entry;
    h = OpenConnection(kPhone, entry, apns);
    if (h != 0) {
        EXPECT_TRUE(CloseConnection(h));
    }
    SetProgressFailureHook({});
    SetConnectionRoundLength(std::chrono::milliseconds(500));
    return modem.Commands();
}

// A list stored by an older version, or a value edited by hand.
TEST(DialSequence, AnApnThatIsNotOneIsSkippedAndNeverReachesTheModem)
{
    if (!ServiceBuilt())
        GTEST_SKIP() << "remote access service not built";
    RasTestRoot root(501, true);
    std::vector<std::string> apns = {"internet\";ATD0900123456;\"", "internet\nAT+CFUN=0", " internet "};
    HRASCONN h = 0;
    const std::vector<std::string> commands = DialList(
        apns, h, {{"AnswerTimeoutMs", "1000"}, {"ConnectTimeoutMs", "2000"}, {"PppTimeoutMs", "3000"}});
    std::string all;
    for (const std::string& c : commands)
        all += c + " | ";
    ASSERT_GE(commands.size(), 3u) << all;
    EXPECT_EQ(commands[0], "ATZ") << all;
    EXPECT_EQ(commands[1], "AT+CGDCONT=1,\"IP\",\"internet\"") << all;
    // then the SIM, the network and the signal, then the number
    EXPECT_TRUE(commands.back().starts_with("ATD*99")) << all;
    for (const std::string& c : commands) {
        EXPECT_EQ(c.find("0900123456"), std::string::npos) << all;
        EXPECT_EQ(c.find("CFUN"), std::string::npos) << all;
    }
    // The list is left as it was; the log says what was passed over, each
    // in one line of its own.
    EXPECT_EQ(apns.size(), 3u);
    const auto lines = root.LogLines();
    std::string log;
    for (const std::string& l : lines)
        log += l + "\n";
    const auto skipped = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("src: DIAL-params      code: 0         msg: APN skipped, not an access point name: ") !=
               std::string::npos;
    });
    EXPECT_EQ(skipped, 2) << log;
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.find("src: ") == std::string::npos; }),
              0)
        << log;
    EXPECT_NE(log.find("APN skipped, not an access point name: internet\";ATD0900123456;\"\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("APN skipped, not an access point name: internet\n"), std::string::npos) << log;
    EXPECT_NE(log.find("; APN:  internet   User:"), std::string::npos) << log;
}

// A hand-edited list is tried no further than the update would accept one.
TEST(DialSequence, AListLongerThanAnyUpdateIsTriedToItsHundredthApnOnly)
{
    if (!ServiceBuilt())
        GTEST_SKIP() << "remote access service not built";
    RasTestRoot root(501, true);
    std::vector<std::string> apns(100, "not an apn");
    apns.emplace_back("internet");
    HRASCONN h = 0;
    const std::vector<std::string> commands = DialList(apns, h);
    EXPECT_EQ(h, 0u);
    for (const std::string& c : commands)
        EXPECT_EQ(c.find("CGDCONT"), std::string::npos) << c;
    std::string log;
    for (const std::string& l : root.LogLines())
        log += l + "\n";
    EXPECT_NE(log.find("APN list of 101, only the first 100 are tried"), std::string::npos) << log;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    SetRasRoundLength(std::chrono::milliseconds(40));
    return RUN_ALL_TESTS();
}
