#include "platform/rasman/SimulatedLink.h"

#include "platform/base/IniFile.h"
#include "platform/rasapi/ras.h"

#include <algorithm>
#include <array>

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
};

} // namespace

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
