#include "core/foundation/DataCrypt.h"

#include "core/foundation/AesCipher.h"
#include "core/foundation/Base64.h"
#include "core/foundation/StringUtils.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace corvantis {

namespace {

constexpr size_t kBlockSize = 16;
constexpr size_t kHeaderSize = 3;
constexpr size_t kMaxTextBytes = 256;
constexpr uint8_t kFormat = 0;
constexpr size_t kMinBlocks = 2;
constexpr size_t kMaxEncryptBlocks = 255; // the count is stored in one byte
constexpr size_t kMaxDecryptBlocks = 70;
constexpr size_t kMaxDecodedBytes = 1124;
// Work areas of a fixed size: the header and the most blocks a string may claim, with room to spare, so that a
// string shorter than its header claims reads as zero bytes instead of past its end.
constexpr size_t kCipherArea = 1127;
constexpr size_t kPlainArea = 1126;
constexpr uint8_t kMarker = 0xFF;
constexpr size_t kMarkerSize = 4;

static_assert(kHeaderSize + kMaxDecryptBlocks * kBlockSize <= kCipherArea);
static_assert(kMaxDecryptBlocks * kBlockSize + 2 <= kPlainArea);
static_assert(kMaxDecodedBytes < kCipherArea);

const char* const kTooLarge = "String is too large.";
const char* const kUnknownMode = "Unknown mode.";
const char* const kConversionError = "General convertion error.";
const char* const kTooManyBlocks = "Too many blocks.";
const char* const kEncryptedTooLarge = "Encrypted string is too large.";
const char* const kUnknownFormat = "Unknown format.";
const char* const kIncorrectFormat = "Incorrect format.";
const char* const kUnsupportedFormat = "Unsupported format.";
const char* const kIncorrectBlocks = "Incorrect number of blocks.";
const char* const kWrongPassword = "Wrong password.";

} // namespace

const CDataCrypt::Key CDataCrypt::kBaseKey
    = { 0x5c, 0x1e, 0x93, 0x47, 0xb2, 0x0d, 0x6a, 0xf8, 0x31, 0xc4, 0x7e, 0x29, 0xd5, 0x88, 0x03, 0x6f, 0xa1, 0x54,
          0x3b, 0xe7, 0x12, 0x9c, 0x60, 0xdd, 0x4a, 0xf3, 0x85, 0x2e, 0xb9, 0x07, 0x76, 0xc1 };

const CDataCrypt::Key CDataCrypt::kDefaultKey
    = { 0xe4, 0x38, 0x7b, 0x0a, 0x95, 0xd1, 0x26, 0x6c, 0xfa, 0x43, 0x8f, 0x17, 0x2b, 0xc6, 0x59, 0xa0, 0x0e, 0x72,
          0xbd, 0x34, 0xe9, 0x81, 0x5f, 0x16, 0xc8, 0x2d, 0x97, 0x6b, 0x40, 0xfe, 0x13, 0xa5 };

CDataCrypt::CDataCrypt(uint32_t mode, const std::string& password)
    : m_Mode(mode)
    , m_Key(kBaseKey)
{
    if (mode == kModeBasic || password.empty()) {
        m_Key = kDefaultKey;
        return;
    }
    // The terminating 0 unit that the conversion appends XORs in nothing, so it may take part.
    const std::vector<uint16_t> units = StringToUtf16(password);
    size_t j = 0;
    for (uint16_t unit : units) {
        m_Key[j++ % kKeySize] ^= static_cast<uint8_t>(unit & 0xFF);
        m_Key[j++ % kKeySize] ^= static_cast<uint8_t>(unit >> 8);
    }
}

