#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/proxy/HttpRequestCodec.h"

namespace corvantis {
namespace {

constexpr const char* kNotHttp = "Client sent incorrect HTTP request. Please make sure that client uses HTTP protocol.";
constexpr const char* kNoUrl
    = "Cannot extract URL from the HTTP request. Please make sure that client uses HTTP protocol.";
constexpr const char* kNoHost
    = "Cannot extract Host name from the HTTP request. Please make sure that client uses HTTP protocol.";

struct Fed {
    DecodeState state;
    std::string header;
    std::string rest;
    std::string error;
};

Fed feedPieces(const std::vector<std::string>& pieces)
{
    CHttpRequestReader reader;
    Fed fed { DecodeState::NeedMore, {}, {}, {} };
    for (const auto& piece : pieces)
        fed.state = reader.Feed(piece, fed.rest);
    fed.header = reader.GetHeader();
    fed.error = reader.GetError();
    return fed;
}

TEST(HttpRequestReader, CollectsTheHeaderBlockAndHandsOnTheBody)
{
    const std::string header = "POST /form HTTP/1.1\r\nHost: example.com\r\nContent-Length: 11\r\n\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> pieces;
        DecodeState state;
        std::string header;
        std::string rest;
    };
    const Case cases[] = {
        { "two bytes wait", { "GE" }, DecodeState::NeedMore, "GE", "" },
        { "header without its blank line waits", { "GET / HTTP/1.1\r\nHost: a\r\n" }, DecodeState::NeedMore,
            "GET / HTTP/1.1\r\nHost: a\r\n", "" },
        { "header alone", { header }, DecodeState::Done, header, "" },
        { "body in the same piece", { header + "hello world" }, DecodeState::Done, header, "hello world" },
        { "blank line split over pieces",
            { header.substr(0, header.size() - 3), header.substr(header.size() - 3), "hello", " world" },
            DecodeState::Done, header, "hello world" },
        { "one byte at a time then the body", { "G", "ET", " / HTTP/1.0\r\n\r", "\nbody" }, DecodeState::Done,
            "GET / HTTP/1.0\r\n\r\n", "body" },
        { "body that looks like a header end", { header + "\r\n\r\nGET /x", " HTTP/1.1\r\n\r\n" }, DecodeState::Done,
            header, "\r\n\r\nGET /x HTTP/1.1\r\n\r\n" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Fed fed = feedPieces(c.pieces);
        EXPECT_EQ(fed.state, c.state);
        EXPECT_EQ(fed.header, c.header);
        EXPECT_EQ(fed.rest, c.rest);
        EXPECT_EQ(fed.error, "");
    }
}

TEST(HttpRequestReader, MethodCheck)
{
    struct Case {
        const char* name;
        std::string start;
        std::string error; // empty: accepted
    };
    const Case cases[] = {
        { "GET", "GET", "" },
        { "POST", "POST", "" },
        { "PUT", "PUT", "" },
        { "OPTIONS", "OPTIONS", "" },
        { "HEAD", "HEAD", "" },
        { "DELETE", "DELETE", "" },
        { "TRACE", "TRACE", "" },
        { "first three letters are enough", "GETX", "" },
        { "CONNECT", "CONNECT", "Client requested HTTPS connection. Please define a separate HTTPS proxy for this." },
        { "lower case", "get", kNotHttp },
        { "PATCH", "PATCH", kNotHttp },
        { "TLS hello", "\x16\x03\x01", kNotHttp },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Fed fed = feedPieces({ c.start + " /a HTTP/1.1\r\nHost: h\r\n\r\nbody" });
        EXPECT_EQ(fed.state, c.error.empty() ? DecodeState::Done : DecodeState::Error);
        EXPECT_EQ(fed.error, c.error);
        EXPECT_EQ(fed.rest, c.error.empty() ? "body" : "");
    }
}

TEST(HttpRequestReader, HeaderSizeIsBounded)
{
    const size_t limit = CHttpRequestReader::kMaxHeaderSize;
    const std::string start = "GET / HTTP/1.1\r\nX-Long: ";
    const std::string end = "\r\n\r\n";
    const std::string justFits = start + std::string(limit - start.size() - end.size(), 'a') + end;
    ASSERT_EQ(justFits.size(), limit);

    const Fed fits = feedPieces({ justFits + "body" });
    EXPECT_EQ(fits.state, DecodeState::Done);
    EXPECT_EQ(fits.rest, "body");

    // Too long with its end in the same piece, and too long with no end in sight: neither is kept whole.
    const std::string tooLong = start + std::string(limit, 'a') + end;
    for (const auto& pieces : { std::vector<std::string> { tooLong },
             std::vector<std::string> { start, std::string(limit / 2, 'a'), std::string(limit / 2, 'a') } }) {
        const Fed fed = feedPieces(pieces);
        EXPECT_EQ(fed.state, DecodeState::Error);
        EXPECT_EQ(fed.error, "Request is too large.");
        EXPECT_LE(fed.header.size(), limit);
        EXPECT_EQ(fed.rest, "");
    }
}

TEST(HttpRequestRewrite, AbsoluteUrl)
{
    struct Case {
        const char* name;
        std::string header;
        std::string rewritten; // empty: refused
        std::string error;
    };
    const Case cases[] = {
        { "name", "GET /index.html HTTP/1.1\r\nHost: example.com\r\n\r\n",
            "GET http://example.com/index.html HTTP/1.1\r\nHost: example.com\r\n\r\n", "" },
        { "name and port", "POST /a?b=c HTTP/1.1\r\nAccept: */*\r\nHost: example.com:8080\r\n\r\n",
            "POST http://example.com:8080/a?b=c HTTP/1.1\r\nAccept: */*\r\nHost: example.com:8080\r\n\r\n", "" },
        { "IPv4", "GET / HTTP/1.0\r\nHost: 10.1.2.3\r\n\r\n", "GET http://10.1.2.3/ HTTP/1.0\r\nHost: 10.1.2.3\r\n\r\n",
            "" },
        { "IPv6 with port", "GET / HTTP/1.1\r\nHost: [::1]:81\r\n\r\n",
            "GET http://[::1]:81/ HTTP/1.1\r\nHost: [::1]:81\r\n\r\n", "" },
        { "already absolute", "GET http://example.com/ HTTP/1.1\r\nHost: example.com\r\n\r\n", "", kNoUrl },
        { "host field in lower case", "GET / HTTP/1.1\r\nhost: example.com\r\n\r\n", "", kNoHost },
        { "no host field", "GET / HTTP/1.1\r\nAccept: */*\r\n\r\n", "", kNoHost },
        { "empty host", "GET / HTTP/1.1\r\nHost: \r\n\r\n", "", kNoHost },
        { "port not a number", "GET / HTTP/1.1\r\nHost: example.com:80x\r\n\r\n", "", kNoHost },
        { "port too large", "GET / HTTP/1.1\r\nHost: example.com:65536\r\n\r\n", "", kNoHost },
        { "name with a blank", "GET / HTTP/1.1\r\nHost: evil.com other.com\r\n\r\n", "",
            "Target host name contains characters that are not allowed." },
        { "name with a slash", "GET / HTTP/1.1\r\nHost: evil.com/x?\r\n\r\n", "",
            "Target host name contains characters that are not allowed." },
        { "overlong name", "GET / HTTP/1.1\r\nHost: " + std::string(256, 'a') + "\r\n\r\n", "",
            "Target host name is too long." },
        { "no space in the request line", "GET/\r\nHost: a b\r\n\r\n", "", kNotHttp },
        { "method too short", "GE /\r\nHost: h\r\n\r\n", "", kNotHttp },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string header = c.header;
        std::string error = "earlier. ";
        const bool ok = MakeAbsoluteUrl(header, error);
        EXPECT_EQ(ok, !c.rewritten.empty());
        EXPECT_EQ(header, ok ? c.rewritten : c.header);
        EXPECT_EQ(error, "earlier. " + c.error);
    }
}

TEST(HttpRequestRewrite, FieldsAreFoundAtLineStartsInAnyLetterCase)
{
    std::string header = "GET /connection:x HTTP/1.1\r\nHost: h\r\nconnection: keep-alive\r\nX-Connection: "
                         "1\r\nCONNECTION:  Upgrade \r\nAccept: */*\r\n\r\n";
    EXPECT_TRUE(HasHeaderField(header, "Connection"));
    EXPECT_FALSE(HasHeaderField(header, "Proxy-Connection"));
    EXPECT_EQ(RemoveHeaderField(header, "Connection"), std::optional<std::string>("keep-alive"));
    EXPECT_EQ(header, "GET /connection:x HTTP/1.1\r\nHost: h\r\nX-Connection: 1\r\nAccept: */*\r\n\r\n");
    EXPECT_EQ(RemoveHeaderField(header, "Connection"), std::nullopt);

    // Mixed line ends: each removed line takes the end before it, so the block still ends in "\r\n\r\n".
    std::string mixed = "GET / HTTP/1.1\nA: 1\r\nVia: x\nB: 2\nVia: y\r\n\r\n";
    EXPECT_EQ(RemoveHeaderField(mixed, "Via"), std::optional<std::string>("x"));
    EXPECT_EQ(mixed, "GET / HTTP/1.1\nA: 1\nB: 2\r\n\r\n");

    InsertHeaderLine(header, "Proxy-Authorization: Basic YTpi\r\n");
    AddCloseHeaders(header);
    EXPECT_EQ(header,
        "GET /connection:x HTTP/1.1\r\nHost: h\r\nX-Connection: 1\r\nAccept: */*\r\n"
        "Proxy-Authorization: Basic YTpi\r\nProxy-Connection: close\r\nConnection: close\r\n\r\n");
}

TEST(HttpRequestRewrite, NtlmProbeAnnouncesNoBody)
{
    const std::string host = "Host: h\r\n";
    struct Case {
        const char* name;
        std::string header;
        std::string probe;
        bool hasBody;
    };
    const Case cases[] = {
        { "no body", "GET http://h/ HTTP/1.1\r\n" + host + "\r\n", "GET http://h/ HTTP/1.1\r\n" + host + "\r\n",
            false },
        { "POST with a body", "POST http://h/ HTTP/1.1\r\nContent-Length: 12\r\n" + host + "\r\n",
            "GET http://h/ HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", true },
        { "POST with an empty body keeps its method",
            "POST http://h/ HTTP/1.1\r\n" + host + "content-length: 0\r\n\r\n",
            "POST http://h/ HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", false },
        { "chunked PUT", "PUT http://h/ HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n",
            "GET http://h/ HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", true },
        { "both fields give one length",
            "POST http://h/ HTTP/1.1\r\nContent-Length: 5\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n",
            "GET http://h/ HTTP/1.1\r\n" + host + "Content-Length: 0\r\n\r\n", true },
        { "an empty length after a bare line end still leaves a header block",
            "PUT http://h/ HTTP/1.0\r\n" + host + "Tra\ncontent-length:\r\n\r\n",
            "PUT http://h/ HTTP/1.0\r\n" + host + "Tra\r\n\r\n", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const NtlmProbe probe = MakeNtlmProbe(c.header);
        EXPECT_EQ(probe.header, c.probe);
        EXPECT_EQ(probe.hasBody, c.hasBody);
    }
}

TEST(HttpRequestRewrite, AuthChallengeAndClientAnswer)
{
    struct Case {
        const char* name;
        std::string reply;
        std::optional<std::string> challenge;
    };
    const Case cases[] = {
        { "token", "HTTP/1.1 407 X\r\nProxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n\r\n", "TlRMTVNTUAACAAAA" },
        { "bare offer first", "HTTP/1.1 407 X\r\nProxy-Authenticate: NTLM\r\nProxy-Authenticate: NTLM abc=\r\n\r\n",
            "abc=" },
        { "bare offer only: the next line is no challenge",
            "HTTP/1.1 407 X\r\nProxy-Authenticate: NTLM\r\nVia: 1.1 proxy\r\n\r\n", std::nullopt },
        { "empty token", "HTTP/1.1 407 X\r\nProxy-Authenticate: NTLM \r\nVia: x\r\n\r\n", std::nullopt },
        { "other scheme", "HTTP/1.1 407 X\r\nProxy-Authenticate: Basic realm=\"r\"\r\n\r\n", std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FindAuthChallenge(c.reply, "NTLM"), c.challenge);
    }

    EXPECT_EQ(MakeClientAnswer("HTTP/1.1 200 OK\r\nConnection: keep-alive\r\nContent-Length: 3\r\n"
                               "Proxy-Connection: keep-alive\r\n\r\n"),
        "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nProxy-Connection: close\r\nConnection: close\r\n\r\n");
}

} // namespace
} // namespace corvantis
