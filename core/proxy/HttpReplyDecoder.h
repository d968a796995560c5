#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace corvantis {

// Reads an HTTP reply of a proxy by exact counts, so that nothing after the reply is taken from the socket: the
// status line and header block byte by byte, then, when asked, the body (by Content-Length or chunked), which
// is thrown away so the same connection can carry the next request of an authentication exchange. It knows no
// socket: the caller asks Wanted(), reads at most that many bytes and feeds them. One reply per object, one
// thread.
class CHttpReplyDecoder final {
public:
    // Each reader of proxy replies keeps its own rules.
    enum class Reader {
        // The CONNECT handshake's: a header ends at the fourth CR or LF in a row (CR LF CR LF, or four bare LF);
        // a body by length and each chunk hold at most kMaxBodySize bytes.
        Connect,
        // The HTTP request forwarding's: CR LF CR LF, LF LF and CR CR end a header (CR LF LF does not); a body
        // by length and a chunk may be as large as the drained-body bound allows (a chunk size has at most
        // kMaxChunkDigits digits either way).
        Forwarding,
    };

    static constexpr size_t kMaxHeaderSize = 100000;
    static constexpr size_t kMaxBodySize = 20000;
    static constexpr size_t kMaxChunkDigits = 5;
    // Most body bytes (chunk framing included) either reader drains: a proxy that streams a body without end
    // must not hold a handshake for as long as it likes.
    static constexpr size_t kMaxDrainedBody = 1 << 20;

    enum class Phase { Header, Body, Done, Error };

    // Milestones of a chunked body, for the readers' timing lines.
    enum class Event {
        ChunkSize, // a chunk size line's digits have been read (given as `text`)
        ChunkDataDone, // the data of a chunk other than the last has been read
        ChunkDone, // the CR LF that ends a chunk (the last one included) has been read
    };
    using EventSink = std::function<void(Event event, const std::string& text)>;

    explicit CHttpReplyDecoder(bool readBody, Reader reader = Reader::Connect);

    // `sink` is called from Feed() as each milestone passes.
    void SetEventSink(EventSink sink) { m_Sink = std::move(sink); }

    // How many bytes may be fed next: at least 1 until the reply is done or has failed, then 0.
    size_t Wanted() const;
    // Takes 1 to Wanted() bytes.
    void Feed(const uint8_t* data, size_t length);

    // Header while the status line and header block are read, Body while body bytes are, then Done or Error.
    Phase GetPhase() const;
    int GetStatus() const { return m_Status; }
    // The status line and header block as received (body bytes never land here).
    const std::string& GetReply() const { return m_Reply; }
    // The length a body by Content-Length announced, once the header is read; 0 for any other body.
    size_t GetBodyLength() const { return m_BodyLength; }
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
    bool headerEnds(uint8_t byte);
    void headerDone();
    void startChunks();
    bool takeBodyBytes(size_t count);
    void emit(Event event, const std::string& text = std::string());
    void failTooLarge();
    void fail(const char* message);

    bool m_ReadBody;
    Reader m_Reader;
    EventSink m_Sink;
    State m_State = State::First;
    int m_Status = 0;
    std::string m_Reply;
    std::string m_Error;
    int m_LineEndRun = 0; // Connect: CR and LF bytes in a row
    int m_CrRun = 0; // Forwarding: CR bytes since the last byte that was neither CR nor LF
    int m_LfRun = 0; // Forwarding: LF bytes since then
    size_t m_Remaining = 0; // bytes of the status line start, body or chunk still to come
    size_t m_BodyLength = 0;
    size_t m_BodyReceived = 0; // body bytes fed so far, chunk framing included
    std::string m_ChunkDigits;
    std::string m_ChunkEnd;
};

} // namespace corvantis
