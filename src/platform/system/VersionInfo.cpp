#include "platform/system/VersionInfo.h"

#include <elf.h>

#include <cstdio>
#include <cstring>
#include <fstream>

namespace sp {

namespace {

constexpr const char* kSection = ".skyportal_version";

// The section's bytes from a 64- or 32-bit ELF file; empty when there is none.
template <class Ehdr, class Shdr>
std::vector<char> SectionOf(std::ifstream& f, const Ehdr& eh, std::streamoff fileSize)
{
    if (eh.e_shoff == 0 || eh.e_shentsize != sizeof(Shdr) || eh.e_shstrndx >= eh.e_shnum)
        return {};
    auto readAt = [&](std::streamoff off, void* dst, size_t n) {
        if (off < 0 || off + static_cast<std::streamoff>(n) > fileSize)
            return false;
        f.seekg(off);
        return static_cast<bool>(f.read(static_cast<char*>(dst), static_cast<std::streamsize>(n)));
    };
    Shdr names{};
    if (!readAt(static_cast<std::streamoff>(eh.e_shoff + eh.e_shstrndx * sizeof(Shdr)), &names, sizeof names))
        return {};
    for (unsigned i = 0; i < eh.e_shnum; ++i) {
        Shdr sh{};
        if (!readAt(static_cast<std::streamoff>(eh.e_shoff + i * sizeof(Shdr)), &sh, sizeof sh))
            return {};
        char name[sizeof ".skyportal_version"] = {};
        if (sh.sh_name >= names.sh_size)
            continue;
        const size_t want = std::min<size_t>(sizeof name - 1, names.sh_size - sh.sh_name);
        if (!readAt(static_cast<std::streamoff>(names.sh_offset + sh.sh_name), name, want))
            continue;
        if (std::strcmp(name, kSection) != 0 || sh.sh_type == SHT_NOBITS)
            continue;
        if (sh.sh_size > (1u << 20))
            return {};
        std::vector<char> data(sh.sh_size);
        if (!readAt(static_cast<std::streamoff>(sh.sh_offset), data.data(), data.size()))
            return {};
        return data;
    }
    return {};
}

std::vector<char> ReadSection(const std::string& fileName)
{
    std::ifstream f(fileName, std::ios::binary);
    if (!f)
        return {};
    f.seekg(0, std::ios::end);
    const std::streamoff size = f.tellg();
    f.seekg(0);
    unsigned char ident[EI_NIDENT] = {};
    if (size < EI_NIDENT || !f.read(reinterpret_cast<char*>(ident), EI_NIDENT))
        return {};
    if (std::memcmp(ident, ELFMAG, SELFMAG) != 0 || ident[EI_DATA] != ELFDATA2LSB)
        return {};
    f.seekg(0);
    if (ident[EI_CLASS] == ELFCLASS64) {
        Elf64_Ehdr eh{};
        if (size < static_cast<std::streamoff>(sizeof eh) || !f.read(reinterpret_cast<char*>(&eh), sizeof eh))
            return {};
        return SectionOf<Elf64_Ehdr, Elf64_Shdr>(f, eh, size);
    }
    if (ident[EI_CLASS] == ELFCLASS32) {
        Elf32_Ehdr eh{};
        if (size < static_cast<std::streamoff>(sizeof eh) || !f.read(reinterpret_cast<char*>(&eh), sizeof eh))
            return {};
        return SectionOf<Elf32_Ehdr, Elf32_Shdr>(f, eh, size);
    }
    return {};
}

} // namespace

uint32_t GetFileVersionInfoSizeA(const std::string& fileName)
{
    return static_cast<uint32_t>(ReadSection(fileName).size());
}

bool GetFileVersionInfoA(const std::string& fileName, uint32_t size, std::vector<char>& data)
{
    data = ReadSection(fileName);
    if (data.empty())
        return false;
    if (data.size() > size)
        data.resize(size);
    return true;
}

bool VerQueryValueA(const std::vector<char>& data, std::string_view subBlock, std::string& value)
{
    size_t pos = 0;
    while (pos < data.size()) {
        const char* rec = data.data() + pos;
        const size_t len = strnlen(rec, data.size() - pos);
        const std::string_view r(rec, len);
        const size_t eq = r.find('=');
        if (eq != std::string_view::npos && r.substr(0, eq) == subBlock) {
            value = std::string(r.substr(eq + 1));
            return true;
        }
        pos += len + 1;
    }
    return false;
}

std::string MakeVersionBlock(uint16_t language, uint16_t codePage, std::string_view fileVersion)
{
    char translation[16];
    std::snprintf(translation, sizeof translation, "%04X%04X", language, codePage);
    char dword[16];
    std::snprintf(dword, sizeof dword, "%04X%04X", codePage, language);
    std::string block;
    block += std::string("\\VarFileInfo\\Translation=") + dword;
    block.push_back('\0');
    block += std::string("\\StringFileInfo\\") + translation + "\\FileVersion=" + std::string(fileVersion);
    block.push_back('\0');
    return block;
}

} // namespace sp
