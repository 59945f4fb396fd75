#include "platform/rasman/SimulatedLink.h"

#include "platform/base/IniFile.h"
#include "platform/rasapi/ras.h"
#include "platform/rasman/ModemAnswers.h"
#include "platform/rasman/ModemInterview.h"
#include "platform/rasman/ServiceLog.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <optional>

namespace sp::ras {

namespace {

using Clock = Link::Clock;

// The states a modem dial passes, in the order the platform reports them.
constexpr std::array<uint32_t, 11> kDialStates = {
    RASCS_OpenPort,      RASCS_PortOpened, RASCS_ConnectDevice,   RASCS_DeviceConnected,
    RASCS_AllDevicesConnected, RASCS_Authenticate, RASCS_AuthNotify, RASCS_Authenticated,
    RASCS_AuthProject,   RASCS_Projected,  RASCS_Connected};

bool Contains(const std::vector<std::string>& list, std::string_view v, bool ignoreCase)
{
    return std::any_of(list.begin(), list.end(),
                       [&](const std::string& s) { return ignoreCase ? EqualsNoCase(s, v) : s == v; });
}

// Mean 1: a bursty link alternates idle, slow and fast seconds.
double BurstFactor(uint32_t handle, int64_t second)
{
    uint64_t h = (uint64_t(handle) << 32) ^ uint64_t(second);
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    constexpr double kFactors[4] = {0.0, 0.5, 1.0, 2.5};
    return kFactors[h % 4];
}

// What the simulated modem says now; `searching` while it looks for its network.
ModemReading SimulatedReading(const DeviceBehaviour& n, bool searching)
{
    ModemReading r;
    r.readAt = static_cast<int64_t>(std::time(nullptr));
    r.sim = n.sim;
    r.registration = n.sim != SimState::Ready ? Registration::NotRegistered
                     : searching             ? Registration::Searching
                                             : n.registration;
    const bool registered = r.registration == Registration::Home || r.registration == Registration::Roaming;
    r.operatorName = registered ? n.operatorName : std::string();
    r.rssi = n.rssi;
    return r;
}

class SimulatedLink : public Link {
public:
    SimulatedLink(const DialRequest& r, const DeviceBehaviour& n, uint32_t failError, Clock::time_point now)
        : req_(r), n_(n), failError_(failError), due_(now), rxRate_(n.rxRate), txRate_(n.txRate)
    {
    }

    Clock::time_point Advance(Clock::time_point now, LinkEvents& events) override
    {
        while (dialling_ && due_ <= now)
            Step(now, events);
        if (up_ && !down_ && dropAt_ <= now)
            GoDown(now, events);
        if (dialling_)
            return due_;
        return up_ && !down_ ? dropAt_ : Clock::time_point::max();
    }

    void Drop(Clock::time_point now, LinkEvents& events) override
    {
        if (dialling_) {
            dialling_ = false;
            events.Failed(state_, n_.dropError);
            return;
        }
        if (up_ && !down_)
            GoDown(now, events);
    }

    LinkCounters Count(Clock::time_point now) override
    {
        Integrate(now);
        return {static_cast<uint64_t>(rx_), static_cast<uint64_t>(tx_)};
    }

    uint32_t Bps() const override { return n_.bps; }

    bool SetTraffic(uint32_t rxRate, uint32_t txRate) override
    {
        Integrate(Clock::now());
        rxRate_ = rxRate;
        txRate_ = txRate;
        return true;
    }

private:
    void Step(Clock::time_point now, LinkEvents& events)
    {
        const uint32_t state = kDialStates[step_];
        state_ = state;
        uint32_t error = 0;
        if (failError_ != 0 && state == n_.failState)
            error = failError_;
        else if (state == RASCS_ConnectDevice && !n_.numbers.empty() && !Contains(n_.numbers, req_.phone, false))
            error = n_.wrongNumberError;
        else if (state == RASCS_Authenticate
                 && ((!n_.user.empty() && req_.user != n_.user) || (!n_.password.empty() && req_.password != n_.password)))
            error = n_.authError;
        else if (state == RASCS_AuthProject && !n_.apns.empty() && !Contains(n_.apns, req_.apn, true))
            error = n_.wrongApnError;
        if (error != 0) {
            dialling_ = false;
            events.Failed(state, error);
            return;
        }
        if (state == RASCS_ConnectDevice && !networkChecked_ && !Network(now, events))
            return;
        if (state == RASCS_Connected) {
            dialling_ = false;
            up_ = true;
            connectedAt_ = now;
            counted_ = now;
            if (n_.dropAfterSec > 0)
                dropAt_ = now + std::chrono::seconds(n_.dropAfterSec);
            events.Up();
            return;
        }
        events.Reached(state);
        if (state == RASCS_ConnectDevice && n_.neverAnswers) {
            due_ = Clock::time_point::max(); // waits for a hang-up
            return;
        }
        ++step_;
        due_ = now + std::chrono::milliseconds(n_.stateDelayMs);
    }

