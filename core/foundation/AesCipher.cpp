#include "core/foundation/AesCipher.h"

#include "platform/Assert.h"

#include <cstring>
#include <utility>

namespace corvantis {

namespace {

uint8_t xtime(uint8_t a)
{
    return static_cast<uint8_t>((a << 1) ^ ((a & 0x80) ? 0x1B : 0x00));
}

uint8_t gfMul(uint8_t a, uint8_t b)
{
    uint8_t product = 0;
    while (b != 0) {
        if (b & 1)
            product ^= a;
        a = xtime(a);
        b >>= 1;
    }
    return product;
}

uint32_t column(uint8_t row0, uint8_t row1, uint8_t row2, uint8_t row3)
{
    return static_cast<uint32_t>(row0) | (static_cast<uint32_t>(row1) << 8) | (static_cast<uint32_t>(row2) << 16)
        | (static_cast<uint32_t>(row3) << 24);
}

// Rotating a column down by one row moves row 3 to row 0; with row 0 in the low byte that is a left rotation.
uint32_t rotateDown(uint32_t word, int rows)
{
    const int bits = 8 * rows;
    return bits == 0 ? word : (word << bits) | (word >> (32 - bits));
}

struct Tables {
    uint8_t inverse[256];
    uint8_t sbox[256];
    uint8_t invSbox[256];
    uint32_t rcon[60];
    uint32_t enc[4][256];
    uint32_t encLast[4][256];
    uint32_t dec[4][256];
    uint32_t decLast[4][256];

