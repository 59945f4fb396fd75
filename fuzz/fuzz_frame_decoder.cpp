// The service's frame decoder on an arbitrary byte stream, fed in pieces
// whose sizes come from the input. Every frame it hands out, encoded again,
// must give back exactly the bytes it consumed; the payload reader must
// stay within the payload.
#include "platform/rasapi/RasProtocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t step = 1 + data[0] % 64;
    const std::string stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    sp::ras::FrameDecoder decoder;
    std::string reencoded;
    for (size_t at = 0; at < stream.size(); at += step) {
        decoder.Feed(stream.data() + at, std::min(step, stream.size() - at));
        while (auto frame = decoder.Next()) {
            if (frame->payload.size() > sp::ras::kMaxPayload)
                std::abort();
            reencoded += sp::ras::EncodeFrame(frame->type, frame->payload);
            sp::ras::Reader reader(frame->payload);
            while (!reader.Failed() && !reader.AtEnd()) {
                (void)reader.U32();
                (void)reader.Str();
                (void)reader.OptStr();
            }
        }
        if (decoder.Failed())
            break;
    }
    if (reencoded != stream.substr(0, reencoded.size()))
        std::abort();
    if (!decoder.Failed() && reencoded.size() + decoder.Buffered() != stream.size())
        std::abort();
    return 0;
}
