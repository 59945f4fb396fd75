#pragma once

#include "platform/rasman/Link.h"
#include "platform/rasman/ModemManagerClient.h"
#include "platform/rasman/NetworkConfig.h"
#include "platform/rasman/PortLock.h"
#include "platform/rasman/SerialDialogue.h"

#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sp::ras {

// What keeps a port a dial's own beside its descriptor: the lock file other
// programs honour and ModemManager's inhibition of the modem. Given back
// only once nothing uses the port any more (pppd too).
struct PortClaim {
    std::string device; // the modem's name
    std::string who;    // "name (port)", for the log
    PortLock lock;
    std::unique_ptr<ModemManagerClient> modemManager;
};

// Real modems on serial ports: the AT dialogue on the tty, then pppd on the
// line. A pppd that is told to end is followed here until it has gone, so a
// hang-up never waits for it and nothing is left behind.
class SerialDriver : public Driver {
public:
    explicit SerialDriver(const NetworkConfig& net) : net_(net), root_(::getuid() == 0) {}
    ~SerialDriver() override; // ends and reaps what is still ending
    SerialDriver(const SerialDriver&) = delete;
    SerialDriver& operator=(const SerialDriver&) = delete;

    [[nodiscard]] std::unique_ptr<Link> Dial(const DialRequest& request, Link::Clock::time_point now) override;
    Link::Clock::time_point Advance(Link::Clock::time_point now) override;

    // Asks a child to end (SIGTERM now, SIGKILL after a grace time) and reaps
    // it; its log (a descriptor handed over, or -1) is read to its end, so its
    // last words are kept and it never dies writing them. The port's claim is
    // given back once it has gone.
    void End(pid_t pid, const std::string& device, int log, PortClaim claim);
    [[nodiscard]] size_t Ending() const { return ending_.size(); }

    // Gives a port back: its lock file now, the modem to ModemManager as soon
    // as ModemManager answers (or its time runs out).
    void Release(PortClaim claim, Link::Clock::time_point now);
    // A dial of this device holds ModemManager's inhibition of its modem.
    void Inhibited(const std::string& device) { inhibited_.insert(device); }
    [[nodiscard]] bool Inhibits(const std::string& device) const { return inhibited_.count(device) != 0; }
    // A reading or a USSD code: through ModemManager when it manages the
    // modem, else on the port (its second AT port when it has one).
    [[nodiscard]] std::unique_ptr<ModemQuestion> Ask(const std::string& device, const std::string& ussd, bool linkUp,
                                                     Link::Clock::time_point now, uint32_t& refusal) override;
    // pppd takes its privileged options from root (its real user) only.
    [[nodiscard]] bool Root() const { return root_; }

private:
    struct Child {
        pid_t pid;
        Link::Clock::time_point killAt;
        bool killed;
        std::string device;
        int log;
        LineSplitter lines;
        PortClaim claim;
    };
    void Drain(Child& c);
    void Released(PortClaim& claim);
    const NetworkConfig& net_;
    bool root_;
    std::vector<Child> ending_;
    std::vector<PortClaim> releasing_;
    std::set<std::string> inhibited_;
};

} // namespace sp::ras
