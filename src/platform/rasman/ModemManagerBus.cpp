#include "platform/rasman/ModemManagerBus.h"

#include "platform/rasman/ModemAnswers.h"
#include "platform/rasman/ModemManagerClient.h"

#include <poll.h>
#include <systemd/sd-bus.h>
#include <time.h>

#include <cstring>

namespace sp::ras::mmbus {

namespace {

using namespace std::chrono_literals;

// What is taken from ModemManager's answer: more is not a modem of this machine.
constexpr size_t kMaxModems = 64;
constexpr size_t kMaxPorts = 32;
constexpr size_t kMaxText = 1024;
// What one round takes from the bus at most, so a flood cannot hold the loop.
constexpr int kProcessBudget = 64;

bool Printable(std::string_view s)
{
    for (const char c : s) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

std::string Bounded(const char* s)
{
    std::string text = s ? s : "";
    if (text.size() > kMaxText)
        text.resize(kMaxText);
    return text;
}

// Walks an a{sv}: `take` reads a property it wants (returning > 0), or
// returns 0 to have it skipped.
template <class Take> int ReadProperties(sd_bus_message* m, Take&& take)
{
    int r = sd_bus_message_enter_container(m, 'a', "{sv}");
    if (r < 0)
        return r;
    while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
        const char* name = nullptr;
        if ((r = sd_bus_message_read(m, "s", &name)) < 0)
            return r;
        char type = 0;
        const char* contents = nullptr;
        if ((r = sd_bus_message_peek_type(m, &type, &contents)) < 0)
            return r;
        r = take(std::string_view(name ? name : ""), std::string_view(contents ? contents : ""));
        if (r < 0)
            return r;
        if (r == 0 && (r = sd_bus_message_skip(m, "v")) < 0)
            return r;
        if ((r = sd_bus_message_exit_container(m)) < 0)
            return r;
    }
    if (r < 0)
        return r;
    return sd_bus_message_exit_container(m);
}

int ReadPorts(sd_bus_message* m, Modem& modem)
{
    int r = 0;
    if ((r = sd_bus_message_enter_container(m, 'v', "a(su)")) < 0
        || (r = sd_bus_message_enter_container(m, 'a', "(su)")) < 0)
        return r;
    const char* port = nullptr;
    uint32_t portType = 0;
    while ((r = sd_bus_message_read(m, "(su)", &port, &portType)) > 0) {
        if (modem.ports.size() < kMaxPorts && port && std::strlen(port) <= 255)
            modem.ports.emplace_back(port);
    }
    if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0 || (r = sd_bus_message_exit_container(m)) < 0)
        return r;
    return 1;
}

int ReadModemProperties(sd_bus_message* m, Modem& modem)
{
    return ReadProperties(m, [&](std::string_view name, std::string_view type) -> int {
        if (name == "Device" && type == "s") {
            const char* uid = nullptr;
            const int r = sd_bus_message_read(m, "v", "s", &uid);
            modem.uid = uid ? uid : "";
            return r < 0 ? r : 1;
        }
        if (name == "Ports" && type == "a(su)")
            return ReadPorts(m, modem);
        if (name == "State" && type == "i") {
            const int r = sd_bus_message_read(m, "v", "i", &modem.state);
            return r < 0 ? r : 1;
        }
        if (name == "UnlockRequired" && type == "u") {
            const int r = sd_bus_message_read(m, "v", "u", &modem.lock);
            return r < 0 ? r : 1;
        }
        if (name == "StateFailedReason" && type == "u") {
            const int r = sd_bus_message_read(m, "v", "u", &modem.failedReason);
            return r < 0 ? r : 1;
        }
        if (name == "SignalQuality" && type == "(ub)") {
            int recent = 0;
            const int r = sd_bus_message_read(m, "v", "(ub)", &modem.signalPercent, &recent);
            modem.signalRecent = recent != 0;
            return r < 0 ? r : 1;
        }
        return 0;
    });
}

int Read3gppProperties(sd_bus_message* m, Modem& modem)
{
    modem.has3gpp = true;
    return ReadProperties(m, [&](std::string_view name, std::string_view type) -> int {
        if (name == "RegistrationState" && type == "u") {
            const int r = sd_bus_message_read(m, "v", "u", &modem.registration);
            return r < 0 ? r : 1;
        }
        if (name == "OperatorName" && type == "s") {
            const char* op = nullptr;
            const int r = sd_bus_message_read(m, "v", "s", &op);
            modem.operatorName = PrintableText(op ? std::string_view(op).substr(0, kMaxText) : "", kMaxOperatorName);
            return r < 0 ? r : 1;
        }
        return 0;
    });
}

} // namespace

