#include "core/foundation/DataCrypt.h"

#include "core/foundation/AesCipher.h"
#include "core/foundation/Base64.h"
#include "tests/foundation/CryptTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvantis {
namespace {

using test::fromHex;
using test::toHex;

std::vector<uint8_t> decode(const std::string& text)
{
    CryptBuf buf;
    const size_t length = Base64DecodeBuf(text, buf);
    return std::vector<uint8_t>(buf.data, buf.data + length);
}

std::string encode(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> text;
    Base64Encode(bytes, text);
    return std::string(text.begin(), text.end());
}

std::string encryptOk(const CDataCrypt& crypt, const std::string& text)
{
    std::string encrypted, error;
    EXPECT_TRUE(crypt.EncryptString(text, encrypted, error)) << error;
    EXPECT_EQ(error, "");
    return encrypted;
}

std::string kHex(const CDataCrypt& crypt)
{
    return toHex(crypt.key().data(), crypt.key().size());
}

// Texts with their UTF-16LE bytes, written out by hand, and the block count the stored form must use.
struct Sample {
    const char* name;
    std::string text;
    std::string utf16le;
    size_t blocks;
};

const Sample kSamples[] = {
    { "empty", "", "", 2 },
    { "one letter", "A", "4100", 2 },
    { "five letters need 16 bytes", "abcde", "61006200630064006500", 2 },
    { "six letters need 18 bytes", "abcdef", "610062006300640065006600", 2 },
    { "seven letters need 20 bytes", "abcdefg", "6100620063006400650066006700", 2 },
    { "fourteen letters need 34 bytes", "abcdefghijklmn", "6100620063006400650066006700680069006a006b006c006d006e00",
        3 },
    { "two-byte letters", "\xd0\xbf\xd0\xb0\xd1\x80\xd0\xbe\xd0\xbb\xd1\x8c", "3f04300440043e043b044c04", 2 },
    { "outside the BMP takes two units", "\xf0\x9f\x94\x91x", "3dd811dd7800", 2 },
};

// The stored form, checked with openssl as the decryptor: header bytes, Base64 length, and the plaintext layout.
TEST(DataCryptTest, EncryptedStringsDecryptWithOpensslToTheStoredLayout)
{
    const struct {
        uint32_t mode;
        std::string password;
    } objects[] = { { 0, "" }, { 1, "6B1F0A3C-0000-5000-8000-ABCDEF012345" }, { 2, "master secret" } };
    for (const auto& object : objects) {
        const CDataCrypt crypt(object.mode, object.password);
        for (const auto& sample : kSamples) {
            SCOPED_TRACE(std::to_string(object.mode) + " " + sample.name);
            const std::string encrypted = encryptOk(crypt, sample.text);
            const size_t raw = 3 + 16 * sample.blocks;
            EXPECT_EQ(encrypted.size(), (raw + 2) / 3 * 4);
            EXPECT_EQ(encrypted.find('='), raw % 3 == 0 ? std::string::npos : encrypted.size() - (3 - raw % 3));
            EXPECT_EQ(encrypted.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
                std::string::npos);

            const auto bytes = decode(encrypted);
            ASSERT_EQ(bytes.size(), raw);
            EXPECT_EQ(bytes[0], 0);
            EXPECT_EQ(bytes[1], object.mode);
            EXPECT_EQ(bytes[2], sample.blocks);

            const std::vector<uint8_t> cipher(bytes.begin() + 3, bytes.end());
            const auto plain = test::runOpensslEnc(
                { "-d", "-aes-256-cbc", "-nopad", "-K", kHex(crypt), "-iv", std::string(32, '0') }, cipher);
            ASSERT_EQ(plain.size(), 16 * sample.blocks);
            const std::string expected = "ffffffff" + sample.utf16le + "0000";
            EXPECT_EQ(toHex(plain).substr(0, expected.size()), expected);
        }
    }
}

TEST(DataCryptTest, StringsMadeWithOpensslDecryptHere)
{
    const CDataCrypt crypt(2, "correct horse");
    for (const auto& sample : kSamples) {
        SCOPED_TRACE(sample.name);
        // Filler after the terminating unit is not interpreted, so make it noisy.
        auto plain = fromHex("ffffffff" + sample.utf16le + "0000");
        const auto filler = test::randomBytes(16 * sample.blocks - plain.size(), 9);
        plain.insert(plain.end(), filler.begin(), filler.end());
        const auto cipher = test::runOpensslEnc(
            { "-e", "-aes-256-cbc", "-nopad", "-K", kHex(crypt), "-iv", std::string(32, '0') }, plain);

        std::vector<uint8_t> bytes(3 + cipher.size());
        bytes[1] = 2;
        bytes[2] = static_cast<uint8_t>(sample.blocks);
        std::copy(cipher.begin(), cipher.end(), bytes.begin() + 3);
        std::string text = "untouched", error;
        ASSERT_EQ(crypt.DecryptString(encode(bytes), text, error), 1) << error;
        EXPECT_EQ(text, sample.text);
        EXPECT_EQ(error, "");
    }
}

TEST(DataCryptTest, KeyComesFromModeAndPassword)
{
    CDataCrypt::Key ab = CDataCrypt::kBaseKey;
    ab[0] ^= 0x61;
    ab[2] ^= 0x62;
    CDataCrypt::Key euro = CDataCrypt::kBaseKey; // U+20AC: bytes AC 20
    euro[0] ^= 0xAC;
    euro[1] ^= 0x20;
    // Seventeen units: byte 32 wraps round onto key byte 0 and undoes the first letter's change there.
    CDataCrypt::Key wrapped = CDataCrypt::kBaseKey;
    for (size_t j = 2; j < 32; j += 2)
        wrapped[j] ^= 0x61;
    const struct {
        const char* name;
        uint32_t mode;
        std::string password;
        CDataCrypt::Key key;
    } cases[] = {
        { "basic ignores the password", 0, "ab", CDataCrypt::kDefaultKey },
        { "empty password", 1, "", CDataCrypt::kDefaultKey },
        { "account", 1, "ab", ab },
        { "master, non-ASCII", 2, "\xe2\x82\xac", euro },
        { "long password wraps", 2, std::string(17, 'a'), wrapped },
        { "not UTF-8 leaves the base key", 1, "\xff\xfe", CDataCrypt::kBaseKey },
        { "unknown mode is accepted", 9, "ab", ab },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CDataCrypt crypt(c.mode, c.password);
        EXPECT_EQ(crypt.key(), c.key);
        EXPECT_EQ(crypt.mode(), c.mode);
    }
    EXPECT_NE(CDataCrypt::kBaseKey, CDataCrypt::kDefaultKey);
}

TEST(DataCryptTest, RoundTripsInEveryMode)
{
    const std::string texts[] = { "", "p@ss w0rd", std::string(256, 'x'), std::string(128, '\x7f'),
        "\xe4\xb8\xad\xe6\x96\x87\xf0\x9f\x98\x80\xf0\x9f\x98\x80", "tab\tand\nnewline" };
    for (uint32_t mode : { 0u, 1u, 2u }) {
        const CDataCrypt crypt(mode, "key text");
        for (const auto& text : texts) {
            SCOPED_TRACE(std::to_string(mode) + ": " + text);
            const std::string encrypted = encryptOk(crypt, text);
            std::string back, error;
            EXPECT_EQ(crypt.DecryptString(encrypted, back, error), 1) << error;
            EXPECT_EQ(back, text);
            // A fresh object with the same mode and password reads it as well.
            std::string again;
            EXPECT_EQ(CDataCrypt(mode, "key text").DecryptString(encrypted, again, error), 1);
            EXPECT_EQ(again, text);
        }
    }
    // The longest text fills 33 blocks.
    EXPECT_EQ(decode(encryptOk(CDataCrypt(1, "k"), std::string(256, 'x')))[2], 33);
}

TEST(DataCryptTest, EncryptionFailuresLeaveTheOutputAlone)
{
    const struct {
        const char* name;
        uint32_t mode;
        std::string text;
        const char* message;
    } cases[] = {
        { "257 bytes, even with a bad mode", 7, std::string(257, 'a'), "String is too large." },
        { "257 bytes", 1, std::string(257, 'a'), "String is too large." },
        { "mode 3", 3, "abc", "Unknown mode." },
        { "mode far out", 0x102, "abc", "Unknown mode." },
        { "bad UTF-8", 1, "ab\xc3(", "General convertion error." },
        { "truncated UTF-8", 2, "ab\xe2\x82", "General convertion error." },
        { "NUL inside the text", 0, std::string("ab\0cd", 5), "General convertion error." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const CDataCrypt crypt(c.mode, "pw");
        std::string encrypted = "untouched", error;
        EXPECT_FALSE(crypt.EncryptString(c.text, encrypted, error));
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(encrypted, "untouched");
    }
}

// Raw stored bytes: header plus ciphertext of `blocks` blocks under `key` of the given plaintext units.
std::vector<uint8_t> craft(
    uint8_t format, uint8_t mode, uint8_t blocks, const CDataCrypt::Key& key, const std::vector<uint8_t>& plainPrefix)
{
    std::vector<uint8_t> plain(16 * static_cast<size_t>(blocks), 0);
    std::copy(plainPrefix.begin(), plainPrefix.end(), plain.begin());
    std::vector<uint8_t> bytes(3 + plain.size());
    bytes[0] = format;
    bytes[1] = mode;
    bytes[2] = blocks;
    AesCipher aes;
    aes.Init(256, 128);
    aes.KeyExpansion(key.data());
    aes.Encrypt(plain.data(), bytes.data() + 3, blocks, AesCipher::kModeCbc);
    return bytes;
}

TEST(DataCryptTest, DecryptionReportsEachFaultWithItsMessage)
{
    const CDataCrypt mode0(0, "");
    const CDataCrypt mode1(1, "user");
    const CDataCrypt mode2(2, "master");
    const CDataCrypt mode5(5, "x");
    const auto marker = fromHex("ffffffff41000000");
    const std::string fromMode1 = encryptOk(mode1, "secret");

    std::vector<uint8_t> tooLarge = craft(0, 1, 70, mode1.key(), marker);
    tooLarge.resize(1125, 0);
    std::vector<uint8_t> largest = craft(0, 1, 70, mode1.key(), marker);
    largest.resize(1124, 0);
    const std::vector<uint8_t> unknownFormat = craft(1, 1, 2, mode1.key(), marker);
    const std::vector<uint8_t> unsupported = craft(0, 5, 2, mode5.key(), marker);
    const std::vector<uint8_t> noBlocks = { 0, 1, 0 };
    std::vector<uint8_t> manyBlocks = craft(0, 1, 70, mode1.key(), marker);
    manyBlocks[2] = 71;
    const std::vector<uint8_t> loneSurrogate = craft(0, 1, 2, mode1.key(), fromHex("ffffffff00d80000"));
    const std::vector<uint8_t> whole = decode(fromMode1);
    ASSERT_EQ(whole.size(), 3u + 32u);
    const std::vector<uint8_t> truncated(whole.begin(), whole.begin() + 3 + 16);
    std::vector<uint8_t> trailingExtra = decode(fromMode1);
    trailingExtra.push_back(0x55);

    const struct {
        const char* name;
        const CDataCrypt& crypt;
        std::string encrypted;
        int result;
        const char* message;
    } cases[] = {
        { "1125 decoded bytes", mode1, encode(tooLarge), -1, "Encrypted string is too large." },
        { "1124 decoded bytes pass the size check", mode1, encode(largest), 1, "" },
        { "format byte", mode1, encode(unknownFormat), -1, "Unknown format." },
        { "mode byte of another mode", mode2, fromMode1, -1, "Incorrect format." },
        { "mode byte beyond the known modes", mode5, encode(unsupported), -1, "Unsupported format." },
        { "zero blocks", mode1, encode(noBlocks), -1, "Incorrect number of blocks." },
        { "71 blocks", mode1, encode(manyBlocks), -1, "Too many blocks." },
        { "another password", CDataCrypt(1, "someone else"), fromMode1, 0, "Wrong password." },
        { "unpaired surrogate", mode1, encode(loneSurrogate), -1, "General convertion error." },
        { "no Base64, mode 0", mode0, "*** not base64 ***", -1, "Incorrect number of blocks." },
        { "no Base64, mode 1", mode1, "*** not base64 ***", -1, "Incorrect format." },
        { "empty, mode 0", mode0, "", -1, "Incorrect number of blocks." },
        { "header only", mode1, encode({ 0, 1, 2 }), -1, "Incorrect number of blocks." },
        { "one block missing", mode1, encode(truncated), -1, "Incorrect number of blocks." },
        { "extra byte after the blocks", mode1, encode(trailingExtra), 1, "" },
        { "blanks before, line end after", mode1, "  \t" + fromMode1 + "\r\n", 1, "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = "untouched", error = "untouched";
        EXPECT_EQ(c.crypt.DecryptString(c.encrypted, text, error), c.result);
        if (c.result == 1) {
            EXPECT_EQ(error, "untouched");
            EXPECT_NE(text, "untouched");
        } else {
            EXPECT_EQ(error, c.message);
            EXPECT_EQ(text, "untouched");
        }
    }
}

TEST(DataCryptTest, ModesAndPasswordsKeepStringsApart)
{
    const std::string basic = encryptOk(CDataCrypt(0, "one"), "shared");
    std::string text, error;
    EXPECT_EQ(CDataCrypt(0, "two").DecryptString(basic, text, error), 1) << "mode 0 ignores the password";
    EXPECT_EQ(text, "shared");

    // Same key (empty password gives the default key in every mode), different mode byte.
    EXPECT_EQ(CDataCrypt(1, "").DecryptString(basic, text, error), -1);
    EXPECT_EQ(error, "Incorrect format.");

    // The one-letter check value that profiles store: right password 1, wrong password 0.
    const std::string hash = encryptOk(CDataCrypt(2, "master"), "A");
    EXPECT_EQ(CDataCrypt(2, "master").DecryptString(hash, text, error), 1);
    EXPECT_EQ(text, "A");
    for (const char* wrong : { "Master", "master ", "maste", "x" }) {
        SCOPED_TRACE(wrong);
        EXPECT_EQ(CDataCrypt(2, wrong).DecryptString(hash, text, error), 0);
        EXPECT_EQ(error, "Wrong password.");
    }
}

} // namespace
} // namespace corvantis
