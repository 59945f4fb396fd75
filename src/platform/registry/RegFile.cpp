#include "platform/registry/RegFile.h"

#include "platform/base/Hex.h"

#include "platform/base/Cp1251.h"

#include <cstdio>

namespace sp {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i];
        if (a >= 'A' && a <= 'Z')
            a = static_cast<char>(a - 'A' + 'a');
        if (a != prefix[i])
            return false;
    }
    return true;
}

class Parser {
public:
    explicit Parser(std::string_view text) {
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string_view::npos)
                end = text.size();
            lines_.push_back(text.substr(pos, end - pos));
            pos = end + 1;
        }
    }

    RegFileContent Run() {
        RegFileContent content;
        bool header = false;
        for (index_ = 0; index_ < lines_.size(); ++index_) {
            const std::string_view line = Trim(lines_[index_]);
            if (line.empty() || line.front() == ';')
                continue;
            if (!header) {
                if (line != kHeader)
                    Error("the file does not begin with REGEDIT4");
                header = true;
                continue;
            }
            if (line.front() == '[') {
                if (line.back() != ']')
                    Error("a key line must end with ]");
                RegFileKey key;
                key.line = LineNo();
                std::string_view path = line.substr(1, line.size() - 2);
                if (!path.empty() && path.front() == '-') {
                    key.remove = true;
                    path.remove_prefix(1);
                }
                if (Trim(path).empty())
                    Error("empty key name");
                if (path.find("\\\\") != std::string_view::npos || path.back() == '\\')
                    Error("an empty part in the key name");
                if (path.back() == ']')
                    Error("a key line must end with a single ]");
                key.path = Cp1251ToUtf8(path);
                content.keys.push_back(std::move(key));
                continue;
            }
            if (content.keys.empty())
                Error("a value before the first key");
            RegFileKey& key = content.keys.back();
            RegFileValue v = ParseValue(line);
            if (key.remove)
                Error("a value under a key that is deleted");
            key.values.push_back(std::move(v));
        }
        if (!header) {
            index_ = 0;
            Error("the file does not begin with REGEDIT4");
        }
        return content;
    }