bool ReadModems(sd_bus_message* m, std::vector<Modem>& modems)
{
    int r = sd_bus_message_enter_container(m, 'a', "{oa{sa{sv}}}");
    if (r < 0)
        return false;
    while ((r = sd_bus_message_enter_container(m, 'e', "oa{sa{sv}}")) > 0) {
        const char* object = nullptr;
        if (sd_bus_message_read(m, "o", &object) < 0 || sd_bus_message_enter_container(m, 'a', "{sa{sv}}") < 0)
            return false;
        Modem modem;
        modem.path = object ? object : "";
        bool isModem = false;
        while ((r = sd_bus_message_enter_container(m, 'e', "sa{sv}")) > 0) {
            const char* interface = nullptr;
            if (sd_bus_message_read(m, "s", &interface) < 0)
                return false;
            int read = 0;
            if (std::strcmp(interface, kModemInterface) == 0) {
                isModem = true;
                read = ReadModemProperties(m, modem);
            } else if (std::strcmp(interface, k3gppInterface) == 0) {
                read = Read3gppProperties(m, modem);
            } else {
                modem.hasUssd = modem.hasUssd || std::strcmp(interface, kUssdInterface) == 0;
                read = sd_bus_message_skip(m, "a{sv}");
            }
            if (read < 0 || sd_bus_message_exit_container(m) < 0)
                return false;
        }
        if (r < 0 || sd_bus_message_exit_container(m) < 0 || sd_bus_message_exit_container(m) < 0)
            return false;
        // The uid goes back to ModemManager and into the log: only a sane one.
        if (isModem && !modem.uid.empty() && modem.uid.size() <= 4096 && Printable(modem.uid)
            && modem.path.size() <= 255 && modems.size() < kMaxModems)
            modems.push_back(std::move(modem));
    }
    return r >= 0;
}

ModemReading ReadingOf(const Modem& modem)
{
    ModemReading r;
    // The locks as AT+CPIN names them (MMModemLock 3, 5 .. 16).
    static constexpr const char* kLocks[] = {nullptr,      nullptr,      nullptr,       "SIM PIN2",    nullptr,
                                             "SIM PUK2",   "PH-SP PIN",  "PH-SP PUK",   "PH-NET PIN",  "PH-NET PUK",
                                             "PH-SIM PIN", "PH-CORP PIN", "PH-CORP PUK", "PH-FSIM PIN", "PH-FSIM PUK",
                                             "PH-NETSUB PIN", "PH-NETSUB PUK"};
    constexpr int32_t kFailed = -1;
    constexpr uint32_t kSimMissing = 2, kSimError = 3;
    if (modem.state == kFailed && (modem.failedReason == kSimMissing || modem.failedReason == kSimError)) {
        r.sim = SimState::NoSim;
    } else if (modem.lock == 1) {
        r.sim = SimState::Ready;
    } else if (modem.lock == 2) {
        r.sim = SimState::PinWanted;
    } else if (modem.lock == 4) {
        r.sim = SimState::PukWanted;
    } else if (modem.lock < std::size(kLocks) && kLocks[modem.lock] != nullptr) {
        r.sim = SimState::Other;
        r.simWord = kLocks[modem.lock];
    }
    if (modem.has3gpp) {
        switch (modem.registration) {
        case 1: case 6: case 9: r.registration = Registration::Home; break;
        case 5: case 7: case 10: r.registration = Registration::Roaming; break;
        case 2: r.registration = Registration::Searching; break;
        case 3: r.registration = Registration::Denied; break;
        case 0: case 8: case 11: r.registration = Registration::NotRegistered; break;
        default: break;
        }
        r.operatorName = modem.operatorName;
    }
    // ModemManager gives the signal as a percentage of AT+CSQ's 0..31 scale.
    if (modem.signalRecent && modem.signalPercent <= 100)
        r.rssi = (modem.signalPercent * 31 + 50) / 100;
    return r;
}

