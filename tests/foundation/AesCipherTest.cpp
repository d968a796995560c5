#include "core/foundation/AesCipher.h"

#include "tests/foundation/CryptTestUtil.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

using test::fromHex;
using test::randomBytes;
using test::toHex;

const uint32_t kSizes[] = { 128, 192, 256 };

TEST(AesCipherTest, InitSetsSizesFromTheRoundsTable)
{
    struct Case {
        uint32_t keyBits, blockBits;
        int32_t nb, nk, nr;
    } cases[] = {
        { 128, 128, 4, 4, 10 },
        { 192, 128, 4, 6, 12 },
        { 256, 128, 4, 8, 14 },
        { 128, 192, 6, 4, 12 },
        { 192, 192, 6, 6, 12 },
        { 256, 192, 6, 8, 14 },
        { 128, 256, 8, 4, 14 },
        { 192, 256, 8, 6, 14 },
        { 256, 256, 8, 8, 14 },
        { 100, 128, 0, 0, 0 },
        { 128, 100, 0, 0, 0 },
        { 0, 0, 0, 0, 0 },
        { 512, 512, 0, 0, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.keyBits) + "/" + std::to_string(c.blockBits));
        AesCipher aes;
        aes.Init(256, 256); // a later invalid Init must clear an earlier valid one
        aes.Init(c.keyBits, c.blockBits);
        EXPECT_EQ(aes.Nb(), c.nb);
        EXPECT_EQ(aes.Nk(), c.nk);
        EXPECT_EQ(aes.Nr(), c.nr);
    }
}

struct Vector {
    const char* name;
    uint32_t keyBits, blockBits;
    const char* key;
    const char* plain;
    const char* cipher;
};

// FIPS-197 appendix C, then the published Rijndael vectors for every key and block size.
const Vector kVectors[] = {
    { "FIPS-197 C.1", 128, 128, "000102030405060708090a0b0c0d0e0f", "00112233445566778899aabbccddeeff",
        "69c4e0d86a7b0430d8cdb78070b4c55a" },
    { "FIPS-197 C.2", 192, 128, "000102030405060708090a0b0c0d0e0f1011121314151617", "00112233445566778899aabbccddeeff",
        "dda97ca4864cdfe06eaf70a0ec0d7191" },
    { "FIPS-197 C.3", 256, 128, "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
        "00112233445566778899aabbccddeeff", "8ea2b7ca516745bfeafc49904b496089" },
    { "k128 b128", 128, 128, "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e0370734",
        "3925841d02dc09fbdc118597196a0b32" },
    { "k192 b128", 192, 128, "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da5", "3243f6a8885a308d313198a2e0370734",
        "f9fb29aefc384a250340d833b87ebc00" },
    { "k256 b128", 256, 128, "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe",
        "3243f6a8885a308d313198a2e0370734", "1a6e6c2c662e7da6501ffb62bc9e93f3" },
    { "k128 b192", 128, 192, "2b7e151628aed2a6abf7158809cf4f3c", "3243f6a8885a308d313198a2e03707344a4093822299f31d",
        "b24d275489e82bb8f7375e0d5fcdb1f481757c538b65148a" },
    { "k192 b192", 192, 192, "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da5",
        "3243f6a8885a308d313198a2e03707344a4093822299f31d", "725ae43b5f3161de806a7c93e0bca93c967ec1ae1b71e1cf" },
    { "k256 b192", 256, 192, "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe",
        "3243f6a8885a308d313198a2e03707344a4093822299f31d", "0ebacf199e3315c2e34b24fcc7c46ef4388aa475d66c194c" },
    { "k128 b256", 128, 256, "2b7e151628aed2a6abf7158809cf4f3c",
        "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8",
        "7d15479076b69a46ffb3b3beae97ad8313f622f67fedb487de9f06b9ed9c8f19" },
    { "k192 b256", 192, 256, "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da5",
        "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8",
        "5d7101727bb25781bf6715b0e6955282b9610e23a43c2eb062699f0ebf5887b2" },
    { "k256 b256", 256, 256, "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe",
        "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8",
        "a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a" },
};

