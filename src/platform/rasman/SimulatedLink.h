#pragma once

#include "platform/rasman/Link.h"
#include "platform/rasman/NetworkConfig.h"

#include <map>
#include <string>

namespace sp::ras {

// The simulated GPRS network of network.ini: each dial steps through the
// modem states with the device's delays and checks, then carries traffic by
// the device's model until it is hung up or dropped.
class SimulatedDriver : public Driver {
public:
    explicit SimulatedDriver(const NetworkConfig& net) : net_(net) {}

    [[nodiscard]] std::unique_ptr<Link> Dial(const DialRequest& request, Link::Clock::time_point now) override;
    [[nodiscard]] std::unique_ptr<ModemQuestion> Ask(const std::string& device, const std::string& ussd, bool linkUp,
                                                     Link::Clock::time_point now, uint32_t& refusal) override;
    // network.ini changed: injected failures count from the start again.
    void Reset() { failuresUsed_.clear(); }

private:
    const NetworkConfig& net_;
    std::map<std::string, int64_t> failuresUsed_; // by device
};

} // namespace sp::ras
