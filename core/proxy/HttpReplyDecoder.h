#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvantis {

// Reads an HTTP reply of a proxy by exact counts, so that nothing after the reply is taken from the socket: the
// status line and header block byte by byte, then, when asked, the body (by Content-Length or chunked), which
// is thrown away so the same connection can carry the next request of an authentication exchange. It knows no
// socket: the caller asks Wanted(), reads at most that many bytes and feeds them. One reply per object, one
// thread.
class CHttpReplyDecoder final {
public:
    static constexpr size_t kMaxHeaderSize = 100000;
    static constexpr size_t kMaxBodySize = 20000;
    static constexpr size_t kMaxChunkDigits = 5;

    enum class Phase { Header, Body, Done, Error };

    explicit CHttpReplyDecoder(bool readBody);

    // How many bytes may be fed next: at least 1 until the reply is done or has failed, then 0.
    size_t Wanted() const;
    // Takes 1 to Wanted() bytes.
    void Feed(const uint8_t* data, size_t length);

    // Header while the status line and header block are read, Body while body bytes are, then Done or Error.
    Phase GetPhase() const;
    int GetStatus() const { return m_Status; }
    // The status line and header block as received (body bytes never land here).
    const std::string& GetReply() const { return m_Reply; }
    // The reason of an Error, as the connection's error text takes it.
    const std::string& GetError() const { return m_Error; }

private:
    enum class State {
        First, // the first byte, which must be "H"
        StatusLine, // the other 11 bytes of the status line's start
        HeaderBlock,
        BodyBytes,
        ChunkSize,
        ChunkSizeLf,
        ChunkData,
        ChunkEnd,
        LastChunkEnd,
        Done,
        Error,
    };

    void feedByte(uint8_t byte);
    void headerDone();
    void fail(const char* message);

    bool m_ReadBody;
    State m_State = State::First;
    int m_Status = 0;
    std::string m_Reply;
    std::string m_Error;
    int m_LineEndRun = 0;
    size_t m_Remaining = 0; // bytes of the status line start, body, chunk or chunk end still to come
    std::string m_ChunkDigits;
    std::string m_ChunkEnd;
};

} // namespace corvantis
