#include "ipc/IPCMessage.h"
#include "platform/xpc/XpcFrameCodec.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

PlistValue rootOf(const std::vector<uint8_t>& bytes)
{
    auto archive = XpcFrameCodec::decodePayload(std::span<const uint8_t>(bytes).subspan(XpcFrameCodec::kHeaderBytes));
    EXPECT_TRUE(archive.ok());
    EXPECT_EQ(archive->size(), 1u);
    return archive->at("root").toPlist().value_or(PlistValue());
}

TEST(IPCMessageTest, WakeAndKillCarryOneEmptyDictionaryEach)
{
    IPCMessage wake;
    wake.launchStub = MessageSimpleRequest {};
    IPCMessage kill;
    kill.forceQuit = MessageSimpleRequest {};

    auto wakeBytes = IPCMessage::encode(wake);
    auto killBytes = IPCMessage::encode(kill);
    ASSERT_TRUE(wakeBytes.ok());
    ASSERT_TRUE(killBytes.ok());
    EXPECT_EQ(rootOf(*wakeBytes), PlistValue(PlistDict { { "launchStub", PlistValue(PlistDict {}) } }));
    EXPECT_EQ(rootOf(*killBytes), PlistValue(PlistDict { { "forceQuit", PlistValue(PlistDict {}) } }));

    for (const auto* bytes : { &*wakeBytes, &*killBytes }) {
        auto back = IPCMessage::decode(*bytes);
        ASSERT_TRUE(back.ok()) << back.status().message();
        ASSERT_TRUE(back->has_value());
        EXPECT_FALSE((*back)->error.has_value());
    }
    EXPECT_EQ(IPCMessage::decode(*wakeBytes)->value(), wake);
    EXPECT_EQ(IPCMessage::decode(*killBytes)->value(), kill);
}

TEST(IPCMessageTest, ReplyWithErrorTextDecodesWithTheOtherFieldsAbsent)
{
    for (const char* text : { "Error message cannot be processed", "message type not known", "fail", "" }) {
        SCOPED_TRACE(text);
        IPCMessage reply;
        reply.error = MessageText { text };
        auto bytes = IPCMessage::encode(reply);
        ASSERT_TRUE(bytes.ok());
        EXPECT_EQ(rootOf(*bytes),
            PlistValue(PlistDict { { "error", PlistValue(PlistDict { { "text", PlistValue(text) } }) } }));
        auto back = IPCMessage::decode(*bytes);
        ASSERT_TRUE(back.ok() && back->has_value());
        EXPECT_EQ((*back)->error, MessageText { text });
        EXPECT_FALSE((*back)->launchStub.has_value());
        EXPECT_FALSE((*back)->forceQuit.has_value());
    }
}

TEST(IPCMessageTest, UnreadableArchivesAndRootsFailMissingRootGivesNoMessage)
{
    auto archive = [](XpcDict dict) { return XpcFrameCodec::encode(dict).value(); };
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case failing[] = {
        { "no bytes", {} },
        { "garbage", { 0xde, 0xad, 0xbe, 0xef, 0x00 } },
        { "length beyond the bytes", { 0, 0, 0, 9, 0x08, 0, 0, 0, 0 } },
        { "root is a string", archive({ { "root", XpcObject("wake") } }) },
        { "field is not a dictionary", archive({ { "root", XpcObject(XpcDict { { "forceQuit", XpcObject(1) } }) } }) },
        { "error without text", archive({ { "root", XpcObject(XpcDict { { "error", XpcObject(XpcDict {}) } }) } }) },
        { "error text not a string",
            archive(
                { { "root", XpcObject(XpcDict { { "error", XpcObject(XpcDict { { "text", XpcObject(3) } }) } }) } }) },
    };
    for (const Case& c : failing) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(IPCMessage::decode(c.bytes).ok());
    }
    auto noRoot = IPCMessage::decode(archive({ { "other", XpcObject(1) } }));
    ASSERT_TRUE(noRoot.ok());
    EXPECT_FALSE(noRoot->has_value());

    // Keys this version does not know are ignored, as a keyed decoder ignores them.
    auto extra = IPCMessage::decode(archive(
        { { "root", XpcObject(XpcDict { { "launchStub", XpcObject(XpcDict {}) }, { "future", XpcObject("x") } }) } }));
    ASSERT_TRUE(extra.ok() && extra->has_value());
    EXPECT_TRUE((*extra)->launchStub.has_value());
}

} // namespace
} // namespace corvantis
