#include "platform/rasman/ModemAnswers.h"

#include "platform/base/IniFile.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <vector>

namespace sp::ras {

namespace {

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && EqualsNoCase(s.substr(0, prefix.size()), prefix);
}

// The answer's fields after "+XXX:", split at commas outside quotes; quotes
// are kept, so a field can be told quoted or not.
std::optional<std::vector<std::string_view>> Fields(std::string_view line, std::string_view prefix)
{
    line = TrimSpace(line);
    if (!StartsWithNoCase(line, prefix) || line.size() <= prefix.size() || line[prefix.size()] != ':')
        return std::nullopt;
    std::string_view rest = TrimSpace(line.substr(prefix.size() + 1));
    std::vector<std::string_view> out;
    size_t start = 0;
    bool quoted = false;
    for (size_t i = 0; i <= rest.size(); ++i) {
        if (i < rest.size() && rest[i] == '"')
            quoted = !quoted;
        if (i == rest.size() || (rest[i] == ',' && !quoted)) {
            out.push_back(TrimSpace(rest.substr(start, i - start)));
            start = i + 1;
        }
        if (out.size() > 16)
            return std::nullopt; // no answer of these has that many
    }
    return out;
}

std::optional<int> Number(std::string_view field)
{
    int v = 0;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), v, 10);
    if (ec != std::errc() || end != field.data() + field.size() || field.empty())
        return std::nullopt;
    return v;
}

std::optional<std::string_view> Quoted(std::string_view field)
{
    if (field.size() < 2 || field.front() != '"' || field.back() != '"')
        return std::nullopt;
    return field.substr(1, field.size() - 2);
}

void PutUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// The next code point of UTF-8 text, or nothing for a byte that does not
// begin a well-formed character (it is then skipped by one byte).
std::optional<uint32_t> NextUtf8(std::string_view s, size_t& i)
{
    const auto b = static_cast<unsigned char>(s[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (len == 0 || i + len > s.size()) {
        ++i;
        return std::nullopt;
    }
    uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c >> 6) != 2) {
            ++i;
            return std::nullopt;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return std::nullopt;
    }
    i += len;
    return cp;
}

