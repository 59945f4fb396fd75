#include "platform/rasman/ModemInterview.h"

#include "platform/rasman/ModemAnswers.h"
#include "platform/rasman/SerialDialogue.h"

namespace sp::ras {

namespace {

bool Registered(const std::optional<Registration>& r)
{
    return r && (*r == Registration::Home || *r == Registration::Roaming);
}

bool Says(const std::optional<Registration>& r, Registration what) { return r && *r == what; }

} // namespace

std::string ReadingSummary(const ModemReading& r)
{
    std::string text = "SIM " + SimText(r) + "; registration " + RegistrationText(r.registration);
    if (r.registration == Registration::Roaming)
        text += " (not the home network: roaming charges may apply)";
    text += "; operator " + (r.operatorName.empty() ? std::string("unknown") : r.operatorName);
    text += "; signal ";
    if (SignalKnown(r.rssi))
        text += std::to_string(SignalDbm(r.rssi)) + " dBm (" + std::to_string(SignalPercent(r.rssi)) + " %)";
    else
        text += "unknown";
    return text;
}

uint32_t SimError(SimState state, std::string_view word)
{
    switch (state) {
    case SimState::PinWanted: return ERROR_SIM_PIN_REQUIRED;
    case SimState::PukWanted: return ERROR_SIM_PUK_REQUIRED;
    case SimState::NoSim: return ERROR_SIM_NOT_INSERTED;
    case SimState::Other:
        // The second PIN guards other things than the network.
        return word.find("PIN2") != std::string_view::npos || word.find("PUK2") != std::string_view::npos
            ? 0
            : ERROR_SIM_STATE;
    case SimState::Ready:
    case SimState::Unknown: break;
    }
    return 0;
}

std::string ModemInterview::CommandOf(Step s) const
{
    switch (s) {
    case Step::Cpin: return "AT+CPIN?";
    case Step::Creg: return "AT+CREG?";
    case Step::Cgreg: return "AT+CGREG?";
    case Step::Cereg: return "AT+CEREG?";
    case Step::Csq: return "AT+CSQ";
    case Step::CopsFormat: return "AT+COPS=3,0";
    case Step::Cops: return "AT+COPS?";
    case Step::Pause:
    case Step::Done: break;
    }
    return {};
}

std::optional<std::string> ModemInterview::Command(Clock::time_point now)
{
    if (step_ == Step::Pause && now >= pauseUntil_)
        step_ = Step::Creg;
    if (step_ == Step::Done || step_ == Step::Pause || sent_)
        return std::nullopt;
    sent_ = true;
    deadline_ = now + o_.answer;
    info_.clear();
    return CommandOf(step_);
}

void ModemInterview::Line(std::string_view line, Clock::time_point now)
{
    if (!sent_)
        return; // an unsolicited line between two commands
    const ModemReply reply = ClassifyModemLine(line);
    if (reply == ModemReply::None || reply == ModemReply::Ring) {
        if (info_.size() < 8)
            info_.emplace_back(line);
        return;
    }
    if (reply != ModemReply::Ok && info_.size() < 8)
        info_.emplace_back(line); // "+CME ERROR: 10" says something of the SIM
    Answered(reply == ModemReply::Ok, now);
}

void ModemInterview::Tick(Clock::time_point now)
{
    if (!sent_ || now < deadline_)
        return;
    notes_.push_back("no answer to " + CommandOf(step_) + " within " + std::to_string(o_.answer.count())
                     + " ms; passed over");
    Answered(false, now);
}

ModemInterview::Clock::time_point ModemInterview::Next() const
{
    if (sent_)
        return deadline_;
    if (step_ == Step::Pause)
        return pauseUntil_;
    return step_ == Step::Done ? Clock::time_point::max() : Clock::time_point::min();
}

void ModemInterview::Advance(Step next)
{
    step_ = next;
    sent_ = false;
}

void ModemInterview::Answered(bool ok, Clock::time_point now)
{
    sent_ = false;
    const Step step = step_;
    if (!ok && step != Step::Cpin && step != Step::CopsFormat)
        notes_.push_back("the modem does not answer " + CommandOf(step) + "; passed over");
    switch (step) {
    case Step::Cpin: {
        for (const std::string& l : info_) {
            std::string word;
            if (const auto s = ParseCpin(l, &word)) {
                reading_.sim = *s;
                reading_.simWord = word;
            } else if (const auto e = SimFromCmeError(l)) {
                reading_.sim = *e;
            }
        }
        if (!ok && reading_.sim == SimState::Unknown)
            notes_.push_back("the modem does not answer AT+CPIN?; passed over");
        if (const uint32_t e = SimError(reading_.sim, reading_.simWord); e != 0) {
            error_ = e;
            why_ = "the SIM card " + SimText(reading_);
            Advance(Step::Csq); // what it says of its signal is still worth keeping
            return;
        }
        Advance(Step::Creg);
        return;
    }
    case Step::Creg:
    case Step::Cgreg:
    case Step::Cereg: {
        const char* prefix = step == Step::Creg ? "+CREG" : step == Step::Cgreg ? "+CGREG" : "+CEREG";
        std::optional<Registration>& r = step == Step::Creg ? cs_ : step == Step::Cgreg ? ps_ : eps_;
        r.reset();
        for (const std::string& l : info_) {
            if (const auto reg = ParseRegistration(l, prefix))
                r = *reg;
        }
        if (step == Step::Creg)
            Advance(Step::Cgreg);
        else if (step == Step::Cgreg)
            Advance(Step::Cereg);
        else
            AfterRegistration(now);
        return;
    }
    case Step::Csq:
        for (const std::string& l : info_) {
            if (const auto rssi = ParseCsq(l))
                reading_.rssi = *rssi;
        }
        Advance(Step::CopsFormat);
        return;
    case Step::CopsFormat: Advance(Step::Cops); return;
    case Step::Cops:
        for (const std::string& l : info_) {
            if (const auto name = ParseCops(l))
                reading_.operatorName = *name;
        }
        Advance(Step::Done);
        return;
    case Step::Pause:
    case Step::Done: return;
    }
}

void ModemInterview::AfterRegistration(Clock::time_point now)
{
    // Packet data is what a dial needs: its registration counts first; a
    // modem that answers only AT+CREG? is judged by that.
    const bool packet = ps_.has_value() || eps_.has_value();
    if (Registered(ps_) || Registered(eps_)) {
        reading_.registration = Says(ps_, Registration::Roaming) || Says(eps_, Registration::Roaming)
            ? Registration::Roaming
            : Registration::Home;
    } else if (!packet && Registered(cs_)) {
        reading_.registration = *cs_;
    } else if (!packet && !cs_) {
        reading_.registration = Registration::Unknown; // it knows none of the three
    } else if (Says(cs_, Registration::Denied) || Says(ps_, Registration::Denied) || Says(eps_, Registration::Denied)) {
        reading_.registration = Registration::Denied;
        error_ = ERROR_NETWORK_DENIED;
        why_ = "the network denied the modem's registration";
    } else {
        reading_.registration = Registration::Searching;
        if (o_.registration.count() > 0) {
            if (!searchUntil_) {
                searchUntil_ = now + o_.registration;
                searchingNews_ = true;
                notes_.push_back("the modem is not registered on a network yet; waiting up to "
                                 + std::to_string(o_.registration.count()) + " ms");
            }
            if (now < *searchUntil_) {
                step_ = Step::Pause;
                pauseUntil_ = std::min(*searchUntil_, now + std::chrono::seconds(1));
                return;
            }
            const bool calls = Registered(cs_);
            error_ = calls ? ERROR_NO_PACKET_SERVICE : ERROR_NO_NETWORK;
            why_ = calls ? "the modem is registered for calls but not for packet data (GPRS) after "
                               + std::to_string(o_.registration.count()) + " ms"
                         : "the modem found no network to register with within "
                               + std::to_string(o_.registration.count()) + " ms";
        }
    }
    if (reading_.registration != Registration::Searching && searchUntil_)
        notes_.push_back("the modem is registered now");
    Advance(Step::Csq);
}

} // namespace sp::ras
