#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sp::ras {

// The English description of a remote access result code (600-799 and the
// few system codes the calls return); empty when the code has none.
[[nodiscard]] std::string_view ErrorText(uint32_t code);

// Who holds a port that a dial found taken (633), when the service knows
// more than the code's own text says. The service notes it in the machine's
// run folder at the dial's end; every dial clears it.
enum class PortHolder { Unknown, ModemManager };
void NotePortHolder(PortHolder holder);
[[nodiscard]] PortHolder NotedPortHolder();

// ErrorText, except that 633 names the noted holder and how to free the port.
[[nodiscard]] std::string DialErrorText(uint32_t code);

} // namespace sp::ras