private:
    [[noreturn]] void Error(const std::string& what) const { throw ERegFileSyntax(LineNo(), what); }
    int LineNo() const { return static_cast<int>(index_) + 1; }

    // A quoted text with \\ and \" escapes; pos is at the opening quote and
    // ends after the closing one.
    std::string Quoted(std::string_view s, size_t& pos) const {
        std::string out;
        ++pos;
        while (pos < s.size()) {
            const char c = s[pos++];
            if (c == '"')
                return out;
            if (c == '\\') {
                if (pos >= s.size())
                    break;
                const char e = s[pos++];
                if (e != '\\' && e != '"')
                    Error(std::string("unknown escape \\") + e);
                out += e;
            } else {
                out += c;
            }
        }
        Error("a text without its closing quote");
    }

    RegFileValue ParseValue(std::string_view line) {
        RegFileValue v;
        size_t pos = 0;
        if (line.front() == '@') {
            pos = 1;
        } else if (line.front() == '"') {
            v.name = Cp1251ToUtf8(Quoted(line, pos));
        } else {
            Error("a line that is neither a key nor a value");
        }
        std::string_view rest = Trim(line.substr(pos));
        if (rest.empty() || rest.front() != '=')
            Error("= expected after the value name");
        rest = Trim(rest.substr(1));
        if (rest == "-") {
            v.remove = true;
        } else if (!rest.empty() && rest.front() == '"') {
            size_t p = 0;
            const std::string text = Quoted(rest, p);
            if (!Trim(rest.substr(p)).empty())
                Error("text after the closing quote");
            v.type = RegType::Sz;
            v.data.assign(text.begin(), text.end());
        } else if (StartsWithNoCase(rest, "dword:")) {
            const std::string_view digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8)
                Error("a dword needs 1 to 8 hexadecimal digits");
            uint32_t n = 0;
            for (char c : digits) {
                const int h = HexDigit(c);
                if (h < 0)
                    Error("a dword needs 1 to 8 hexadecimal digits");
                n = n << 4 | static_cast<uint32_t>(h);
            }
            v.type = RegType::Dword;
            v.data = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                      static_cast<uint8_t>(n >> 24)};
        } else if (StartsWithNoCase(rest, "hex")) {
            ParseHex(rest.substr(3), v);
        } else {
            Error("unknown kind of data");
        }
        return v;
    }

    // After "hex": ":bytes" or "(type):bytes"; lines ending in "\" go on in
    // the next line.
    void ParseHex(std::string_view s, RegFileValue& v) {
        unsigned kind = 3;
        if (!s.empty() && s.front() == '(') {
            const size_t close = s.find(')');
            if (close == std::string_view::npos || close == 1)
                Error("hex(type) expected");
            kind = 0;
            for (char c : s.substr(1, close - 1)) {
                const int h = HexDigit(c);
                if (h < 0 || kind > 0xFFFF)
                    Error("hex(type) expected");
                kind = kind * 16 + static_cast<unsigned>(h);
            }
            s = s.substr(close + 1);
        }
        if (s.empty() || s.front() != ':')
            Error(": expected after hex");
        std::string all(s.substr(1));
        while (!Trim(all).empty() && Trim(all).back() == '\\') {
            all = std::string(Trim(all));
            all.pop_back();
            if (++index_ >= lines_.size())
                Error("the file ends inside a value");
            all += Trim(lines_[index_]);
        }
        std::vector<uint8_t> bytes;
        size_t pos = 0;
        const std::string_view a = Trim(all);
        while (pos < a.size()) {
            while (pos < a.size() && (a[pos] == ' ' || a[pos] == '\t'))
                ++pos;
            const size_t start = pos;
            while (pos < a.size() && a[pos] != ',')
                ++pos;
            const std::string_view item = Trim(a.substr(start, pos - start));
            if (item.empty() || item.size() > 2 || HexDigit(item[0]) < 0 ||
                (item.size() == 2 && HexDigit(item[1]) < 0))
                Error("hexadecimal bytes separated by commas expected");
            bytes.push_back(static_cast<uint8_t>(item.size() == 1 ? HexDigit(item[0])
                                                                  : HexDigit(item[0]) * 16 + HexDigit(item[1])));
            if (pos < a.size() && ++pos == a.size())
                Error("a comma at the end of the bytes");
        }
        switch (kind) {
        case 1: // REG_SZ as bytes; the text ends at its zero
            v.type = RegType::Sz;
            for (size_t i = 0; i < bytes.size(); ++i)
                if (bytes[i] == 0) {
                    bytes.resize(i);
                    break;
                }
            break;
        case 3:
            v.type = RegType::Binary;
            break;
        case 4:
            if (bytes.size() != 4)
                Error("hex(4) needs four bytes");
            v.type = RegType::Dword;
            break;
        default:
            Error("registry type " + std::to_string(kind) + " is not supported");
        }
        v.data = std::move(bytes);
    }

    std::vector<std::string_view> lines_;
    size_t index_ = 0;
};

std::string Escape(std::string_view s) {
    std::string out;
    for (char c : s) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out;
}

std::string HexList(const std::vector<uint8_t>& data, bool zero) {
    std::string out;
    char buf[4];
    for (size_t i = 0; i < data.size() + (zero ? 1 : 0); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", i < data.size() ? data[i] : 0);
        if (i > 0)
            out += ',';
        out += buf;
    }
    return out;
}

} // namespace

RegFileContent ParseRegFile(std::string_view text) { return Parser(text).Run(); }

std::string FormatRegFile(const RegFileContent& content) {
    std::string out(kHeader);
    out += "\r\n\r\n";
    for (const RegFileKey& key : content.keys) {
        out += key.remove ? "[-" : "[";
        out += Utf8ToCp1251(key.path);
        out += "]\r\n";
        for (const RegFileValue& v : key.values) {
            out += v.name.empty() ? std::string("@") : "\"" + Escape(Utf8ToCp1251(v.name)) + "\"";
            out += '=';
            if (v.remove) {
                out += '-';
            } else if (v.type == RegType::Dword && v.data.size() == 4) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%08x",
                              static_cast<unsigned>(v.data[0] | v.data[1] << 8 | v.data[2] << 16 |
                                                    static_cast<uint32_t>(v.data[3]) << 24));
                out += buf;
            } else if (v.type == RegType::Sz) {
                // A line break inside the text would end the line of the file,
                // so such texts go as bytes; they read back the same.
                bool plain = true;
                for (uint8_t b : v.data)
                    plain = plain && b >= 0x20;
                if (plain)
                    out += "\"" + Escape(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size())) + "\"";
                else
                    out += "hex(1):" + HexList(v.data, true);
            } else {
                out += "hex:" + HexList(v.data, false);
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

} // namespace sp
