#include "platform/registry/RegName.h"

namespace sp {

std::string FoldName(std::string_view utf8) {
    std::string out(utf8);
    for (size_t i = 0; i < out.size(); ++i) {
        auto b = static_cast<unsigned char>(out[i]);
        if (b >= 'A' && b <= 'Z') {
            out[i] = static_cast<char>(b + ('a' - 'A'));
            continue;
        }
        if (i + 1 >= out.size())
            break;
        auto c = static_cast<unsigned char>(out[i + 1]);
        if (b == 0xD0 && c >= 0x80 && c <= 0x8F) { // U+0400..U+040F -> U+0450..U+045F
            out[i] = static_cast<char>(0xD1);
            out[i + 1] = static_cast<char>(c + 0x10);
        } else if (b == 0xD0 && c >= 0x90 && c <= 0x9F) { // U+0410..U+041F -> U+0430..U+043F
            out[i + 1] = static_cast<char>(c + 0x20);
        } else if (b == 0xD0 && c >= 0xA0 && c <= 0xAF) { // U+0420..U+042F -> U+0440..U+044F
            out[i] = static_cast<char>(0xD1);
            out[i + 1] = static_cast<char>(c - 0x20);
        } else if (b == 0xD2 && c == 0x90) { // U+0490 -> U+0491
            out[i + 1] = static_cast<char>(0x91);
        }
        if (b >= 0xC0)
            ++i; // the second byte of a two-byte sequence is never a letter to fold
    }
    return out;
}

RegKeyPath SplitKeyPath(std::string_view path) {
    RegKeyPath r;
    r.absolute = !path.empty() && path.front() == '\\';
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('\\', pos);
        if (end == std::string_view::npos)
            end = path.size();
        if (end > pos)
            r.parts.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return r;
}

std::optional<RegHivePath> SplitHive(std::string_view fullPath) {
    const size_t slash = fullPath.find('\\');
    const std::string head = FoldName(fullPath.substr(0, slash));
    RegHivePath r;
    if (head == "hklm" || head == "hkey_local_machine")
        r.hive = RegHive::LocalMachine;
    else if (head == "hkdd" || head == "hkey_dyn_data")
        r.hive = RegHive::DynData;
    else
        return std::nullopt;
    r.path = slash == std::string_view::npos ? std::string("\\") : std::string(fullPath.substr(slash));
    return r;
}

namespace {
bool NoControlCharacters(std::string_view name) {
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20)
            return false;
    return true;
}
} // namespace

bool KeyNameWritable(std::string_view name) {
    return NoControlCharacters(name) && (name.empty() || name.back() != ']');
}

bool ValueNameWritable(std::string_view name) {
    return NoControlCharacters(name);
}

} // namespace sp
