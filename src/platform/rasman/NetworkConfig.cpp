#include "platform/rasman/NetworkConfig.h"

#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"
#include "platform/rasman/ModemAnswers.h"

#include <algorithm>
#include <cctype>

namespace sp::ras {

namespace {

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

std::string Trim(std::string_view s) { return std::string(TrimSpace(s)); }

std::vector<std::string> List(std::string_view s)
{
    std::vector<std::string> out;
    while (!s.empty()) {
        const auto comma = s.find(',');
        std::string item = Trim(s.substr(0, comma));
        if (!item.empty())
            out.push_back(item);
        if (comma == std::string_view::npos)
            break;
        s.remove_prefix(comma + 1);
    }
    return out;
}

uint32_t U32(const IniFile& ini, std::string_view section, std::string_view key, uint32_t fallback)
{
    const int v = ini.GetInt(section, key, static_cast<int>(fallback));
    return v < 0 ? fallback : static_cast<uint32_t>(v);
}

DeviceBehaviour ReadBehaviour(const IniFile& ini, std::string_view section, const DeviceBehaviour& base)
{
    DeviceBehaviour b = base;
    if (auto v = ini.Get(section, "APN"))
        b.apns = List(*v);
    if (auto v = ini.Get(section, "Numbers"))
        b.numbers = List(*v);
    b.user = ini.Get(section, "User").value_or(b.user);
    b.password = ini.Get(section, "Password").value_or(b.password);
    b.stateDelayMs = U32(ini, section, "StateDelayMs", b.stateDelayMs);
    b.wrongApnError = U32(ini, section, "WrongApnError", b.wrongApnError);
    b.wrongNumberError = U32(ini, section, "WrongNumberError", b.wrongNumberError);
    b.authError = U32(ini, section, "AuthError", b.authError);
    b.failError = U32(ini, section, "FailError", b.failError);
    b.failState = U32(ini, section, "FailState", b.failState);
    b.failAttempts = ini.GetInt(section, "FailAttempts", static_cast<int>(b.failAttempts));
    b.neverAnswers = ini.GetInt(section, "NeverAnswers", b.neverAnswers ? 1 : 0) != 0;
    b.dropAfterSec = U32(ini, section, "DropAfterSec", b.dropAfterSec);
    b.dropError = U32(ini, section, "DropError", b.dropError);
    b.rxRate = U32(ini, section, "RxRate", b.rxRate);
    b.txRate = U32(ini, section, "TxRate", b.txRate);
    if (auto v = ini.Get(section, "Traffic"))
        b.bursty = EqualsNoCase(*v, "bursty");
    b.bps = U32(ini, section, "Bps", b.bps);
    if (auto v = ini.Get(section, "Sim")) {
        const std::string w = Lower(Trim(*v));
        b.sim = w == "pin" ? SimState::PinWanted : w == "puk" ? SimState::PukWanted : w == "none" ? SimState::NoSim
                                                                                     : SimState::Ready;
    }
    if (auto v = ini.Get(section, "Registration")) {
        const std::string w = Lower(Trim(*v));
        b.registration = w == "roaming"     ? Registration::Roaming
                         : w == "denied"    ? Registration::Denied
                         : w == "searching" ? Registration::Searching
                                            : Registration::Home;
    }
    b.searchSec = std::min<uint32_t>(U32(ini, section, "SearchSec", b.searchSec), 3600);
    b.rssi = U32(ini, section, "Signal", b.rssi);
    if (b.rssi > 31)
        b.rssi = kNoSignal;
    if (auto v = ini.Get(section, "Operator"))
        b.operatorName = PrintableText(*v, kMaxOperatorName);
    b.registrationTimeoutMs = U32(ini, section, "RegistrationTimeoutMs", b.registrationTimeoutMs);
    if (auto v = ini.Get(section, "UssdAnswer"))
        b.ussdAnswer = *v;
    if (auto v = ini.Get(section, "UssdCoding"))
        b.ussdCoding = Lower(Trim(*v));
    b.ussdDelayMs = U32(ini, section, "UssdDelayMs", b.ussdDelayMs);
    b.secondPort = ini.GetInt(section, "SecondPort", b.secondPort ? 1 : 0) != 0;
    b.ussdNeverAnswers = ini.GetInt(section, "UssdNeverAnswers", b.ussdNeverAnswers ? 1 : 0) != 0;
    b.ussdStatus = std::min<uint32_t>(U32(ini, section, "UssdStatus", b.ussdStatus), 5);
    b.ussdTimeoutMs = std::clamp<uint32_t>(U32(ini, section, "UssdTimeoutMs", b.ussdTimeoutMs), 100, 20000);
    if (auto v = ini.Get(section, "BalanceCode"); v && UssdCode(Trim(*v)))
        b.balanceCode = Trim(*v);
    return b;
}

std::vector<std::string> Words(std::string_view s)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i])))
            ++i;
        size_t j = i;
        while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j])))
            ++j;
        if (j > i)
            out.emplace_back(s.substr(i, j - i));
        i = j;
    }
    return out;
}

