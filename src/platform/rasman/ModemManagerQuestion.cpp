#include "platform/rasman/ModemManagerQuestion.h"

#include "platform/rasapi/ras.h"
#include "platform/rasman/ModemAnswers.h"
#include "platform/rasman/ModemInterview.h"
#include "platform/rasman/ModemManagerBus.h"
#include "platform/rasman/ModemManagerClient.h"
#include "platform/rasman/ServiceLog.h"

#include <systemd/sd-bus.h>

#include <cstring>
#include <ctime>

namespace sp::ras {

namespace {

using namespace std::chrono_literals;

constexpr auto kNameTimeout = 1000ms;
constexpr auto kModemsTimeout = 3000ms;
constexpr auto kSessionTimeout = 1000ms;
constexpr auto kCancelTimeout = 2000ms;

constexpr int32_t kModemDisabled = 3;         // MMModemState
constexpr uint32_t kSessionUserResponse = 3; // MMModem3gppUssdSessionState

bool IsTimeout(sd_bus_message* reply)
{
    const sd_bus_error* e = sd_bus_message_get_error(reply);
    return e && e->name
        && (std::strcmp(e->name, SD_BUS_ERROR_TIMEOUT) == 0 || std::strcmp(e->name, SD_BUS_ERROR_NO_REPLY) == 0);
}

} // namespace

std::unique_ptr<ModemQuestion> ModemManagerQuestion::Ask(const SerialModem& m, std::string ussd, Clock::time_point now,
                                                         OnPort onPort)
{
    sd_bus* bus = mmbus::Connect();
    if (!bus)
        return onPort();
    std::unique_ptr<ModemManagerQuestion> q(new ModemManagerQuestion(bus, m, std::move(ussd), std::move(onPort)));
    if (!q->Send(Step::Name, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
                 kNameTimeout, now))
        q->ToPort(now, {});
    return q;
}

ModemManagerQuestion::ModemManagerQuestion(sd_bus* bus, const SerialModem& m, std::string ussd, OnPort onPort)
    : bus_(bus), m_(m), ussd_(std::move(ussd)), onPort_(std::move(onPort)), call_(std::make_unique<mmbus::Call>())
{
}

ModemManagerQuestion::~ModemManagerQuestion()
{
    call_.reset(); // its slot before the bus
    sd_bus_close_unref(bus_);
}

void ModemManagerQuestion::Log(const std::string& text) const { ServiceLog(m_.name + " (" + m_.port + "): " + text); }

bool ModemManagerQuestion::Send(Step step, const char* destination, const char* path, const char* interface,
                                const char* member, std::chrono::milliseconds timeout, Clock::time_point now)
{
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_, &m, destination, path, interface, member);
    if (r >= 0) {
        switch (step) {
        case Step::Name: r = sd_bus_message_append(m, "s", mmbus::kService); break;
        case Step::Initiate: r = sd_bus_message_append(m, "s", ussd_.c_str()); break;
        case Step::SessionState: r = sd_bus_message_append(m, "ss", mmbus::kUssdInterface, "State"); break;
        default: break;
        }
    }
    std::string why;
    const bool sent = r >= 0 && call_->Send(bus_, m, timeout, now, why);
    sd_bus_message_unref(m);
    if (!sent) {
        Log("ModemManager could not be asked: " + (why.empty() ? std::string(std::strerror(-r)) : why));
        return false;
    }
    step_ = step;
    return true;
}

void ModemManagerQuestion::ToPort(Clock::time_point now, const std::string& why)
{
    if (!why.empty())
        Log(why);
    (void)now;
    call_->Forget(); // the bus is let go by Advance, outside its processing
    step_ = Step::Ended;
    port_ = onPort_();
}

void ModemManagerQuestion::End(uint32_t error, const std::string& why)
{
    if (!why.empty())
        Log(why + (error != 0 ? " (" + std::to_string(error) + ")" : std::string()));
    call_->Forget();
    step_ = Step::Ended;
    Finish(error);
}

void ModemManagerQuestion::Managed(sd_bus_message* reply, Clock::time_point now)
{
    std::vector<mmbus::Modem> modems;
    if (sd_bus_message_is_method_error(reply, nullptr) > 0 || !mmbus::ReadModems(reply, modems)) {
        ToPort(now, "ModemManager did not list its modems: " + mmbus::ErrorOf(reply));
        return;
    }
    const mmbus::Modem* mine = nullptr;
    for (const mmbus::Modem& modem : modems) {
        for (const std::string& p : modem.ports) {
            if (!mine
                && (ModemManagerClient::SamePort(p, m_.port)
                    || (!m_.atPort.empty() && ModemManagerClient::SamePort(p, m_.atPort))))
                mine = &modem;
        }
    }
    if (!mine) {
        ToPort(now, {});
        return;
    }
    reading_ = mmbus::ReadingOf(*mine);
    reading_.readAt = static_cast<int64_t>(std::time(nullptr));
    path_ = mine->path;
    state_ = mine->state;
    const std::string whose = "ModemManager manages the modem (" + mine->uid + "): ";
    if (ussd_.empty()) {
        End(0, whose + ReadingSummary(reading_));
        return;
    }
    if (const uint32_t e = SimError(reading_.sim, reading_.simWord); e != 0) {
        End(e, whose + "no USSD: the SIM card " + SimText(reading_));
        return;
    }
    if (!mine->hasUssd) {
        End(ERROR_USSD_REFUSED, whose + "it offers no USSD for this modem");
        return;
    }
    Log(whose + "USSD " + ussd_ + " through it");
    if (!Send(Step::Initiate, mmbus::kService, path_.c_str(), mmbus::kUssdInterface, "Initiate",
              std::chrono::milliseconds(m_.ussdTimeoutMs), now))
        End(ERROR_USSD_REFUSED, {});
}

