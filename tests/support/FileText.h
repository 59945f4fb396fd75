#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A file's bytes as they are; empty when it cannot be read.
inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