sd_bus* Connect()
{
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0)
        return nullptr;
    const std::string address = ModemManagerClient::BusAddress();
    if (sd_bus_set_address(bus, address.c_str()) < 0 || sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0) {
        sd_bus_unref(bus);
        return nullptr;
    }
    return bus;
}

std::string ErrorOf(sd_bus_message* reply)
{
    const sd_bus_error* e = sd_bus_message_get_error(reply);
    if (!e)
        return "an answer of the wrong kind";
    std::string text = Bounded(e->name);
    if (e->message && *e->message)
        text += ": " + Bounded(e->message);
    return text;
}

uint64_t MonotonicUsec()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

Call::~Call() { Forget(); }

void Call::Forget()
{
    slot_ = sd_bus_slot_unref(slot_);
    reply_ = sd_bus_message_unref(reply_);
    deadline_ = Clock::time_point::max();
}

int Call::OnReply(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto* call = static_cast<Call*>(self);
    sd_bus_message_unref(call->reply_);
    call->reply_ = sd_bus_message_ref(m);
    return 1;
}

bool Call::Send(sd_bus* bus, sd_bus_message* m, std::chrono::milliseconds timeout, Clock::time_point now,
                std::string& why)
{
    Forget();
    // ModemManager is never started for a question: a stopped one manages nothing.
    int r = sd_bus_message_set_auto_start(m, 0);
    if (r >= 0)
        r = sd_bus_call_async(bus, &slot_, m, &Call::OnReply, this,
                              static_cast<uint64_t>(std::chrono::microseconds(timeout).count()));
    if (r < 0) {
        slot_ = nullptr;
        why = std::string("the bus refused the call: ") + std::strerror(-r);
        return false;
    }
    // sd-bus times the call out itself; this bound only backs it up.
    deadline_ = now + timeout + 200ms;
    return true;
}

sd_bus_message* Call::Take()
{
    sd_bus_message* reply = reply_;
    if (reply) {
        reply_ = nullptr;
        slot_ = sd_bus_slot_unref(slot_);
        deadline_ = Clock::time_point::max();
    }
    return reply;
}

int Pump(sd_bus* bus, Call& call, const std::function<void(sd_bus_message*)>& answered)
{
    for (int i = 0; i < kProcessBudget; ++i) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0)
            return r;
        if (sd_bus_message* reply = call.Take()) {
            answered(reply);
            sd_bus_message_unref(reply);
        }
        if (r == 0)
            break;
    }
    return 0;
}

void Watch(sd_bus* bus, std::vector<pollfd>& fds)
{
    const int fd = sd_bus_get_fd(bus);
    const int events = sd_bus_get_events(bus);
    if (fd >= 0 && events >= 0)
        fds.push_back({fd, static_cast<short>(events), 0});
}

Clock::time_point Next(sd_bus* bus, Clock::time_point deadline)
{
    uint64_t at = 0;
    if (sd_bus_get_timeout(bus, &at) >= 0 && at != UINT64_MAX) {
        const uint64_t nowUs = MonotonicUsec();
        deadline = std::min(deadline, Clock::now() + std::chrono::microseconds(at > nowUs ? at - nowUs : 0));
    }
    return deadline;
}

} // namespace sp::ras::mmbus
