#pragma once

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

// A kind of device: makes the links of its dials.
class Driver {
public:
    virtual ~Driver() = default;
    [[nodiscard]] virtual std::unique_ptr<Link> Dial(const DialRequest& request, Link::Clock::time_point now) = 0;
    // Runs what outlives its links (children still ending); returns when it
    // next has something to do.
    virtual Link::Clock::time_point Advance(Link::Clock::time_point now) { (void)now; return Link::Clock::time_point::max(); }
};

} // namespace sp::ras