    // Between the port opened and the dial, as a serial modem is asked: the
    // SIM, the network (searching for it a while, or for ever), the signal.
    // False while the dial waits for the network or when it ended here.
    bool Network(Clock::time_point now, LinkEvents& events)
    {
        const std::string who = req_.device + " (simulated): ";
        auto fail = [&](uint32_t error, const std::string& why) {
            const ModemReading r = SimulatedReading(n_, false);
            ServiceLog(who + ReadingSummary(r));
            ServiceLog(who + why + " (" + std::to_string(error) + ")");
            events.Read(r);
            dialling_ = false;
            events.Failed(RASCS_ConnectDevice, error);
            return false;
        };
        if (const uint32_t e = SimError(n_.sim, {}); e != 0)
            return fail(e, "the SIM card " + SimText(SimulatedReading(n_, false)));
        if (n_.registration == Registration::Denied)
            return fail(ERROR_NETWORK_DENIED, "the network denied the modem's registration");
        const bool forever = n_.registration == Registration::Searching;
        if (forever || n_.searchSec > 0) {
            const auto bound = std::chrono::milliseconds(n_.registrationTimeoutMs);
            const auto found = forever ? Clock::time_point::max() : now + std::chrono::seconds(n_.searchSec);
            if (!searchingSince_) {
                searchingSince_ = now;
                ServiceLog(who + "the modem is not registered on a network yet; waiting up to "
                           + std::to_string(bound.count()) + " ms");
                events.Reached(RASCS_WaitForNetwork);
                searchDone_ = forever ? Clock::time_point::max() : found;
            }
            if (now < searchDone_ && now < *searchingSince_ + bound) {
                due_ = std::min(searchDone_, *searchingSince_ + bound);
                return false;
            }
            if (now < searchDone_)
                return fail(ERROR_NO_NETWORK,
                            "the modem found no network to register with within " + std::to_string(bound.count()) + " ms");
            ServiceLog(who + "the modem is registered now");
        }
        networkChecked_ = true;
        const ModemReading r = SimulatedReading(n_, false);
        ServiceLog(who + ReadingSummary(r));
        events.Read(r);
        return true;
    }

    void GoDown(Clock::time_point now, LinkEvents& events)
    {
        Integrate(now);
        down_ = true;
        events.Down(n_.dropError);
    }

    void Integrate(Clock::time_point now)
    {
        if (!up_ || down_ || now <= counted_)
            return;
        if (!n_.bursty) {
            const double dt = std::chrono::duration<double>(now - counted_).count();
            rx_ += rxRate_ * dt;
            tx_ += txRate_ * dt;
        } else {
            // piecewise per whole second since the link came up
            auto t = counted_;
            while (t < now) {
                const int64_t second = std::chrono::duration_cast<std::chrono::seconds>(t - connectedAt_).count();
                auto end = connectedAt_ + std::chrono::seconds(second + 1);
                if (end > now)
                    end = now;
                const double dt = std::chrono::duration<double>(end - t).count();
                rx_ += rxRate_ * BurstFactor(req_.handle, second) * dt;
                tx_ += txRate_ * BurstFactor(req_.handle ^ 0x5A5A5A5Au, second) * dt;
                t = end;
            }
        }
        counted_ = now;
    }

