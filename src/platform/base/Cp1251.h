#pragma once

#include <string>
#include <string_view>

namespace sp {

// Texts inside the program are UTF-8; what it stores as 8-bit text (registry
// values, log lines) is code page 1251. These convert at that boundary.
// A character without a 1251 form becomes '?'; malformed UTF-8 bytes too.
[[nodiscard]] std::string Utf8ToCp1251(std::string_view utf8);
[[nodiscard]] std::string Cp1251ToUtf8(std::string_view cp1251);

} // namespace sp
