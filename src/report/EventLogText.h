#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

// The event log GPRSlog.log as the support service reads it: its last
// bytes, each enciphered line deciphered, plain lines (written with /n) as
// they are, both in UTF-8. A line that is neither is left out: a damaged
// enciphered line still gives its text (and a password in it) to anyone
// with the cipher. Its place keeps kNotDeciphered and its length.
struct DecipheredLog {
    std::string text; // UTF-8, one line per line of the file, "\n" ends
    std::vector<std::string> lines;
    uint64_t fileSize = 0;
    uint64_t leftOut = 0; // bytes before the tail that were not read
    size_t enciphered = 0;
    size_t plain = 0;
    size_t notDeciphered = 0;
};

inline constexpr std::string_view kNotDeciphered = "[not deciphered, left out]";

class SecretSet;

// bytes: the tail of the file, starting anywhere; a first line cut by the
// start is dropped when leftOut is not zero. The password of a logged dial
// is masked, and kept in `secrets`.
[[nodiscard]] DecipheredLog DecipherLog(std::string_view bytes, uint64_t fileSize, uint64_t leftOut,
                                        SecretSet& secrets);

// One line "<time> : src: <source>      code: <code>         msg: <text>".
struct LogLine {
    std::string time;
    std::string source;
    int64_t code = 0;
    std::string text;
};
[[nodiscard]] bool ParseLogLine(std::string_view line, LogLine& out);

// One dial of the log: a "DIAL-params" line and what the lines after it,
// up to the next dial, say about its outcome.
struct DialRecord {
    std::string time;
    std::string params; // the dial parameters as logged (password masked)
    enum class Outcome { Connected, Failed, NoCode, Unknown } outcome = Outcome::Unknown;
    int64_t code = 0;
    std::string logged; // the error text the program wrote beside the code
};
// The last `count` dials, oldest first.
[[nodiscard]] std::vector<DialRecord> LastDials(const std::vector<std::string>& lines, size_t count);

// The texts a person saw for a failed dial: the program's own (Russian) and
// the service's (English; empty when it has none).
[[nodiscard]] std::string ProgramDialErrorText(int64_t code);
[[nodiscard]] std::string ServiceErrorText(int64_t code);

} // namespace sp
