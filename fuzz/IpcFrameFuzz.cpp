// libFuzzer target for the IPC frame decoder: any bytes, fed in chunks whose sizes the input itself picks, must
// give messages or a clean error and never read out of bounds; each message must encode again to a frame that
// reads back as the same message, and the chunked decoder must agree with a one-shot decode of each payload.

#include "platform/xpc/XpcFrameCodec.h"

#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

using namespace corvantis;

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

// NaN never equals itself, so reals are compared by their bits.
bool sameValue(const XpcObject& a, const XpcObject& b);

bool sameDict(const XpcDict& a, const XpcDict& b)
{
    if (a.size() != b.size())
        return false;
    for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j)
        if (i->first != j->first || !sameValue(i->second, j->second))
            return false;
    return true;
}

bool sameValue(const XpcObject& a, const XpcObject& b)
{
    if (a.type() != b.type())
        return false;
    if (a.real())
        return std::memcmp(a.real(), b.real(), sizeof(double)) == 0;
    if (a.array()) {
        if (a.array()->size() != b.array()->size())
            return false;
        for (size_t i = 0; i < a.array()->size(); ++i)
            if (!sameValue((*a.array())[i], (*b.array())[i]))
                return false;
        return true;
    }
    if (a.dict())
        return sameDict(*a.dict(), *b.dict());
    return a == b;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Small limits so that the size and depth checks are reached often.
    const XpcLimits limits { 4096, 16 };
    if (size == 0)
        return 0;
    const size_t chunk = 1 + data[0] % 17;
    const std::span<const uint8_t> stream(data + 1, size - 1);

    XpcFrameDecoder decoder(limits);
    size_t offset = 0;
    bool failed = false;
    while (offset < stream.size() && !failed) {
        const size_t n = std::min(chunk, stream.size() - offset);
        decoder.feed(stream.subspan(offset, n));
        offset += n;
        for (;;) {
            auto outcome = decoder.next();
            if (outcome.state == XpcFrameDecoder::State::NeedMore)
                break;
            if (outcome.state == XpcFrameDecoder::State::Error) {
                check(!outcome.error.empty());
                check(decoder.next().state == XpcFrameDecoder::State::Error);
                failed = true;
                break;
            }
            auto frame = XpcFrameCodec::encode(outcome.message, limits);
            check(frame.ok());
            auto again = XpcFrameCodec::decodePayload(
                std::span<const uint8_t>(*frame).subspan(XpcFrameCodec::kHeaderBytes), limits);
            check(again.ok());
            check(sameDict(*again, outcome.message));
        }
    }
    return 0;
}
