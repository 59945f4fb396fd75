#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sp::ras {

// The English description of a remote access result code (600-799 and the
// few system codes the calls return); empty when the code has none.
[[nodiscard]] std::string_view ErrorText(uint32_t code);

// What the service found out about a failed dial beyond its code: who held
// the port (633), or why pppd could not be started (720). The service notes
// it in the machine's run folder at the dial's end; every dial clears it.
enum class DialNote { None, ModemManagerHoldsPort, NoPeersFile, PeersFileUnreadable };
void NoteDial(DialNote note);
[[nodiscard]] DialNote NotedDial();

// ErrorText, except that 633 and 720 say what the service noted and point
// to rasctl doctor.
[[nodiscard]] std::string DialErrorText(uint32_t code);

} // namespace sp::ras
