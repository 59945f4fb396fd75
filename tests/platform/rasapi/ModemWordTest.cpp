// What a modem says of its SIM, network and signal, and the balance by USSD:
// the answers read and bounded, then the simulated network through the
// library, the real daemon and rasctl.
#include "DialRecorder.h"
#include "ServiceFixture.h"

#include "platform/rasapi/ModemReading.h"
#include "platform/rasman/ModemAnswers.h"
#include "platform/rasman/RasCtl.h"

#include <cstring>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using namespace sp::ras;
using Reports = std::vector<std::pair<DWORD, DWORD>>;

bool Printable(const std::string& s)
{
    return std::none_of(s.begin(), s.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f || c == '"'; });
}

TEST(ModemAnswers, SimNetworkSignalAndOperatorAreReadAndBounded)
{
    EXPECT_EQ(ParseCpin("+CPIN: READY"), SimState::Ready);
    EXPECT_EQ(ParseCpin("+cpin: SIM PIN"), SimState::PinWanted);
    EXPECT_EQ(ParseCpin("+CPIN: SIM PUK"), SimState::PukWanted);
    std::string word;
    EXPECT_EQ(ParseCpin("+CPIN: PH-NET PIN\x07", &word), SimState::Other);
    EXPECT_EQ(word, "PH-NET PIN");
    EXPECT_EQ(ParseCpin("OK"), std::nullopt);
    EXPECT_EQ(SimFromCmeError("+CME ERROR: 10"), SimState::NoSim);
    EXPECT_EQ(SimFromCmeError("+CME ERROR: SIM not inserted"), SimState::NoSim);
    EXPECT_EQ(SimFromCmeError("+CME ERROR: SIM PIN required"), SimState::PinWanted);
    EXPECT_EQ(SimFromCmeError("+CME ERROR: 3"), std::nullopt);

    // the read form, the unsolicited one, and with the cell's location
    EXPECT_EQ(ParseRegistration("+CREG: 0,1", "+CREG"), Registration::Home);
    EXPECT_EQ(ParseRegistration("+CREG: 5", "+CREG"), Registration::Roaming);
    EXPECT_EQ(ParseRegistration("+CGREG: 2,2,\"00C3\",\"1A2B\"", "+CGREG"), Registration::Searching);
    EXPECT_EQ(ParseRegistration("+CGREG: 1,\"00C3\",\"1A2B\"", "+CGREG"), Registration::Home);
    EXPECT_EQ(ParseRegistration("+CEREG: 0,3", "+CEREG"), Registration::Denied);
    EXPECT_EQ(ParseRegistration("+CREG: 0,1", "+CGREG"), std::nullopt);
    EXPECT_EQ(ParseRegistration("+CREG: x", "+CREG"), std::nullopt);

    EXPECT_EQ(ParseCsq("+CSQ: 17,99"), 17u);
    EXPECT_EQ(ParseCsq("+CSQ: 99,99"), kNoSignal);
    EXPECT_EQ(ParseCsq("+CSQ: 32,99"), std::nullopt);
    EXPECT_EQ(ParseCsq("+CSQ: -1,0"), std::nullopt);
    EXPECT_EQ(SignalDbm(0), -113);
    EXPECT_EQ(SignalDbm(31), -51);
    EXPECT_EQ(SignalPercent(20), 64);
    EXPECT_FALSE(SignalKnown(kNoSignal));

    EXPECT_EQ(ParseCops("+COPS: 0,0,\"Zentora\",2"), "Zentora");
    EXPECT_EQ(ParseCops("+COPS: 0"), "");
    // an operator's name that would forge a log line or a tooltip's second line
    const auto hostile = ParseCops("+COPS: 0,0,\"Zen\rtora\n\x1b[31m" + std::string(300, 'x') + "\",2");
    ASSERT_TRUE(hostile);
    EXPECT_LE(hostile->size(), kMaxOperatorName);
    EXPECT_TRUE(Printable(*hostile)) << *hostile;
    EXPECT_EQ(hostile->rfind("Zen tora", 0), 0u) << *hostile;
    // bytes that are not UTF-8 do not pass as text
    EXPECT_EQ(PrintableText("Op\xff\xfe" "er", 64), "Op er");
    EXPECT_EQ(PrintableText("Оператор", 5), "Оп"); // cut on a character's boundary
}

