#pragma once

#include "platform/registry/Registry.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

// The contents of a REGEDIT4 file. Paths and names are UTF-8; data is as the
// registry stores it (REG_SZ as code page 1251 bytes without the final zero,
// REG_DWORD as four little-endian bytes).
struct RegFileValue {
    std::string name; // empty: the default value ("@")
    bool remove = false; // "name"=-
    RegType type = RegType::Sz;
    std::vector<uint8_t> data;
};

struct RegFileKey {
    std::string path; // with the hive, e.g. "HKEY_LOCAL_MACHINE\Software\Zentora"
    bool remove = false; // [-path]
    int line = 0;
    std::vector<RegFileValue> values;
};

struct RegFileContent {
    std::vector<RegFileKey> keys;
};

class ERegFileSyntax : public std::runtime_error {
public:
    ERegFileSyntax(int line, const std::string& what)
        : std::runtime_error("line " + std::to_string(line) + ": " + what), line_(line) {}
    [[nodiscard]] int Line() const { return line_; }

private:
    int line_;
};

// text: the file's bytes (code page 1251). Throws ERegFileSyntax.
[[nodiscard]] RegFileContent ParseRegFile(std::string_view text);
// The file's bytes: code page 1251, CR LF line ends.
[[nodiscard]] std::string FormatRegFile(const RegFileContent& content);

} // namespace sp
