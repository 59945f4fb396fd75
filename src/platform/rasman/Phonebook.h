#pragma once

#include "platform/rasapi/ras.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace sp::ras {

struct PhonebookEntry {
    std::string name;
    RASENTRYA props{}; // the largest layout; older callers see its prefix
    std::string userName;
    std::string password;
    std::string domain;
    bool passwordSaved = false;
};

// The default phonebook: one section per entry in an INI file in the
// phonebook format, each entry property under its own key, the saved dial
// parameters beside them. Every change is written at once (atomically).
class Phonebook {
public:
    // C:\Documents and Settings\All Users\Application Data\Microsoft\Network\Connections\Pbk\rasphone.pbk
    [[nodiscard]] static std::string DefaultWindowsPath();
    [[nodiscard]] static std::filesystem::path DefaultPath();

    explicit Phonebook(std::filesystem::path path);
    void Load();
    bool Save() const;
    // Removes what writers killed half-way left beside the file (its
    // "<name>.tmp.<pid>" files) and makes a file of older runs its owner's
    // alone. Only for the one process that writes the phonebook, at its start.
    void Tidy() const;

    [[nodiscard]] const std::vector<PhonebookEntry>& Entries() const { return entries_; }
    [[nodiscard]] PhonebookEntry* Find(std::string_view name);
    // Creates the entry when missing.
    PhonebookEntry& Upsert(std::string_view name);
    bool Remove(std::string_view name);

    // A name the file can hold: 1..256 bytes, no control characters or
    // brackets, not starting with a dot or blank.
    [[nodiscard]] static bool ValidName(std::string_view name);

private:
    std::filesystem::path path_;
    std::vector<PhonebookEntry> entries_;
};

} // namespace sp::ras