    DialRequest req_;
    DeviceBehaviour n_;
    uint32_t failError_;
    size_t step_ = 0;
    uint32_t state_ = RASCS_OpenPort; // the state last tried
    Clock::time_point due_;
    bool dialling_ = true;
    bool up_ = false;
    bool down_ = false;
    Clock::time_point connectedAt_{};
    Clock::time_point counted_{};
    Clock::time_point dropAt_ = Clock::time_point::max();
    double rx_ = 0; // bytes, fractional between samples
    double tx_ = 0;
    uint32_t rxRate_;
    uint32_t txRate_;
    bool networkChecked_ = false;
    std::optional<Clock::time_point> searchingSince_;
    Clock::time_point searchDone_{};
};

// A reading at once; a USSD answer after the device's delay, in its coding,
// read back as a real modem's would be (or never, when it never answers).
class SimulatedQuestion : public ModemQuestion {
public:
    SimulatedQuestion(const DeviceBehaviour& n, std::string device, std::string ussd, Clock::time_point now)
        : n_(n), device_(std::move(device)), ussd_(std::move(ussd)),
          due_(ussd_.empty() ? now : now + std::chrono::milliseconds(n.ussdDelayMs))
    {
    }

    Clock::time_point Advance(Clock::time_point now) override
    {
        if (done_)
            return Clock::time_point::max();
        if (now < due_)
            return due_;
        reading_ = SimulatedReading(n_, n_.registration == Registration::Searching);
        if (ussd_.empty()) {
            Finish(0);
            return Clock::time_point::max();
        }
        if (const uint32_t e = SimError(n_.sim, {}); e != 0) {
            Finish(e);
            return Clock::time_point::max();
        }
        if (reading_.registration != Registration::Home && reading_.registration != Registration::Roaming) {
            Finish(reading_.registration == Registration::Denied ? ERROR_NETWORK_DENIED : ERROR_NO_NETWORK);
            return Clock::time_point::max();
        }
        if (n_.ussdNeverAnswers) {
            if (!silentSince_)
                silentSince_ = now;
            if (now - *silentSince_ < std::chrono::milliseconds(n_.ussdTimeoutMs))
                return *silentSince_ + std::chrono::milliseconds(n_.ussdTimeoutMs);
            Finish(ERROR_REQUEST_TIMEOUT);
            return Clock::time_point::max();
        }
        if (n_.ussdStatus != 0 && n_.ussdStatus != 1) {
            Finish(ERROR_USSD_REFUSED);
            return Clock::time_point::max();
        }
        const UssdCoding coding = n_.ussdCoding == "gsm7" ? UssdCoding::Gsm7Packed
                                  : n_.ussdCoding == "text" ? UssdCoding::Text
                                                            : UssdCoding::Ucs2;
        const EncodedUssd e = EncodeUssd(n_.ussdAnswer, coding);
        const auto text = DecodeUssd(e.text, e.dcs);
        if (!text) {
            Finish(ERROR_USSD_UNREADABLE);
            return Clock::time_point::max();
        }
        answer_ = *text;
        Finish(0);
        return Clock::time_point::max();
    }

private:
    DeviceBehaviour n_;
    std::string device_;
    std::string ussd_;
    Clock::time_point due_;
    std::optional<Clock::time_point> silentSince_;
};

} // namespace

std::unique_ptr<ModemQuestion> SimulatedDriver::Ask(const std::string& device, const std::string& ussd, bool linkUp,
                                                    Clock::time_point now, uint32_t& refusal)
{
    const DeviceBehaviour& n = net_.For(device);
    // A modem with one port cannot be asked while it carries the link.
    if (linkUp && !n.secondPort) {
        refusal = ERROR_PORT_CARRIES_LINK;
        return nullptr;
    }
    return std::make_unique<SimulatedQuestion>(n, device, ussd, now);
}

std::unique_ptr<Link> SimulatedDriver::Dial(const DialRequest& request, Clock::time_point now)
{
    const DeviceBehaviour& n = net_.For(request.device);
    uint32_t failError = 0;
    if (n.failError != 0) {
        int64_t& used = failuresUsed_[request.device];
        if (n.failAttempts < 0 || used < n.failAttempts) {
            failError = n.failError;
            ++used;
        }
    }
    return std::make_unique<SimulatedLink>(request, n, failError, now);
}

} // namespace sp::ras
