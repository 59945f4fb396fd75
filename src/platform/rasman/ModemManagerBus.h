#pragma once

// What the service's two conversations with ModemManager share: the bus
// connection, one bounded asynchronous call at a time, and reading its
// modems out of the object manager's answer. Everything read is bounded and
// checked before it goes anywhere.

#include "platform/rasapi/ModemReading.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <systemd/sd-bus.h>

struct pollfd;

namespace sp::ras::mmbus {

using Clock = std::chrono::steady_clock;

inline constexpr const char* kService = "org.freedesktop.ModemManager1";
inline constexpr const char* kManagerPath = "/org/freedesktop/ModemManager1";
inline constexpr const char* kModemInterface = "org.freedesktop.ModemManager1.Modem";
inline constexpr const char* k3gppInterface = "org.freedesktop.ModemManager1.Modem.Modem3gpp";
inline constexpr const char* kUssdInterface = "org.freedesktop.ModemManager1.Modem.Modem3gpp.Ussd";

// A modem as GetManagedObjects lists it, with what a reading takes from it.
struct Modem {
    std::string path;
    std::string uid;
    std::vector<std::string> ports;
    int32_t state = 0;         // MMModemState
    uint32_t lock = 0;         // MMModemLock (UnlockRequired)
    uint32_t failedReason = 0; // MMModemStateFailedReason
    uint32_t signalPercent = 0;
    bool signalRecent = false;
    bool has3gpp = false;
    uint32_t registration = 4; // MMModem3gppRegistrationState, unknown until read
    std::string operatorName;  // printable, bounded
    bool hasUssd = false;
};

// The modems of an ObjectManager answer (a{oa{sa{sv}}}); false when it is
// not one.
[[nodiscard]] bool ReadModems(sd_bus_message* m, std::vector<Modem>& modems);
// What ModemManager's view of the modem says, in the service's terms
// (readAt left to the caller).
[[nodiscard]] ModemReading ReadingOf(const Modem& modem);

// A started client connection to the system bus's address, or nullptr when
// nothing listens there.
[[nodiscard]] sd_bus* Connect();
// An error answer's name and message, bounded, for the log.
[[nodiscard]] std::string ErrorOf(sd_bus_message* reply);
[[nodiscard]] uint64_t MonotonicUsec();

// One method call on its way and its answer, which sd-bus delivers while the
// owner processes the bus.
class Call {
public:
    Call() = default;
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

    // Sends m (the caller keeps its reference), never starting ModemManager
    // for it; false with the reason when the bus refuses it.
    bool Send(sd_bus* bus, sd_bus_message* m, std::chrono::milliseconds timeout, Clock::time_point now,
              std::string& why);
    // The answer once it came (the caller then owns it), else nullptr.
    [[nodiscard]] sd_bus_message* Take();
    void Forget();
    [[nodiscard]] bool Late(Clock::time_point now) const { return slot_ != nullptr && now >= deadline_; }
    [[nodiscard]] Clock::time_point Deadline() const { return slot_ ? deadline_ : Clock::time_point::max(); }

private:
    static int OnReply(sd_bus_message* m, void* self, sd_bus_error* error);
    sd_bus_slot* slot_ = nullptr;
    sd_bus_message* reply_ = nullptr;
    Clock::time_point deadline_ = Clock::time_point::max();
};

// Processes what the bus has brought, a bounded number of messages (so a
// flood cannot hold the service's loop), handing the call's answer to
// `answered` as soon as it is in (it is released after); negative errno when
// the connection is lost.
int Pump(sd_bus* bus, Call& call, const std::function<void(sd_bus_message*)>& answered);

// The connection's descriptor, to wait on.
void Watch(sd_bus* bus, std::vector<pollfd>& fds);
// When the bus wants processing (queued input, its own time-outs), or `deadline`.
[[nodiscard]] Clock::time_point Next(sd_bus* bus, Clock::time_point deadline);

} // namespace sp::ras::mmbus
