#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct pollfd;
struct sd_bus;
struct sd_bus_message;

namespace sp::ras {

namespace mmbus {
class Call;
}

// ModemManager on the system bus, as far as a dial needs it: does it manage
// the port, and will it release the modem (InhibitDevice) for the dial?
// Every call is asynchronous and bounded, so the service's loop never waits
// on the bus. The inhibition belongs to this client's bus connection, so
// ModemManager ends it by itself when the service dies: keep the client for
// the dial's whole life.
class ModemManagerClient {
public:
    using Clock = std::chrono::steady_clock;
    enum class State {
        Asking,     // the name check, the modem list or the inhibition is on its way
        NotManaged, // no ModemManager, or none of its modems has the port
        Inhibited,  // ModemManager has let go of the modem's ports
        Refused,    // it would not (Why(): its error)
        Releasing,  // the modem is being given back
        Released,   // given back (or the answer did not come in time: Why())
    };

    // Starts asking about port (a device path); nullptr when there is no bus
    // to ask (nothing listens at its address): then nothing manages the port.
    [[nodiscard]] static std::unique_ptr<ModemManagerClient> Start(const std::string& port, Clock::time_point now);
    ~ModemManagerClient();
    ModemManagerClient(const ModemManagerClient&) = delete;
    ModemManagerClient& operator=(const ModemManagerClient&) = delete;

    // Takes what the bus has brought and what has run out of time.
    State Process(Clock::time_point now);
    // The bus connection's descriptor, while there is something to wait for.
    void Watch(std::vector<pollfd>& fds) const;
    // When Process is due even without input.
    [[nodiscard]] Clock::time_point Next() const;
    [[nodiscard]] State Current() const { return state_; }
    // Gives the modem back (from Inhibited; anything else: Released at once).
    void Uninhibit(Clock::time_point now);

    // The modem's device (its uid), printable and bounded, once known.
    [[nodiscard]] const std::string& Device() const { return uid_; }
    // Why it refused, or why the modem's return went unanswered.
    [[nodiscard]] const std::string& Why() const { return why_; }

    // For rasctl: ModemManager's port names now, asked synchronously within
    // timeout; nullopt when ModemManager is not on the bus.
    [[nodiscard]] static std::optional<std::vector<std::string>> ManagedPorts(std::chrono::milliseconds timeout);
    // Whether a port name as ModemManager lists it ("ttyUSB2") is this
    // device path's (/dev/ttyUSB2, or a link to it).
    [[nodiscard]] static bool SamePort(std::string_view name, const std::string& path);
    // $SKYPORTAL_SYSTEM_BUS_ADDRESS, else $DBUS_SYSTEM_BUS_ADDRESS, else the
    // system bus's socket.
    [[nodiscard]] static std::string BusAddress();

private:
    enum class Call { None, Name, Modems, Inhibit, Uninhibit };
    ModemManagerClient(sd_bus* bus, std::string port);
    bool Send(Call call, const char* destination, const char* path, const char* interface, const char* member,
              std::chrono::milliseconds timeout, Clock::time_point now, const std::string* uid = nullptr,
              int inhibit = 0);
    void Answered(sd_bus_message* reply, Clock::time_point now);
    void Done(State state, std::string why = {});

    sd_bus* bus_;
    std::string port_;
    State state_ = State::Asking;
    Call pending_ = Call::None;
    std::unique_ptr<mmbus::Call> call_;
    std::string uid_;
    std::string why_;
};

} // namespace sp::ras
