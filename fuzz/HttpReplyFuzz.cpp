// libFuzzer target for the reader of a proxy's HTTP reply: the bytes are what an HTTP or HTTPS proxy sends back
// to a CONNECT or to a forwarded request. The reader is fed as the client feeds it (never more than Wanted()),
// with and without reading the body; it must ask for at least one byte until it is done or has failed, keep its
// header within its limit, and reach the same end whether the bytes come in the largest pieces it takes or one
// at a time.

#include "core/proxy/HttpReplyDecoder.h"
#include "fuzz/FuzzCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

using namespace corvantis;
using fuzz::check;

namespace {

// Feeds `data` in pieces of at most `piece` bytes (0: as many as the reader wants). Returns the bytes it took.
size_t feed(CHttpReplyDecoder& decoder, const uint8_t* data, size_t size, size_t piece)
{
    size_t used = 0;
    while (used < size) {
        const CHttpReplyDecoder::Phase phase = decoder.GetPhase();
        const size_t wanted = decoder.Wanted();
        if (phase == CHttpReplyDecoder::Phase::Done || phase == CHttpReplyDecoder::Phase::Error) {
            check(wanted == 0);
            break;
        }
        check(wanted >= 1);
        size_t n = std::min(wanted, size - used);
        if (piece != 0)
            n = std::min(n, piece);
        decoder.Feed(data + used, n);
        used += n;
    }
    return used;
}

void readReply(const uint8_t* data, size_t size, bool readBody)
{
    CHttpReplyDecoder whole(readBody);
    CHttpReplyDecoder bytewise(readBody);
    const size_t usedWhole = feed(whole, data, size, 0);
    const size_t usedBytewise = feed(bytewise, data, size, 1);

    check(usedWhole == usedBytewise);
    check(whole.GetPhase() == bytewise.GetPhase());
    check(whole.GetStatus() == bytewise.GetStatus());
    check(whole.GetReply() == bytewise.GetReply());
    check(whole.GetError() == bytewise.GetError());

    // The header holds only bytes that were fed, never more than its limit allows.
    check(whole.GetReply().size() <= usedWhole);
    check(whole.GetReply().size() <= CHttpReplyDecoder::kMaxHeaderSize + 1);
    switch (whole.GetPhase()) {
    case CHttpReplyDecoder::Phase::Error:
        check(!whole.GetError().empty());
        break;
    case CHttpReplyDecoder::Phase::Done:
        check(whole.GetError().empty());
        check(!whole.GetReply().empty() && whole.GetReply()[0] == 'H');
        check(whole.GetStatus() != 0);
        break;
    default:
        check(usedWhole == size); // it stopped only because the bytes ran out
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    readReply(data, size, false);
    readReply(data, size, true);
    return 0;
}
