#pragma once

#include "platform/registry/Registry.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

// Key and value names compare without letter case: Latin and Cyrillic
// capitals (the letters of code page 1251) fold to small letters. Other bytes
// stay as they are.
[[nodiscard]] std::string FoldName(std::string_view utf8);

// A key path split at backslashes; empty parts (doubled or trailing "\")
// are dropped. absolute: the path began with "\".
struct RegKeyPath {
    bool absolute = false;
    std::vector<std::string_view> parts;
};
[[nodiscard]] RegKeyPath SplitKeyPath(std::string_view path);

// "HKLM\Software\X" -> (LocalMachine, "\Software\X"). The hive is
// HKLM/HKEY_LOCAL_MACHINE or HKDD/HKEY_DYN_DATA in any letter case; nothing
// when the path starts otherwise.
struct RegHivePath {
    RegHive hive = RegHive::LocalMachine;
    std::string path; // from the root key, begins with "\"
};
[[nodiscard]] std::optional<RegHivePath> SplitHive(std::string_view fullPath);

// Windows limit of a key name's length.
inline constexpr size_t kMaxKeyNameLength = 255;
// Windows limit of a key's depth below its hive.
inline constexpr size_t kMaxKeyDepth = 512;
// Windows limit of a value name's length.
inline constexpr size_t kMaxValueNameLength = 16383;

// Names that a REGEDIT4 file can hold and give back unchanged: no control
// characters (a line break would end the file's line), and a key name does
// not end in "]" (its line would end in "]]").
[[nodiscard]] bool KeyNameWritable(std::string_view name);
[[nodiscard]] bool ValueNameWritable(std::string_view name);

} // namespace sp
