#pragma once

#include <cstdint>
#include <string_view>

namespace sp::ras {

// The English description of a remote access result code (600-799 and the
// few system codes the calls return); empty when the code has none.
[[nodiscard]] std::string_view ErrorText(uint32_t code);

} // namespace sp::ras
