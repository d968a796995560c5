#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/proxy/Socks5Codec.h"

namespace corvantis {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(Socks5Codec, GreetingOffersExactlyOneMethod)
{
    EXPECT_EQ(socks5::EncodeGreeting(false), (Bytes { 5, 1, 0 }));
    EXPECT_EQ(socks5::EncodeGreeting(true), (Bytes { 5, 1, 2 }));
}

TEST(Socks5Codec, UserPasswordRequest)
{
    const std::string longest(255, 'u');
    const std::string tooLong(256, 'u');
    struct Case {
        const char* name;
        std::string user;
        std::string password;
        Bytes expected;
        std::string error;
    };
    const Case cases[] = {
        { "plain", "alice", "secret", concat({ { 1, 5 }, bytesOf("alice"), { 6 }, bytesOf("secret") }), "" },
        { "empty password", "alice", "", concat({ { 1, 5 }, bytesOf("alice"), { 0 } }), "" },
        { "255-byte user", longest, "p", concat({ { 1, 255 }, bytesOf(longest), { 1, 'p' } }), "" },
        { "255-byte password", "a", longest, concat({ { 1, 1, 'a', 255 }, bytesOf(longest) }), "" },
        { "256-byte user", tooLong, "p", {}, "User login is too long." },
        { "256-byte password", "a", tooLong, {}, "User password is too long." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto encoded = socks5::EncodeUserPassword(c.user, c.password);
        EXPECT_EQ(encoded.error, c.error);
        EXPECT_EQ(encoded.bytes, c.expected);
    }
}

TEST(Socks5Codec, ConnectRequestByAddressTypes)
{
    socks5::Target v4;
    v4.kind = socks5::Target::Kind::IPv4;
    v4.address = { 10, 1, 2, 3 };
    v4.port = 8080;

    socks5::Target v6;
    v6.kind = socks5::Target::Kind::IPv6;
    v6.address = { 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 };
    v6.port = 443;

    socks5::Target name;
    name.kind = socks5::Target::Kind::HostName;
    name.hostName = "example";
    name.port = 443;

    socks5::Target longest = name;
    longest.hostName = std::string(255, 'a');
    socks5::Target tooLong = name;
    tooLong.hostName = std::string(256, 'a');

    struct Case {
        const char* name;
        socks5::Target target;
        Bytes expected;
        std::string error;
    };
    const Case cases[] = {
        { "IPv4", v4, { 5, 1, 0, 1, 10, 1, 2, 3, 0x1F, 0x90 }, "" },
        { "IPv6", v6, concat({ { 5, 1, 0, 4 }, Bytes(v6.address.begin(), v6.address.end()), { 0x01, 0xBB } }), "" },
        { "host name", name, concat({ { 5, 1, 0, 3, 7 }, bytesOf("example"), { 0x01, 0xBB } }), "" },
        { "255-byte name", longest, concat({ { 5, 1, 0, 3, 255 }, bytesOf(longest.hostName), { 0x01, 0xBB } }), "" },
        { "256-byte name", tooLong, {}, "Target host name is too long." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto encoded = socks5::EncodeConnect(c.target);
        EXPECT_EQ(encoded.error, c.error);
        EXPECT_EQ(encoded.bytes, c.expected);
    }
}

TEST(Socks5Codec, ShortReplyNeedsTwoBytes)
{
    const Bytes reply { 5, 2 };
    EXPECT_EQ(socks5::DecodeShortReply(std::span(reply).first(0)).state, DecodeState::NeedMore);
    EXPECT_EQ(socks5::DecodeShortReply(std::span(reply).first(1)).state, DecodeState::NeedMore);
    const auto whole = socks5::DecodeShortReply(reply);
    EXPECT_EQ(whole.state, DecodeState::Done);
    EXPECT_EQ(whole.version, 5);
    EXPECT_EQ(whole.value, 2);
}

// Fed one byte more at a time, the decoder must ask for 2, then 5, then the whole reply, never for less than
// it was given, and be done exactly at the reply's length.
TEST(Socks5Codec, ConnectReplyLengthGrowsAsTheBytesArrive)
{
    struct Case {
        const char* name;
        Bytes reply;
        uint8_t addressType;
    };
    const Case cases[] = {
        { "IPv4 bound address", { 5, 0, 0, 1, 127, 0, 0, 1, 0x04, 0x38 }, 1 },
        { "IPv6 bound address", concat({ { 5, 0, 0, 4 }, Bytes(16, 0xAB), { 0, 80 } }), 4 },
        { "domain of 20 bytes", concat({ { 5, 0, 0, 3, 20 }, Bytes(20, 'd'), { 0, 80 } }), 3 },
        { "empty domain", { 5, 0, 0, 3, 0, 0, 80 }, 3 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<size_t> asked;
        for (size_t have = 0; have < c.reply.size(); ++have) {
            const auto partial = socks5::DecodeConnectReply(std::span(c.reply).first(have));
            ASSERT_EQ(partial.state, DecodeState::NeedMore) << "after " << have << " bytes";
            ASSERT_GT(partial.needed, have);
            ASSERT_LE(partial.needed, c.reply.size());
            if (asked.empty() || asked.back() != partial.needed)
                asked.push_back(partial.needed);
        }
        EXPECT_EQ(asked, (std::vector<size_t> { 2, 5, c.reply.size() }));
        const auto whole = socks5::DecodeConnectReply(c.reply);
        EXPECT_EQ(whole.state, DecodeState::Done);
        EXPECT_EQ(whole.needed, c.reply.size());
        EXPECT_EQ(whole.addressType, c.addressType);
    }
}

TEST(Socks5Codec, ConnectReplyShowsVersionAndCodeAfterTwoBytes)
{
    const Bytes head { 4, 5 };
    const auto partial = socks5::DecodeConnectReply(head);
    EXPECT_EQ(partial.state, DecodeState::NeedMore);
    EXPECT_EQ(partial.version, 4);
    EXPECT_EQ(partial.reply, 5);
}

TEST(Socks5Codec, ConnectReplyWithUnknownAddressTypeIsAnError)
{
    for (uint8_t type : { 0, 2, 5, 255 }) {
        SCOPED_TRACE(int { type });
        const Bytes reply { 5, 0, 0, type, 0 };
        const auto decoded = socks5::DecodeConnectReply(reply);
        EXPECT_EQ(decoded.state, DecodeState::Error);
        EXPECT_EQ(
            decoded.error, "Proxy server returned a reply with an unexpected address type " + std::to_string(type));
    }
}

TEST(Socks5Codec, ReplyCodeTexts)
{
    const std::pair<uint8_t, std::string> cases[] = {
        { 1, " - general SOCKS server failure." },
        { 2, " - connection not allowed by ruleset." },
        { 3, " - Network unreachable." },
        { 4, " - Host unreachable." },
        { 5, " - Connection refused." },
        { 6, " - TTL expired." },
        { 7, " - Command not supported." },
        { 8, " - Address type not supported." },
        { 9, "." },
        { 255, "." },
    };
    for (const auto& [code, text] : cases) {
        SCOPED_TRACE(int { code });
        EXPECT_EQ(socks5::ReplyCodeText(code), text);
    }
}

} // namespace
} // namespace corvantis
