#include "core/proxy/Socks4Codec.h"

namespace corvantis::socks4 {

namespace {
constexpr uint8_t kCommandConnect = 1;
} // namespace

EncodedRequest EncodeConnect(uint16_t port, const std::array<uint8_t, 4>& address, std::string_view userId,
    std::optional<std::string_view> hostName)
{
    EncodedRequest out;
    if (userId.size() > kMaxFieldLength) {
        out.error = "UserId is too long.";
        return out;
    }
    if (hostName && hostName->size() > kMaxFieldLength) {
        out.error = "Target host name is too long.";
        return out;
    }
    out.bytes = { kVersion, kCommandConnect, static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port & 0xFF) };
    if (hostName)
        out.bytes.insert(out.bytes.end(), { 0, 0, 0, 1 });
    else
        out.bytes.insert(out.bytes.end(), address.begin(), address.end());
    out.bytes.insert(out.bytes.end(), userId.begin(), userId.end());
    out.bytes.push_back(0);
    if (hostName) {
        out.bytes.insert(out.bytes.end(), hostName->begin(), hostName->end());
        out.bytes.push_back(0);
    }
    return out;
}

Reply DecodeReply(std::span<const uint8_t> bytes)
{
    Reply out;
    if (bytes.size() < kReplySize)
        return out;
    out.state = DecodeState::Done;
    out.code = bytes[1];
    return out;
}

} // namespace corvantis::socks4