// Printable code points only: the C0 and C1 controls, DEL, quotes and the
// backslash become blanks, blanks are folded; at most `maxChars` characters
// and `maxBytes` bytes.
std::string Clean(const std::vector<uint32_t>& cps, size_t maxChars, size_t maxBytes)
{
    std::string out;
    size_t chars = 0;
    for (uint32_t cp : cps) {
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == '"' || cp == '\\' || cp == 0x2028 || cp == 0x2029
            || cp == 0xFEFF)
            cp = ' ';
        if (cp == ' ' && (out.empty() || out.back() == ' '))
            continue;
        std::string one;
        PutUtf8(one, cp);
        if (chars + 1 > maxChars || out.size() + one.size() > maxBytes)
            break;
        out += one;
        ++chars;
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::vector<uint32_t> CodePoints(std::string_view utf8)
{
    std::vector<uint32_t> cps;
    for (size_t i = 0; i < utf8.size() && cps.size() < 4096;) {
        const auto cp = NextUtf8(utf8, i);
        cps.push_back(cp.value_or(' '));
    }
    return cps;
}

// 3GPP TS 23.038's default alphabet, and its extension after the escape 0x1B.
constexpr std::array<uint16_t, 128> kGsm7 = {
    0x0040, 0x00A3, 0x0024, 0x00A5, 0x00E8, 0x00E9, 0x00F9, 0x00EC, 0x00F2, 0x00C7, 0x000A, 0x00D8, 0x00F8, 0x000D,
    0x00C5, 0x00E5, 0x0394, 0x005F, 0x03A6, 0x0393, 0x039B, 0x03A9, 0x03A0, 0x03A8, 0x03A3, 0x0398, 0x039E, 0x001B,
    0x00C6, 0x00E6, 0x00DF, 0x00C9, 0x0020, 0x0021, 0x0022, 0x0023, 0x00A4, 0x0025, 0x0026, 0x0027, 0x0028, 0x0029,
    0x002A, 0x002B, 0x002C, 0x002D, 0x002E, 0x002F, 0x0030, 0x0031, 0x0032, 0x0033, 0x0034, 0x0035, 0x0036, 0x0037,
    0x0038, 0x0039, 0x003A, 0x003B, 0x003C, 0x003D, 0x003E, 0x003F, 0x00A1, 0x0041, 0x0042, 0x0043, 0x0044, 0x0045,
    0x0046, 0x0047, 0x0048, 0x0049, 0x004A, 0x004B, 0x004C, 0x004D, 0x004E, 0x004F, 0x0050, 0x0051, 0x0052, 0x0053,
    0x0054, 0x0055, 0x0056, 0x0057, 0x0058, 0x0059, 0x005A, 0x00C4, 0x00D6, 0x00D1, 0x00DC, 0x00A7, 0x00BF, 0x0061,
    0x0062, 0x0063, 0x0064, 0x0065, 0x0066, 0x0067, 0x0068, 0x0069, 0x006A, 0x006B, 0x006C, 0x006D, 0x006E, 0x006F,
    0x0070, 0x0071, 0x0072, 0x0073, 0x0074, 0x0075, 0x0076, 0x0077, 0x0078, 0x0079, 0x007A, 0x00E4, 0x00F6, 0x00F1,
    0x00FC, 0x00E0};
struct Gsm7Extension {
    uint8_t septet;
    uint16_t cp;
};
constexpr Gsm7Extension kGsm7Extension[] = {{0x0A, 0x000C}, {0x14, '^'}, {0x28, '{'}, {0x29, '}'}, {0x2F, '\\'},
                                            {0x3C, '['},    {0x3D, '~'}, {0x3E, ']'}, {0x40, '|'}, {0x65, 0x20AC}};

std::vector<uint32_t> Gsm7ToCodePoints(const std::vector<uint8_t>& septets)
{
    std::vector<uint32_t> cps;
    for (size_t i = 0; i < septets.size(); ++i) {
        if (septets[i] == 0x1B && i + 1 < septets.size()) {
            const uint8_t next = septets[++i];
            const auto it = std::find_if(std::begin(kGsm7Extension), std::end(kGsm7Extension),
                                         [&](const Gsm7Extension& e) { return e.septet == next; });
            cps.push_back(it != std::end(kGsm7Extension) ? it->cp : ' ');
            continue;
        }
        cps.push_back(kGsm7[septets[i] & 0x7F]);
    }
    return cps;
}

std::optional<std::vector<uint8_t>> HexBytes(std::string_view hex)
{
    if (hex.empty() || hex.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        uint8_t v = 0;
        const auto [end, ec] = std::from_chars(hex.data() + i, hex.data() + i + 2, v, 16);
        if (ec != std::errc() || end != hex.data() + i + 2)
            return std::nullopt;
        out.push_back(v);
    }
    return out;
}

std::vector<uint8_t> Unpack7(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> septets;
    const size_t count = bytes.size() * 8 / 7;
    for (size_t i = 0; i < count; ++i) {
        const size_t bit = i * 7;
        const size_t byte = bit / 8;
        const unsigned shift = bit % 8;
        unsigned v = bytes[byte] >> shift;
        if (shift > 1 && byte + 1 < bytes.size())
            v |= static_cast<unsigned>(bytes[byte + 1]) << (8 - shift);
        septets.push_back(static_cast<uint8_t>(v & 0x7F));
    }
    // Seven spare bits at the end are a carriage return (23.038, 6.1.2.3.1).
    if (bytes.size() * 8 % 7 == 0 && !septets.empty() && septets.back() == 0x0D)
        septets.pop_back();
    return septets;
}

enum class Alphabet { Gsm7, EightBit, Ucs2, Unknown };

Alphabet AlphabetOf(int dcs, bool& languageFirst)
{
    languageFirst = false;
    if (dcs < 0)
        return Alphabet::Gsm7;
    const int group = (dcs >> 4) & 0x0F;
    if (group == 0x0 || group == 0x2 || group == 0x3)
        return Alphabet::Gsm7;
    if (group == 0x1) {
        languageFirst = true;
        return (dcs & 0x0F) == 0x01 ? Alphabet::Ucs2 : (dcs & 0x0F) == 0x00 ? Alphabet::Gsm7 : Alphabet::Unknown;
    }
    if ((group >= 0x4 && group <= 0x7) || group == 0x9) {
        if (dcs & 0x20)
            return Alphabet::Unknown; // compressed
        switch ((dcs >> 2) & 0x03) {
        case 0: return Alphabet::Gsm7;
        case 1: return Alphabet::EightBit;
        case 2: return Alphabet::Ucs2;
        default: return Alphabet::Unknown;
        }
    }
    if (group == 0xF)
        return (dcs & 0x04) ? Alphabet::EightBit : Alphabet::Gsm7;
    return Alphabet::Unknown;
}

bool AllHex(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isxdigit(c); });
}

} // namespace

std::string PrintableText(std::string_view raw, size_t max) { return Clean(CodePoints(raw), max, max); }

