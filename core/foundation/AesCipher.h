#pragma once

#include <cstddef>
#include <cstdint>

namespace corvantis {

// The Rijndael block cipher with keys and blocks of 128, 192 or 256 bits; with a 128-bit block it is AES.
// On top of the block transformation it encrypts and decrypts runs of whole blocks in ECB mode, or in CBC mode
// with an all-zero initialisation vector. It never pads: callers hand it whole blocks.
//
// Use: construct, Init, then KeyExpansion followed by Encrypt calls, or InvKeyExpansion followed by Decrypt
// calls. One object holds one schedule (whichever direction was keyed last). A new key may be set at any time.
//
// Thread safety: an object is used by one thread at a time. The lookup tables it shares with every other object
// are built once, under a once-guard, at the first construction, and are read-only afterwards.
// Block operations allocate nothing.
class AesCipher {
public:
    static constexpr int kModeEcb = 0;
    static constexpr int kModeCbc = 1;

    AesCipher();
    AesCipher(const AesCipher&) = default;
    AesCipher& operator=(const AesCipher&) = default;

    // Sizes in bits, key size first. Each must be 128, 192 or 256; otherwise Nb, Nk and Nr stay 0 and a following
    // KeyExpansion stops the program.
    void Init(uint32_t keyBits, uint32_t blockBits);

    // Builds the encryption schedule from Nk * 4 key bytes. Stops the program when no valid size was set.
    void KeyExpansion(const uint8_t* key);
    // Builds the decryption schedule (equivalent inverse cipher) from Nk * 4 key bytes.
    void InvKeyExpansion(const uint8_t* key);

    // One block of Nb * 4 bytes with the schedule of the matching direction. in and out may be the same area.
    void EncryptBlock(const uint8_t* in, uint8_t* out) const;
    void DecryptBlock(const uint8_t* in, uint8_t* out) const;

    // blocks consecutive blocks of Nb * 4 bytes in mode kModeEcb or kModeCbc. A block count of 0 returns at once,
    // whatever the mode; any other mode stops the program. in and out may be the same area.
    void Encrypt(const uint8_t* in, uint8_t* out, uint64_t blocks, int32_t mode) const;
    void Decrypt(const uint8_t* in, uint8_t* out, uint64_t blocks, int32_t mode) const;

    int32_t Nb() const { return m_Nb; }
    int32_t Nk() const { return m_Nk; }
    int32_t Nr() const { return m_Nr; }
    // Bytes in one block (Nb * 4), 0 before a valid Init.
    size_t BlockBytes() const { return static_cast<size_t>(m_Nb) * 4; }

    static constexpr size_t kMaxBlockBytes = 32;
    static constexpr size_t kMaxKeyBytes = 32;

private:
    static constexpr int kMaxScheduleWords = 8 * 15;

    int32_t m_Nb = 0;
    int32_t m_Nk = 0;
    int32_t m_Nr = 0;
    uint32_t m_Schedule[kMaxScheduleWords] = {};
};

} // namespace corvantis
