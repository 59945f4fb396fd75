#include "report/Privacy.h"

#include "platform/base/Cp1251.h"
#include "platform/base/Hex.h"
#include "platform/base/IniFile.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace sp {

namespace {

bool ContainsNoCase(std::string_view text, std::string_view word) {
    const auto it = std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
    return it != text.end();
}

bool PasswordKey(std::string_view key) {
    return ContainsNoCase(key, "password") || ContainsNoCase(key, "pswd") || ContainsNoCase(key, "passwd") ||
           ContainsNoCase(key, "secret");
}

// The phonebook writes control characters, backslashes and edge blanks as \xNN.
std::string Unescape(std::string_view s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && HexDigit(s[i + 2]) >= 0 &&
            HexDigit(s[i + 3]) >= 0) {
            out += static_cast<char>(HexDigit(s[i + 2]) * 16 + HexDigit(s[i + 3]));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

} // namespace

void SecretSet::Add(std::string_view secret) {
    const std::string_view s = TrimSpace(secret);
    if (s.size() >= kMinLength && s != kMasked)
        secrets_.emplace(s);
}

std::string SecretSet::Scrub(std::string_view text) const {
    std::string out(text);
    std::vector<std::string> order(secrets_.begin(), secrets_.end());
    std::sort(order.begin(), order.end(),
              [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
    for (const std::string& s : order) {
        for (size_t pos = out.find(s); pos != std::string::npos; pos = out.find(s, pos + kMasked.size()))
            out.replace(pos, s.size(), kMasked);
    }
    return out;
}

std::string MaskIniPasswords(std::string_view text, SecretSet& found) {
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(pos, end - pos);
        pos = end;
        const size_t eq = line.find('=');
        const std::string_view key =
            eq == std::string_view::npos ? std::string_view() : TrimSpace(line.substr(0, eq));
        if (key.empty() || key.front() == ';' || key.front() == '[' || !PasswordKey(key)) {
            out += line;
            continue;
        }
        std::string_view value = line.substr(eq + 1);
        std::string_view ending;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
            ending = line.substr(line.size() - (ending.size() + 1));
            value.remove_suffix(1);
        }
        out += line.substr(0, eq + 1);
        if (!TrimSpace(value).empty()) {
            // The files are code page 1251; the report's texts are UTF-8.
            for (const std::string& form : {std::string(value), Unescape(value)}) {
                found.Add(form);
                found.Add(Cp1251ToUtf8(form));
            }
            out += kMasked;
        }
        out += ending;
    }
    return out;
}

std::string MaskDialPassword(std::string_view line, SecretSet& found) {
    constexpr std::string_view kField = "Pswd: ";
    const size_t at = line.find(kField);
    if (at == std::string_view::npos)
        return std::string(line);
    const size_t start = at + kField.size();
    std::string_view value = line.substr(start);
    size_t trailing = 0;
    while (trailing < value.size() && value[value.size() - 1 - trailing] == ' ')
        ++trailing;
    value.remove_suffix(trailing);
    found.Add(value);
    std::string out(line.substr(0, start));
    if (!value.empty())
        out += kMasked;
    out += line.substr(line.size() - trailing);
    return out;
}

} // namespace sp