TEST(ModemAnswers, UssdInEachCodingAndMalformedAnswersRefused)
{
    const auto u = ParseCusd("+CUSD: 0,\"AA180C3602\",15");
    ASSERT_TRUE(u);
    EXPECT_EQ(u->status, 0);
    EXPECT_EQ(u->dcs, 15);
    // as a modem packs "*100#" in 7-bit septets
    EXPECT_EQ(DecodeUssd(u->text, u->dcs), "*100#");
    EXPECT_EQ(DecodeUssd("04110430043B0430043D0441", 72), "Баланс");
    EXPECT_EQ(DecodeUssd("Balance: 5.00 EUR", 15), "Balance: 5.00 EUR");
    EXPECT_EQ(ParseCusd("+CUSD: 4")->status, 4);
    EXPECT_EQ(ParseCusd("+CUSD: 0,\"x\",999"), std::nullopt);
    EXPECT_EQ(ParseCusd("+CUSD: 0,unquoted,15"), std::nullopt);

    // each coding the other way and back, the escaped characters and a
    // length whose seven spare bits are a carriage return
    for (const std::string text : {"Balance 100 [EUR] {bonus} ~5 \\ |", "Баланс: 250,00 руб.", "1234567", "Plain"}) {
        for (const UssdCoding c : {UssdCoding::Gsm7Packed, UssdCoding::Ucs2, UssdCoding::Text}) {
            if (c == UssdCoding::Gsm7Packed && text[0] == '\xd0')
                continue; // Cyrillic is not in the 7-bit alphabet
            const EncodedUssd e = EncodeUssd(text, c);
            std::string expected = text;
            std::replace(expected.begin(), expected.end(), '\\', ' '); // no backslash reaches a text
            std::string folded;
            for (const char ch : expected)
                if (!(ch == ' ' && !folded.empty() && folded.back() == ' '))
                    folded += ch;
            EXPECT_EQ(DecodeUssd(e.text, e.dcs), folded) << text << " " << static_cast<int>(c);
        }
    }

    EXPECT_EQ(DecodeUssd("0411043", 72), std::nullopt);  // odd
    EXPECT_EQ(DecodeUssd("04ZZ0430", 72), std::nullopt); // not hex
    EXPECT_EQ(DecodeUssd(std::string(600, 'A'), 15), std::nullopt); // beyond the raw bound
    EXPECT_EQ(DecodeUssd("00", 0x60), std::nullopt);                 // compressed: not read
    // a long answer is cut, line ends and controls become blanks
    const auto longOne = DecodeUssd(std::string(300, 'x'), 15);
    ASSERT_TRUE(longOne);
    EXPECT_EQ(longOne->size(), kMaxUssdChars);
    EXPECT_EQ(DecodeUssd(EncodeUssd("Line1\nLine2\r\x01", UssdCoding::Ucs2).text, 72), "Line1 Line2");
}

// ------------------------------------------------------------------ the simulated network

class SimulatedModemTest : public ServiceFixture {
protected:
    static constexpr const char* kModem = "USB GPRS Modem";

    void SetUp() override
    {
        ServiceFixture::SetUp();
        SetNetwork(kModem, "RegistrationTimeoutMs", "600");
        SetNetwork(kModem, "UssdDelayMs", "50");
        SetNetwork(kModem, "UssdTimeoutMs", "500");
        ASSERT_EQ(MakeEntry("Zentora", kModem, "*99***1#"), SUCCESS);
        SetModemInit(kModem, "AT+CGDCONT=1,\"IP\",\"internet\"");
    }

    Reports DialToEnd(HRASCONN& h)
    {
        RASDIALPARAMSA p{};
        p.dwSize = 1060;
        std::strcpy(p.szEntryName, "Zentora");
        std::strcpy(p.szUserName, "vexul");
        std::strcpy(p.szPassword, "vexul");
        DialRecorder rec;
        h = 0;
        EXPECT_EQ(RAS(RasDialA)(nullptr, nullptr, &p, 0, reinterpret_cast<LPVOID>(&DialRecorder::Notify), &h),
                  SUCCESS);
        EXPECT_TRUE(rec.WaitFinal(5s));
        return rec.Reports();
    }

    int Ctl(std::vector<std::string> args, std::string& out, std::string& err)
    {
        std::ostringstream o, e;
        const int rc = RasCtl(args, o, e);
        out = o.str();
        err = e.str();
        return rc;
    }
};

bool Has(const Reports& r, DWORD state)
{
    return std::any_of(r.begin(), r.end(), [&](const auto& p) { return p.first == state && p.second == 0; });
}

