#include "crypto/uEncrypt.h"

#include "platform/base/Hex.h"

#include "crypto/Blowfish.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace sp {
namespace {

constexpr uint8_t kKey[8] = {0x5A, 0xC3, 0x1E, 0x97, 0x40, 0xB8, 0x6D, 0xF2};
constexpr uint8_t kIV[8] = {0x5A, 0xC3, 0x1E, 0x97, 0x40, 0xB8, 0x6D, 0xF2};

enum class Direction { Encrypt, Decrypt };

// CBC over the whole blocks of the first n bytes, with a fresh key schedule.
void CryptBuffer(std::vector<uint8_t>& buf, size_t n, Direction dir) {
    TBlowfishData data;
    BlowfishInit(data, kKey, sizeof kKey, kIV);
    for (size_t pos = 0; pos + 8 <= n; pos += 8) {
        if (dir == Direction::Encrypt)
            BlowfishEncryptCBC(data, &buf[pos], &buf[pos]);
        else
            BlowfishDecryptCBC(data, &buf[pos], &buf[pos]);
    }
    BlowfishReset(data);
}

} // namespace

std::string EncryptString(std::string_view plain) {
    const size_t n = (plain.size() / 8) * 8 + 16;
    // The buffer grows with the text, so no length is refused; texts are
    // copied up to an embedded zero byte, like a C string.
    std::vector<uint8_t> buf(n, 0);
    const auto textEnd = std::find(plain.begin(), plain.end(), '\0');
    std::copy(plain.begin(), textEnd, buf.begin());

    CryptBuffer(buf, n, Direction::Encrypt);

    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string hex;
    hex.reserve(2 * n);
    for (size_t i = 0; i < n; ++i) {
        hex += kDigits[buf[i] >> 4];
        hex += kDigits[buf[i] & 0x0F];
    }
    return hex;
}

std::string DecryptString(std::string_view hex) {
    // n counts characters, not bytes, so it always covers the converted data
    // (hex.size() / 2 bytes) and the work area needs n bytes at most.
    const size_t n = (hex.size() / 8) * 8 + 16;
    std::vector<uint8_t> buf(n, 0);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = HexDigit(hex[i]);
        const int lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            break;
        buf[i / 2] = static_cast<uint8_t>((hi << 4) | lo);
    }

    CryptBuffer(buf, n, Direction::Decrypt);

    const auto end = std::find(buf.begin(), buf.end(), uint8_t{0});
    return std::string(buf.begin(), end);
}

struct TStoredTextReader::Context {
    TBlowfishData data;
    std::vector<uint8_t> buf;
};

TStoredTextReader::TStoredTextReader() : context_(std::make_unique<Context>()) {
    BlowfishInit(context_->data, kKey, sizeof kKey, kIV);
}

TStoredTextReader::~TStoredTextReader() = default;

std::optional<std::string> TStoredTextReader::Read(std::string_view hex) {
    if (hex.size() < 32 || hex.size() % 16 != 0)
        return std::nullopt;
    std::vector<uint8_t>& buf = context_->buf;
    buf.resize(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int hi = HexDigit(hex[i]);
        const int lo = HexDigit(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        buf[i / 2] = static_cast<uint8_t>((hi << 4) | lo);
    }
    BlowfishReset(context_->data);
    for (size_t pos = 0; pos < buf.size(); pos += 8)
        BlowfishDecryptCBC(context_->data, &buf[pos], &buf[pos]);
    // EncryptString of a text of len bytes makes (len div 8) * 8 + 16 bytes,
    // the text followed by zeros.
    const size_t len = static_cast<size_t>(std::find(buf.begin(), buf.end(), uint8_t{0}) - buf.begin());
    if (buf.size() != (len / 8) * 8 + 16 || std::any_of(buf.begin() + static_cast<std::ptrdiff_t>(len),
                                                        buf.end(), [](uint8_t b) { return b != 0; }))
        return std::nullopt;
    return std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(len));
}

} // namespace sp
