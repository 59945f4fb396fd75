#pragma once

#include <string>
#include <string_view>

namespace sp {

// Byte strings (code page 1251) <-> upper-case hexadecimal Blowfish-CBC text
// under the program's built-in key and IV. Equal texts give equal results.
// Any length is accepted; neither function reports errors.
//
// The result of EncryptString has 2n digits with n = (len div 8) * 8 + 16:
// the text, zero-padded, its terminating zero always enciphered.
[[nodiscard]] std::string EncryptString(std::string_view plain);
// Stops converting at the first pair that is not two hexadecimal digits
// (either letter case); returns the deciphered bytes up to the first zero.
[[nodiscard]] std::string DecryptString(std::string_view hex);

} // namespace sp
