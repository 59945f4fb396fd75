#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sp {

// A Windows-style INI file: [section] and key=value lines. Section and key
// names compare without letter case; order of first appearance is kept, so a
// file written back reads the same. Values are kept as bytes.
class IniFile {
public:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };

    // A missing or unreadable file gives an empty IniFile.
    [[nodiscard]] static IniFile Load(const std::filesystem::path& path);
    [[nodiscard]] static IniFile Parse(std::string_view text);

    // Written to a temporary file, flushed and renamed over the old one, so a
    // crash leaves either the old or the new file, never half of one.
    // The file is its owner's alone (mode 0600). Returns false when the file
    // could not be written.
    bool Save(const std::filesystem::path& path) const;
    [[nodiscard]] std::string Text() const;

    [[nodiscard]] std::optional<std::string> Get(std::string_view section, std::string_view key) const;
    [[nodiscard]] int GetInt(std::string_view section, std::string_view key, int fallback) const;
    void Set(std::string_view section, std::string_view key, std::string_view value);
    void RemoveKey(std::string_view section, std::string_view key);
    void RemoveSection(std::string_view section);
    [[nodiscard]] bool HasSection(std::string_view section) const;
    [[nodiscard]] std::vector<std::string> SectionNames() const;
    [[nodiscard]] const Section* Find(std::string_view section) const;

private:
    Section* FindMutable(std::string_view section);
    std::vector<Section> sections_;
};

[[nodiscard]] bool EqualsNoCase(std::string_view a, std::string_view b);
// The text without white space (any of " \t\r\n\v\f") at either end.
[[nodiscard]] std::string_view TrimSpace(std::string_view s);
// Lines split at CR, LF or CR LF; a final line break adds no empty line.
[[nodiscard]] std::vector<std::string> SplitLines(std::string_view text);
// The lines, each ended by CR LF.
[[nodiscard]] std::string JoinLines(const std::vector<std::string>& lines);

} // namespace sp
