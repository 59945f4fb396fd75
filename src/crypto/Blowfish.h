#pragma once

#include <cstdint>
#include <stdexcept>

namespace sp {

// Raised by BlowfishInit for a key length outside 1..56 bytes.
class EBlowfishError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// One cipher context: the key schedule and the CBC chaining state. Plain
// data, so it can live on the stack of the call that uses it.
struct TBlowfishData {
    uint8_t InitBlock[8]; // IV given at set-up
    uint8_t LastBlock[8]; // current CBC chaining value
    uint32_t SBoxM[4][256];
    uint32_t PBoxM[18];
};
static_assert(sizeof(TBlowfishData) == 8 + 8 + 4 * 256 * 4 + 18 * 4);

// Blocks are 8 bytes; bytes 0-3 are the left half and bytes 4-7 the right
// half, each big-endian (the byte order of the published test vectors).

// keyLen must be 1..56. Without an IV both IVs are zero.
void BlowfishInit(TBlowfishData& data, const uint8_t* key, int keyLen, const uint8_t* iv = nullptr);
// Plain Blowfish on one block; in and out may be the same buffer.
void BlowfishEncryptBlock(const TBlowfishData& data, const uint8_t* in, uint8_t* out);
void BlowfishDecryptBlock(const TBlowfishData& data, const uint8_t* in, uint8_t* out);
// One CBC step on one block; in and out may be the same buffer.
void BlowfishEncryptCBC(TBlowfishData& data, const uint8_t* in, uint8_t* out);
void BlowfishDecryptCBC(TBlowfishData& data, const uint8_t* in, uint8_t* out);
// Current IV := saved IV.
void BlowfishReset(TBlowfishData& data);

} // namespace sp
