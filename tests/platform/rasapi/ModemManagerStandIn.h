#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// A private bus (its own dbus-daemon) and, unless Mode::Absent, the
// ModemManager stand-in on it (modemmanager_standin.py): one modem with the
// given port, held until the modem is inhibited. The service is pointed at
// the bus through SKYPORTAL_SYSTEM_BUS_ADDRESS (a service started before
// does not see it); both processes end with the object, and the address
// goes back to what it was.
class ModemManagerStandIn {
public:
    enum class Mode { Normal, Denied, Old, Absent };
    static constexpr const char* kUid = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";

    // `options`: more of the stand-in's options (its modem's state, signal,
    // USSD answer...).
    ModemManagerStandIn(const std::filesystem::path& dir, const std::string& port, Mode mode,
                        const std::vector<std::string>& options = {});
    ~ModemManagerStandIn();
    ModemManagerStandIn(const ModemManagerStandIn&) = delete;
    ModemManagerStandIn& operator=(const ModemManagerStandIn&) = delete;

    [[nodiscard]] bool Ready() const { return ready_; }
    [[nodiscard]] const std::string& Address() const { return address_; }
    // What the stand-in recorded, one line each.
    [[nodiscard]] std::vector<std::string> Record() const;
    bool WaitRecord(std::string_view line, std::chrono::milliseconds timeout) const;

private:
    std::filesystem::path dir_;
    pid_t bus_ = -1;
    pid_t manager_ = -1;
    std::string address_;
    std::string previous_; // SKYPORTAL_SYSTEM_BUS_ADDRESS before
    bool ready_ = false;
};
