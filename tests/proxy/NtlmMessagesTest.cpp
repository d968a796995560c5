#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/foundation/Base64.h"
#include "core/proxy/NtlmMessages.h"

namespace corvantis {
namespace {

using namespace ntlm;

std::vector<uint8_t> hex(const std::string& text)
{
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text) {
        if (c != ' ')
            digits.push_back(c);
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

template <typename Bytes> std::vector<uint8_t> bytes(const Bytes& b)
{
    return std::vector<uint8_t>(b.begin(), b.end());
}

uint16_t u16(const std::vector<uint8_t>& m, size_t at)
{
    return static_cast<uint16_t>(m[at] | (m[at + 1] << 8));
}

uint32_t u32(const std::vector<uint8_t>& m, size_t at)
{
    return static_cast<uint32_t>(m[at]) | (static_cast<uint32_t>(m[at + 1]) << 8)
        | (static_cast<uint32_t>(m[at + 2]) << 16) | (static_cast<uint32_t>(m[at + 3]) << 24);
}

// The payload of the security buffer at `field` of a message.
std::vector<uint8_t> payload(const std::vector<uint8_t>& m, size_t field)
{
    const size_t length = u16(m, field);
    const size_t offset = u32(m, field + 4);
    EXPECT_EQ(u16(m, field + 2), length);
    EXPECT_LE(offset + length, m.size());
    return std::vector<uint8_t>(m.begin() + static_cast<long>(offset), m.begin() + static_cast<long>(offset + length));
}

std::vector<uint8_t> utf16(const std::string& ascii)
{
    std::vector<uint8_t> out;
    for (char c : ascii) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

// The published NTLMv2 example: user "User", domain "Domain", password "Password", server challenge
// 0123456789abcdef, client challenge aa..aa, time stamp 0, and its challenge message with target name "Domain"
// and target information (domain "Domain", server "Server").
const std::vector<uint8_t> kV2Challenge
    = hex("4e544c4d53535000 02000000 0c000c00 38000000 33828ae2 0123456789abcdef "
          "0000000000000000 24002400 44000000 06007017 0000000f "
          "44006f006d00610069006e00 "
          "02000c0044006f006d00610069006e00 01000c0053006500720076006500720000000000");
const ClientEntropy kV2Entropy { { 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa, 0xaa }, 0 };

// A challenge with the given flags, target name and target information (no version field unless the flags ask
// for one).
std::vector<uint8_t> makeChallenge(uint32_t flags, const std::vector<uint8_t>& targetName,
    const std::vector<uint8_t>& targetInfo, const std::string& serverChallengeHex = "0123456789abcdef")
{
    const bool version = (flags & kNegotiateVersion) != 0;
    const size_t header = version ? 56 : 48;
    std::vector<uint8_t> m = hex("4e544c4d53535000 02000000");
    auto put16 = [&](uint16_t v) {
        m.push_back(static_cast<uint8_t>(v));
        m.push_back(static_cast<uint8_t>(v >> 8));
    };
    auto put32 = [&](uint32_t v) {
        for (int s = 0; s < 32; s += 8)
            m.push_back(static_cast<uint8_t>(v >> s));
    };
    put16(static_cast<uint16_t>(targetName.size()));
    put16(static_cast<uint16_t>(targetName.size()));
    put32(static_cast<uint32_t>(header));
    put32(flags);
    const auto sc = hex(serverChallengeHex);
    m.insert(m.end(), sc.begin(), sc.end());
    m.insert(m.end(), 8, 0);
    put16(static_cast<uint16_t>(targetInfo.size()));
    put16(static_cast<uint16_t>(targetInfo.size()));
    put32(static_cast<uint32_t>(header + targetName.size()));
    if (version) {
        const auto v = hex("0601b01d0000000f");
        m.insert(m.end(), v.begin(), v.end());
    }
    m.insert(m.end(), targetName.begin(), targetName.end());
    m.insert(m.end(), targetInfo.begin(), targetInfo.end());
    return m;
}

TEST(NtlmKnownAnswers, HashesAndResponsesEqualThePublishedExamples)
{
    const NtHash ntHash = ComputeNtHash(utf16("Password"));
    EXPECT_EQ(bytes(ntHash), hex("a4f49c406510bdcab6824ee7c30fd852"));

    ServerChallenge server {};
    std::memcpy(server.data(), hex("0123456789abcdef").data(), server.size());
    EXPECT_EQ(bytes(ComputeNtlmV1Response(ntHash, server)), hex("67c43011f30298a2ad35ece64f16331c44bdbed927841f94"));

    const NtHash v2Hash = ComputeNtlmV2Hash(ntHash, utf16("USER"), utf16("Domain"));
    EXPECT_EQ(bytes(v2Hash), hex("0c868a403bfd7a93a3001ef22ef02e3f"));

    Challenge parsed;
    ASSERT_TRUE(ParseChallengeMessage(kV2Challenge.data(), kV2Challenge.size(), parsed));
    const auto response = ComputeNtlmV2Response(v2Hash, server, kV2Entropy, parsed.targetInfo);
    ASSERT_GE(response.size(), 16u);
    EXPECT_EQ(std::vector<uint8_t>(response.begin(), response.begin() + 16), hex("68cd0ab851e51c96aabc927bebef6a1c"));
}

TEST(NtlmKnownAnswers, AuthenticateMessageCarriesThePublishedNtlmV2Response)
{
    std::vector<uint8_t> message;
    std::string error;
    ASSERT_TRUE(BuildAuthenticateMessage(
        "User", "Password", kV2Challenge.data(), kV2Challenge.size(), kV2Entropy, message, error))
        << error;
    EXPECT_EQ(std::vector<uint8_t>(message.begin(), message.begin() + 12), hex("4e544c4d53535000 03000000"));
    // The challenge carries NEGOTIATE_VERSION: flags copied, version present, payloads from 72.
    EXPECT_EQ(u32(message, 60), 0xe28a8233u);
    EXPECT_EQ(std::vector<uint8_t>(message.begin() + 64, message.begin() + 72), hex("0601b01d0000000f"));
    EXPECT_EQ(u32(message, 28 + 4), 72u);
    EXPECT_EQ(payload(message, 28), utf16("Domain")); // the target name, as no domain was typed
    EXPECT_EQ(payload(message, 36), utf16("User")); // case kept
    EXPECT_TRUE(payload(message, 12).empty()); // LM
    EXPECT_TRUE(payload(message, 44).empty()); // workstation
    EXPECT_TRUE(payload(message, 52).empty()); // session key

    const auto nt = payload(message, 20);
    const auto expectedBlob = hex("0101000000000000 0000000000000000 aaaaaaaaaaaaaaaa 00000000 "
                                  "02000c0044006f006d00610069006e00 01000c0053006500720076006500720000000000 "
                                  "00000000");
    ASSERT_EQ(nt.size(), 16 + expectedBlob.size());
    EXPECT_EQ(std::vector<uint8_t>(nt.begin(), nt.begin() + 16), hex("68cd0ab851e51c96aabc927bebef6a1c"));
    EXPECT_EQ(std::vector<uint8_t>(nt.begin() + 16, nt.end()), expectedBlob);
}

TEST(NtlmKnownAnswers, NtlmV1ResponseWithoutExtendedSessionSecurity)
{
    const auto challenge = makeChallenge(kNegotiateUnicode | kNegotiateNtlm, utf16("Domain"), {});
    std::vector<uint8_t> message;
    std::string error;
    ASSERT_TRUE(BuildAuthenticateMessage("User", "Password", challenge.data(), challenge.size(), message, error));
    EXPECT_EQ(payload(message, 20), hex("67c43011f30298a2ad35ece64f16331c44bdbed927841f94"));
    EXPECT_EQ(u32(message, 28 + 4), 64u); // no version field
}

TEST(NtlmMessages, NegotiateMessageIsFixed)
{
    std::vector<uint8_t> first;
    std::vector<uint8_t> second;
    ASSERT_TRUE(BuildNegotiateMessage(first));
    ASSERT_TRUE(BuildNegotiateMessage(second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, hex("4e544c4d53535000 01000000 07820802 0000000000000000 0000000000000000 0601b01d0000000f"));

    // Its Base64 form decodes back to the flags 0x02088207.
    CryptBuf text;
    Base64EncodeBuf(first.data(), first.size(), text);
    CryptBuf decoded;
    ASSERT_EQ(Base64DecodeBuf(reinterpret_cast<const char*>(CryptBufGetData(text)), decoded), 40u);
    EXPECT_EQ(u32(std::vector<uint8_t>(CryptBufGetData(decoded), CryptBufGetData(decoded) + 40), 12), kNegotiateFlags);
}

TEST(NtlmMessages, RefusedChallenges)
{
    auto wrongSignature = kV2Challenge;
    wrongSignature[0] = 'X';
    auto typeThree = kV2Challenge;
    typeThree[8] = 3;
    auto payloadPastEnd = kV2Challenge;
    payloadPastEnd[40] = 0xFF; // target information length 255
    const auto withVersionTooShort = makeChallenge(kNegotiateNtlm | kNegotiateVersion, {}, {});
    struct Case {
        const char* name;
        std::vector<uint8_t> challenge;
    };
    const Case cases[] = {
        { "47 bytes", std::vector<uint8_t>(kV2Challenge.begin(), kV2Challenge.begin() + 47) },
        { "signature", wrongSignature },
        { "type 3", typeThree },
        { "payload past end", payloadPastEnd },
        { "version announced but missing",
            std::vector<uint8_t>(withVersionTooShort.begin(), withVersionTooShort.begin() + 50) },
        { "empty", {} },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> message { 0x55 };
        std::string error;
        EXPECT_FALSE(BuildAuthenticateMessage("u", "p", c.challenge.data(), c.challenge.size(), message, error));
        EXPECT_EQ(message, std::vector<uint8_t> { 0x55 });
        EXPECT_FALSE(error.empty());
    }
    // A 48-byte challenge without a version is enough.
    const auto minimal = makeChallenge(kNegotiateNtlm, {}, {});
    ASSERT_EQ(minimal.size(), 48u);
    std::vector<uint8_t> message;
    std::string error;
    EXPECT_TRUE(BuildAuthenticateMessage("u", "p", minimal.data(), minimal.size(), message, error)) << error;
}

TEST(NtlmMessages, UserTextSplitsIntoUserAndDomain)
{
    const auto challenge = makeChallenge(kNegotiateUnicode | kNegotiateNtlm, utf16("TARGET"), {});
    struct Case {
        const char* user;
        std::vector<uint8_t> userName;
        std::vector<uint8_t> domain;
    };
    const Case cases[] = {
        { "dom\\user", utf16("user"), utf16("DOM") },
        { "user@dom", utf16("user"), utf16("DOM") },
        { "a\\b@c", utf16("b@c"), utf16("A") },
        { "user", utf16("user"), utf16("TARGET") },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        std::vector<uint8_t> message;
        std::string error;
        ASSERT_TRUE(BuildAuthenticateMessage(c.user, "pw", challenge.data(), challenge.size(), message, error));
        EXPECT_EQ(payload(message, 36), c.userName);
        EXPECT_EQ(payload(message, 28), c.domain);
    }
    // A target name ending in a zero character loses it.
    const auto zeroEnded = makeChallenge(kNegotiateNtlm, hex("5400000000"), {});
    std::vector<uint8_t> message;
    std::string error;
    ASSERT_TRUE(BuildAuthenticateMessage("user", "pw", zeroEnded.data(), zeroEnded.size(), message, error));
    EXPECT_EQ(payload(message, 28), hex("540000"));
}

TEST(NtlmMessages, ResponseKindFollowsTheChallengeFlags)
{
    const auto info = hex("02000c0044006f006d00610069006e000000000000");
    struct Case {
        const char* name;
        uint32_t flags;
        size_t ntLength;
    };
    const Case cases[] = {
        { "NTLMv2", kNegotiateNtlm | kNegotiateExtendedSessionSecurity, 16 + 32 + info.size() },
        { "NTLMv1", kNegotiateNtlm, 24 },
        { "neither", kNegotiateUnicode, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto challenge = makeChallenge(c.flags, {}, info);
        std::vector<uint8_t> message;
        std::string error;
        ASSERT_TRUE(BuildAuthenticateMessage("user", "pw", challenge.data(), challenge.size(), message, error));
        EXPECT_EQ(payload(message, 20).size(), c.ntLength);
        EXPECT_EQ(u32(message, 60), c.flags);
    }
}

TEST(NtlmMessages, ClientChallengeDiffersBetweenMessages)
{
    const auto challenge = makeChallenge(kNegotiateNtlm | kNegotiateExtendedSessionSecurity, {}, {});
    std::vector<uint8_t> first;
    std::vector<uint8_t> second;
    std::string error;
    ASSERT_TRUE(BuildAuthenticateMessage("u", "p", challenge.data(), challenge.size(), first, error));
    ASSERT_TRUE(BuildAuthenticateMessage("u", "p", challenge.data(), challenge.size(), second, error));
    const auto a = payload(first, 20);
    const auto b = payload(second, 20);
    // Blob bytes 16..23 are the client challenge: fresh random bytes each time.
    EXPECT_NE(
        std::vector<uint8_t>(a.begin() + 32, a.begin() + 40), std::vector<uint8_t>(b.begin() + 32, b.begin() + 40));
    // The time stamp is the current time in 100 ns units since 1601 (after 2020-01-01).
    uint64_t stamp = 0;
    for (int i = 7; i >= 0; --i)
        stamp = (stamp << 8) | a[static_cast<size_t>(24 + i)];
    EXPECT_GT(stamp, 132223104000000000ULL);
}

TEST(NtlmText, Utf8ToUtf16Le)
{
    struct Case {
        const char* name;
        std::string text;
        bool upper;
        bool ok;
        std::vector<uint8_t> out;
    };
    const Case cases[] = {
        { "empty", "", false, true, {} },
        { "ascii upper", "aZ9", true, true, utf16("AZ9") },
        { "two bytes", "\xC3\xA9", false, true, hex("e900") },
        { "three bytes", "\xE2\x82\xAC", false, true, hex("ac20") },
        { "above U+FFFF is a surrogate pair", "\xF0\x9F\x98\x80", false, true, hex("3dd800de") },
        { "U+10FFFF", "\xF4\x8F\xBF\xBF", false, true, hex("ffdbffdf") },
        { "lone continuation", "\x80", false, false, {} },
        { "truncated", "\xE2\x82", false, false, {} },
        { "over-long", "\xC0\xAF", false, false, {} },
        { "surrogate encoded", "\xED\xA0\x80", false, false, {} },
        { "above U+10FFFF", "\xF4\x90\x80\x80", false, false, {} },
        { "latin1 byte", "caf\xE9", false, false, {} },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> out;
        EXPECT_EQ(Utf8ToUtf16Le(c.text, c.upper, out), c.ok);
        if (c.ok) {
            EXPECT_EQ(out, c.out);
        }
    }
}

TEST(NtlmText, PasswordsAboveTheBasicPlaneAndBadTextAreHandled)
{
    // A password with a character above U+FFFF hashes as its surrogate pair, not as nothing.
    const auto challenge = makeChallenge(kNegotiateUnicode | kNegotiateNtlm, {}, {});
    std::vector<uint8_t> emoji;
    std::string error;
    ASSERT_TRUE(BuildAuthenticateMessage("u", "\xF0\x9F\x98\x80", challenge.data(), challenge.size(), emoji, error));
    ServerChallenge server {};
    std::memcpy(server.data(), hex("0123456789abcdef").data(), server.size());
    EXPECT_EQ(payload(emoji, 20), bytes(ComputeNtlmV1Response(ComputeNtHash(hex("3dd800de")), server)));
    EXPECT_NE(payload(emoji, 20), bytes(ComputeNtlmV1Response(ComputeNtHash({}), server)));

    // An empty password is the hash of nothing.
    EXPECT_EQ(bytes(ComputeNtHash({})), hex("31d6cfe0d16ae931b73c59d7e0c089c0"));

    struct Case {
        const char* name;
        std::string user;
        std::string password;
        const char* reason;
    };
    const Case cases[] = {
        { "password", "u", "p\xFF", "password" },
        { "user", "\xC3", "p", "user name" },
        { "domain", "\xFF\\u", "p", "domain" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> message;
        std::string reason;
        EXPECT_FALSE(BuildAuthenticateMessage(c.user, c.password, challenge.data(), challenge.size(), message, reason));
        EXPECT_TRUE(message.empty());
        EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    }
}

TEST(NtlmCrypto, WeakDesKeyStillEncrypts)
{
    // The all-zero key is one of DES's weak keys; the third NTLMv1 key is all zero for some passwords.
    const uint8_t zeroKey[7] = {};
    const uint8_t block[8] = { 0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef };
    const auto out = DesEncryptBlock(zeroKey, block);
    EXPECT_EQ(bytes(out), hex("617b3a0ce8f07100"));
}

} // namespace
} // namespace corvantis