TEST(AesCipherTest, KnownAnswerVectorsEncryptAndDecrypt)
{
    for (const auto& v : kVectors) {
        SCOPED_TRACE(v.name);
        const auto key = fromHex(v.key);
        const auto plain = fromHex(v.plain);
        AesCipher aes;
        aes.Init(v.keyBits, v.blockBits);
        ASSERT_EQ(aes.BlockBytes(), plain.size());

        std::vector<uint8_t> out(plain.size(), 0xAA);
        aes.KeyExpansion(key.data());
        aes.EncryptBlock(plain.data(), out.data());
        EXPECT_EQ(toHex(out), v.cipher);

        // The multi-block entry in either mode must agree on a single block (the chaining vector is zero).
        for (int mode : { AesCipher::kModeEcb, AesCipher::kModeCbc }) {
            std::vector<uint8_t> viaEncrypt(plain.size());
            aes.Encrypt(plain.data(), viaEncrypt.data(), 1, mode);
            EXPECT_EQ(toHex(viaEncrypt), v.cipher) << "mode " << mode;
        }

        const auto cipher = fromHex(v.cipher);
        aes.InvKeyExpansion(key.data());
        aes.DecryptBlock(cipher.data(), out.data());
        EXPECT_EQ(toHex(out), v.plain);
    }
}

// SP 800-38A F.2.5 (CBC-AES256): the cipher's chaining vector is zero, so the published IV goes into P1.
TEST(AesCipherTest, CbcMatchesSp80038aWithTheIvFoldedIntoTheFirstBlock)
{
    const auto key = fromHex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    auto plain = fromHex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                         "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const auto iv = fromHex("000102030405060708090a0b0c0d0e0f");
    for (size_t i = 0; i < iv.size(); ++i)
        plain[i] ^= iv[i];
    const std::string expected = "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
                                 "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b";

    AesCipher aes;
    aes.Init(256, 128);
    aes.KeyExpansion(key.data());
    std::vector<uint8_t> cipher(plain.size());
    aes.Encrypt(plain.data(), cipher.data(), 4, AesCipher::kModeCbc);
    EXPECT_EQ(toHex(cipher), expected);

    aes.InvKeyExpansion(key.data());
    std::vector<uint8_t> back(plain.size());
    aes.Decrypt(cipher.data(), back.data(), 4, AesCipher::kModeCbc);
    EXPECT_EQ(back, plain);
}

TEST(AesCipherTest, EveryKeyAndBlockSizeRoundTripsInBothModes)
{
    uint32_t seed = 1;
    for (uint32_t keyBits : kSizes) {
        for (uint32_t blockBits : kSizes) {
            for (int mode : { AesCipher::kModeEcb, AesCipher::kModeCbc }) {
                for (uint64_t blocks : { 1u, 2u, 5u }) {
                    SCOPED_TRACE("key " + std::to_string(keyBits) + " block " + std::to_string(blockBits) + " mode "
                        + std::to_string(mode) + " blocks " + std::to_string(blocks));
                    const auto key = randomBytes(keyBits / 8, ++seed);
                    const auto plain = randomBytes(blockBits / 8 * blocks, ++seed);
                    AesCipher aes;
                    aes.Init(keyBits, blockBits);
                    aes.KeyExpansion(key.data());
                    std::vector<uint8_t> cipher(plain.size());
                    aes.Encrypt(plain.data(), cipher.data(), blocks, mode);
                    EXPECT_NE(cipher, plain);

                    aes.InvKeyExpansion(key.data());
                    std::vector<uint8_t> back(plain.size());
                    aes.Decrypt(cipher.data(), back.data(), blocks, mode);
                    EXPECT_EQ(back, plain);

                    // In place gives the same answer as separate areas.
                    std::vector<uint8_t> inPlace = cipher;
                    aes.Decrypt(inPlace.data(), inPlace.data(), blocks, mode);
                    EXPECT_EQ(inPlace, plain);
                }
            }
        }
    }
}

