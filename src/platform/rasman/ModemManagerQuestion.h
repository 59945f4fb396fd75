#pragma once

#include "platform/rasman/Link.h"
#include "platform/rasman/NetworkConfig.h"

#include <functional>
#include <memory>
#include <string>

struct sd_bus;
struct sd_bus_message;

namespace sp::ras {

namespace mmbus {
class Call;
}

// A question to a serial modem outside a dial that asks ModemManager first.
// A modem it manages is read from its view of the modem, and a USSD code
// goes through its Ussd interface, so its port is never taken from it. A
// modem it does not manage (or a machine without it) is asked on its port,
// by the question `onPort` makes.
class ModemManagerQuestion : public ModemQuestion {
public:
    using OnPort = std::function<std::unique_ptr<ModemQuestion>()>;
    // The question on its way; onPort's at once when there is no bus.
    [[nodiscard]] static std::unique_ptr<ModemQuestion> Ask(const SerialModem& m, std::string ussd,
                                                            Clock::time_point now, OnPort onPort);
    ~ModemManagerQuestion() override;
    ModemManagerQuestion(const ModemManagerQuestion&) = delete;
    ModemManagerQuestion& operator=(const ModemManagerQuestion&) = delete;

    Clock::time_point Advance(Clock::time_point now) override;
    void Watch(std::vector<pollfd>& fds) const override;

private:
    enum class Step { Name, Modems, Initiate, SessionState, Cancel, Ended };
    ModemManagerQuestion(sd_bus* bus, const SerialModem& m, std::string ussd, OnPort onPort);
    bool Send(Step step, const char* destination, const char* path, const char* interface, const char* member,
              std::chrono::milliseconds timeout, Clock::time_point now);
    void Answered(sd_bus_message* reply, Clock::time_point now);
    void Managed(sd_bus_message* reply, Clock::time_point now);
    void Initiated(sd_bus_message* reply, Clock::time_point now);
    void ToPort(Clock::time_point now, const std::string& why);
    void End(uint32_t error, const std::string& why);
    void Log(const std::string& text) const;

    sd_bus* bus_;
    SerialModem m_;
    std::string ussd_;
    OnPort onPort_;
    std::unique_ptr<mmbus::Call> call_;
    Step step_ = Step::Name;
    std::string path_;  // the modem's object, for the USSD code
    int32_t state_ = 0; // its MMModemState
    std::unique_ptr<ModemQuestion> port_;
};

} // namespace sp::ras
