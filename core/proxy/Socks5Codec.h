#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/proxy/ProxyCodec.h"

namespace corvantis::socks5 {

// The client side of SOCKS version 5 (RFC 1928) with user name and password authentication (RFC 1929),
// CONNECT only. Every function is pure and thread-safe.

constexpr uint8_t kVersion = 5;
constexpr uint8_t kMethodNoAuthentication = 0;
constexpr uint8_t kMethodUserPassword = 2;
constexpr uint8_t kMethodNoneAcceptable = 0xFF;
constexpr uint8_t kAddressIPv4 = 1;
constexpr uint8_t kAddressDomain = 3;
constexpr uint8_t kAddressIPv6 = 4;
// User name, password and domain name each carry a one-byte length.
constexpr size_t kMaxFieldLength = 255;
// The method reply and the authentication reply are two bytes each.
constexpr size_t kShortReplySize = 2;

// The greeting: version 5 and exactly one method, user name/password when `offerUserPassword`, else none.
std::vector<uint8_t> EncodeGreeting(bool offerUserPassword);

// The user name/password request (version 1). Fails with "User login is too long." or "User password is too
// long." when a field exceeds 255 bytes.
EncodedRequest EncodeUserPassword(std::string_view user, std::string_view password);

// Where the proxy is asked to connect.
struct Target {
    enum class Kind { HostName, IPv4, IPv6 };
    Kind kind = Kind::IPv4;
    std::string hostName; // HostName: sent as is, without a terminator
    std::array<uint8_t, 16> address {}; // IPv4: the first 4 bytes; IPv6: all 16; network order
    uint16_t port = 0; // host order
};

// The CONNECT request: 10 bytes for IPv4, 22 for IPv6, 7 plus the name's length for a host name. Fails with
// "Target host name is too long." for a name of more than 255 bytes.
EncodedRequest EncodeConnect(const Target& target);

// Method reply or authentication reply: (version, method) or (version, status).
struct ShortReply {
    DecodeState state = DecodeState::NeedMore;
    size_t needed = kShortReplySize;
    uint8_t version = 0;
    uint8_t value = 0;
};
ShortReply DecodeShortReply(std::span<const uint8_t> bytes);

// The CONNECT reply: VER, REP, RSV, ATYP, BND.ADDR, BND.PORT. The fields are filled as soon as the bytes
// holding them are there, so a caller can act on REP after two bytes while `needed` says how long the whole
// reply is as far as the bytes given tell (2, then 5, then the full length). An address type other than 1, 3
// or 4 is an error: "Proxy server returned a reply with an unexpected address type " and the type.
struct ConnectReply {
    DecodeState state = DecodeState::NeedMore;
    size_t needed = 2;
    uint8_t version = 0;
    uint8_t reply = 0;
    uint8_t addressType = 0;
    std::string error;
};
ConnectReply DecodeConnectReply(std::span<const uint8_t> bytes);

// What follows "Proxy server cannot establish a connection with the target" for a reply code: the code's
// meaning for 1 to 8 (" - Connection refused." for 5), "." for any other code.
const char* ReplyCodeText(uint8_t reply);

} // namespace corvantis::socks5
