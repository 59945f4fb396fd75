// The program's version from the version information of its own file.

#include "app/fGprsMain.h"

#include "platform/base/CommandLine.h"
#include "platform/system/VersionInfo.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sp {

std::string GetFileVersionString(const std::string& fileName) {
    try {
        const uint32_t size = GetFileVersionInfoSizeA(fileName);
        if (size == 0)
            return "";
        std::vector<char> data;
        if (!GetFileVersionInfoA(fileName, size, data))
            return "";
        std::string translation;
        if (!VerQueryValueA(data, "\\VarFileInfo\\Translation", translation) || translation.size() < 8)
            return "";
        // The parse's end pointer points into this copy, so it must outlive the test.
        const std::string hex = translation.substr(0, 8);
        char* end = nullptr;
        const unsigned long entry = std::strtoul(hex.c_str(), &end, 16);
        if (end == nullptr || *end != '\0')
            return "";
        const unsigned language = entry & 0xFFFFu;
        const unsigned codePage = (entry >> 16) & 0xFFFFu;
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "\\StringFileInfo\\%04X%04X\\", language, codePage);
        char subBlock[96];
        std::snprintf(subBlock, sizeof subBlock, "%s%s", prefix, "FileVersion");
        std::string version;
        if (!VerQueryValueA(data, subBlock, version))
            return "";
        return version;
    } catch (...) {
        return "";
    }
}

std::string TwoComponentVersion(std::string fileVersion) {
    std::reverse(fileVersion.begin(), fileVersion.end());
    for (int i = 0; i < 2; ++i) {
        const size_t dot = fileVersion.find('.');
        if (dot != std::string::npos)
            fileVersion.erase(0, dot + 1);
    }
    std::reverse(fileVersion.begin(), fileVersion.end());
    return fileVersion;
}

void TfrmGprsMain::InitVersion() {
    FVersion = TwoComponentVersion(GetFileVersionString(ProgramFile()));
}

} // namespace sp
