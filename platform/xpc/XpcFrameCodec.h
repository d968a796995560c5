#pragma once

#include "platform/Result.h"
#include "platform/xpc/XpcObject.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace corvantis {

// Bounds on what a connection accepts from its peer (and sends): a frame's payload size and the nesting of
// containers (the message dictionary itself is level 1).
struct XpcLimits {
    static constexpr size_t kDefaultMaxFrameBytes = 16 * 1024 * 1024;
    static constexpr size_t kDefaultMaxDepth = 64;
    size_t maxFrameBytes = kDefaultMaxFrameBytes;
    size_t maxDepth = kDefaultMaxDepth;
};

// The byte form of IPC messages (docs/xpc-frame-format.md): a 4-byte big-endian payload length, then one
// tagged value that must be a dictionary. Knows nothing of sockets. Stateless; safe from any thread.
class XpcFrameCodec final {
public:
    XpcFrameCodec() = delete;

    static constexpr size_t kHeaderBytes = 4;
    // Longest endpoint name: an abstract socket name fills sun_path after its leading NUL.
    static constexpr size_t kMaxEndpointName = 107;

    // The whole frame of `message`. Text that is not valid UTF-8 is sent with each bad sequence replaced by
    // U+FFFD, so every string a peer receives is valid UTF-8. Fails when the payload would exceed the limit,
    // the nesting is too deep, or an endpoint name is empty or longer than kMaxEndpointName.
    static Result<std::vector<uint8_t>> encode(const XpcDict& message, const XpcLimits& limits = {});

    // Reads one payload (without its header), which must hold exactly one dictionary. Never throws and never
    // reads outside `payload`; any fault (unknown tag, truncation, invalid UTF-8, repeated or unordered keys,
    // nesting beyond the limit, trailing bytes) is returned as an error naming it.
    static Result<XpcDict> decodePayload(std::span<const uint8_t> payload, const XpcLimits& limits = {});
};

// Cuts a byte stream into messages. Feed it what the socket gave, then take messages until it needs more.
// After an error it stays failed (the stream cannot be resynchronised): the connection is to be dropped.
// Not thread-safe: one reader.
class XpcFrameDecoder final {
public:
    enum class State { NeedMore, Message, Error };
    struct Outcome {
        State state = State::NeedMore;
        XpcDict message; // State::Message
        std::string error; // State::Error
    };

    explicit XpcFrameDecoder(XpcLimits limits = {});

    // Appends bytes (copied).
    void feed(std::span<const uint8_t> bytes);
    // The next message, NeedMore when the buffered bytes do not yet hold a whole frame, or the error. A
    // header that announces an oversize or empty payload fails at once, before its payload arrives.
    Outcome next();
    // Bytes buffered and not yet consumed.
    size_t buffered() const { return m_buffer.size() - m_start; }

private:
    XpcLimits m_limits;
    std::vector<uint8_t> m_buffer;
    size_t m_start = 0;
    std::string m_error;
};

} // namespace corvantis
