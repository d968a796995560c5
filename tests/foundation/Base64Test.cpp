#include "core/foundation/Base64.h"

#include "tests/foundation/CryptTestUtil.h"
#include "tests/support/Subprocess.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace corvantis {
namespace {

std::string encodeBuf(const std::string& bytes)
{
    CryptBuf buf;
    const size_t length = Base64EncodeBuf(bytes.data(), bytes.size(), buf);
    EXPECT_EQ(buf.data[length], 0) << "the text must be zero-terminated";
    EXPECT_EQ(std::strlen(reinterpret_cast<const char*>(buf.data)), length);
    return std::string(reinterpret_cast<const char*>(buf.data), length);
}

std::string decodeBuf(std::string_view text)
{
    CryptBuf buf;
    const size_t length = Base64DecodeBuf(text, buf);
    EXPECT_GT(buf.size, length);
    EXPECT_EQ(buf.data[length], 0) << "the bytes must be followed by a zero byte";
    return std::string(reinterpret_cast<const char*>(buf.data), length);
}

TEST(Base64Test, EncodesTheRfc4648Vectors)
{
    struct Case {
        std::string bytes, text;
    } cases[] = {
        { "", "" },
        { "f", "Zg==" },
        { "fo", "Zm8=" },
        { "foo", "Zm9v" },
        { "foob", "Zm9vYg==" },
        { "fooba", "Zm9vYmE=" },
        { "foobar", "Zm9vYmFy" },
        { std::string("\xfb\xff\xfe", 3), "+//+" },
        { std::string("\0\0\0\0", 4), "AAAAAA==" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(encodeBuf(c.bytes), c.text);
        std::vector<uint8_t> out = { 'x', 'y' };
        Base64Encode(std::vector<uint8_t>(c.bytes.begin(), c.bytes.end()), out);
        EXPECT_EQ(std::string(out.begin(), out.end()), c.text);
        EXPECT_EQ(decodeBuf(c.text), c.bytes);
    }
}

TEST(Base64Test, EncodedLengthFollowsTheInputLength)
{
    for (size_t n = 0; n < 40; ++n) {
        SCOPED_TRACE(n);
        const std::string text = encodeBuf(std::string(n, 'a'));
        EXPECT_EQ(text.size(), (n + 2) / 3 * 4);
        const size_t pads = n % 3 == 0 ? 0 : 3 - n % 3;
        EXPECT_EQ(text.find('='), pads == 0 ? std::string::npos : text.size() - pads);
    }
}

// coreutils' base64 is an independent coder: both directions must agree on arbitrary bytes.
TEST(Base64Test, AgreesWithTheBase64Tool)
{
    for (size_t n : { 1u, 2u, 3u, 57u, 200u, 1000u }) {
        SCOPED_TRACE(n);
        const auto bytes = test::randomBytes(n, static_cast<uint32_t>(n));
        test::TempDir dir;
        const auto in = dir / "in.bin";
        {
            std::ofstream file(in, std::ios::binary);
            file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        }
        const test::CommandResult base64 = test::runCommand({ "base64", "-w", "0", in.string() });
        ASSERT_EQ(base64.exitCode, 0) << base64.err;
        const std::string& theirs = base64.out;

        EXPECT_EQ(encodeBuf(std::string(bytes.begin(), bytes.end())), theirs);
        EXPECT_EQ(decodeBuf(theirs), std::string(bytes.begin(), bytes.end()));
    }
}

TEST(Base64Test, DecodingSkipsLeadingBlanksAndStopsOutsideTheAlphabet)
{
    struct Case {
        const char* name;
        std::string text;
        std::string bytes;
    } cases[] = {
        { "leading blanks and tabs", " \t \tZm9vYmE=", "fooba" },
        { "padding ends the data", "Zm9vYg==Zm9v", "foob" },
        { "line end stops", "Zm9v\r\nYmFy", "foo" },
        { "blank after data stops", "Zm9v YmFy", "foo" },
        { "high byte stops", "Zm9v\xc3\xa9YmFy", "foo" },
        { "NUL stops", std::string("Zm9v\0YmFy", 9), "foo" },
        { "unpadded two trailing", "Zm9vYg", "foob" },
        { "unpadded three trailing", "Zm9vYmE", "fooba" },
        { "lone trailing character gives no byte", "Zm9vY", "foo" },
        { "empty", "", "" },
        { "only blanks", "  \t ", "" },
        { "no Base64 at all", "*** ###", "" },
        { "blank line then data", "\nZm9v", "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(decodeBuf(c.text), c.bytes);
    }
}

TEST(Base64Test, DecodingReadsNothingBeyondTheGivenText)
{
    // Exactly sized heap copies, so that the address sanitizer sees any read past the end.
    for (std::string text : { "Zm9vYmFy", "Zm9vYmE", "Zm9vY", "  ", "Q" }) {
        SCOPED_TRACE(text);
        auto exact = std::make_unique<char[]>(text.size());
        std::memcpy(exact.get(), text.data(), text.size());
        const std::string expected = decodeBuf(text);
        EXPECT_EQ(decodeBuf(std::string_view(exact.get(), text.size())), expected);
    }
    // A view that ends inside a longer text decodes only the view.
    EXPECT_EQ(decodeBuf(std::string_view("Zm9vYmFy", 4)), "foo");
}

TEST(CryptBufTest, GrowsZeroFilledKeepsContentAndNeverShrinks)
{
    CryptBuf buf;
    EXPECT_EQ(CryptBufGetData(buf), nullptr);
    EXPECT_EQ(buf.size, 0u);

    CryptBufReserve(buf, 4);
    ASSERT_NE(CryptBufGetData(buf), nullptr);
    EXPECT_EQ(buf.size, 4u);
    std::memcpy(buf.data, "abcd", 4);

    CryptBufReserve(buf, 10);
    EXPECT_EQ(buf.size, 10u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data), 10), std::string("abcd\0\0\0\0\0\0", 10));

    uint8_t* before = buf.data;
    CryptBufReserve(buf, 2);
    EXPECT_EQ(buf.size, 10u);
    EXPECT_EQ(buf.data, before);

    CryptBufFree(buf);
    EXPECT_EQ(buf.data, nullptr);
    EXPECT_EQ(buf.size, 0u);
    CryptBufFree(buf); // freeing twice is harmless
    CryptBufReserve(buf, 3);
    EXPECT_EQ(buf.size, 3u);

    CryptBuf moved(std::move(buf));
    EXPECT_EQ(buf.data, nullptr);
    EXPECT_EQ(moved.size, 3u);
}

TEST(CryptBufTest, EncodingReusesABufferHoldingOlderText)
{
    CryptBuf buf;
    Base64EncodeBuf("foobarfoobar", 12, buf);
    const size_t length = Base64EncodeBuf("f", 1, buf);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data)), "Zg==");
    EXPECT_EQ(length, 4u);
    const size_t decoded = Base64DecodeBuf("Zm8=", buf);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf.data)), "fo");
    EXPECT_EQ(decoded, 2u);
}

} // namespace
} // namespace corvantis
