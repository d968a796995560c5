#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvantis {

// Shared result types of the proxy protocol codecs. The codecs turn requests into bytes and bytes into
// replies; they never touch a socket, so the clients decide how bytes are read and every wire detail can be
// tested on plain buffers.

// An encoded request, or the reason it cannot be encoded (a text for the connection's error text).
struct EncodedRequest {
    std::vector<uint8_t> bytes;
    std::string error;

    bool ok() const { return error.empty(); }
};

// Where a decoder stands on the bytes it was given.
enum class DecodeState {
    NeedMore, // the reply is longer than the bytes given: read up to the `needed` total and decode again
    Done, // the reply is complete; it is the first `needed` bytes, anything after it is not the reply's
    Error, // the bytes cannot be a valid reply; the reason is in `error`
};

} // namespace corvantis
