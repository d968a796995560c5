#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace corvantis {

// A growable, zero-filled byte area for the Base64 coder. It starts empty, only grows, and frees its block when
// destroyed or handed to CryptBufFree. Not copyable (it owns the block); moving hands the block over.
struct CryptBuf {
    uint8_t* data = nullptr;
    size_t size = 0; // capacity in bytes

    CryptBuf() = default;
    ~CryptBuf();
    CryptBuf(const CryptBuf&) = delete;
    CryptBuf& operator=(const CryptBuf&) = delete;
    CryptBuf(CryptBuf&& other) noexcept;
    CryptBuf& operator=(CryptBuf&& other) noexcept;
};

// Makes the buffer empty without freeing anything: for a buffer whose fields hold no block of its own.
void CryptBufInit(CryptBuf& buf);
// Grows the buffer to at least size bytes; new bytes are zero and the old content is kept. Never shrinks.
// Throws std::bad_alloc when the memory cannot be had.
void CryptBufReserve(CryptBuf& buf, size_t size);
// The buffer's bytes (null while it is empty); valid until the next reserve or free.
uint8_t* CryptBufGetData(CryptBuf& buf);
const uint8_t* CryptBufGetData(const CryptBuf& buf);
// Frees the block; the buffer is empty afterwards and may be used again.
void CryptBufFree(CryptBuf& buf);

// Encodes count bytes as Base64 (standard alphabet, "=" padding, no line breaks) into out as a zero-terminated
// text of 4 * ceil(count / 3) characters, and returns that length. data may be null when count is 0.
size_t Base64EncodeBuf(const void* data, size_t count, CryptBuf& out);

// Decodes text into out and returns the number of bytes; the bytes are followed by a zero byte. Leading tabs and
// blanks are skipped; decoding stops at the end of text or at the first byte outside the alphabet ("=", a line
// end, a NUL), so it never fails: text without Base64 characters gives 0 bytes. A trailing single character
// carries fewer than 8 bits and gives no byte.
size_t Base64DecodeBuf(std::string_view text, CryptBuf& out);

// The same encoding as Base64EncodeBuf; out is replaced by the characters, without a terminating zero.
void Base64Encode(const std::vector<uint8_t>& in, std::vector<uint8_t>& out);

} // namespace corvantis
