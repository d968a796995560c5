#include "platform/xpc/XpcFrameCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace corvantis {
namespace {

using Bytes = std::vector<uint8_t>;

XpcDict roundTrip(const XpcDict& message, const XpcLimits& limits = {})
{
    auto frame = XpcFrameCodec::encode(message, limits);
    EXPECT_TRUE(frame.ok()) << frame.status().message();
    if (!frame.ok())
        return {};
    XpcFrameDecoder decoder(limits);
    decoder.feed(*frame);
    auto outcome = decoder.next();
    EXPECT_EQ(outcome.state, XpcFrameDecoder::State::Message) << outcome.error;
    EXPECT_EQ(decoder.buffered(), 0u);
    return outcome.message;
}

// Payload bytes written by hand, so the decoder is checked against the documented format, not against our
// own encoder.
struct Writer {
    Bytes out;
    Writer& tag(uint8_t t)
    {
        out.push_back(t);
        return *this;
    }
    Writer& u32(uint32_t v)
    {
        for (int s = 24; s >= 0; s -= 8)
            out.push_back(static_cast<uint8_t>(v >> s));
        return *this;
    }
    Writer& raw(const std::string& s)
    {
        out.insert(out.end(), s.begin(), s.end());
        return *this;
    }
    Writer& str(const std::string& s) { return u32(static_cast<uint32_t>(s.size())).raw(s); }
    Bytes frame() const
    {
        Writer w;
        w.u32(static_cast<uint32_t>(out.size()));
        w.out.insert(w.out.end(), out.begin(), out.end());
        return w.out;
    }
};

TEST(XpcFrameCodecTest, EveryTypeRoundTrips)
{
    const XpcDict inner { { "n", XpcObject(-1) }, { "empty", XpcObject(XpcDict {}) } };
    const XpcDict message {
        { "absent", XpcObject() },
        { "int max", XpcObject(std::numeric_limits<long long>::max()) },
        { "int min", XpcObject(std::numeric_limits<long long>::min()) },
        { "zero", XpcObject(0) },
        { "yes", XpcObject(true) },
        { "no", XpcObject(false) },
        { "real", XpcObject(-2.5e-300) },
        { "infinity", XpcObject(std::numeric_limits<double>::infinity()) },
        { "text", XpcObject("Zürich \xE2\x82\xAC \xF0\x9F\x98\x80") },
        { "nul inside", XpcObject(std::string("a\0b", 3)) },
        { "empty text", XpcObject("") },
        { "bytes", XpcObject(PlistData { 0, 1, 0xFF }) },
        { "no bytes", XpcObject(PlistData {}) },
        { "list", XpcObject(XpcArray { XpcObject(1), XpcObject(), XpcObject("x"), XpcObject(XpcArray {}) }) },
        { "dict", XpcObject(inner) },
        { "endpoint", XpcObject(XpcEndpoint { "corvantis-abc", std::nullopt }) },
        { "", XpcObject("empty key") },
        { "\xC3\xA9", XpcObject("key above ASCII sorts after every ASCII key") },
    };
    EXPECT_EQ(roundTrip(message), message);
}

TEST(XpcFrameCodecTest, AbsentIsNotEmpty)
{
    const XpcDict absent { { "v", XpcObject() } };
    const XpcDict emptyText { { "v", XpcObject("") } };
    const XpcDict emptyData { { "v", XpcObject(PlistData {}) } };
    EXPECT_TRUE(roundTrip(absent).at("v").isAbsent());
    EXPECT_EQ(roundTrip(emptyText).at("v"), XpcObject(""));
    EXPECT_EQ(roundTrip(emptyData).at("v"), XpcObject(PlistData {}));
    EXPECT_NE(XpcObject(), XpcObject(""));
    EXPECT_NE(XpcObject(""), XpcObject(PlistData {}));
}

TEST(XpcFrameCodecTest, RealsKeepTheirBits)
{
    for (double d : { -0.0, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::denorm_min() }) {
        const XpcDict back = roundTrip({ { "r", XpcObject(d) } });
        ASSERT_NE(back.at("r").real(), nullptr);
        EXPECT_EQ(std::memcmp(back.at("r").real(), &d, sizeof d), 0) << d;
    }
}

TEST(XpcFrameCodecTest, EndpointOwnerIsNeverSent)
{
    const XpcDict back = roundTrip({ { "e", XpcObject(XpcEndpoint { "name", 1234 }) } });
    ASSERT_NE(back.at("e").endpoint(), nullptr);
    EXPECT_EQ(back.at("e").endpoint()->name, "name");
    EXPECT_FALSE(back.at("e").endpoint()->owner.has_value());
}

TEST(XpcFrameCodecTest, InvalidUtf8TextIsRepairedOnTheWay)
{
    const XpcDict back = roundTrip({ { "t", XpcObject("ok\xFF\xC3(end") } });
    EXPECT_EQ(*back.at("t").string(), "ok\xEF\xBF\xBD\xEF\xBF\xBD(end");
    auto bad = XpcFrameCodec::encode({ { "bad\xFF", XpcObject(1) } });
    EXPECT_FALSE(bad.ok());
}

TEST(XpcFrameCodecTest, PlistValuesConvertBothWays)
{
    const PlistValue plist(PlistDict {
        { "a", PlistValue(PlistArray { PlistValue(1), PlistValue(2.5), PlistValue("s") }) },
        { "b", PlistValue(PlistData { 7 }) },
        { "c", PlistValue(false) },
    });
    const XpcObject object = XpcObject::fromPlist(plist);
    EXPECT_EQ(object.toPlist(), plist);
    EXPECT_FALSE(XpcObject(XpcArray { XpcObject() }).toPlist().has_value());
    EXPECT_FALSE(XpcObject(XpcDict { { "e", XpcObject(XpcEndpoint { "x", {} }) } }).toPlist().has_value());
}

TEST(XpcFrameCodecTest, GarbagePayloadsFailCleanly)
{
    struct Case {
        const char* name;
        Bytes payload;
    };
    const Case cases[] = {
        { "empty payload", {} },
        { "root is a string", Writer().tag(0x05).str("x").out },
        { "root is absent", Writer().tag(0x00).out },
        { "unknown tag", Writer().tag(0x08).u32(1).str("k").tag(0x7F).out },
        { "truncated count", Writer().tag(0x08).raw("\x00\x00").out },
        { "truncated integer", Writer().tag(0x08).u32(1).str("k").tag(0x01).raw("\x01\x02").out },
        { "truncated real", Writer().tag(0x08).u32(1).str("k").tag(0x04).out },
        { "string longer than the payload", Writer().tag(0x08).u32(1).str("k").tag(0x05).u32(100).raw("abc").out },
        { "data longer than the payload", Writer().tag(0x08).u32(1).str("k").tag(0x06).u32(0xFFFFFFFF).out },
        { "key longer than the payload", Writer().tag(0x08).u32(1).u32(0x7FFFFFFF).out },
        { "string not UTF-8", Writer().tag(0x08).u32(1).str("k").tag(0x05).str("\xC0\x80").out },
        { "key not UTF-8", Writer().tag(0x08).u32(1).str("\xFF").tag(0x00).out },
        { "repeated key", Writer().tag(0x08).u32(2).str("k").tag(0x00).str("k").tag(0x00).out },
        { "keys out of order", Writer().tag(0x08).u32(2).str("b").tag(0x00).str("a").tag(0x00).out },
        { "array count beyond the payload", Writer().tag(0x08).u32(1).str("k").tag(0x07).u32(0xFFFFFFFF).out },
        { "dictionary count beyond the payload", Writer().tag(0x08).u32(0x40000000).out },
        { "empty endpoint name", Writer().tag(0x08).u32(1).str("k").tag(0x09).u32(0).out },
        { "endpoint name of 108 bytes", Writer().tag(0x08).u32(1).str("k").tag(0x09).str(std::string(108, 'e')).out },
        { "trailing bytes", Writer().tag(0x08).u32(0).tag(0x00).out },
        { "fewer entries than counted", Writer().tag(0x08).u32(2).str("k").tag(0x00).out },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto decoded = XpcFrameCodec::decodePayload(c.payload);
        ASSERT_FALSE(decoded.ok());
        EXPECT_FALSE(decoded.status().message().empty());

        XpcFrameDecoder decoder;
        decoder.feed(Writer { c.payload }.frame());
        auto outcome = decoder.next();
        EXPECT_EQ(outcome.state, XpcFrameDecoder::State::Error);
        EXPECT_EQ(outcome.error, decoded.status().message());
    }
}

TEST(XpcFrameCodecTest, NestingLimitHoldsBothWays)
{
    const XpcLimits limits { XpcLimits::kDefaultMaxFrameBytes, 4 };
    auto nested = [](int levels) {
        // The message itself is level 1; each array adds one.
        XpcObject v(1);
        for (int i = 1; i < levels; ++i)
            v = XpcObject(XpcArray { v });
        return XpcDict { { "v", v } };
    };
    EXPECT_EQ(roundTrip(nested(4), limits), nested(4));
    auto tooDeep = XpcFrameCodec::encode(nested(5), limits);
    EXPECT_FALSE(tooDeep.ok());

    auto frame = XpcFrameCodec::encode(nested(5));
    ASSERT_TRUE(frame.ok());
    XpcFrameDecoder decoder(limits);
    decoder.feed(*frame);
    EXPECT_EQ(decoder.next().state, XpcFrameDecoder::State::Error);
}

TEST(XpcFrameCodecTest, HostileNestingDoesNotExhaustTheStack)
{
    Writer w;
    w.tag(0x08).u32(1).str("k");
    for (int i = 0; i < 200000; ++i)
        w.tag(0x07).u32(1);
    auto decoded = XpcFrameCodec::decodePayload(w.out);
    ASSERT_FALSE(decoded.ok());
    EXPECT_NE(decoded.status().message().find("deeper"), std::string::npos) << decoded.status().message();
}

TEST(XpcFrameCodecTest, StreamIsCutIntoMessagesWhateverTheChunks)
{
    const XpcDict first { { "n", XpcObject(1) }, { "t", XpcObject(std::string(300, 'x')) } };
    const XpcDict second { { "n", XpcObject(2) } };
    Bytes stream = *XpcFrameCodec::encode(first);
    const Bytes tail = *XpcFrameCodec::encode(second);
    stream.insert(stream.end(), tail.begin(), tail.end());

    for (size_t chunk : { size_t { 1 }, size_t { 3 }, size_t { 7 }, stream.size() }) {
        SCOPED_TRACE(chunk);
        XpcFrameDecoder decoder;
        std::vector<XpcDict> got;
        for (size_t i = 0; i < stream.size(); i += chunk) {
            decoder.feed(std::span<const uint8_t>(stream).subspan(i, std::min(chunk, stream.size() - i)));
            for (auto o = decoder.next(); o.state != XpcFrameDecoder::State::NeedMore; o = decoder.next()) {
                ASSERT_EQ(o.state, XpcFrameDecoder::State::Message) << o.error;
                got.push_back(o.message);
            }
        }
        ASSERT_EQ(got.size(), 2u);
        EXPECT_EQ(got[0], first);
        EXPECT_EQ(got[1], second);
        EXPECT_EQ(decoder.buffered(), 0u);
    }
}

TEST(XpcFrameCodecTest, OversizeOrEmptyFrameFailsOnItsHeader)
{
    const XpcLimits limits { 64, XpcLimits::kDefaultMaxDepth };
    for (uint32_t length : { 0u, 65u, 0xFFFFFFFFu }) {
        SCOPED_TRACE(length);
        XpcFrameDecoder decoder(limits);
        decoder.feed(Writer().u32(length).out); // the payload never comes
        auto outcome = decoder.next();
        EXPECT_EQ(outcome.state, XpcFrameDecoder::State::Error);
        // Once failed, always failed: the stream cannot be trusted again.
        decoder.feed(*XpcFrameCodec::encode({}));
        EXPECT_EQ(decoder.next().state, XpcFrameDecoder::State::Error);
    }
    auto tooBig = XpcFrameCodec::encode({ { "t", XpcObject(std::string(100, 'x')) } }, limits);
    ASSERT_FALSE(tooBig.ok());
    EXPECT_EQ(tooBig.status().errnum(), EMSGSIZE);
}

} // namespace
} // namespace corvantis