bool CDataCrypt::EncryptString(const std::string& text, std::string& encrypted, std::string& error) const
{
    if (text.size() > kMaxTextBytes) {
        error = kTooLarge;
        return false;
    }
    if (m_Mode > kModeMaster) {
        error = kUnknownMode;
        return false;
    }
    const std::vector<uint16_t> units = StringToUtf16(text);
    // A NUL inside the text would end it early on decryption: refuse it rather than store a shortened text.
    if (units.empty() || std::find(units.begin(), units.end() - 1, 0) != units.end() - 1) {
        error = kConversionError;
        return false;
    }
    const size_t plainBytes = kMarkerSize + 2 * units.size();
    size_t blocks = (plainBytes + kBlockSize - 1) / kBlockSize;
    if (blocks < kMinBlocks)
        blocks = kMinBlocks;
    if (blocks > kMaxEncryptBlocks) {
        error = kTooManyBlocks;
        return false;
    }

    std::vector<uint8_t> plain(blocks * kBlockSize, 0);
    std::fill_n(plain.begin(), kMarkerSize, kMarker);
    for (size_t i = 0; i < units.size(); ++i) {
        plain[kMarkerSize + 2 * i] = static_cast<uint8_t>(units[i] & 0xFF);
        plain[kMarkerSize + 2 * i + 1] = static_cast<uint8_t>(units[i] >> 8);
    }

    std::vector<uint8_t> out(kHeaderSize + blocks * kBlockSize, 0);
    out[0] = kFormat;
    out[1] = static_cast<uint8_t>(m_Mode);
    out[2] = static_cast<uint8_t>(blocks);
    AesCipher aes;
    aes.Init(256, 128);
    aes.KeyExpansion(m_Key.data());
    aes.Encrypt(plain.data(), out.data() + kHeaderSize, blocks, AesCipher::kModeCbc);

    CryptBuf buf;
    const size_t length = Base64EncodeBuf(out.data(), out.size(), buf);
    encrypted.assign(reinterpret_cast<const char*>(CryptBufGetData(buf)), length);
    return true;
}

int CDataCrypt::DecryptString(const std::string& encrypted, std::string& text, std::string& error) const
{
    CryptBuf decoded;
    const size_t length = Base64DecodeBuf(encrypted, decoded);
    if (length > kMaxDecodedBytes) {
        error = kEncryptedTooLarge;
        return -1;
    }
    uint8_t work[kCipherArea] = {};
    if (length != 0)
        std::memcpy(work, CryptBufGetData(decoded), length);

    if (work[0] != kFormat) {
        error = kUnknownFormat;
        return -1;
    }
    if (work[1] != m_Mode) {
        error = kIncorrectFormat;
        return -1;
    }
    if (work[1] > kModeMaster) {
        error = kUnsupportedFormat;
        return -1;
    }
    const size_t blocks = work[2];
    if (blocks == 0) {
        error = kIncorrectBlocks;
        return -1;
    }
    if (blocks > kMaxDecryptBlocks) {
        error = kTooManyBlocks;
        return -1;
    }

    // A string cut short would decrypt its missing blocks from zero bytes into a garbled text that looks valid.
    if (length < kHeaderSize + blocks * kBlockSize) {
        error = kIncorrectBlocks;
        return -1;
    }

    uint8_t plain[kPlainArea] = {};
    AesCipher aes;
    aes.Init(256, 128);
    aes.InvKeyExpansion(m_Key.data());
    aes.Decrypt(work + kHeaderSize, plain, blocks, AesCipher::kModeCbc);

    if (plain[0] != kMarker || plain[1] != kMarker || plain[2] != kMarker || plain[3] != kMarker) {
        error = kWrongPassword;
        return 0;
    }
    const size_t end = blocks * kBlockSize;
    plain[end] = 0;
    plain[end + 1] = 0;
    std::vector<uint16_t> units;
    for (size_t at = kMarkerSize; at + 1 <= end + 1; at += 2) {
        const uint16_t unit = static_cast<uint16_t>(plain[at] | (plain[at + 1] << 8));
        if (unit == 0)
            break;
        units.push_back(unit);
    }
    std::string result;
    if (!Utf16ToString(units.data(), units.size(), result)) {
        error = kConversionError;
        return -1;
    }
    text = std::move(result);
    return 1;
}

} // namespace corvantis
