#include "platform/rasman/EntryFields.h"

#include "platform/base/Hex.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace sp::ras {

namespace {

using K = EntryField::Kind;

#define SP_DWORD(n) EntryField{#n, offsetof(RASENTRYA, n), 4, K::Dword}
#define SP_TEXT(n) EntryField{#n, offsetof(RASENTRYA, n), sizeof(RASENTRYA::n), K::Text}
#define SP_IP(n) EntryField{#n, offsetof(RASENTRYA, n), 4, K::IpAddr}

const std::array kFields = {
    SP_DWORD(dwfOptions), SP_DWORD(dwCountryID), SP_DWORD(dwCountryCode), SP_TEXT(szAreaCode),
    SP_TEXT(szLocalPhoneNumber), SP_DWORD(dwAlternateOffset), SP_IP(ipaddr), SP_IP(ipaddrDns),
    SP_IP(ipaddrDnsAlt), SP_IP(ipaddrWins), SP_IP(ipaddrWinsAlt), SP_DWORD(dwFrameSize),
    SP_DWORD(dwfNetProtocols), SP_DWORD(dwFramingProtocol), SP_TEXT(szScript),
    SP_TEXT(szAutodialDll), SP_TEXT(szAutodialFunc), SP_TEXT(szDeviceType), SP_TEXT(szDeviceName),
    SP_TEXT(szX25PadType), SP_TEXT(szX25Address), SP_TEXT(szX25Facilities), SP_TEXT(szX25UserData),
    SP_DWORD(dwChannels), SP_DWORD(dwReserved1), SP_DWORD(dwReserved2), SP_DWORD(dwSubEntries),
    SP_DWORD(dwDialMode), SP_DWORD(dwDialExtraPercent), SP_DWORD(dwDialExtraSampleSeconds),
    SP_DWORD(dwHangUpExtraPercent), SP_DWORD(dwHangUpExtraSampleSeconds),
    SP_DWORD(dwIdleDisconnectSeconds), SP_DWORD(dwType), SP_DWORD(dwEncryptionType),
    SP_DWORD(dwCustomAuthKey), EntryField{"guidId", offsetof(RASENTRYA, guidId), 16, K::Guid},
    SP_TEXT(szCustomDialDll), SP_DWORD(dwVpnStrategy), SP_DWORD(dwfOptions2),
    SP_DWORD(dwfOptions3), SP_TEXT(szDnsSuffix), SP_DWORD(dwTcpWindowSize),
    SP_TEXT(szPrerequisitePbk), SP_TEXT(szPrerequisiteEntry), SP_DWORD(dwRedialCount),
    SP_DWORD(dwRedialPause),
};

#undef SP_DWORD
#undef SP_TEXT
#undef SP_IP

} // namespace

std::span<const EntryField> EntryFields() { return kFields; }

std::string BoundedText(const char* field, size_t length)
{
    return std::string(field, strnlen(field, length));
}

void PutText(char* field, size_t length, std::string_view s)
{
    if (length == 0)
        return;
    const size_t n = std::min(s.size(), length - 1);
    std::memcpy(field, s.data(), n);
    std::memset(field + n, 0, length - n);
}

std::string EscapeText(std::string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        const bool edgeBlank = c == ' ' && (i == 0 || i + 1 == s.size());
        if (c < 0x20 || c == 0x7F || c == '\\' || edgeBlank) {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string UnescapeText(std::string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() + 0 && s[i + 1] == 'x') {
            const int hi = HexDigit(s[i + 2]);
            const int lo = i + 3 < s.size() ? HexDigit(s[i + 3]) : -1;
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

std::string FieldToText(const RASENTRYA& e, const EntryField& f)
{
    const auto* base = reinterpret_cast<const unsigned char*>(&e) + f.offset;
    switch (f.kind) {
    case K::Dword: {
        uint32_t v;
        std::memcpy(&v, base, 4);
        return std::to_string(v);
    }
    case K::IpAddr:
        return std::to_string(base[0]) + "." + std::to_string(base[1]) + "." + std::to_string(base[2])
            + "." + std::to_string(base[3]);
    case K::Guid: {
        std::string s;
        for (uint32_t i = 0; i < f.length; ++i) {
            char buf[3];
            std::snprintf(buf, sizeof buf, "%02X", base[i]);
            s += buf;
        }
        return s;
    }
    case K::Text:
        return EscapeText(BoundedText(reinterpret_cast<const char*>(base), f.length));
    }
    return {};
}

void FieldFromText(RASENTRYA& e, const EntryField& f, std::string_view text)
{
    auto* base = reinterpret_cast<unsigned char*>(&e) + f.offset;
    switch (f.kind) {
    case K::Dword: {
        uint32_t v = 0;
        std::from_chars(text.data(), text.data() + text.size(), v);
        std::memcpy(base, &v, 4);
        return;
    }
    case K::IpAddr: {
        unsigned char parts[4] = {0, 0, 0, 0};
        const char* p = text.data();
        const char* end = p + text.size();
        for (int i = 0; i < 4 && p < end; ++i) {
            unsigned v = 0;
            auto r = std::from_chars(p, end, v);
            parts[i] = static_cast<unsigned char>(v & 0xFF);
            p = r.ptr;
            if (p < end && *p == '.')
                ++p;
        }
        std::memcpy(base, parts, 4);
        return;
    }
    case K::Guid:
        for (uint32_t i = 0; i < f.length && 2 * i + 1 < text.size(); ++i) {
            const int hi = HexDigit(text[2 * i]);
            const int lo = HexDigit(text[2 * i + 1]);
            base[i] = static_cast<unsigned char>(hi < 0 || lo < 0 ? 0 : hi * 16 + lo);
        }
        return;
    case K::Text:
        PutText(reinterpret_cast<char*>(base), f.length, UnescapeText(text));
        return;
    }
}

} // namespace sp::ras
