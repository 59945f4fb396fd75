#pragma once

#include "platform/rasapi/ModemReading.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct pollfd;

namespace sp::ras {

// What a link tells the service about its dial and its life; called only
// from inside the link's own Advance or Drop.
class LinkEvents {
public:
    virtual ~LinkEvents() = default;
    // The dial reached this state (reported to the dialler as it comes).
    virtual void Reached(uint32_t state) = 0;
    // The dial failed in this state (the one it was trying to reach).
    virtual void Failed(uint32_t state, uint32_t error) = 0;
    // The link is up: the connection is connected (the last state).
    virtual void Up() = 0;
    // A link that was up has ended on its own (the network, the line).
    virtual void Down(uint32_t error) = 0;
    // What the modem said of its SIM, network and signal before the dial.
    virtual void Read(const ModemReading& reading) { (void)reading; }
};

// What a dial asks of a device.
struct DialRequest {
    uint32_t handle = 0;
    std::string device; // friendly name (UTF-8)
    std::string phone;  // the dial's number, else the entry's
    std::string apn;    // from the modem's init string
    std::string userInit;
    std::string user;
    std::string password;
    bool defaultRoute = false; // the entry asks for the remote default gateway
};

struct LinkCounters {
    uint64_t rx = 0; // bytes since the link came up
    uint64_t tx = 0;
};

// One connection's device side: the dial's steps, the link's counters and its
// end. Destroying a link hangs it up and leaves nothing running.
class Link {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~Link() = default;

    // Runs what is due or what its descriptors have brought; returns when it
    // next has something to do (Clock::time_point::max(): only on input).
    virtual Clock::time_point Advance(Clock::time_point now, LinkEvents& events) = 0;
    // The descriptors whose input should wake the service.
    virtual void Watch(std::vector<pollfd>& fds) const { (void)fds; }
    // The link as the network ends it (rasctl drop): a dial fails, a link
    // that is up goes down, each with the device's drop error.
    virtual void Drop(Clock::time_point now, LinkEvents& events) = 0;
    [[nodiscard]] virtual LinkCounters Count(Clock::time_point now) = 0;
    [[nodiscard]] virtual uint32_t Bps() const = 0;
    // The link's addresses and DNS servers, for a person; empty when unknown.
    [[nodiscard]] virtual std::string Addresses() const { return {}; }
    // Changes the link's traffic (simulated links only); false when it cannot.
    virtual bool SetTraffic(uint32_t rxRate, uint32_t txRate)
    {
        (void)rxRate;
        (void)txRate;
        return false;
    }
};

// A question to a modem outside a dial: a fresh reading of its SIM, network
// and signal, or a USSD code and the network's answer. Destroying it lets
// go of the modem's port.
class ModemQuestion {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~ModemQuestion() = default;
    // Runs what is due; returns when it next has something to do.
    virtual Clock::time_point Advance(Clock::time_point now) = 0;
    virtual void Watch(std::vector<pollfd>& fds) const { (void)fds; }
    [[nodiscard]] bool Done() const { return done_; }
    // 0, or why there is no answer.
    [[nodiscard]] uint32_t Error() const { return error_; }
    [[nodiscard]] const ModemReading& Reading() const { return reading_; }
    // The USSD answer, UTF-8, one line, bounded.
    [[nodiscard]] const std::string& Answer() const { return answer_; }

protected:
    void Finish(uint32_t error)
    {
        error_ = error;
        done_ = true;
    }
    bool done_ = false;
    uint32_t error_ = 0;
    ModemReading reading_;
    std::string answer_;
};

// A kind of device: makes the links of its dials.
class Driver {
public:
    virtual ~Driver() = default;
    [[nodiscard]] virtual std::unique_ptr<Link> Dial(const DialRequest& request, Link::Clock::time_point now) = 0;
    // Runs what outlives its links (children still ending); returns when it
    // next has something to do.
    virtual Link::Clock::time_point Advance(Link::Clock::time_point now) { (void)now; return Link::Clock::time_point::max(); }
    // Asks the modem outside a dial: a reading when `ussd` is empty, else
    // that USSD code. `linkUp`: a dial or link of this device holds its port.
    // Nothing when the device cannot be asked (the question then fails with
    // `refusal`).
    [[nodiscard]] virtual std::unique_ptr<ModemQuestion> Ask(const std::string& device, const std::string& ussd,
                                                             bool linkUp, Link::Clock::time_point now,
                                                             uint32_t& refusal)
    {
        (void)device;
        (void)ussd;
        (void)linkUp;
        (void)now;
        refusal = 608;
        return nullptr;
    }
};

} // namespace sp::ras
