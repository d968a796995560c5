#include "core/proxy/NtlmMessages.h"

#include "platform/Utf8.h"

#include <nettle/des.h>
#include <nettle/hmac.h>
#include <nettle/md4.h>
#include <sys/random.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace corvantis {

namespace ntlm {

namespace {

constexpr uint8_t kSignature[8] = { 'N', 'T', 'L', 'M', 'S', 'S', 'P', 0 };
constexpr uint32_t kTypeNegotiate = 1;
constexpr uint32_t kTypeChallenge = 2;
constexpr uint32_t kTypeAuthenticate = 3;
// Version field: 6.1 build 7600, NTLM revision 15.
constexpr uint8_t kVersion[8] = { 6, 1, 0xB0, 0x1D, 0, 0, 0, 15 };
// Seconds from 1601-01-01 to 1970-01-01, in 100-nanosecond units.
constexpr uint64_t kEpochDifference = 116444736000000000ULL;

void putU16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void putU32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void putU64(std::vector<uint8_t>& out, uint64_t value)
{
    for (int shift = 0; shift < 64; shift += 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

void putBytes(std::vector<uint8_t>& out, const uint8_t* data, size_t length)
{
    out.insert(out.end(), data, data + length);
}

// A security buffer: length, maximum length (the same) and the payload's offset from the message start.
void putSecurityBuffer(std::vector<uint8_t>& out, size_t length, size_t offset)
{
    putU16(out, static_cast<uint16_t>(length));
    putU16(out, static_cast<uint16_t>(length));
    putU32(out, static_cast<uint32_t>(offset));
}

uint16_t getU16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t getU32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16)
        | (static_cast<uint32_t>(p[3]) << 24);
}

// Reads the payload of the security buffer at `field`; an offset of 0 means no payload.
bool readPayload(const uint8_t* data, size_t length, size_t field, std::vector<uint8_t>& out)
{
    const size_t payloadLength = getU16(data + field);
    const size_t offset = getU32(data + field + 4);
    out.clear();
    if (offset == 0 || payloadLength == 0)
        return true;
    if (offset > length || payloadLength > length - offset)
        return false;
    out.assign(data + offset, data + offset + payloadLength);
    return true;
}

void appendUtf16(std::vector<uint8_t>& out, uint32_t unit)
{
    out.push_back(static_cast<uint8_t>(unit));
    out.push_back(static_cast<uint8_t>(unit >> 8));
}

} // namespace

bool Utf8ToUtf16Le(std::string_view text, bool upperCase, std::vector<uint8_t>& out)
{
    out.clear();
    out.reserve(text.size() * 2);
    size_t i = 0;
    while (i < text.size()) {
        uint32_t code = 0;
        const size_t length = decodeUtf8(text, i, code);
        if (length == 0)
            return false;
        i += length;
        if (upperCase && code < 0x100)
            code = static_cast<uint32_t>(std::toupper(static_cast<int>(code)));
        if (code >= 0x10000) {
            code -= 0x10000;
            appendUtf16(out, 0xD800 + (code >> 10));
            appendUtf16(out, 0xDC00 + (code & 0x3FF));
        } else {
            appendUtf16(out, code);
        }
    }
    return true;
}

bool ParseChallengeMessage(const uint8_t* data, size_t length, Challenge& out)
{
    if (data == nullptr || length < kChallengeMinSize)
        return false;
    if (std::memcmp(data, kSignature, sizeof kSignature) != 0 || getU32(data + 8) != kTypeChallenge)
        return false;
    out.flags = getU32(data + 20);
    if ((out.flags & kNegotiateVersion) != 0 && length < kChallengeWithVersionMinSize)
        return false;
    std::memcpy(out.serverChallenge.data(), data + 24, out.serverChallenge.size());
    return readPayload(data, length, 12, out.targetName) && readPayload(data, length, 40, out.targetInfo);
}

NtHash ComputeNtHash(const std::vector<uint8_t>& passwordUtf16)
{
    md4_ctx ctx;
    md4_init(&ctx);
    md4_update(&ctx, passwordUtf16.size(), passwordUtf16.data());
    NtHash hash {};
    md4_digest(&ctx, hash.size(), hash.data());
    return hash;
}

std::array<uint8_t, 8> DesEncryptBlock(const uint8_t key7[7], const uint8_t block[8])
{
    uint8_t key[8];
    key[0] = key7[0];
    key[1] = static_cast<uint8_t>((key7[0] << 7) | (key7[1] >> 1));
    key[2] = static_cast<uint8_t>((key7[1] << 6) | (key7[2] >> 2));
    key[3] = static_cast<uint8_t>((key7[2] << 5) | (key7[3] >> 3));
    key[4] = static_cast<uint8_t>((key7[3] << 4) | (key7[4] >> 4));
    key[5] = static_cast<uint8_t>((key7[4] << 3) | (key7[5] >> 5));
    key[6] = static_cast<uint8_t>((key7[5] << 2) | (key7[6] >> 6));
    key[7] = static_cast<uint8_t>(key7[6] << 1);
    for (uint8_t& b : key)
        b &= 0xFE;
    des_ctx ctx;
    // nettle reports weak keys by its result but sets them all the same. The third NTLMv1 key is mostly zero
    // padding and is weak for some passwords; the protocol uses it regardless, so the result is not an error.
    static_cast<void>(des_set_key(&ctx, key));
    std::array<uint8_t, 8> out {};
    des_encrypt(&ctx, out.size(), out.data(), block);
    return out;
}

std::array<uint8_t, 24> ComputeNtlmV1Response(const NtHash& ntHash, const ServerChallenge& serverChallenge)
{
    uint8_t keys[21] = {};
    std::memcpy(keys, ntHash.data(), ntHash.size());
    std::array<uint8_t, 24> out {};
    for (size_t k = 0; k < 3; ++k) {
        const auto part = DesEncryptBlock(keys + 7 * k, serverChallenge.data());
        std::memcpy(out.data() + 8 * k, part.data(), part.size());
    }
    return out;
}

NtHash ComputeNtlmV2Hash(
    const NtHash& ntHash, const std::vector<uint8_t>& userUpperUtf16, const std::vector<uint8_t>& domain)
{
    hmac_md5_ctx ctx;
    hmac_md5_set_key(&ctx, ntHash.size(), ntHash.data());
    hmac_md5_update(&ctx, userUpperUtf16.size(), userUpperUtf16.data());
    hmac_md5_update(&ctx, domain.size(), domain.data());
    NtHash out {};
    hmac_md5_digest(&ctx, out.size(), out.data());
    return out;
}

std::vector<uint8_t> ComputeNtlmV2Response(const NtHash& v2Hash, const ServerChallenge& serverChallenge,
    const ClientEntropy& entropy, const std::vector<uint8_t>& targetInfo)
{
    std::vector<uint8_t> blob;
    blob.reserve(32 + targetInfo.size());
    putU32(blob, 0x00000101);
    putU32(blob, 0);
    putU64(blob, entropy.timestamp);
    putBytes(blob, entropy.clientChallenge.data(), entropy.clientChallenge.size());
    putU32(blob, 0);
    putBytes(blob, targetInfo.data(), targetInfo.size());
    putU32(blob, 0);

    hmac_md5_ctx ctx;
    hmac_md5_set_key(&ctx, v2Hash.size(), v2Hash.data());
    hmac_md5_update(&ctx, serverChallenge.size(), serverChallenge.data());
    hmac_md5_update(&ctx, blob.size(), blob.data());
    std::vector<uint8_t> out(MD5_DIGEST_SIZE);
    hmac_md5_digest(&ctx, MD5_DIGEST_SIZE, out.data());
    out.insert(out.end(), blob.begin(), blob.end());
    return out;
}

ClientEntropy MakeClientEntropy()
{
    ClientEntropy entropy;
    size_t filled = 0;
    while (filled < entropy.clientChallenge.size()) {
        const ssize_t n
            = getrandom(entropy.clientChallenge.data() + filled, entropy.clientChallenge.size() - filled, 0);
        if (n > 0)
            filled += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR)
            break; // no kernel source at all: cannot happen on the kernels we support; the bytes stay as they are
    }
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch).count();
    entropy.timestamp = static_cast<uint64_t>(seconds) * 10000000ULL + kEpochDifference;
    return entropy;
}

} // namespace ntlm

