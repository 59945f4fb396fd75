#pragma once

#include "platform/rasapi/ras.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace sp::ras {

// One field of the largest entry properties layout, by its published name.
// The phonebook keeps each field under that name, so the file can be read
// and checked by eye.
struct EntryField {
    enum class Kind { Dword, Text, IpAddr, Guid };
    const char* name;
    uint32_t offset;
    uint32_t length; // bytes, including the terminating zero for texts
    Kind kind;
};

[[nodiscard]] std::span<const EntryField> EntryFields();

// Field value as the phonebook stores it: DWORDs in decimal, addresses as
// a.b.c.d, GUIDs as 32 hex digits, texts escaped (see EscapeText).
[[nodiscard]] std::string FieldToText(const RASENTRYA& e, const EntryField& f);
void FieldFromText(RASENTRYA& e, const EntryField& f, std::string_view text);

// Control characters and backslashes as \xHH, so any byte string survives
// one INI line; leading and trailing blanks are escaped too.
[[nodiscard]] std::string EscapeText(std::string_view s);
[[nodiscard]] std::string UnescapeText(std::string_view s);

// A text field of a caller's record, read only up to the field's length.
[[nodiscard]] std::string BoundedText(const char* field, size_t length);
// Copies s into a fixed field, cut to fit, always terminated.
void PutText(char* field, size_t length, std::string_view s);

} // namespace sp::ras
