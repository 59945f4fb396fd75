#pragma once

#include <cstddef>
#include <string_view>

namespace sp {

// Longest APN the program takes, in characters.
inline constexpr size_t kMaxApnLength = 100;
// Most APNs one list may hold: the dial tries each with up to three numbers.
inline constexpr size_t kMaxApnCount = 100;

// True when the text is an access point name and nothing else: labels of
// ASCII letters, digits and hyphens, each beginning and ending with a letter
// or a digit, joined by single dots, at most kMaxApnLength characters. Such a
// name cannot close the quotes of AT+CGDCONT or start a command of its own.
[[nodiscard]] bool IsApn(std::string_view text);

} // namespace sp
