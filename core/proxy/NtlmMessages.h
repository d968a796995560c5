#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace corvantis {

// The client messages of the NTLM authentication protocol as raw bytes: the negotiate message (type 1) and the
// authenticate message (type 3) computed from the proxy's challenge (type 2). Base64 and header lines are the
// business of CNtlmAuth. Every function is a pure function of its arguments, except that the authenticate
// message takes its client challenge from the kernel's random source and its time stamp from the clock; all are
// safe on any thread. Integers on the wire are little-endian.

namespace ntlm {

constexpr uint32_t kNegotiateUnicode = 0x00000001;
constexpr uint32_t kNegotiateOem = 0x00000002;
constexpr uint32_t kRequestTarget = 0x00000004;
constexpr uint32_t kNegotiateNtlm = 0x00000200;
constexpr uint32_t kNegotiateOemDomainSupplied = 0x00001000;
constexpr uint32_t kNegotiateOemWorkstationSupplied = 0x00002000;
constexpr uint32_t kNegotiateAlwaysSign = 0x00008000;
constexpr uint32_t kNegotiateExtendedSessionSecurity = 0x00080000;
constexpr uint32_t kNegotiateVersion = 0x02000000;
// What the negotiate message asks for.
constexpr uint32_t kNegotiateFlags = 0x02088207;

constexpr size_t kNegotiateMessageSize = 40;
// Header sizes of the challenge as read, without and with its version field.
constexpr size_t kChallengeMinSize = 48;
constexpr size_t kChallengeWithVersionMinSize = 56;
// Where the authenticate message's payloads start, without and with its version field.
constexpr size_t kAuthenticatePayloadOffset = 64;
constexpr size_t kAuthenticateWithVersionPayloadOffset = 72;

using NtHash = std::array<uint8_t, 16>;
using ServerChallenge = std::array<uint8_t, 8>;
using ClientChallenge = std::array<uint8_t, 8>;

// What the client reads of a challenge message.
struct Challenge {
    uint32_t flags = 0;
    ServerChallenge serverChallenge {};
    std::vector<uint8_t> targetName; // payload as received (UTF-16LE or OEM, as the server chose)
    std::vector<uint8_t> targetInfo; // AV pairs as received
};

// The per-message inputs that must not repeat: 8 client-challenge bytes and the time stamp of the NTLMv2 blob
// (100-nanosecond units since 1601-01-01).
struct ClientEntropy {
    ClientChallenge clientChallenge {};
    uint64_t timestamp = 0;
};

// Converts UTF-8 to UTF-16LE; characters above U+FFFF become surrogate pairs. With `upperCase`, characters
// below U+0100 go through the C library's toupper first. Fails (false, `out` unspecified) on text that is not
// well-formed UTF-8: bad lead or continuation bytes, truncated, over-long or surrogate encodings, or values
// above U+10FFFF. Empty text gives empty output.
bool Utf8ToUtf16Le(std::string_view text, bool upperCase, std::vector<uint8_t>& out);

// Reads a challenge message. Refused (false) when it is shorter than 48 bytes (56 when its flags carry
// NEGOTIATE_VERSION), has another signature or type, or a payload that runs past its end.
bool ParseChallengeMessage(const uint8_t* data, size_t length, Challenge& out);

// MD4 of the UTF-16LE password. `password` must already be UTF-16LE.
NtHash ComputeNtHash(const std::vector<uint8_t>& passwordUtf16);
// The 24-byte NTLMv1 response: the NT hash padded to 21 bytes as three DES keys, each encrypting the server
// challenge.
std::array<uint8_t, 24> ComputeNtlmV1Response(const NtHash& ntHash, const ServerChallenge& serverChallenge);
// HMAC-MD5 keyed with the NT hash over the upper-case user name (UTF-16LE) followed by the domain bytes.
NtHash ComputeNtlmV2Hash(
    const NtHash& ntHash, const std::vector<uint8_t>& userUpperUtf16, const std::vector<uint8_t>& domain);
// The NTLMv2 NT response: HMAC-MD5 over the server challenge and the blob (16 bytes), then the blob itself.
std::vector<uint8_t> ComputeNtlmV2Response(const NtHash& v2Hash, const ServerChallenge& serverChallenge,
    const ClientEntropy& entropy, const std::vector<uint8_t>& targetInfo);
// Encrypts one 8-byte block with DES in ECB mode under a 7-byte key, spread over 8 bytes 7 bits at a time.
std::array<uint8_t, 8> DesEncryptBlock(const uint8_t key7[7], const uint8_t block[8]);

// Fresh client challenge bytes from getrandom and the current time stamp.
ClientEntropy MakeClientEntropy();

} // namespace ntlm

// Appends the 40-byte negotiate message to `out`. Always true.
bool BuildNegotiateMessage(std::vector<uint8_t>& out);

// Appends the authenticate message answering `challenge` for `user` ("DOMAIN\user", "user@domain" or a bare
// user name, which takes the challenge's target name as its domain) and `password`, both UTF-8. The response is
// NTLMv2 when the challenge asks for extended session security, else NTLMv1 when it offers NTLM, else empty.
// On failure returns false, leaves `out` unchanged and puts the reason in `error`: a refused challenge, or a
// user name, domain or password that is not UTF-8.
bool BuildAuthenticateMessage(const std::string& user, const std::string& password, const uint8_t* challenge,
    size_t challengeLength, std::vector<uint8_t>& out, std::string& error);
// The same with the client challenge and time stamp given (for known-answer checks).
bool BuildAuthenticateMessage(const std::string& user, const std::string& password, const uint8_t* challenge,
    size_t challengeLength, const ntlm::ClientEntropy& entropy, std::vector<uint8_t>& out, std::string& error);

} // namespace corvantis
