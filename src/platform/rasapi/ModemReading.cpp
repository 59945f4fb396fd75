#include "platform/rasapi/ModemReading.h"

#include "platform/rasapi/ras.h"


#include <algorithm>
#include <thread>

namespace sp::ras {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kPoll = 100ms;

} // namespace

bool SignalKnown(uint32_t rssi) { return rssi <= 31; }

int SignalDbm(uint32_t rssi) { return -113 + 2 * static_cast<int>(std::min<uint32_t>(rssi, 31)); }

int SignalPercent(uint32_t rssi) { return static_cast<int>(std::min<uint32_t>(rssi, 31) * 100 / 31); }

std::string SimText(const ModemReading& r)
{
    switch (r.sim) {
    case SimState::Ready: return "ready";
    case SimState::PinWanted: return "PIN wanted";
    case SimState::PukWanted: return "PUK wanted (the SIM is blocked)";
    case SimState::NoSim: return "no SIM card";
    case SimState::Other: return "wants " + r.simWord;
    case SimState::Unknown: break;
    }
    return "unknown";
}

std::string RegistrationText(Registration r)
{
    switch (r) {
    case Registration::Home: return "home";
    case Registration::Roaming: return "roaming";
    case Registration::Searching: return "searching";
    case Registration::Denied: return "denied";
    case Registration::NotRegistered: return "not registered";
    case Registration::Unknown: break;
    }
    return "unknown";
}

void PutReading(Writer& w, const ModemReading& r)
{
    w.U64(static_cast<uint64_t>(r.readAt)).U32(static_cast<uint32_t>(r.sim)).Str(r.simWord);
    w.U32(static_cast<uint32_t>(r.registration)).Str(r.operatorName).U32(r.rssi);
}

bool GetReading(Reader& r, ModemReading& out)
{
    ModemReading m;
    m.readAt = static_cast<int64_t>(r.U64());
    m.sim = static_cast<SimState>(std::min<uint32_t>(r.U32(), static_cast<uint32_t>(SimState::Other)));
    m.simWord = r.Str();
    m.registration =
        static_cast<Registration>(std::min<uint32_t>(r.U32(), static_cast<uint32_t>(Registration::NotRegistered)));
    m.operatorName = r.Str();
    m.rssi = r.U32();
    if (r.Failed() || m.simWord.size() > kMaxOperatorName || m.operatorName.size() > kMaxOperatorName)
        return false;
    out = std::move(m);
    return true;
}

bool UssdCode(std::string_view code)
{
    return !code.empty() && code.size() <= 32 && std::all_of(code.begin(), code.end(), [](unsigned char c) {
        return (c >= '0' && c <= '9') || c == '*' || c == '#';
    });
}

uint32_t QueryModem(const std::string& device, ModemReading& out, std::chrono::seconds fresh,
                    std::chrono::milliseconds wait, std::chrono::milliseconds answerWithin)
{
    const auto until = Clock::now() + wait;
    const std::string payload = Writer().Str(device).U32(static_cast<uint32_t>(fresh.count())).Data();
    for (;;) {
        ServiceAnswer a(Msg::CtlModem, payload, Clock::now() + answerWithin);
        if (a.Code() != SUCCESS)
            return a.Code();
        Reader& r = a.Body();
        const bool refreshing = r.U32() != 0;
        if (!GetReading(r, out))
            return ERROR_INVALID_PARAMETER;
        const uint32_t failed = r.U32(); // why the modem could not be read just now
        if (!refreshing || Clock::now() >= until)
            return !out.Known() && !r.Failed() ? failed : SUCCESS;
        std::this_thread::sleep_for(kPoll);
    }
}

uint32_t AskUssd(const std::string& device, const std::string& code, std::string& answer)
{
    ServiceAnswer sent(Msg::CtlUssd, Writer().Str(device).Str(code).Data(), Clock::now() + 2s);
    if (sent.Code() != SUCCESS)
        return sent.Code();
    const uint32_t ticket = sent.Body().U32();
    // The service bounds the question itself; this only outlasts it.
    const auto until = Clock::now() + kUssdTimeout + 10s;
    while (Clock::now() < until) {
        std::this_thread::sleep_for(kPoll);
        ServiceAnswer result(Msg::CtlUssdResult, Writer().U32(ticket).Data(), Clock::now() + 2s);
        const uint32_t c = result.Code();
        if (c == PENDING)
            continue;
        if (c == ERROR_RASMAN_CANNOT_INITIALIZE || c == ERROR_INVALID_PARAMETER)
            return c;
        answer = result.Body().Str();
        return c;
    }
    return ERROR_REQUEST_TIMEOUT;
}

} // namespace sp::ras
