#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/proxy/HttpReplyDecoder.h"

namespace corvantis {
namespace {

struct Outcome {
    CHttpReplyDecoder::Phase phase;
    int status = 0;
    std::string reply;
    std::string error;
    size_t consumed = 0; // bytes the decoder took before it was done or failed
};

using Reader = CHttpReplyDecoder::Reader;

// Feeds `bytes` in pieces of at most `piece` bytes and at most Wanted(), as a socket reader would.
Outcome run(const std::string& bytes, bool readBody, size_t piece = 1 << 20, Reader reader = Reader::Connect)
{
    CHttpReplyDecoder decoder(readBody, reader);
    size_t at = 0;
    while (decoder.Wanted() > 0 && at < bytes.size()) {
        const size_t n = std::min({ decoder.Wanted(), piece, bytes.size() - at });
        decoder.Feed(reinterpret_cast<const uint8_t*>(bytes.data()) + at, n);
        at += n;
    }
    return { decoder.GetPhase(), decoder.GetStatus(), decoder.GetReply(), decoder.GetError(), at };
}

using Phase = CHttpReplyDecoder::Phase;
const std::string kAfter = "TUNNEL-DATA";

TEST(HttpReplyDecoder, ReadsExactlyTheReply)
{
    const std::string chunked407 = "HTTP/1.1 407 Auth\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string chunks
        = "1A\r\n" + std::string(0x1A, 'a') + "\r\n10\r\n" + std::string(0x10, 'b') + "\r\n0\r\n\r\n";
    struct Case {
        const char* name;
        std::string header;
        std::string body;
        bool readBody;
        int status;
    };
    const Case cases[] = {
        { "200 and an empty line", "HTTP/1.1 200 Connection established\r\n\r\n", "", false, 200 },
        { "HTTP/1.0", "HTTP/1.0 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic\r\n\r\n", "", false,
            407 },
        { "four bare line feeds", "HTTP/1.1 200 OK\n\n\n\n", "", false, 200 },
        { "body left alone without the flag", "HTTP/1.1 407 x\r\nContent-Length: 5\r\n\r\n", "", false, 407 },
        { "body by length", "HTTP/1.1 407 x\r\nContent-Length: 1000\r\n\r\n", std::string(1000, 'z'), true, 407 },
        { "length with blanks, any case", "HTTP/1.1 407 x\r\ncOnTeNt-LeNgTh:  7 \r\n\r\n", "1234567", true, 407 },
        { "zero length, no body", "HTTP/1.1 407 x\r\nContent-Length: 0\r\n\r\n", "", true, 407 },
        { "negative length, no body", "HTTP/1.1 407 x\r\nContent-Length: -5\r\n\r\n", "", true, 407 },
        { "no length, not chunked: no body", "HTTP/1.1 407 x\r\nServer: s\r\n\r\n", "", true, 407 },
        { "chunks 0x1A and 0x10", chunked407, chunks, true, 407 },
        { "largest body", "HTTP/1.1 407 x\r\nContent-Length: 20000\r\n\r\n", std::string(20000, 'q'), true, 407 },
    };
    for (const auto& c : cases) {
        for (size_t piece : { size_t(1), size_t(7), size_t(1 << 20) }) {
            SCOPED_TRACE(std::string(c.name) + " piece " + std::to_string(piece));
            const auto out = run(c.header + c.body + kAfter, c.readBody, piece);
            EXPECT_EQ(out.phase, Phase::Done) << out.error;
            EXPECT_EQ(out.status, c.status);
            EXPECT_EQ(out.reply, c.header);
            EXPECT_EQ(out.consumed, c.header.size() + c.body.size()); // nothing after the reply
        }
    }
}

TEST(HttpReplyDecoder, RefusedReplies)
{
    const std::string chunked = "HTTP/1.1 407 x\r\nTransfer-Encoding: chunked\r\n\r\n";
    struct Case {
        const char* name;
        std::string bytes;
        std::string error;
    };
    const Case cases[] = {
        { "first byte", "XTTP/1.1 200 OK\r\n\r\n", "Proxy returned incorrect HTTP reply." },
        { "no HTTP/1.", "Hello world!\r\n\r\n", "Proxy returned incorrect HTTP reply." },
        { "status 0", "HTTP/1.1 abc\r\n\r\n", "Proxy returned incorrect HTTP reply code." },
        { "body too large", "HTTP/1.1 407 x\r\nContent-Length: 20001\r\n\r\n", "Proxy reply body is too large." },
        { "chunk extension", chunked + "1A;name=v\r\n", "Proxy reply has incorrect chunk size encoding." },
        { "chunk size without CR LF", chunked + "1A\n", "Proxy reply has incorrect chunk size encoding." },
        { "no chunk digits", chunked + "\r\n", "Proxy reply has incorrect chunk encoding." },
        { "chunk size 00", chunked + "00\r\n", "Proxy reply has incorrect chunk size." },
        { "chunk larger than the buffer", chunked + "4E21\r\n", "Proxy reply has incorrect chunk size." },
        { "six digits", chunked + "000001\r\n", "Proxy reply chunk size is too large." },
        { "chunk not ended by CR LF", chunked + "2\r\nabXY", "Proxy reply has incorrect chunk." },
        { "trailer after the last chunk", chunked + "0\r\nX-Trailer: 1\r\n\r\n", "Proxy reply has incorrect chunk." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = run(c.bytes + kAfter, true);
        EXPECT_EQ(out.phase, Phase::Error);
        EXPECT_EQ(out.error, c.error);
    }
}

TEST(HttpReplyDecoder, HeaderSizeLimit)
{
    // Status line plus filler lines up to exactly `total` bytes, ending in CR LF CR LF.
    auto reply = [](size_t total) {
        std::string r = "HTTP/1.1 200 OK\r\n";
        const std::string end = "\r\n";
        while (r.size() + end.size() < total) {
            const size_t room = total - r.size() - end.size();
            const size_t line = std::min<size_t>(room, 1000);
            if (line <= 2) {
                r += std::string(room, 'h'); // tail without line break
                break;
            }
            r += std::string(line - 2, 'h') + "\r\n";
        }
        return r + end;
    };
    const std::string accepted = reply(100001);
    ASSERT_EQ(accepted.size(), 100001u);
    EXPECT_EQ(run(accepted, false).phase, Phase::Done);

    const std::string tooLarge = "HTTP/1.1 200 OK\r\n" + std::string(100000, 'h') + "\r\n\r\n";
    const auto out = run(tooLarge, false);
    EXPECT_EQ(out.phase, Phase::Error);
    EXPECT_EQ(out.error, "Proxy reply is too large.");
    EXPECT_EQ(out.consumed, 100001u);
}

TEST(HttpReplyDecoder, HeaderEndsByEachReadersRule)
{
    struct Case {
        const char* name;
        std::string bytes;
        size_t connectHeader; // header length by the CONNECT reader's rule (0: not ended within the bytes)
        size_t forwardingHeader; // and by the forwarding's
    };
    const std::string status = "HTTP/1.1 200 OK";
    const Case cases[] = {
        { "CR LF CR LF", status + "\r\nA: 1\r\n\r\nbody", status.size() + 10, status.size() + 10 },
        { "LF LF", status + "\nA: 1\n\nbody", 0, status.size() + 7 },
        { "CR CR", status + "\rA: 1\r\rbody", 0, status.size() + 7 },
        { "four LF", status + "\n\n\n\nbody", status.size() + 4, status.size() + 2 },
        { "CR LF LF goes on to the next end", status + "\r\nA: 1\r\n\nB: 2\r\n\r\nbody", status.size() + 17,
            status.size() + 17 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (const Reader reader : { Reader::Connect, Reader::Forwarding }) {
            const size_t header = reader == Reader::Connect ? c.connectHeader : c.forwardingHeader;
            const auto out = run(c.bytes, false, 1, reader);
            EXPECT_EQ(out.phase, header == 0 ? Phase::Header : Phase::Done);
            EXPECT_EQ(out.reply, c.bytes.substr(0, header == 0 ? c.bytes.size() : header));
        }
    }
}

TEST(HttpReplyDecoder, BodyLimitsOfEachReader)
{
    const std::string chunked = "HTTP/1.1 407 x\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string chunk20000 = "4E20\r\n" + std::string(20000, 'x') + "\r\n";
    // Chunks of 20,000 bytes whose wire size stays within 1 MiB, and one more that passes it.
    std::string within;
    while (within.size() + chunk20000.size() + 5 <= CHttpReplyDecoder::kMaxDrainedBody)
        within += chunk20000;
    const std::string last = "0\r\n\r\n";
    struct Case {
        const char* name;
        Reader reader;
        std::string bytes;
        std::string error; // empty: the reply is read whole
    };
    const Case cases[] = {
        { "CONNECT: chunks up to the bound", Reader::Connect, chunked + within + last, "" },
        { "CONNECT: one chunk more", Reader::Connect, chunked + within + chunk20000 + last,
            "Proxy reply body is too large." },
        { "CONNECT: a chunk of 60,000 bytes", Reader::Connect, chunked + "EA60\r\n",
            "Proxy reply has incorrect chunk size." },
        { "forwarding: a chunk of 60,000 bytes", Reader::Forwarding,
            chunked + "EA60\r\n" + std::string(60000, 'c') + "\r\n" + last, "" },
        { "forwarding: the largest chunk", Reader::Forwarding, chunked + "FFFFF\r\n", "Proxy reply is too large." },
        { "forwarding: six digits", Reader::Forwarding, chunked + "00000A\r\n",
            "Proxy reply chunk size is too large." },
        { "forwarding: chunks up to the bound", Reader::Forwarding, chunked + within + last, "" },
        { "forwarding: one chunk more", Reader::Forwarding, chunked + within + chunk20000 + last,
            "Proxy reply is too large." },
        { "forwarding: length at the bound", Reader::Forwarding,
            "HTTP/1.1 407 x\r\nContent-Length: 1048576\r\n\r\n" + std::string(1048576, 'l'), "" },
        { "forwarding: length past the bound", Reader::Forwarding, "HTTP/1.1 407 x\r\nContent-Length: 1048577\r\n\r\n",
            "Proxy reply is too large." },
        { "forwarding: length of a header with bare LF", Reader::Forwarding,
            "HTTP/1.1 407 x\nContent-Length: 4\n\nbody", "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto out = run(c.bytes + kAfter, true, 2000, c.reader);
        if (c.error.empty()) {
            EXPECT_EQ(out.phase, Phase::Done) << out.error;
            EXPECT_EQ(out.consumed, c.bytes.size());
        } else {
            EXPECT_EQ(out.phase, Phase::Error);
            EXPECT_EQ(out.error, c.error);
        }
    }
}

TEST(HttpReplyDecoder, ChunkMilestones)
{
    using Event = CHttpReplyDecoder::Event;
    const std::string reply = "HTTP/1.1 407 x\r\nTransfer-Encoding: chunked\r\n\r\n1A\r\n" + std::string(0x1A, 'a')
        + "\r\n10\r\n" + std::string(0x10, 'b') + "\r\n0\r\n\r\n";
    CHttpReplyDecoder decoder(true);
    std::vector<std::string> seen;
    decoder.SetEventSink([&seen](Event event, const std::string& text) {
        const char* names[] = { "size ", "data", "chunk" };
        seen.push_back(names[static_cast<int>(event)] + text);
    });
    for (size_t at = 0; decoder.Wanted() > 0 && at < reply.size();) {
        const size_t n = std::min(decoder.Wanted(), reply.size() - at);
        decoder.Feed(reinterpret_cast<const uint8_t*>(reply.data()) + at, n);
        at += n;
    }
    EXPECT_EQ(decoder.GetPhase(), Phase::Done);
    EXPECT_EQ(
        seen, (std::vector<std::string> { "size 1A", "data", "chunk", "size 10", "data", "chunk", "size 0", "chunk" }));
}

} // namespace
} // namespace corvantis
