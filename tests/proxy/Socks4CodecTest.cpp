#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/proxy/Socks4Codec.h"

namespace corvantis {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes bytesOf(const std::string& text)
{
    return Bytes(text.begin(), text.end());
}

TEST(Socks4Codec, ConnectRequest)
{
    const std::array<uint8_t, 4> address { 10, 1, 2, 3 };
    const std::string longest(1024, 'x');
    const std::string tooLong(1025, 'x');
    struct Case {
        const char* name;
        std::string user;
        std::optional<std::string> host;
        Bytes expected;
        std::string error;
    };
    const Case cases[] = {
        // Head, one user name byte and its terminator: ten bytes in all.
        { "one-byte user", "u", std::nullopt, { 4, 1, 0x1F, 0x90, 10, 1, 2, 3, 'u', 0 }, "" },
        { "empty user", "", std::nullopt, { 4, 1, 0x1F, 0x90, 10, 1, 2, 3, 0 }, "" },
        { "host name (4A)", "u", "example.com",
            concat({ { 4, 1, 0x1F, 0x90, 0, 0, 0, 1, 'u', 0 }, bytesOf("example.com"), { 0 } }), "" },
        { "1024-byte user", longest, std::nullopt,
            concat({ { 4, 1, 0x1F, 0x90, 10, 1, 2, 3 }, bytesOf(longest), { 0 } }), "" },
        { "1025-byte user", tooLong, std::nullopt, {}, "UserId is too long." },
        { "1024-byte host", "", longest, concat({ { 4, 1, 0x1F, 0x90, 0, 0, 0, 1, 0 }, bytesOf(longest), { 0 } }), "" },
        { "1025-byte host", "", tooLong, {}, "Target host name is too long." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<std::string_view> host;
        if (c.host)
            host = *c.host;
        const auto encoded = socks4::EncodeConnect(8080, address, c.user, host);
        EXPECT_EQ(encoded.error, c.error);
        EXPECT_EQ(encoded.bytes, c.expected);
    }
}

TEST(Socks4Codec, ReplyIsEightBytesAndOnlyTheCodeCounts)
{
    const Bytes reply { 0, 91, 0xAA, 0xBB, 1, 2, 3, 4 };
    for (size_t have = 0; have < reply.size(); ++have) {
        const auto partial = socks4::DecodeReply(std::span(reply).first(have));
        EXPECT_EQ(partial.state, DecodeState::NeedMore);
        EXPECT_EQ(partial.needed, 8u);
    }
    const auto whole = socks4::DecodeReply(reply);
    EXPECT_EQ(whole.state, DecodeState::Done);
    EXPECT_EQ(whole.code, 91);
}

} // namespace
} // namespace corvantis