TEST(AesCipherTest, CbcChainsIdenticalBlocksWhileEcbRepeatsThem)
{
    const auto key = randomBytes(32, 7);
    const std::vector<uint8_t> plain(48, 0x41);
    AesCipher aes;
    aes.Init(256, 128);
    aes.KeyExpansion(key.data());
    std::vector<uint8_t> ecb(48), cbc(48);
    aes.Encrypt(plain.data(), ecb.data(), 3, AesCipher::kModeEcb);
    aes.Encrypt(plain.data(), cbc.data(), 3, AesCipher::kModeCbc);
    EXPECT_EQ(toHex(ecb.data(), 16), toHex(ecb.data() + 16, 16));
    EXPECT_EQ(toHex(ecb.data(), 16), toHex(cbc.data(), 16));
    EXPECT_NE(toHex(cbc.data(), 16), toHex(cbc.data() + 16, 16));
}

// The openssl command line is an independent oracle for every AES key size, both modes, several blocks.
TEST(AesCipherTest, AgreesWithOpensslInBothDirections)
{
    uint32_t seed = 100;
    for (uint32_t keyBits : kSizes) {
        for (const char* mode : { "ecb", "cbc" }) {
            SCOPED_TRACE(std::to_string(keyBits) + " " + mode);
            const int ourMode = std::string(mode) == "cbc" ? AesCipher::kModeCbc : AesCipher::kModeEcb;
            const auto key = randomBytes(keyBits / 8, ++seed);
            const auto plain = randomBytes(16 * 6, ++seed);
            std::vector<std::string> args
                = { "-e", "-aes-" + std::to_string(keyBits) + "-" + mode, "-nopad", "-K", toHex(key) };
            if (ourMode == AesCipher::kModeCbc)
                args.insert(args.end(), { "-iv", std::string(32, '0') });

            AesCipher aes;
            aes.Init(keyBits, 128);
            aes.KeyExpansion(key.data());
            std::vector<uint8_t> ours(plain.size());
            aes.Encrypt(plain.data(), ours.data(), 6, ourMode);
            const auto theirs = test::runOpensslEnc(args, plain);
            EXPECT_EQ(toHex(ours), toHex(theirs));

            aes.InvKeyExpansion(key.data());
            std::vector<uint8_t> back(plain.size());
            aes.Decrypt(theirs.data(), back.data(), 6, ourMode);
            EXPECT_EQ(back, plain);
        }
    }
}

TEST(AesCipherTest, ZeroBlocksWriteNothingWhateverTheMode)
{
    const auto key = randomBytes(32, 3);
    AesCipher aes;
    aes.Init(256, 128);
    aes.KeyExpansion(key.data());
    const std::vector<uint8_t> in(16, 1);
    std::vector<uint8_t> out(16, 0xEE);
    aes.Encrypt(in.data(), out.data(), 0, 7);
    aes.Decrypt(in.data(), out.data(), 0, 7);
    EXPECT_EQ(out, std::vector<uint8_t>(16, 0xEE));
}

TEST(AesCipherDeathTest, MisuseStopsTheProgramNamingTheCondition)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto key = randomBytes(32, 5);
    const std::vector<uint8_t> in(16, 1);
    std::vector<uint8_t> out(16);

    AesCipher unset;
    unset.Init(100, 128);
    EXPECT_DEATH(
        unset.KeyExpansion(key.data()), "AesCipher.cpp:[0-9]+: KeyExpansion: Assertion failed: \\(m_Nk > 0\\)");
    EXPECT_DEATH(
        unset.InvKeyExpansion(key.data()), "AesCipher.cpp:[0-9]+: KeyExpansion: Assertion failed: \\(m_Nk > 0\\)");

    AesCipher aes;
    aes.Init(256, 128);
    aes.KeyExpansion(key.data());
    EXPECT_DEATH(aes.Encrypt(in.data(), out.data(), 1, 7),
        "Encrypt: Assertion failed: \\(!\"Unknown mode!\"\\): AesCipher mode 7");
    EXPECT_DEATH(aes.Decrypt(in.data(), out.data(), 1, -1),
        "Decrypt: Assertion failed: \\(!\"Unknown mode!\"\\): AesCipher mode -1");
}

} // namespace
} // namespace corvantis
