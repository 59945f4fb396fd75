#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

// Version information of a file, as the build writes it into the program: an
// ELF section ".skyportal_version" holding NUL-terminated "path=value"
// records, e.g. "\StringFileInfo\041904E3\FileVersion=1.0.0.337". Any file
// can be asked; one without the section has none.

// Size of the file's version information; 0 when it has none or cannot be read.
[[nodiscard]] uint32_t GetFileVersionInfoSizeA(const std::string& fileName);
// Reads it into data (at most size bytes); false when it cannot.
bool GetFileVersionInfoA(const std::string& fileName, uint32_t size, std::vector<char>& data);
// The value of one record, e.g. "\VarFileInfo\Translation" (the first
// translation as 8 hex digits of a 32-bit value: language in the low 16
// bits, code page in the high 16 bits) or
// "\StringFileInfo\041904E3\FileVersion" (a text). False when absent.
bool VerQueryValueA(const std::vector<char>& data, std::string_view subBlock, std::string& value);

// The record block the build embeds (for the build's generator and tests).
[[nodiscard]] std::string MakeVersionBlock(uint16_t language, uint16_t codePage, std::string_view fileVersion);

} // namespace sp
