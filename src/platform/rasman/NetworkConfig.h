#pragma once

#include "platform/rasapi/ModemReading.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace sp::ras {

// How the simulated network treats dials through one device: the section of
// network.ini named like the device.
struct DeviceBehaviour {
    std::vector<std::string> apns;    // accepted APNs; empty: any
    std::vector<std::string> numbers; // accepted numbers; empty: any
    std::string user;                 // accepted user name; empty: any
    std::string password;             // accepted password; empty: any
    uint32_t stateDelayMs = 300;
    uint32_t wrongApnError = 734;
    uint32_t wrongNumberError = 678;
    uint32_t authError = 691;
    // Injected failure: the dial fails at this state with this code, for the
    // next failAttempts dials (all dials when absent).
    uint32_t failError = 0;
    uint32_t failState = 2;
    int64_t failAttempts = -1;
    bool neverAnswers = false;
    uint32_t dropAfterSec = 0; // 0: never
    uint32_t dropError = 629;
    uint32_t rxRate = 2000; // bytes per second
    uint32_t txRate = 500;
    bool bursty = false;
    uint32_t bps = 115200;
    // What the simulated modem says of its SIM, network and signal.
    SimState sim = SimState::Ready;
    Registration registration = Registration::Home;
    uint32_t searchSec = 0; // searches this long at each dial before it registers
    uint32_t rssi = 20;     // AT+CSQ: 0..31, 99 unknown
    std::string operatorName = "Zentora";
    uint32_t registrationTimeoutMs = 20000;
    // Its answer to USSD codes.
    std::string ussdAnswer = "Баланс: 250,00 руб.";
    std::string ussdCoding = "ucs2"; // gsm7, ucs2 or text
    uint32_t ussdDelayMs = 800;
    bool ussdNeverAnswers = false;
    uint32_t ussdStatus = 0; // +CUSD's status: 0 answered, 4 not supported, ...
    uint32_t ussdTimeoutMs = 20000; // the answer's bound (shorter in tests)
    std::string balanceCode = std::string(kDefaultBalanceCode);
    bool secondPort = false; // it can be asked while it carries a link
};

// A modem on a serial port of this machine, dialled for real: a device
// section with Driver=serial.
struct SerialModem {
    std::string name; // as the section spells it
    std::string port; // e.g. /dev/ttyACM0
    uint32_t speed = 115200;
    bool hardwareFlow = true;
    uint32_t answerTimeoutMs = 3000;   // each command before the dial
    uint32_t connectTimeoutMs = 60000; // the dial command to CONNECT
    uint32_t pppTimeoutMs = 60000;     // pppd to the link up
    std::string pppd = "/usr/sbin/pppd";
    std::vector<std::string> pppdOptions; // added to the service's own
    uint32_t dropError = 629; // what a link dropped by rasctl ends with
    std::string lockDir;      // where its lock file goes; empty: the machine's lock folder
    uint32_t queryTimeoutMs = 2000;          // each question before the dial (SIM, network, signal)
    uint32_t registrationTimeoutMs = 20000;  // waiting for the network before the dial
    std::string atPort;                      // a second AT port, free while the link is up
    uint32_t ussdTimeoutMs = 20000;
    std::string balanceCode = std::string(kDefaultBalanceCode);
};

struct ExtraDevice {
    std::string type;
    std::string name;
};

// network.ini of the machine root.
struct NetworkConfig {
    uint32_t startDelayMs = 0;
    bool disabled = false;
    uint32_t tickMs = 1000;
    // The traffic history: kept unless History=0; a link's counts are
    // written at least this often (never less often than every 10 s).
    bool history = true;
    uint32_t historyCheckpointMs = 10000;
    DeviceBehaviour defaults;
    std::map<std::string, DeviceBehaviour> devices; // by lower-case device name
    std::vector<ExtraDevice> extraDevices;
    std::map<std::string, SerialModem> serialModems; // by lower-case device name

    [[nodiscard]] static std::filesystem::path Path();
    [[nodiscard]] static NetworkConfig Load(const std::filesystem::path& path);
    [[nodiscard]] const DeviceBehaviour& For(const std::string& deviceName) const;
    // The serial modem of this name; nullptr for a simulated device.
    [[nodiscard]] const SerialModem* SerialFor(const std::string& deviceName) const;
};

} // namespace sp::ras
