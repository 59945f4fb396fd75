#pragma once

#include <cstdint>
#include <filesystem>
#include <string_view>

namespace sp {

// Appends one line "<time> : src: <source>      code: <code>         msg: <text>"
// to GPRSlog.log beside the program, only when argument 1 is exactly "/l";
// enciphered unless argument 2 is exactly "/n". Texts are UTF-8; the file
// holds code page 1251. Any thread; failures are silent.
void WriteLog(std::string_view source, int32_t code, std::string_view text);

// Folder of the log file; defaults to the folder of the running executable.
// Tests point it at a temporary folder; an empty path restores the default.
void SetLogFolder(const std::filesystem::path& folder);
[[nodiscard]] std::filesystem::path LogFilePath();

} // namespace sp
