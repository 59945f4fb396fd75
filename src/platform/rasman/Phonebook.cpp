#include "platform/rasman/Phonebook.h"

#include "platform/base/IniFile.h"
#include "platform/base/MachineRoot.h"
#include "platform/rasman/EntryFields.h"

#include <system_error>

namespace sp::ras {

std::string Phonebook::DefaultWindowsPath()
{
    return "C:\\Documents and Settings\\All Users\\Application Data\\Microsoft\\Network\\Connections\\Pbk\\rasphone.pbk";
}

std::filesystem::path Phonebook::DefaultPath() { return WindowsPathToHost(DefaultWindowsPath()); }

Phonebook::Phonebook(std::filesystem::path path) : path_(std::move(path)) {}

void Phonebook::Load()
{
    entries_.clear();
    const IniFile ini = IniFile::Load(path_);
    for (const std::string& section : ini.SectionNames()) {
        if (!ValidName(section))
            continue;
        PhonebookEntry e;
        e.name = section;
        for (const EntryField& f : EntryFields()) {
            if (auto v = ini.Get(section, f.name))
                FieldFromText(e.props, f, *v);
        }
        e.userName = UnescapeText(ini.Get(section, "UserName").value_or(""));
        e.domain = UnescapeText(ini.Get(section, "Domain").value_or(""));
        e.passwordSaved = ini.GetInt(section, "SavePassword", 0) != 0;
        if (e.passwordSaved)
            e.password = UnescapeText(ini.Get(section, "Password").value_or(""));
        entries_.push_back(std::move(e));
    }
}

bool Phonebook::Save() const
{
    IniFile ini;
    for (const PhonebookEntry& e : entries_) {
        for (const EntryField& f : EntryFields())
            ini.Set(e.name, f.name, FieldToText(e.props, f));
        ini.Set(e.name, "UserName", EscapeText(e.userName));
        ini.Set(e.name, "Domain", EscapeText(e.domain));
        ini.Set(e.name, "SavePassword", e.passwordSaved ? "1" : "0");
        ini.Set(e.name, "Password", e.passwordSaved ? EscapeText(e.password) : "");
    }
    std::error_code ec;
    std::filesystem::create_directories(path_.parent_path(), ec);
    return ini.Save(path_);
}

void Phonebook::Tidy() const
{
    std::error_code ec;
    const std::string prefix = path_.filename().string() + ".tmp.";
    for (const auto& e : std::filesystem::directory_iterator(path_.parent_path(), ec)) {
        const std::string name = e.path().filename().string();
        if (name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0)
            std::filesystem::remove(e.path(), ec);
    }
    if (std::filesystem::exists(path_, ec))
        std::filesystem::permissions(path_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                                     std::filesystem::perm_options::replace, ec);
}

PhonebookEntry* Phonebook::Find(std::string_view name)
{
    for (PhonebookEntry& e : entries_) {
        if (EqualsNoCase(e.name, name))
            return &e;
    }
    return nullptr;
}

PhonebookEntry& Phonebook::Upsert(std::string_view name)
{
    if (PhonebookEntry* e = Find(name))
        return *e;
    PhonebookEntry e;
    e.name = std::string(name);
    entries_.push_back(std::move(e));
    return entries_.back();
}

bool Phonebook::Remove(std::string_view name)
{
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (EqualsNoCase(it->name, name)) {
            entries_.erase(it);
            return true;
        }
    }
    return false;
}

bool Phonebook::ValidName(std::string_view name)
{
    if (name.empty() || name.size() > RAS_MaxEntryName || name.front() == '.' || name.front() == ' '
        || name.back() == ' ')
        return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '[' || c == ']' || c == ';' || c == '#')
            return false;
    }
    return true;
}

} // namespace sp::ras