    Tables()
    {
        // Multiplicative inverses through the powers of the generator 3.
        uint8_t power[255];
        uint8_t logOf[256] = {};
        uint8_t x = 1;
        for (int i = 0; i < 255; ++i) {
            power[i] = x;
            logOf[x] = static_cast<uint8_t>(i);
            x = static_cast<uint8_t>(x ^ xtime(x));
        }
        inverse[0] = 0;
        for (int a = 1; a < 256; ++a)
            inverse[a] = power[(255 - logOf[a]) % 255];

        for (int a = 0; a < 256; ++a) {
            const uint8_t b = inverse[a];
            uint8_t s = 0x63;
            for (int bit = 0; bit < 8; ++bit) {
                const int v = ((b >> bit) ^ (b >> ((bit + 4) % 8)) ^ (b >> ((bit + 5) % 8)) ^ (b >> ((bit + 6) % 8))
                                  ^ (b >> ((bit + 7) % 8)))
                    & 1;
                s = static_cast<uint8_t>(s ^ (v << bit));
            }
            sbox[a] = s;
        }
        for (int a = 0; a < 256; ++a)
            invSbox[sbox[a]] = static_cast<uint8_t>(a);

        rcon[0] = 0;
        uint8_t r = 1;
        for (int j = 1; j < 60; ++j) {
            rcon[j] = j <= 58 ? r : 0;
            r = xtime(r);
        }

        for (int a = 0; a < 256; ++a) {
            const uint8_t s = sbox[a];
            const uint32_t encColumn = column(gfMul(s, 2), s, s, gfMul(s, 3));
            const uint8_t v = invSbox[a];
            const uint32_t decColumn = column(gfMul(v, 14), gfMul(v, 9), gfMul(v, 13), gfMul(v, 11));
            for (int t = 0; t < 4; ++t) {
                enc[t][a] = rotateDown(encColumn, t);
                dec[t][a] = rotateDown(decColumn, t);
                encLast[t][a] = static_cast<uint32_t>(s) << (8 * t);
                decLast[t][a] = static_cast<uint32_t>(v) << (8 * t);
            }
        }
    }
};

const Tables& tables()
{
    static const Tables built;
    return built;
}

uint32_t loadColumn(const uint8_t* p)
{
    return column(p[0], p[1], p[2], p[3]);
}

void storeColumn(uint32_t word, uint8_t* p)
{
    p[0] = static_cast<uint8_t>(word);
    p[1] = static_cast<uint8_t>(word >> 8);
    p[2] = static_cast<uint8_t>(word >> 16);
    p[3] = static_cast<uint8_t>(word >> 24);
}

uint32_t subWord(const Tables& t, uint32_t word)
{
    return column(t.sbox[word & 0xFF], t.sbox[(word >> 8) & 0xFF], t.sbox[(word >> 16) & 0xFF], t.sbox[word >> 24]);
}

// Row shifts of ShiftRows: rows 1, 2, 3 move by 1, 2, 3 columns, or by 1, 3, 4 with eight columns.
template <int NB> constexpr int shiftOf(int row)
{
    constexpr int small[4] = { 0, 1, 2, 3 };
    constexpr int large[4] = { 0, 1, 3, 4 };
    return NB == 8 ? large[row] : small[row];
}

// One full round (or the last round, with the final-round tables). Encryption takes row r of output column c
// from column c + shift(r); decryption from column c - shift(r).
template <int NB, bool Inverse>
void applyRound(const uint32_t (&table)[4][256], const uint32_t* in, uint32_t* out, const uint32_t* key)
{
    for (int c = 0; c < NB; ++c) {
        const int c1 = Inverse ? (c + NB - shiftOf<NB>(1)) % NB : (c + shiftOf<NB>(1)) % NB;
        const int c2 = Inverse ? (c + NB - shiftOf<NB>(2)) % NB : (c + shiftOf<NB>(2)) % NB;
        const int c3 = Inverse ? (c + NB - shiftOf<NB>(3)) % NB : (c + shiftOf<NB>(3)) % NB;
        out[c] = table[0][in[c] & 0xFF] ^ table[1][(in[c1] >> 8) & 0xFF] ^ table[2][(in[c2] >> 16) & 0xFF]
            ^ table[3][in[c3] >> 24] ^ key[c];
    }
}

template <int NB, bool Inverse>
void cipherBlock(const uint32_t* schedule, int rounds, const uint8_t* inBytes, uint8_t* outBytes)
{
    const Tables& t = tables();
    const auto& full = Inverse ? t.dec : t.enc;
    const auto& last = Inverse ? t.decLast : t.encLast;
    uint32_t state[2][NB];
    uint32_t* a = state[0];
    uint32_t* b = state[1];
    for (int c = 0; c < NB; ++c)
        a[c] = loadColumn(inBytes + 4 * c) ^ schedule[c];
    for (int r = 1; r < rounds; ++r) {
        applyRound<NB, Inverse>(full, a, b, schedule + NB * r);
        std::swap(a, b);
    }
    applyRound<NB, Inverse>(last, a, b, schedule + NB * rounds);
    for (int c = 0; c < NB; ++c)
        storeColumn(b[c], outBytes + 4 * c);
}

template <bool Inverse>
void dispatchBlock(int nb, const uint32_t* schedule, int rounds, const uint8_t* in, uint8_t* out)
{
    switch (nb) {
    case 4:
        cipherBlock<4, Inverse>(schedule, rounds, in, out);
        break;
    case 6:
        cipherBlock<6, Inverse>(schedule, rounds, in, out);
        break;
    case 8:
        cipherBlock<8, Inverse>(schedule, rounds, in, out);
        break;
    default:
        // No valid Init: a block has no bytes, so there is nothing to write.
        break;
    }
}

int sizeIndex(uint32_t bits)
{
    switch (bits) {
    case 128:
        return 0;
    case 192:
        return 1;
    case 256:
        return 2;
    default:
        return -1;
    }
}

} // namespace

AesCipher::AesCipher()
{
    tables();
}

void AesCipher::Init(uint32_t keyBits, uint32_t blockBits)
{
    static constexpr int32_t kRounds[3][3] = { { 10, 12, 14 }, { 12, 12, 14 }, { 14, 14, 14 } };
    const int keyIndex = sizeIndex(keyBits);
    const int blockIndex = sizeIndex(blockBits);
    if (keyIndex < 0 || blockIndex < 0) {
        m_Nb = m_Nk = m_Nr = 0;
        return;
    }
    m_Nb = static_cast<int32_t>(blockBits / 32);
    m_Nk = static_cast<int32_t>(keyBits / 32);
    m_Nr = kRounds[blockIndex][keyIndex];
}

void AesCipher::KeyExpansion(const uint8_t* key)
{
    // Misuse by a caller (never data): Init was not called, or was given a size it refused.
    CORVANTIS_ASSERT(m_Nk > 0, "AesCipher has no valid key size");
    const Tables& t = tables();
    const int total = m_Nb * (m_Nr + 1);
    for (int i = 0; i < m_Nk; ++i)
        m_Schedule[i] = loadColumn(key + 4 * i);
    for (int i = m_Nk; i < total; ++i) {
        uint32_t temp = m_Schedule[i - 1];
        if (i % m_Nk == 0)
            temp = subWord(t, (temp >> 8) | (temp << 24)) ^ t.rcon[i / m_Nk];
        else if (m_Nk > 6 && i % m_Nk == 4)
            temp = subWord(t, temp);
        m_Schedule[i] = m_Schedule[i - m_Nk] ^ temp;
    }
}

void AesCipher::InvKeyExpansion(const uint8_t* key)
{
    KeyExpansion(key);
    const Tables& t = tables();
    // The decryption round tables apply InvMixColumns to an inverse S-box output; feeding them the S-box value
    // of a byte therefore yields InvMixColumns of the byte itself.
    for (int i = m_Nb; i < m_Nb * m_Nr; ++i) {
        const uint32_t w = m_Schedule[i];
        m_Schedule[i] = t.dec[0][t.sbox[w & 0xFF]] ^ t.dec[1][t.sbox[(w >> 8) & 0xFF]]
            ^ t.dec[2][t.sbox[(w >> 16) & 0xFF]] ^ t.dec[3][t.sbox[w >> 24]];
    }
    for (int r = 0; r < m_Nr / 2; ++r) {
        uint32_t* front = m_Schedule + m_Nb * r;
        uint32_t* back = m_Schedule + m_Nb * (m_Nr - r);
        for (int c = 0; c < m_Nb; ++c) {
            const uint32_t w = front[c];
            front[c] = back[c];
            back[c] = w;
        }
    }
}

void AesCipher::EncryptBlock(const uint8_t* in, uint8_t* out) const
{
    dispatchBlock<false>(m_Nb, m_Schedule, m_Nr, in, out);
}

void AesCipher::DecryptBlock(const uint8_t* in, uint8_t* out) const
{
    dispatchBlock<true>(m_Nb, m_Schedule, m_Nr, in, out);
}

void AesCipher::Encrypt(const uint8_t* in, uint8_t* out, uint64_t blocks, int32_t mode) const
{
    if (blocks == 0)
        return;
    const size_t size = BlockBytes();
    if (mode == kModeEcb) {
        for (uint64_t k = 0; k < blocks; ++k)
            EncryptBlock(in + k * size, out + k * size);
    } else if (mode == kModeCbc) {
        uint8_t chain[kMaxBlockBytes] = {};
        for (uint64_t k = 0; k < blocks; ++k) {
            for (size_t i = 0; i < size; ++i)
                chain[i] ^= in[k * size + i];
            EncryptBlock(chain, chain);
            std::memcpy(out + k * size, chain, size);
        }
    } else {
        CORVANTIS_ASSERT(!"Unknown mode!", "AesCipher mode ", mode);
    }
}

void AesCipher::Decrypt(const uint8_t* in, uint8_t* out, uint64_t blocks, int32_t mode) const
{
    if (blocks == 0)
        return;
    const size_t size = BlockBytes();
    if (mode == kModeEcb) {
        for (uint64_t k = 0; k < blocks; ++k)
            DecryptBlock(in + k * size, out + k * size);
    } else if (mode == kModeCbc) {
        // The previous cipher block is kept aside so that the output may overwrite the input.
        uint8_t previous[kMaxBlockBytes] = {};
        uint8_t current[kMaxBlockBytes];
        for (uint64_t k = 0; k < blocks; ++k) {
            std::memcpy(current, in + k * size, size);
            DecryptBlock(current, out + k * size);
            for (size_t i = 0; i < size; ++i)
                out[k * size + i] ^= previous[i];
            std::memcpy(previous, current, size);
        }
    } else {
        CORVANTIS_ASSERT(!"Unknown mode!", "AesCipher mode ", mode);
    }
}

} // namespace corvantis
