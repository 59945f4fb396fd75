// The REGEDIT4 importer's parser on arbitrary file bytes. What it accepts,
// written out again by the exporter's formatter, must parse to the same
// content.
#include "platform/registry/RegFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

namespace {

// A text value ends at its first zero byte once it is written out (as
// hex(1), read back as a string); compare texts up to there.
std::vector<uint8_t> Comparable(const sp::RegFileValue& v)
{
    if (v.type != sp::RegType::Sz)
        return v.data;
    std::vector<uint8_t> d = v.data;
    for (size_t i = 0; i < d.size(); ++i)
        if (d[i] == 0) {
            d.resize(i);
            break;
        }
    return d;
}

bool Same(const sp::RegFileContent& a, const sp::RegFileContent& b)
{
    if (a.keys.size() != b.keys.size())
        return false;
    for (size_t i = 0; i < a.keys.size(); ++i) {
        const auto& x = a.keys[i];
        const auto& y = b.keys[i];
        if (x.path != y.path || x.remove != y.remove || x.values.size() != y.values.size())
            return false;
        for (size_t j = 0; j < x.values.size(); ++j) {
            const auto& v = x.values[j];
            const auto& w = y.values[j];
            if (v.name != w.name || v.remove != w.remove || (!v.remove && (v.type != w.type || Comparable(v) != Comparable(w))))
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sp::RegFileContent content;
    try {
        content = sp::ParseRegFile(text);
    } catch (const sp::ERegFileSyntax&) {
        return 0;
    }
    const std::string again = sp::FormatRegFile(content);
    sp::RegFileContent reparsed;
    try {
        reparsed = sp::ParseRegFile(again);
    } catch (const sp::ERegFileSyntax&) {
        std::abort(); // the exporter wrote what the importer refuses
    }
    if (!Same(content, reparsed))
        std::abort();
    return 0;
}