TEST_F(SimulatedModemTest, EachSimAndNetworkStateEndsTheDialWithItsOwnCodeAndText)
{
    const std::pair<std::pair<const char*, const char*>, DWORD> cases[] = {
        {{"Sim", "pin"}, ERROR_SIM_PIN_REQUIRED},
        {{"Sim", "puk"}, ERROR_SIM_PUK_REQUIRED},
        {{"Sim", "none"}, ERROR_SIM_NOT_INSERTED},
        {{"Registration", "denied"}, ERROR_NETWORK_DENIED},
        {{"Registration", "searching"}, ERROR_NO_NETWORK}};
    for (const auto& [setting, code] : cases) {
        SetNetwork(kModem, "Sim", "ready");
        SetNetwork(kModem, "Registration", "home");
        SetNetwork(kModem, setting.first, setting.second);
        Reload();
        HRASCONN h = 0;
        const auto start = std::chrono::steady_clock::now();
        const Reports r = DialToEnd(h);
        ASSERT_FALSE(r.empty());
        EXPECT_EQ(r.back(), std::make_pair(DWORD(RASCS_ConnectDevice), code)) << setting.second;
        // at once, or at the registration bound; never a dial that times out
        EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << setting.second;
        EXPECT_EQ(Has(r, RASCS_WaitForNetwork), std::string(setting.second) == "searching") << setting.second;
        char text[512] = {};
        EXPECT_EQ(RAS(RasGetErrorStringA)(code, text, sizeof text), SUCCESS);
        EXPECT_GT(std::strlen(text), 20u);
        EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
    }

    // searching a while, then registered: the dial waits and connects; roaming dials too
    SetNetwork(kModem, "Registration", "roaming");
    SetNetwork(kModem, "SearchSec", "1");
    SetNetwork(kModem, "RegistrationTimeoutMs", "3000");
    Reload();
    HRASCONN h = 0;
    const Reports r = DialToEnd(h);
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back(), std::make_pair(DWORD(RASCS_Connected), DWORD(0)));
    EXPECT_TRUE(Has(r, RASCS_WaitForNetwork));
    ModemReading reading;
    ASSERT_EQ(QueryModem(kModem, reading), SUCCESS);
    EXPECT_EQ(reading.registration, Registration::Roaming);
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

TEST_F(SimulatedModemTest, ReadingAndBalanceInEachCodingWithinTheirBounds)
{
    SetNetwork(kModem, "Signal", "31");
    SetNetwork(kModem, "Operator", "Zen\"tora\x01");
    Reload();
    std::string out, err;
    // --last leaves the modem alone: nothing read yet, and nothing asked
    ASSERT_EQ(Ctl({"modem", "usb gprs modem", "--last"}, out, err), 0) << err;
    EXPECT_NE(out.find("read          never since the service started\n"), std::string::npos) << out;
    ASSERT_EQ(Ctl({"modem", "usb gprs modem", "--last"}, out, err), 0) << err;
    EXPECT_NE(out.find("read          never since"), std::string::npos) << out;
    ASSERT_EQ(Ctl({"modem", "usb gprs modem"}, out, err), 0) << err;
    EXPECT_NE(out.find("SIM           ready\n"), std::string::npos) << out;
    EXPECT_NE(out.find("registration  home\n"), std::string::npos) << out;
    EXPECT_NE(out.find("operator      Zen tora\n"), std::string::npos) << out;
    EXPECT_NE(out.find("signal        -51 dBm (100 %)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("read          20"), std::string::npos) << out;
    EXPECT_EQ(Ctl({"modem", "No Such Modem"}, out, err), 1);

    for (const char* coding : {"gsm7", "ucs2", "text"}) {
        SetNetwork(kModem, "UssdCoding", coding);
        SetNetwork(kModem, "UssdAnswer", std::string(coding) == "gsm7" ? "Balance: 12.50 EUR" : "Баланс: 12,50 руб.");
        Reload();
        ASSERT_EQ(Ctl({"ussd", kModem}, out, err), 0) << coding << err;
        EXPECT_EQ(out, std::string(coding) == "gsm7" ? "Balance: 12.50 EUR\n" : "Баланс: 12,50 руб.\n") << coding;
    }
    EXPECT_EQ(Ctl({"ussd", kModem, "*100#\";ATD0900"}, out, err), 2);

    // a network that never answers is given up at the bound; one that refuses says so
    SetNetwork(kModem, "UssdNeverAnswers", "1");
    Reload();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Ctl({"ussd", kModem}, out, err), 1);
    EXPECT_NE(err.find("638"), std::string::npos) << err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    SetNetwork(kModem, "UssdNeverAnswers", "0");
    SetNetwork(kModem, "UssdStatus", "4");
    Reload();
    EXPECT_EQ(Ctl({"ussd", kModem}, out, err), 1);
    EXPECT_NE(err.find("968"), std::string::npos) << err;
    SetNetwork(kModem, "UssdStatus", "0");
    Reload();

    // the modem's only port carries the link: said so; a second port answers
    HRASCONN h = 0;
    ASSERT_EQ(DialToEnd(h).back(), std::make_pair(DWORD(RASCS_Connected), DWORD(0)));
    EXPECT_EQ(Ctl({"ussd", kModem}, out, err), 1);
    EXPECT_NE(err.find("966 The modem's only port carries the link"), std::string::npos) << err;
    SetNetwork(kModem, "SecondPort", "1");
    Reload();
    EXPECT_EQ(Ctl({"ussd", kModem}, out, err), 0) << err;
    EXPECT_EQ(RAS(RasHangUpA)(h), SUCCESS);
}

} // namespace
