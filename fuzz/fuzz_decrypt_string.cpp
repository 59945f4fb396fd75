// DecryptString on arbitrary text, and the round trip of a text without
// zero bytes through EncryptString.
#include "crypto/uEncrypt.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)sp::DecryptString(text);
    if (text.find('\0') == std::string_view::npos) {
        const std::string hex = sp::EncryptString(text);
        if (hex.size() != ((size / 8) * 8 + 16) * 2)
            std::abort();
        if (sp::DecryptString(hex) != text)
            std::abort();
    }
    return 0;
}