std::optional<SimState> ParseCpin(std::string_view line, std::string* word)
{
    const auto f = Fields(line, "+CPIN");
    if (!f || f->empty())
        return std::nullopt;
    std::string_view w = (*f)[0];
    if (const auto q = Quoted(w))
        w = *q;
    if (EqualsNoCase(w, "READY"))
        return SimState::Ready;
    if (EqualsNoCase(w, "SIM PIN"))
        return SimState::PinWanted;
    if (EqualsNoCase(w, "SIM PUK"))
        return SimState::PukWanted;
    if (word != nullptr)
        *word = PrintableText(w, 24);
    return SimState::Other;
}

std::optional<SimState> SimFromCmeError(std::string_view line)
{
    const auto f = Fields(line, "+CME ERROR");
    if (!f || f->size() != 1)
        return std::nullopt;
    const std::string_view what = (*f)[0];
    // 27.007 9.2.1: numeric, or the verbose text
    if (const auto n = Number(what)) {
        switch (*n) {
        case 10:
        case 13:
        case 15: return SimState::NoSim; // not inserted, failure, wrong
        case 11: return SimState::PinWanted;
        case 12: return SimState::PukWanted;
        default: return std::nullopt;
        }
    }
    const std::string u = PrintableText(what, 64);
    auto has = [&](std::string_view s) {
        return std::search(u.begin(), u.end(), s.begin(), s.end(),
                           [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; })
            != u.end();
    };
    if (has("SIM NOT INSERTED") || has("SIM FAILURE") || has("SIM WRONG"))
        return SimState::NoSim;
    if (has("SIM PUK REQUIRED"))
        return SimState::PukWanted;
    if (has("SIM PIN REQUIRED"))
        return SimState::PinWanted;
    return std::nullopt;
}

std::optional<Registration> ParseRegistration(std::string_view line, std::string_view prefix)
{
    const auto f = Fields(line, prefix);
    if (!f || f->empty())
        return std::nullopt;
    // The read form is "<n>,<stat>[,...]"; an unsolicited one "<stat>[,...]".
    // With two fields or more the second is the state, unless the second is
    // quoted (an unsolicited code with its location).
    const bool readForm = f->size() >= 2 && !(*f)[1].empty() && (*f)[1].front() != '"';
    const auto stat = Number((*f)[readForm ? 1 : 0]);
    if (!stat)
        return std::nullopt;
    switch (*stat) {
    case 1: return Registration::Home;
    case 5: return Registration::Roaming;
    case 2: return Registration::Searching;
    case 3: return Registration::Denied;
    case 0: return Registration::NotRegistered;
    case 6:
    case 7: return Registration::Home; // SMS only (LTE): registered
    case 9:
    case 10: return Registration::Roaming;
    default: return Registration::Unknown;
    }
}

std::optional<uint32_t> ParseCsq(std::string_view line)
{
    const auto f = Fields(line, "+CSQ");
    if (!f || f->empty())
        return std::nullopt;
    const auto rssi = Number((*f)[0]);
    if (!rssi || *rssi < 0 || (*rssi > 31 && *rssi != 99))
        return std::nullopt;
    return static_cast<uint32_t>(*rssi);
}

std::optional<std::string> ParseCops(std::string_view line)
{
    const auto f = Fields(line, "+COPS");
    if (!f || f->empty() || !Number((*f)[0]))
        return std::nullopt;
    if (f->size() < 3)
        return std::string();
    const auto name = Quoted((*f)[2]);
    if (!name)
        return std::nullopt;
    return PrintableText(*name, kMaxOperatorName);
}

std::optional<UssdLine> ParseCusd(std::string_view line)
{
    const auto f = Fields(line, "+CUSD");
    if (!f || f->empty())
        return std::nullopt;
    const auto status = Number((*f)[0]);
    if (!status || *status < 0 || *status > 5)
        return std::nullopt;
    UssdLine u;
    u.status = *status;
    if (f->size() >= 2) {
        const auto text = Quoted((*f)[1]);
        if (!text)
            return std::nullopt;
        u.text = std::string(*text);
    }
    if (f->size() >= 3) {
        const auto dcs = Number((*f)[2]);
        if (!dcs || *dcs < 0 || *dcs > 255)
            return std::nullopt;
        u.dcs = *dcs;
    }
    return u;
}