SerialModem ReadSerial(const IniFile& ini, const std::string& section, const DeviceBehaviour& b)
{
    SerialModem m;
    m.name = section;
    m.port = Trim(ini.Get(section, "Port").value_or(""));
    m.speed = std::max<uint32_t>(300, U32(ini, section, "Speed", m.speed));
    if (auto v = ini.Get(section, "FlowControl"))
        m.hardwareFlow = !EqualsNoCase(Trim(*v), "none");
    m.answerTimeoutMs = std::max<uint32_t>(50, U32(ini, section, "AnswerTimeoutMs", m.answerTimeoutMs));
    m.connectTimeoutMs = std::max<uint32_t>(50, U32(ini, section, "ConnectTimeoutMs", m.connectTimeoutMs));
    m.pppTimeoutMs = std::max<uint32_t>(50, U32(ini, section, "PppTimeoutMs", m.pppTimeoutMs));
    if (auto v = ini.Get(section, "Pppd"); v && !Trim(*v).empty())
        m.pppd = Trim(*v);
    if (auto v = ini.Get(section, "PppdOptions"))
        m.pppdOptions = Words(*v);
    m.dropError = b.dropError;
    m.lockDir = Trim(ini.Get(section, "LockDir").value_or(ini.Get("Service", "LockDir").value_or("")));
    m.queryTimeoutMs = std::max<uint32_t>(50, U32(ini, section, "QueryTimeoutMs", m.queryTimeoutMs));
    m.registrationTimeoutMs = b.registrationTimeoutMs;
    m.atPort = Trim(ini.Get(section, "AtPort").value_or(""));
    if (!m.atPort.empty() && m.atPort.front() != '/')
        m.atPort.clear();
    m.balanceCode = b.balanceCode;
    m.ussdTimeoutMs = b.ussdTimeoutMs;
    return m;
}

} // namespace

std::filesystem::path NetworkConfig::Path() { return MachineRoot() / "network.ini"; }

NetworkConfig NetworkConfig::Load(const std::filesystem::path& path)
{
    const IniFile ini = IniFile::Load(path);
    NetworkConfig c;
    c.startDelayMs = U32(ini, "Service", "StartDelayMs", 0);
    c.disabled = ini.GetInt("Service", "Disabled", 0) != 0;
    c.tickMs = std::max<uint32_t>(10, U32(ini, "Service", "TickMs", 1000));
    c.history = ini.GetInt("Service", "History", 1) != 0;
    c.historyCheckpointMs = std::clamp<uint32_t>(U32(ini, "Service", "HistoryCheckpointMs", 10000), 50, 10000);
    c.defaults = ReadBehaviour(ini, "Service", DeviceBehaviour{});
    if (const IniFile::Section* d = ini.Find("Devices")) {
        for (const IniFile::Entry& e : d->entries) {
            // DeviceN=type,name
            const auto comma = e.value.find(',');
            if (comma == std::string::npos)
                continue;
            ExtraDevice x{Trim(e.value.substr(0, comma)), Trim(e.value.substr(comma + 1))};
            if (!x.type.empty() && !x.name.empty())
                c.extraDevices.push_back(std::move(x));
        }
    }
    for (const std::string& s : ini.SectionNames()) {
        if (EqualsNoCase(s, "Service") || EqualsNoCase(s, "Devices"))
            continue;
        c.devices[Lower(s)] = ReadBehaviour(ini, s, c.defaults);
        if (EqualsNoCase(Trim(ini.Get(s, "Driver").value_or("")), "serial"))
            c.serialModems[Lower(s)] = ReadSerial(ini, s, c.devices[Lower(s)]);
    }
    return c;
}

const DeviceBehaviour& NetworkConfig::For(const std::string& deviceName) const
{
    const auto it = devices.find(Lower(deviceName));
    return it == devices.end() ? defaults : it->second;
}

const SerialModem* NetworkConfig::SerialFor(const std::string& deviceName) const
{
    const auto it = serialModems.find(Lower(deviceName));
    return it == serialModems.end() ? nullptr : &it->second;
}

} // namespace sp::ras
