#include "core/proxy/Socks5Codec.h"

namespace corvantis::socks5 {

namespace {

constexpr uint8_t kUserPasswordVersion = 1;
constexpr uint8_t kCommandConnect = 1;

void appendPort(std::vector<uint8_t>& out, uint16_t port)
{
    out.push_back(static_cast<uint8_t>(port >> 8));
    out.push_back(static_cast<uint8_t>(port & 0xFF));
}

} // namespace

std::vector<uint8_t> EncodeGreeting(bool offerUserPassword)
{
    return { kVersion, 1, offerUserPassword ? kMethodUserPassword : kMethodNoAuthentication };
}

EncodedRequest EncodeUserPassword(std::string_view user, std::string_view password)
{
    EncodedRequest out;
    if (user.size() > kMaxFieldLength) {
        out.error = "User login is too long.";
        return out;
    }
    if (password.size() > kMaxFieldLength) {
        out.error = "User password is too long.";
        return out;
    }
    out.bytes.reserve(3 + user.size() + password.size());
    out.bytes.push_back(kUserPasswordVersion);
    out.bytes.push_back(static_cast<uint8_t>(user.size()));
    out.bytes.insert(out.bytes.end(), user.begin(), user.end());
    out.bytes.push_back(static_cast<uint8_t>(password.size()));
    out.bytes.insert(out.bytes.end(), password.begin(), password.end());
    return out;
}

EncodedRequest EncodeConnect(const Target& target)
{
    EncodedRequest out;
    out.bytes = { kVersion, kCommandConnect, 0 };
    switch (target.kind) {
    case Target::Kind::HostName:
        if (target.hostName.size() > kMaxFieldLength) {
            out.bytes.clear();
            out.error = "Target host name is too long.";
            return out;
        }
        out.bytes.push_back(kAddressDomain);
        out.bytes.push_back(static_cast<uint8_t>(target.hostName.size()));
        out.bytes.insert(out.bytes.end(), target.hostName.begin(), target.hostName.end());
        break;
    case Target::Kind::IPv6:
        out.bytes.push_back(kAddressIPv6);
        out.bytes.insert(out.bytes.end(), target.address.begin(), target.address.end());
        break;
    case Target::Kind::IPv4:
        out.bytes.push_back(kAddressIPv4);
        out.bytes.insert(out.bytes.end(), target.address.begin(), target.address.begin() + 4);
        break;
    }
    appendPort(out.bytes, target.port);
    return out;
}

ShortReply DecodeShortReply(std::span<const uint8_t> bytes)
{
    ShortReply out;
    if (bytes.size() < kShortReplySize)
        return out;
    out.state = DecodeState::Done;
    out.version = bytes[0];
    out.value = bytes[1];
    return out;
}

ConnectReply DecodeConnectReply(std::span<const uint8_t> bytes)
{
    ConnectReply out;
    if (bytes.size() < 2)
        return out;
    out.version = bytes[0];
    out.reply = bytes[1];
    // RSV, ATYP and the first byte of the bound address: enough to know the full length.
    out.needed = 5;
    if (bytes.size() < out.needed)
        return out;
    out.addressType = bytes[3];
    switch (out.addressType) {
    case kAddressIPv4:
        out.needed = 4 + 4 + 2;
        break;
    case kAddressIPv6:
        out.needed = 4 + 16 + 2;
        break;
    case kAddressDomain:
        out.needed = 4 + 1 + size_t { bytes[4] } + 2;
        break;
    default:
        out.state = DecodeState::Error;
        out.error = "Proxy server returned a reply with an unexpected address type " + std::to_string(out.addressType);
        return out;
    }
    if (bytes.size() >= out.needed)
        out.state = DecodeState::Done;
    return out;
}

const char* ReplyCodeText(uint8_t reply)
{
    switch (reply) {
    case 1:
        return " - general SOCKS server failure.";
    case 2:
        return " - connection not allowed by ruleset.";
    case 3:
        return " - Network unreachable.";
    case 4:
        return " - Host unreachable.";
    case 5:
        return " - Connection refused.";
    case 6:
        return " - TTL expired.";
    case 7:
        return " - Command not supported.";
    case 8:
        return " - Address type not supported.";
    default:
        return ".";
    }
}

} // namespace corvantis::socks5
