#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "core/proxy/ProxyCodec.h"

namespace corvantis::socks4 {

// The client side of SOCKS version 4 and its 4A extension (the proxy resolves a host name), CONNECT only.
// Every function is pure and thread-safe.

constexpr uint8_t kVersion = 4;
constexpr uint8_t kGranted = 90; // "Z"
constexpr size_t kReplySize = 8;
// Longest user id and host name we put into a request.
constexpr size_t kMaxFieldLength = 1024;

// The CONNECT request: 4, 1, the port (big-endian), the IPv4 address, the user id and a zero byte. With a
// host name (SOCKS4A) the address is 0.0.0.1 and the name and a zero byte follow. Fails with "UserId is too
// long." or "Target host name is too long." for a field of more than 1024 bytes.
EncodedRequest EncodeConnect(uint16_t port, const std::array<uint8_t, 4>& address, std::string_view userId,
    std::optional<std::string_view> hostName);

// The 8-byte reply: VN, CD, port, address. Only CD (`code`) means anything; 90 grants the connection.
struct Reply {
    DecodeState state = DecodeState::NeedMore;
    size_t needed = kReplySize;
    uint8_t code = 0;
};
Reply DecodeReply(std::span<const uint8_t> bytes);

} // namespace corvantis::socks4
