#include "platform/base/IniFile.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace sp {

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            start = i + 1;
        }
        ++i;
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

std::string_view TrimSpace(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

namespace {
std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}
} // namespace

IniFile IniFile::Parse(std::string_view text) {
    IniFile f;
    std::string current;
    bool haveSection = false;
    while (!text.empty()) {
        const auto nl = text.find('\n');
        std::string_view line = Trim(text.substr(0, nl));
        text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
        if (line.empty() || line.front() == ';' || line.front() == '#')
            continue;
        if (line.front() == '[') {
            const auto close = line.find(']');
            current = std::string(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
            haveSection = true;
            if (!f.FindMutable(current))
                f.sections_.push_back({current, {}});
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || !haveSection)
            continue;
        f.Set(current, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
    }
    return f;
}

IniFile IniFile::Load(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return Parse(ss.str());
}

std::string IniFile::Text() const {
    std::string out;
    bool first = true;
    for (const auto& s : sections_) {
        if (!first)
            out += "\r\n";
        first = false;
        out += "[" + s.name + "]\r\n";
        for (const auto& e : s.entries)
            out += e.key + "=" + e.value + "\r\n";
    }
    return out;
}

bool IniFile::Save(const std::filesystem::path& path) const {
    const std::string text = Text();
    const std::string tmp = path.string() + ".tmp." + std::to_string(::getpid());
    // The files of a machine root belong to its user alone (the phonebook
    // holds saved passwords).
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    if (!synced || ::rename(tmp.c_str(), path.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
    for (const auto& s : sections_)
        if (EqualsNoCase(s.name, section))
            return &s;
    return nullptr;
}

IniFile::Section* IniFile::FindMutable(std::string_view section) {
    return const_cast<Section*>(Find(section));
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
    if (const Section* s = Find(section))
        for (const auto& e : s->entries)
            if (EqualsNoCase(e.key, key))
                return e.value;
    return std::nullopt;
}

int IniFile::GetInt(std::string_view section, std::string_view key, int fallback) const {
    const auto v = Get(section, key);
    if (!v || v->empty())
        return fallback;
    try {
        size_t used = 0;
        const int n = std::stoi(*v, &used, 0);
        return used == v->size() ? n : fallback;
    } catch (const std::exception&) {
        return fallback;
    }
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    Section* s = FindMutable(section);
    if (!s) {
        sections_.push_back({std::string(section), {}});
        s = &sections_.back();
    }
    for (auto& e : s->entries)
        if (EqualsNoCase(e.key, key)) {
            e.value = std::string(value);
            return;
        }
    s->entries.push_back({std::string(key), std::string(value)});
}

void IniFile::RemoveKey(std::string_view section, std::string_view key) {
    if (Section* s = FindMutable(section))
        std::erase_if(s->entries, [&](const Entry& e) { return EqualsNoCase(e.key, key); });
}

void IniFile::RemoveSection(std::string_view section) {
    std::erase_if(sections_, [&](const Section& s) { return EqualsNoCase(s.name, section); });
}

bool IniFile::HasSection(std::string_view section) const { return Find(section) != nullptr; }

std::vector<std::string> IniFile::SectionNames() const {
    std::vector<std::string> names;
    for (const auto& s : sections_)
        names.push_back(s.name);
    return names;
}

} // namespace sp
