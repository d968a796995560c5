// libFuzzer target for the SOCKS reply decoders: the bytes are what a SOCKS 4 or 5 proxy sends back. Each
// decoder is driven as the client drives it (read up to `needed`, decode again) and must ask for a bounded,
// growing number of bytes, finish on exactly the bytes it asked for, and agree with itself on every prefix.

#include "core/proxy/Socks4Codec.h"
#include "core/proxy/Socks5Codec.h"
#include "fuzz/FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <span>

using namespace corvantis;
using fuzz::check;

namespace {

// The longest CONNECT reply: header, a domain of 255 bytes with its length byte, port.
constexpr size_t kLongestConnectReply = 4 + 1 + 255 + 2;

void connectReply(std::span<const uint8_t> bytes)
{
    size_t given = 0;
    size_t lastNeeded = 0;
    socks5::ConnectReply reply;
    for (int round = 0; round < 8; ++round) {
        reply = socks5::DecodeConnectReply(bytes.first(given));
        check(reply.needed >= lastNeeded);
        check(reply.needed <= kLongestConnectReply);
        lastNeeded = reply.needed;
        if (reply.state != DecodeState::NeedMore)
            break;
        check(reply.needed > given);
        if (reply.needed > bytes.size())
            return; // the proxy sent too little: the client waits for more
        given = reply.needed;
    }
    check(reply.state != DecodeState::NeedMore);
    if (reply.state == DecodeState::Error) {
        check(!reply.error.empty());
        return;
    }
    check(reply.needed == given);
    check(reply.version == bytes[0] && reply.reply == bytes[1] && reply.addressType == bytes[3]);
    // Bytes after the reply are the tunnel's, and do not change it.
    const socks5::ConnectReply whole = socks5::DecodeConnectReply(bytes);
    check(whole.state == DecodeState::Done && whole.needed == reply.needed);
    check(socks5::ReplyCodeText(reply.reply) != nullptr);
}

void shortReplies(std::span<const uint8_t> bytes)
{
    const socks5::ShortReply method = socks5::DecodeShortReply(bytes);
    check((method.state == DecodeState::Done) == (bytes.size() >= socks5::kShortReplySize));
    check(method.needed == socks5::kShortReplySize);

    const socks4::Reply reply = socks4::DecodeReply(bytes);
    check((reply.state == DecodeState::Done) == (bytes.size() >= socks4::kReplySize));
    check(reply.needed == socks4::kReplySize);
    if (reply.state == DecodeState::Done)
        check(reply.code == bytes[1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> bytes(data, size);
    connectReply(bytes);
    shortReplies(bytes);
    return 0;
}
