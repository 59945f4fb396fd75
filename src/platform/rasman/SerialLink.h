#pragma once

#include "platform/rasman/Link.h"
#include "platform/rasman/NetworkConfig.h"
#include "platform/rasman/SerialDialogue.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace sp::ras {

// Real modems on serial ports: the AT dialogue on the tty, then pppd on the
// line. A pppd that is told to end is followed here until it has gone, so a
// hang-up never waits for it and nothing is left behind.
class SerialDriver : public Driver {
public:
    explicit SerialDriver(const NetworkConfig& net) : net_(net) {}
    ~SerialDriver() override; // ends and reaps what is still ending
    SerialDriver(const SerialDriver&) = delete;
    SerialDriver& operator=(const SerialDriver&) = delete;

    [[nodiscard]] std::unique_ptr<Link> Dial(const DialRequest& request, Link::Clock::time_point now) override;
    Link::Clock::time_point Advance(Link::Clock::time_point now) override;

    // Asks a child to end (SIGTERM now, SIGKILL after a grace time) and reaps
    // it; its log (a descriptor handed over, or -1) is read to its end, so its
    // last words are kept and it never dies writing them.
    void End(pid_t pid, const std::string& device, int log);
    [[nodiscard]] size_t Ending() const { return ending_.size(); }

private:
    struct Child {
        pid_t pid;
        Link::Clock::time_point killAt;
        bool killed;
        std::string device;
        int log;
        LineSplitter lines;
    };
    void Drain(Child& c);
    const NetworkConfig& net_;
    std::vector<Child> ending_;
};

} // namespace sp::ras