std::optional<std::string> DecodeUssd(std::string_view text, int dcs)
{
    if (text.size() > kMaxUssdRaw)
        return std::nullopt;
    bool languageFirst = false;
    const Alphabet alphabet = AlphabetOf(dcs, languageFirst);
    std::vector<uint32_t> cps;
    switch (alphabet) {
    case Alphabet::Ucs2: {
        const auto bytes = HexBytes(text);
        if (!bytes || bytes->size() % 2 != 0)
            return std::nullopt;
        for (size_t i = 0; i + 1 < bytes->size(); i += 2) {
            uint32_t cp = (static_cast<uint32_t>((*bytes)[i]) << 8) | (*bytes)[i + 1];
            if (cp >= 0xD800 && cp <= 0xDFFF)
                cp = ' '; // UCS-2 has no surrogates
            cps.push_back(cp);
        }
        if (languageFirst && cps.size() >= 1)
            cps.erase(cps.begin()); // the language, packed as one character
        break;
    }
    case Alphabet::EightBit: {
        const auto bytes = HexBytes(text);
        if (!bytes)
            return std::nullopt;
        for (const uint8_t b : *bytes)
            cps.push_back(b < 0x80 ? b : ' ');
        break;
    }
    case Alphabet::Gsm7: {
        // Many modems hand the septets over packed, in hex; others convert
        // them to text. Hex that unpacks into printable text is taken as
        // packed, anything else as text.
        std::optional<std::vector<uint32_t>> packed;
        if (AllHex(text)) {
            if (const auto bytes = HexBytes(text)) {
                auto unpacked = Gsm7ToCodePoints(Unpack7(*bytes));
                const bool printable = std::all_of(unpacked.begin(), unpacked.end(), [](uint32_t cp) {
                    return cp >= 0x20 || cp == '\n' || cp == '\r';
                });
                if (printable)
                    packed = std::move(unpacked);
            }
        }
        cps = packed ? *packed : CodePoints(text);
        if (languageFirst && cps.size() >= 3)
            cps.erase(cps.begin(), cps.begin() + 3); // two letters and a carriage return
        break;
    }
    case Alphabet::Unknown: return std::nullopt;
    }
    return Clean(cps, kMaxUssdChars, kMaxUssdChars * 4);
}

std::optional<std::string> UssdText(std::string_view utf8)
{
    if (utf8.size() > kMaxUssdRaw)
        return std::nullopt;
    return Clean(CodePoints(utf8), kMaxUssdChars, kMaxUssdChars * 4);
}

EncodedUssd EncodeUssd(std::string_view utf8, UssdCoding coding)
{
    const std::vector<uint32_t> cps = CodePoints(utf8);
    EncodedUssd e;
    static constexpr char kHex[] = "0123456789ABCDEF";
    auto hexByte = [&](uint8_t b) {
        e.text += kHex[b >> 4];
        e.text += kHex[b & 0x0F];
    };
    switch (coding) {
    case UssdCoding::Text:
        e.text = std::string(utf8);
        e.dcs = 15;
        break;
    case UssdCoding::Ucs2:
        e.dcs = 72;
        for (uint32_t cp : cps) {
            if (cp > 0xFFFF)
                cp = '?';
            hexByte(static_cast<uint8_t>(cp >> 8));
            hexByte(static_cast<uint8_t>(cp & 0xFF));
        }
        break;
    case UssdCoding::Gsm7Packed: {
        e.dcs = 15;
        std::vector<uint8_t> septets;
        for (const uint32_t cp : cps) {
            const auto basic = std::find(kGsm7.begin(), kGsm7.end(), cp);
            if (basic != kGsm7.end() && cp != 0x1B) {
                septets.push_back(static_cast<uint8_t>(basic - kGsm7.begin()));
                continue;
            }
            const auto ext = std::find_if(std::begin(kGsm7Extension), std::end(kGsm7Extension),
                                          [&](const Gsm7Extension& x) { return x.cp == cp; });
            if (ext != std::end(kGsm7Extension)) {
                septets.push_back(0x1B);
                septets.push_back(ext->septet);
            } else {
                septets.push_back(0x3F); // '?'
            }
        }
        if (septets.size() % 8 == 7)
            septets.push_back(0x0D); // seven spare bits: a carriage return
        std::vector<uint8_t> bytes((septets.size() * 7 + 7) / 8, 0);
        for (size_t i = 0; i < septets.size(); ++i) {
            const size_t bit = i * 7;
            bytes[bit / 8] |= static_cast<uint8_t>(septets[i] << (bit % 8));
            if (bit % 8 > 1 && bit / 8 + 1 < bytes.size())
                bytes[bit / 8 + 1] |= static_cast<uint8_t>(septets[i] >> (8 - bit % 8));
        }
        for (const uint8_t b : bytes)
            hexByte(b);
        break;
    }
    }
    return e;
}

} // namespace sp::ras
