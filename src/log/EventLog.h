#pragma once

#include <cstdint>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace sp {

// Appends one line "<time> : src: <source>      code: <code>         msg: <text>"
// to GPRSlog.log beside the program, only when argument 1 is exactly "/l";
// where that folder cannot be written (an installed program), to
// GPRSlog.log in the machine root instead, said once on standard error;
// enciphered unless argument 2 is exactly "/n". Texts are UTF-8; the file
// holds code page 1251. Any thread; failures are silent. The text is
// written as LogLineText makes it.
void WriteLog(std::string_view source, int32_t code, std::string_view text);

// Longest text of one log line, in characters.
inline constexpr size_t kMaxLogTextLength = 1000;

// What of a text may stand in one log line: its first line (up to the first
// CR or LF), at most kMaxLogTextLength characters of it, control characters
// replaced by blanks. Texts from outside (a server's answer, the service's
// error texts, values a user can edit) can then neither forge a line of
// their own nor grow the log without bound. UTF-8 in and out; a byte that
// is not UTF-8 counts as one character and is kept for the 1251 conversion.
[[nodiscard]] std::string LogLineText(std::string_view text);

// Folder of the log file; defaults to the folder of the running executable.
// Tests point it at a temporary folder; an empty path restores the default.
void SetLogFolder(const std::filesystem::path& folder);
// Where the next line goes: beside the program, or in the machine root when
// the program's folder cannot be written.
[[nodiscard]] std::filesystem::path LogFilePath();

} // namespace sp
