#pragma once

// What a modem last said about its SIM card, its network and its signal, and
// the operator's balance by USSD: kept and asked by the service, read by
// rasctl and the program over the service's socket (not the C ABI).

#include "platform/rasapi/RasProtocol.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace sp::ras {

enum class SimState : uint32_t { Unknown = 0, Ready = 1, PinWanted = 2, PukWanted = 3, NoSim = 4, Other = 5 };
enum class Registration : uint32_t { Unknown = 0, Home = 1, Roaming = 2, Searching = 3, Denied = 4, NotRegistered = 5 };

// The signal as AT+CSQ gives it: 0..31, 99 unknown.
inline constexpr uint32_t kNoSignal = 99;

struct ModemReading {
    int64_t readAt = 0; // UTC seconds; 0: never read
    SimState sim = SimState::Unknown;
    std::string simWord; // the modem's own word for an Other state ("PH-SIM PIN"), printable
    Registration registration = Registration::Unknown;
    std::string operatorName; // printable, at most kMaxOperatorName bytes
    uint32_t rssi = kNoSignal;

    [[nodiscard]] bool Known() const { return readAt != 0; }
};

inline constexpr size_t kMaxOperatorName = 64;

// -113 dBm at 0 to -51 dBm at 31, as 3GPP TS 27.007 defines AT+CSQ; none for 99.
[[nodiscard]] bool SignalKnown(uint32_t rssi);
[[nodiscard]] int SignalDbm(uint32_t rssi);
[[nodiscard]] int SignalPercent(uint32_t rssi);

// For a person, in English (rasctl): "ready", "PIN wanted", ...; "home", "roaming", ...
[[nodiscard]] std::string SimText(const ModemReading& r);
[[nodiscard]] std::string RegistrationText(Registration r);

void PutReading(Writer& w, const ModemReading& r);
[[nodiscard]] bool GetReading(Reader& r, ModemReading& out);

// The operator's balance code when neither the registry nor network.ini names one.
inline constexpr std::string_view kDefaultBalanceCode = "*100#";
// A USSD code: 1 to 32 of the characters a keypad has (digits, * and #).
[[nodiscard]] bool UssdCode(std::string_view code);

// The service's own error codes (beyond the platform's remote access codes),
// described by RasGetErrorStringA like the platform's.
inline constexpr uint32_t ERROR_SIM_PIN_REQUIRED = 960;
inline constexpr uint32_t ERROR_SIM_PUK_REQUIRED = 961;
inline constexpr uint32_t ERROR_SIM_NOT_INSERTED = 962;
inline constexpr uint32_t ERROR_NETWORK_DENIED = 963;
inline constexpr uint32_t ERROR_NO_NETWORK = 964;
inline constexpr uint32_t ERROR_NO_PACKET_SERVICE = 965;
inline constexpr uint32_t ERROR_PORT_CARRIES_LINK = 966;
inline constexpr uint32_t ERROR_USSD_UNREADABLE = 967;
inline constexpr uint32_t ERROR_USSD_REFUSED = 968;
inline constexpr uint32_t ERROR_SIM_STATE = 969;

// Questions to the running service (it is not started for them); each
// returns the result code: 0, 711 when nobody answers in time, 608 for a
// device the service does not know, or the code of the modem's trouble.
//
// The last reading of the modem, asking the modem anew when the reading is
// older than `fresh` and its port is free (the answer then waits for it, at
// most `wait`). Each request waits `answerWithin` for the service. A modem
// never read that could not be read just now gives the code of its trouble.
inline constexpr std::chrono::seconds kLastReadingOnly{0xFFFFFFFFu}; // `fresh`: never ask the modem
[[nodiscard]] uint32_t QueryModem(const std::string& device, ModemReading& out,
                                  std::chrono::seconds fresh = std::chrono::seconds(60),
                                  std::chrono::milliseconds wait = std::chrono::milliseconds(0),
                                  std::chrono::milliseconds answerWithin = std::chrono::milliseconds(2000));
// Sends a USSD code and waits for the network's answer (text, UTF-8).
inline constexpr std::chrono::seconds kUssdTimeout{20};
[[nodiscard]] uint32_t AskUssd(const std::string& device, const std::string& code, std::string& answer);

} // namespace sp::ras
