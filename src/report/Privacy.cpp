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


bool WordChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool StartsNoCase(std::string_view text, size_t at, std::string_view word) {
    if (text.size() - at < word.size())
        return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != word[i])
            return false;
    return true;
}

// The value with the word after each password word masked; the words found.
std::string MaskWords(std::string_view value, std::vector<std::string>& words) {
    std::string out;
    size_t i = 0;
    while (i < value.size()) {
        size_t len = 0;
        if (i == 0 || !WordChar(value[i - 1]))
            for (std::string_view w : {"password", "passwd", "pin"})
                if (StartsNoCase(value, i, w) && (i + w.size() == value.size() || !WordChar(value[i + w.size()]))) {
                    len = w.size();
                    break;
                }
        if (len == 0) {
            out += value[i++];
            continue;
        }
        size_t j = i + len;
        while (j < value.size() && (value[j] == ' ' || value[j] == '\t' || value[j] == '=' || value[j] == ':'))
            ++j;
        size_t start = j, end = j;
        if (j < value.size() && (value[j] == '"' || value[j] == '\'')) {
            start = j + 1;
            end = value.find(value[j], start);
            if (end == std::string_view::npos)
                end = value.size();
        } else {
            while (end < value.size() && value[end] != ' ' && value[end] != '\t' && value[end] != '"' &&
                   value[end] != '\'' && value[end] != '\r' && value[end] != '\n')
                ++end;
        }
        out += value.substr(i, start - i);
        if (end > start) {
            words.emplace_back(value.substr(start, end - start));
            out += kMasked;
        }
        i = end;
    }
    return out;
}

void AddForms(std::string_view secret, SecretSet& found) {
    // The files are code page 1251; the report's texts are UTF-8.
    for (const std::string& form : {std::string(secret), Unescape(secret)}) {
        found.Add(form);
        found.Add(Cp1251ToUtf8(form));
    }
}

// One argument of an AT command at `at`: quoted (also with the quotes
// escaped as a .reg file writes them) or bare; its end, or npos.
size_t ArgumentEnd(std::string_view text, size_t at) {
    if (text.substr(at, 2) == "\\\"") {
        const size_t close = text.find("\\\"", at + 2);
        return close == std::string_view::npos ? std::string_view::npos : close + 2;
    }
    if (at < text.size() && text[at] == '"') {
        const size_t close = text.find('"', at + 1);
        return close == std::string_view::npos ? std::string_view::npos : close + 1;
    }
    size_t end = at;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) != 0 || text[end] == '#' ||
                                 text[end] == '*' || text[end] == '-' || text[end] == '_'))
        ++end;
    return end == at ? std::string_view::npos : end;
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
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    for (const std::string& s : order) {
        // A PIN is digits: masked as a number of its own, never as a part of
        // a byte count or a time, which would leave the report misleading.
        const bool number = std::all_of(s.begin(), s.end(), isDigit);
        for (size_t pos = out.find(s); pos != std::string::npos;) {
            const bool inside = number && ((pos > 0 && isDigit(out[pos - 1])) ||
                                           (pos + s.size() < out.size() && isDigit(out[pos + s.size()])));
            if (inside) {
                pos = out.find(s, pos + 1);
                continue;
            }
            out.replace(pos, s.size(), kMasked);
            pos = out.find(s, pos + kMasked.size());
        }
    }
    return out;
}

std::string MaskSecretWords(std::string_view value, SecretSet& found) {
    std::vector<std::string> words;
    std::string out = MaskWords(value, words);
    for (const std::string& w : words)
        found.Add(w);
    return out;
}

std::string MaskInitSecrets(std::string_view text, SecretSet& found) {
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t len = 0;
        if (text[i] == '+')
            for (std::string_view name : {"+cpin2", "+cpin", "+clck", "+cpwd"})
                if (StartsNoCase(text, i, name)) {
                    len = name.size();
                    break;
                }
        size_t eq = i + len;
        while (len != 0 && eq < text.size() && text[eq] == ' ')
            ++eq;
        if (len == 0 || eq >= text.size() || text[eq] != '=' || text.substr(eq, 2) == "=?") {
            out += text[i++];
            continue;
        }
        // The arguments, separated by commas; what follows the last one stays.
        size_t end = eq + 1;
        for (size_t at = end;;) {
            while (at < text.size() && text[at] == ' ')
                ++at;
            const size_t argEnd = ArgumentEnd(text, at);
            if (argEnd == std::string_view::npos)
                break;
            std::string_view arg = text.substr(at, argEnd - at);
            while (!arg.empty() && (arg.front() == '"' || arg.front() == '\\'))
                arg.remove_prefix(1);
            while (!arg.empty() && (arg.back() == '"' || arg.back() == '\\'))
                arg.remove_suffix(1);
            AddForms(arg, found);
            end = argEnd;
            at = argEnd;
            while (at < text.size() && text[at] == ' ')
                ++at;
            if (at >= text.size() || text[at] != ',')
                break;
            ++at;
        }
        out += text.substr(i, eq + 1 - i);
        if (end > eq + 1)
            out += kMasked;
        i = end;
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
        std::string_view key = eq == std::string_view::npos ? std::string_view() : TrimSpace(line.substr(0, eq));
        // A line commented out still holds what was once saved.
        while (!key.empty() && (key.front() == ';' || key.front() == '#'))
            key = TrimSpace(key.substr(1));
        const std::string_view trimmed = TrimSpace(line);
        if (!trimmed.empty() && trimmed.front() == '[') {
            out += line;
            continue;
        }
        const size_t valueAt = eq == std::string_view::npos ? 0 : eq + 1;
        std::string_view value = line.substr(valueAt);
        std::string_view ending;
        while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) {
            ending = line.substr(line.size() - (ending.size() + 1));
            value.remove_suffix(1);
        }
        out += line.substr(0, valueAt);
        if (key.empty() || !PasswordKey(key)) {
            std::vector<std::string> words;
            out += MaskWords(value, words);
            for (const std::string& w : words)
                AddForms(w, found);
        } else if (!TrimSpace(value).empty()) {
            AddForms(value, found);
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