void ModemManagerQuestion::Initiated(sd_bus_message* reply, Clock::time_point now)
{
    if (sd_bus_message_is_method_error(reply, nullptr) > 0) {
        if (IsTimeout(reply)) {
            End(ERROR_REQUEST_TIMEOUT, "no answer to the USSD code within " + std::to_string(m_.ussdTimeoutMs) + " ms");
            return;
        }
        std::string why = "ModemManager refused the USSD code: " + mmbus::ErrorOf(reply);
        if (state_ == kModemDisabled)
            why += "; ModemManager has the modem disabled (mmcli -m " + path_ + " -e enables it)";
        End(ERROR_USSD_REFUSED, why);
        return;
    }
    const char* text = nullptr;
    if (sd_bus_message_read(reply, "s", &text) < 0) {
        End(ERROR_USSD_UNREADABLE, "ModemManager's USSD answer could not be read");
        return;
    }
    const auto answer = UssdText(text ? text : "");
    if (!answer) {
        End(ERROR_USSD_UNREADABLE, "ModemManager's USSD answer was refused (" + std::to_string(std::strlen(text))
                                       + " bytes)");
        return;
    }
    answer_ = *answer;
    Log("USSD answered (" + std::to_string(answer_.size()) + " bytes)");
    // The network may wait for a reply that never comes: end its session.
    if (!Send(Step::SessionState, mmbus::kService, path_.c_str(), "org.freedesktop.DBus.Properties", "Get",
              kSessionTimeout, now))
        End(0, {});
}

void ModemManagerQuestion::Answered(sd_bus_message* reply, Clock::time_point now)
{
    const bool error = sd_bus_message_is_method_error(reply, nullptr) > 0;
    switch (step_) {
    case Step::Name: {
        int owned = 0;
        if (error || sd_bus_message_read(reply, "b", &owned) < 0)
            ToPort(now, "the bus did not say whether ModemManager runs: " + mmbus::ErrorOf(reply));
        else if (!owned)
            ToPort(now, {});
        else if (!Send(Step::Modems, mmbus::kService, mmbus::kManagerPath, "org.freedesktop.DBus.ObjectManager",
                       "GetManagedObjects", kModemsTimeout, now))
            ToPort(now, {});
        return;
    }
    case Step::Modems: Managed(reply, now); return;
    case Step::Initiate: Initiated(reply, now); return;
    case Step::SessionState: {
        uint32_t state = 0;
        if (!error && sd_bus_message_read(reply, "v", "u", &state) >= 0 && state == kSessionUserResponse
            && Send(Step::Cancel, mmbus::kService, path_.c_str(), mmbus::kUssdInterface, "Cancel", kCancelTimeout, now))
            return;
        End(0, {});
        return;
    }
    case Step::Cancel: End(0, {}); return;
    case Step::Ended: return;
    }
}

ModemQuestion::Clock::time_point ModemManagerQuestion::Advance(Clock::time_point now)
{
    if (!port_ && !done_ && bus_) {
        if (const int r = mmbus::Pump(bus_, *call_, [&](sd_bus_message* reply) { Answered(reply, now); }); r < 0) {
            const std::string why = std::string("the bus connection was lost: ") + std::strerror(-r);
            if (step_ == Step::Name || step_ == Step::Modems)
                ToPort(now, why);
            else if (!done_)
                End(answer_.empty() ? ERROR_USSD_REFUSED : 0, why);
        } else if (!port_ && !done_ && call_->Late(now)) {
            switch (step_) {
            case Step::Name:
            case Step::Modems: ToPort(now, "ModemManager gave no answer in time"); break;
            case Step::Initiate:
                End(ERROR_REQUEST_TIMEOUT,
                    "no answer to the USSD code within " + std::to_string(m_.ussdTimeoutMs) + " ms");
                break;
            case Step::SessionState:
            case Step::Cancel: End(0, {}); break;
            case Step::Ended: break;
            }
        }
    }
    if (port_) {
        bus_ = sd_bus_close_unref(bus_);
        const Clock::time_point next = port_->Advance(now);
        if (port_->Done() && !done_) {
            reading_ = port_->Reading();
            answer_ = port_->Answer();
            Finish(port_->Error());
        }
        return next;
    }
    if (done_ || !bus_)
        return Clock::time_point::max();
    return mmbus::Next(bus_, call_->Deadline());
}

void ModemManagerQuestion::Watch(std::vector<pollfd>& fds) const
{
    if (port_)
        port_->Watch(fds);
    else if (!done_ && bus_)
        mmbus::Watch(bus_, fds);
}

} // namespace sp::ras
