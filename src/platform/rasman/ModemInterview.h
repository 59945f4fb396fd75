#pragma once

#include "platform/rasapi/ModemReading.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sp::ras {

// The questions a serial modem is asked after its init string and before
// the dial (and on a free port for a fresh reading): its SIM (AT+CPIN?), its
// registration for calls and for packet data (AT+CREG?, AT+CGREG?,
// AT+CEREG?), its signal (AT+CSQ) and its operator (AT+COPS=3,0 then
// AT+COPS?). One command at a time, each within its bound; a command the
// modem does not know (ERROR) or does not answer is passed over, so a modem
// that knows none of them still dials. Before a dial a modem that searches
// for its network is asked again every second up to the registration bound.
class ModemInterview {
public:
    using Clock = std::chrono::steady_clock;
    struct Options {
        std::chrono::milliseconds answer{2000};        // each command
        std::chrono::milliseconds registration{20000}; // waiting for the network; 0: not at all
    };
    explicit ModemInterview(Options options) : o_(options) {}

    // The command to send now, if any; `now` starts its bound.
    [[nodiscard]] std::optional<std::string> Command(Clock::time_point now);
    // A line from the modem (not the echo of the command).
    void Line(std::string_view line, Clock::time_point now);
    // Gives up on a command whose bound has passed.
    void Tick(Clock::time_point now);
    [[nodiscard]] Clock::time_point Next() const;

    [[nodiscard]] bool Done() const { return step_ == Step::Done; }
    // 0, or the code that ends the dial (the SIM, the network).
    [[nodiscard]] uint32_t Error() const { return error_; }
    [[nodiscard]] const std::string& Why() const { return why_; }
    // True once while the modem is found searching for its network.
    [[nodiscard]] bool StartedSearching()
    {
        const bool s = searchingNews_;
        searchingNews_ = false;
        return s;
    }
    // Lines for the service's log (a command passed over, roaming).
    [[nodiscard]] std::vector<std::string> TakeNotes() { return std::move(notes_); }
    [[nodiscard]] const ModemReading& Reading() const { return reading_; }
    // The reading's time, UTC.
    void Stamp(int64_t utc) { reading_.readAt = utc; }

private:
    enum class Step { Cpin, Creg, Cgreg, Cereg, Csq, CopsFormat, Cops, Pause, Done };
    void Answered(bool ok, Clock::time_point now);
    void AfterRegistration(Clock::time_point now);
    void Advance(Step next);
    std::string CommandOf(Step s) const;

    Options o_;
    Step step_ = Step::Cpin;
    bool sent_ = false;
    Clock::time_point deadline_ = Clock::time_point::max();
    Clock::time_point pauseUntil_{};
    std::optional<Clock::time_point> searchUntil_;
    std::vector<std::string> info_; // the current command's information lines
    std::optional<Registration> cs_, ps_, eps_;
    bool searchingNews_ = false;
    bool roamingNoted_ = false;
    uint32_t error_ = 0;
    std::string why_;
    std::vector<std::string> notes_;
    ModemReading reading_;
};

// One line for the service's log: "SIM ready; registration roaming;
// operator Zentora; signal -73 dBm (64 %)".
[[nodiscard]] std::string ReadingSummary(const ModemReading& r);

// The dial's error for a SIM state; 0 when the SIM lets the modem dial.
[[nodiscard]] uint32_t SimError(SimState state, std::string_view word);

} // namespace sp::ras
