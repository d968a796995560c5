#pragma once

#include "core/proxy/ProxyCodec.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace corvantis {

// The request side of plain HTTP through an HTTP proxy, over buffers only: the header block of an application's
// request is collected from the pieces the application sends, then rewritten from origin form ("GET /path") into
// a proxy request ("GET http://host/path"). CHttpTraffic does the socket work around it. Every function here is
// pure and safe on any thread; CHttpRequestReader is one request's state, used by one thread at a time.

// Collects the header block of one request: the request line and header fields through the blank line that
// ends them. Body bytes never land in the header: whatever follows the blank line, in the same piece or in later
// ones, is handed on to the caller's `rest` unchanged, so the body is sent once, after the rewritten header.
class CHttpRequestReader final {
public:
    // Longest header block accepted; a longer one fails, so a client cannot make us buffer without end.
    static constexpr size_t kMaxHeaderSize = 100000;

    CHttpRequestReader() = default;
    CHttpRequestReader(const CHttpRequestReader&) = delete;
    CHttpRequestReader& operator=(const CHttpRequestReader&) = delete;

    // Takes the next piece of the application's data. NeedMore: the header block is not complete yet. Done: the
    // header block is in GetHeader() and the bytes after it were appended to `rest`; from then on every piece is
    // appended to `rest` whole. Error: the data is no HTTP request this client can send through an HTTP proxy
    // (the reason in GetError()); later pieces are ignored.
    DecodeState Feed(std::string_view data, std::string& rest);

    DecodeState GetState() const { return m_State; }
    // The header block, ended by CR LF CR LF, once Done (partial before).
    const std::string& GetHeader() const { return m_Header; }
    const std::string& GetError() const { return m_Error; }

private:
    DecodeState fail(const char* message);

    DecodeState m_State = DecodeState::NeedMore;
    std::string m_Header;
    std::string m_Error;
};

// True when the header block has a field named `name` (without the colon, any letter case). The request line is
// never taken for a field.
bool HasHeaderField(const std::string& header, std::string_view name);

// Removes every field named `name` (without the colon, any letter case) from the header block, the line with
// its CR LF. Returns the value of the first one (blanks around it trimmed), or nothing when there was none.
std::optional<std::string> RemoveHeaderField(std::string& header, std::string_view name);

// Adds `line` (a whole field line ended by CR LF) as the last field of a header block, before its blank line;
// the block is left ended by CR LF CR LF.
void InsertHeaderLine(std::string& header, std::string_view line);

// Adds "Proxy-Connection: close" and then "Connection: close" as the last fields.
void AddCloseHeaders(std::string& header);

// Turns an origin-form request line into the absolute form a proxy needs: "http://" and the value of the
// "Host: " field as written (with its port) go before the path. The host part must be an acceptable target
// name (at most 255 bytes of letters, digits, "-", "." and "_", or an IPv6 literal in brackets) and the port, if
// any, a number: the name goes into a request that the proxy acts on. On failure returns false and appends the
// reason to `error`; `header` is then unchanged.
bool MakeAbsoluteUrl(std::string& header, std::string& error);

// The first request of an NTLM exchange for a rewritten request: the same header block, but announcing no body
// ("Content-Length: 0" in place of Content-Length and Transfer-Encoding fields), because the proxy is expected
// to refuse it with 407 and the body must only follow the request that carries the authenticate message. A
// request with a body is probed as a GET.
struct NtlmProbe {
    std::string header;
    bool hasBody = false; // the request announces a body (a non-zero Content-Length, or a Transfer-Encoding)
};
NtlmProbe MakeNtlmProbe(const std::string& header);

// The token of a "<scheme> <token>" offer in a field line of a proxy's reply ("Proxy-Authenticate: NTLM
// TlRM..."). A bare scheme name or an empty token is no offer: taking whatever follows would read another field
// as the challenge.
std::optional<std::string> FindAuthChallenge(const std::string& reply, std::string_view scheme);

// A proxy's reply header made fit for the client: its Connection and Proxy-Connection fields replaced by the
// two close lines, since the proxy connection serves this one request.
std::string MakeClientAnswer(const std::string& reply);

} // namespace corvantis
