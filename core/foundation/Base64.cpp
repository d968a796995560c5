#include "core/foundation/Base64.h"

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

namespace corvantis {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kNotBase64 = 64;

struct DecodeTable {
    uint8_t value[256];
    constexpr DecodeTable()
        : value()
    {
        for (auto& v : value)
            v = kNotBase64;
        for (int i = 0; i < 64; ++i)
            value[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
    }
};

constexpr DecodeTable kDecode;

// Bytes are looked up as unsigned values: a signed char above 0x7F must not index before the table.
uint8_t decodeValue(char c)
{
    return kDecode.value[static_cast<uint8_t>(c)];
}

size_t encodedLength(size_t count)
{
    return (count / 3 + (count % 3 != 0 ? 1 : 0)) * 4;
}

size_t encodeReserve(size_t count)
{
    if (count > (std::numeric_limits<size_t>::max() - 8) / 4 * 3)
        throw std::bad_alloc();
    return count + (count + 3) / 3 + 4;
}

void encodeInto(const uint8_t* in, size_t count, uint8_t* out)
{
    size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const uint32_t group
            = (static_cast<uint32_t>(in[i]) << 16) | (static_cast<uint32_t>(in[i + 1]) << 8) | in[i + 2];
        *out++ = static_cast<uint8_t>(kAlphabet[(group >> 18) & 0x3F]);
        *out++ = static_cast<uint8_t>(kAlphabet[(group >> 12) & 0x3F]);
        *out++ = static_cast<uint8_t>(kAlphabet[(group >> 6) & 0x3F]);
        *out++ = static_cast<uint8_t>(kAlphabet[group & 0x3F]);
    }
    const size_t rest = count - i;
    if (rest == 0)
        return;
    uint32_t group = static_cast<uint32_t>(in[i]) << 16;
    if (rest == 2)
        group |= static_cast<uint32_t>(in[i + 1]) << 8;
    *out++ = static_cast<uint8_t>(kAlphabet[(group >> 18) & 0x3F]);
    *out++ = static_cast<uint8_t>(kAlphabet[(group >> 12) & 0x3F]);
    *out++ = rest == 2 ? static_cast<uint8_t>(kAlphabet[(group >> 6) & 0x3F]) : '=';
    *out++ = '=';
}

} // namespace

CryptBuf::~CryptBuf()
{
    CryptBufFree(*this);
}

CryptBuf::CryptBuf(CryptBuf&& other) noexcept
    : data(std::exchange(other.data, nullptr))
    , size(std::exchange(other.size, 0))
{
}

CryptBuf& CryptBuf::operator=(CryptBuf&& other) noexcept
{
    if (this != &other) {
        CryptBufFree(*this);
        data = std::exchange(other.data, nullptr);
        size = std::exchange(other.size, 0);
    }
    return *this;
}

void CryptBufInit(CryptBuf& buf)
{
    buf.data = nullptr;
    buf.size = 0;
}

void CryptBufReserve(CryptBuf& buf, size_t size)
{
    if (size <= buf.size)
        return;
    auto* grown = static_cast<uint8_t*>(std::calloc(size, 1));
    if (grown == nullptr)
        throw std::bad_alloc();
    if (buf.data != nullptr)
        std::memcpy(grown, buf.data, buf.size);
    std::free(buf.data);
    buf.data = grown;
    buf.size = size;
}

uint8_t* CryptBufGetData(CryptBuf& buf)
{
    return buf.data;
}

const uint8_t* CryptBufGetData(const CryptBuf& buf)
{
    return buf.data;
}

void CryptBufFree(CryptBuf& buf)
{
    std::free(buf.data);
    buf.data = nullptr;
    buf.size = 0;
}

size_t Base64EncodeBuf(const void* data, size_t count, CryptBuf& out)
{
    CryptBufReserve(out, encodeReserve(count));
    const size_t length = encodedLength(count);
    if (count != 0)
        encodeInto(static_cast<const uint8_t*>(data), count, out.data);
    out.data[length] = 0;
    return length;
}

size_t Base64DecodeBuf(std::string_view text, CryptBuf& out)
{
    size_t start = 0;
    while (start < text.size() && (text[start] == ' ' || text[start] == '\t'))
        ++start;
    size_t end = start;
    while (end < text.size() && decodeValue(text[end]) != kNotBase64)
        ++end;
    const size_t valid = end - start;
    CryptBufReserve(out, (valid / 4 + (valid % 4 != 0 ? 1 : 0)) * 3 + 4);

    uint8_t* dst = out.data;
    size_t i = start;
    for (; i + 4 <= end; i += 4) {
        const uint32_t group = (static_cast<uint32_t>(decodeValue(text[i])) << 18)
            | (static_cast<uint32_t>(decodeValue(text[i + 1])) << 12)
            | (static_cast<uint32_t>(decodeValue(text[i + 2])) << 6) | decodeValue(text[i + 3]);
        *dst++ = static_cast<uint8_t>(group >> 16);
        *dst++ = static_cast<uint8_t>(group >> 8);
        *dst++ = static_cast<uint8_t>(group);
    }
    const size_t rest = end - i;
    if (rest >= 2) {
        uint32_t group = (static_cast<uint32_t>(decodeValue(text[i])) << 18)
            | (static_cast<uint32_t>(decodeValue(text[i + 1])) << 12);
        if (rest == 3)
            group |= static_cast<uint32_t>(decodeValue(text[i + 2])) << 6;
        *dst++ = static_cast<uint8_t>(group >> 16);
        if (rest == 3)
            *dst++ = static_cast<uint8_t>(group >> 8);
    }
    const size_t length = static_cast<size_t>(dst - out.data);
    out.data[length] = 0;
    return length;
}

void Base64Encode(const std::vector<uint8_t>& in, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> text;
    text.reserve(encodeReserve(in.size()));
    text.resize(encodedLength(in.size()));
    if (!in.empty())
        encodeInto(in.data(), in.size(), text.data());
    out = std::move(text);
}

} // namespace corvantis
