#include "update/Apn.h"

namespace sp {

namespace {
// One DNS label (RFC 1035 2.3.4).
constexpr size_t kMaxLabelLength = 63;

bool IsLetterOrDigit(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

bool IsLabel(std::string_view label) {
    if (label.empty() || label.size() > kMaxLabelLength)
        return false;
    if (!IsLetterOrDigit(label.front()) || !IsLetterOrDigit(label.back()))
        return false;
    for (const char c : label)
        if (!IsLetterOrDigit(c) && c != '-')
            return false;
    return true;
}
} // namespace

// 3GPP TS 23.003 clause 9.1 (Structure of APN): the APN is one or more
// labels of the letters A-Z and a-z, the digits 0-9 and the hyphen, each
// label beginning and ending with a letter or a digit (RFC 1035, RFC 1123),
// and the whole APN, Network Identifier and Operator Identifier together,
// does not exceed 100 octets; its text here is held to 100 characters.
// Clause 9.1.1: the Network Identifier holds at least one label. Letter
// case is not significant.
bool IsApn(std::string_view text) {
    if (text.empty() || text.size() > kMaxApnLength)
        return false;
    for (;;) {
        const size_t dot = text.find('.');
        if (!IsLabel(text.substr(0, dot)))
            return false;
        if (dot == std::string_view::npos)
            return true;
        text.remove_prefix(dot + 1);
    }
}

} // namespace sp
