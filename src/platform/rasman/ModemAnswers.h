#pragma once

// What a modem's information lines say about its SIM, its network, its
// signal, its operator and a USSD answer (3GPP TS 27.007 and 23.038). Every
// text that comes out of here is checked and bounded: printable, without
// quotes, at most its limit, whatever the modem sent.

#include "platform/rasapi/ModemReading.h"

#include <optional>
#include <string>
#include <string_view>

namespace sp::ras {

// The printable part of a modem's text: control characters, quotes,
// backslashes and bytes that are not UTF-8 become blanks, blanks are folded,
// and it is cut to `max` bytes on a character's boundary.
[[nodiscard]] std::string PrintableText(std::string_view raw, size_t max);

// "+CPIN: READY", "+CPIN: SIM PIN", ...; nothing for any other line.
// `word` gets the modem's word for a state this does not name (printable).
[[nodiscard]] std::optional<SimState> ParseCpin(std::string_view line, std::string* word = nullptr);
// "+CME ERROR: 10" / "+CME ERROR: SIM not inserted" and the like, as an
// answer to AT+CPIN?: what it says of the SIM, if anything.
[[nodiscard]] std::optional<SimState> SimFromCmeError(std::string_view line);

// "+CREG: 0,1", "+CREG: 5", "+CGREG: 2,1,\"00C3\",\"1A2B\"", "+CEREG: ..."
// with `prefix` "+CREG", "+CGREG" or "+CEREG".
[[nodiscard]] std::optional<Registration> ParseRegistration(std::string_view line, std::string_view prefix);
// "+CSQ: 17,99": the signal 0..31 or 99.
[[nodiscard]] std::optional<uint32_t> ParseCsq(std::string_view line);
// "+COPS: 0,0,\"Zentora\",2": the operator's name (printable, bounded);
// empty for "+COPS: 0" (no operator).
[[nodiscard]] std::optional<std::string> ParseCops(std::string_view line);

// "+CUSD: 0,\"...\",15": the status (0 done, 1 more wanted, 2 ended by the
// network, 3 other client, 4 not supported, 5 time-out), the string as the
// modem gave it and its data coding scheme (-1 when absent).
struct UssdLine {
    int status = 0;
    std::string text;
    int dcs = -1;
};
[[nodiscard]] std::optional<UssdLine> ParseCusd(std::string_view line);

// The limits of an answer: raw, as the modem sent its string, and decoded.
inline constexpr size_t kMaxUssdRaw = 512;
inline constexpr size_t kMaxUssdChars = 182;

// The answer's text (UTF-8, one line, at most kMaxUssdChars characters) as
// its data coding scheme says: the GSM 7-bit alphabet (packed in hex, or as
// text), UCS-2 in hex, or 8-bit data in hex; nothing when it is not what its
// scheme says (odd or non-hex digits, a string over kMaxUssdRaw).
[[nodiscard]] std::optional<std::string> DecodeUssd(std::string_view text, int dcs);
// An answer already decoded to UTF-8 (ModemManager's), checked and bounded
// like DecodeUssd's; nothing over kMaxUssdRaw bytes.
[[nodiscard]] std::optional<std::string> UssdText(std::string_view utf8);

// The other way, for the simulated network and the simulated AT modem.
enum class UssdCoding { Gsm7Packed, Ucs2, Text };
struct EncodedUssd {
    std::string text;
    int dcs = 15;
};
[[nodiscard]] EncodedUssd EncodeUssd(std::string_view utf8, UssdCoding coding);

} // namespace sp::ras