using namespace ntlm;

bool BuildNegotiateMessage(std::vector<uint8_t>& out)
{
    putBytes(out, kSignature, sizeof kSignature);
    putU32(out, kTypeNegotiate);
    putU32(out, kNegotiateFlags);
    // Domain and workstation are never supplied.
    putSecurityBuffer(out, 0, 0);
    putSecurityBuffer(out, 0, 0);
    putBytes(out, kVersion, sizeof kVersion);
    return true;
}

bool BuildAuthenticateMessage(const std::string& user, const std::string& password, const uint8_t* challenge,
    size_t challengeLength, std::vector<uint8_t>& out, std::string& error)
{
    return BuildAuthenticateMessage(user, password, challenge, challengeLength, MakeClientEntropy(), out, error);
}

bool BuildAuthenticateMessage(const std::string& user, const std::string& password, const uint8_t* challenge,
    size_t challengeLength, const ClientEntropy& entropy, std::vector<uint8_t>& out, std::string& error)
{
    Challenge parsed;
    if (!ParseChallengeMessage(challenge, challengeLength, parsed)) {
        error = "the NTLM challenge of the proxy is malformed.";
        return false;
    }

    std::string userName = user;
    std::vector<uint8_t> domain;
    const size_t backslash = user.find('\\');
    const size_t at = user.find('@');
    std::string domainText;
    bool domainFromUser = false;
    if (backslash != std::string::npos) {
        domainText = user.substr(0, backslash);
        userName = user.substr(backslash + 1);
        domainFromUser = true;
    } else if (at != std::string::npos) {
        userName = user.substr(0, at);
        domainText = user.substr(at + 1);
        domainFromUser = true;
    }
    if (domainFromUser) {
        if (!Utf8ToUtf16Le(domainText, true, domain)) {
            error = "the NTLM domain name is not valid UTF-8 text.";
            return false;
        }
    } else {
        domain = parsed.targetName;
        const size_t n = domain.size();
        if (n >= 2 && domain[n - 2] == 0)
            domain.resize(n - 2);
    }

    std::vector<uint8_t> userUtf16;
    std::vector<uint8_t> userUpperUtf16;
    if (!Utf8ToUtf16Le(userName, false, userUtf16) || !Utf8ToUtf16Le(userName, true, userUpperUtf16)) {
        error = "the NTLM user name is not valid UTF-8 text.";
        return false;
    }
    std::vector<uint8_t> passwordUtf16;
    if (!Utf8ToUtf16Le(password, false, passwordUtf16)) {
        error = "the NTLM password is not valid UTF-8 text.";
        return false;
    }

    const NtHash ntHash = ComputeNtHash(passwordUtf16);
    std::vector<uint8_t> ntResponse;
    if ((parsed.flags & kNegotiateExtendedSessionSecurity) != 0) {
        const NtHash v2Hash = ComputeNtlmV2Hash(ntHash, userUpperUtf16, domain);
        ntResponse = ComputeNtlmV2Response(v2Hash, parsed.serverChallenge, entropy, parsed.targetInfo);
    } else if ((parsed.flags & kNegotiateNtlm) != 0) {
        const auto v1 = ComputeNtlmV1Response(ntHash, parsed.serverChallenge);
        ntResponse.assign(v1.begin(), v1.end());
    }

    // Every length goes into a 16-bit field.
    if (domain.size() > 0xFFFF || userUtf16.size() > 0xFFFF || ntResponse.size() > 0xFFFF) {
        error = "the NTLM user name, domain or challenge is too long.";
        return false;
    }

    const bool withVersion = (parsed.flags & kNegotiateVersion) != 0;
    const size_t payloadStart = withVersion ? kAuthenticateWithVersionPayloadOffset : kAuthenticatePayloadOffset;
    const size_t domainOffset = payloadStart;
    const size_t userOffset = domainOffset + domain.size();
    const size_t workstationOffset = userOffset + userUtf16.size();
    const size_t lmOffset = workstationOffset;
    const size_t ntOffset = lmOffset;
    const size_t sessionKeyOffset = ntOffset + ntResponse.size();

    std::vector<uint8_t> message;
    message.reserve(sessionKeyOffset);
    putBytes(message, kSignature, sizeof kSignature);
    putU32(message, kTypeAuthenticate);
    putSecurityBuffer(message, 0, lmOffset);
    putSecurityBuffer(message, ntResponse.size(), ntOffset);
    putSecurityBuffer(message, domain.size(), domainOffset);
    putSecurityBuffer(message, userUtf16.size(), userOffset);
    putSecurityBuffer(message, 0, workstationOffset);
    putSecurityBuffer(message, 0, sessionKeyOffset);
    putU32(message, parsed.flags);
    if (withVersion)
        putBytes(message, kVersion, sizeof kVersion);
    putBytes(message, domain.data(), domain.size());
    putBytes(message, userUtf16.data(), userUtf16.size());
    putBytes(message, ntResponse.data(), ntResponse.size());

    out.insert(out.end(), message.begin(), message.end());
    return true;
}

} // namespace corvantis
