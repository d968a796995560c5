#pragma once

#include "core/profile/Proxy.h"
#include "core/proxy/HttpRequestCodec.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvantis {

class CSafeSocket;

// Sends an application's plain HTTP request through an HTTP proxy. The application believes it talks to the web
// server, so its first data is an origin-form request ("GET /path HTTP/1.1", "Host: ..."); this turns it into a
// proxy request (absolute URL, connection fields, proxy authentication by Basic or NTLM as the proxy record
// asks) and sends it over a socket already connected to the proxy. The header block is sent once; the body is
// never touched: the caller sends it on after the rewritten header.
//
// The proxy's replies are read by the forwarding's own rules (CHttpReplyDecoder::Reader::Forwarding): headers
// ended by LF LF or CR CR too, and a dropped body of up to 1 MiB in 2,000-byte pieces.
//
// One object serves one connection's request, on one thread at a time (the engine's thread for the connection).
// It blocks that thread while it writes to the proxy and, for NTLM, reads the proxy's replies; the socket must
// be blocking and is never closed here.
class CHttpTraffic final {
public:
    // Faults of the client's request and of the socket work done for it. They carry nothing (the reason is in
    // the error text) and never leave ProcessRequest.
    class CHttpTrafficException { };
    // Faults of the proxy's reply, handled the same way.
    class CProxyConnectionException { };

    // Copies `proxy`; borrows `socket`, which must outlive the object.
    CHttpTraffic(const CProxy& proxy, CSafeSocket* socket);
    CHttpTraffic(const CHttpTraffic&) = delete;
    CHttpTraffic& operator=(const CHttpTraffic&) = delete;

    // Takes the next `length` bytes the application sent. Until the request's header block is complete nothing
    // is sent and the result is true. Once it is, the rewritten request goes to the proxy (after the NTLM
    // exchange where one is needed), every byte that followed the header block is appended to `rest` for the
    // caller to send after it, and from then on every later piece is appended to `rest` unchanged.
    // When the request goes, `answer` is cleared, and it is only filled when the proxy's reply to the request
    // itself was read here (a proxy that answered the first NTLM request of a request without body without
    // asking for authentication): its header, with the two close fields, for the caller to write to the
    // application; the reply's body follows from the proxy. A reply that only belonged to the authentication
    // exchange is never handed on.
    // False on failure, with the reason in the error text; the caller closes the connection.
    bool ProcessRequest(const void* data, size_t length, std::string& answer, std::string& rest);

    // True once the request has gone to the proxy: later data is body or a next request, to be relayed as is.
    bool IsForwarded() const { return m_Forwarded; }

    // Returns the error text and clears it.
    std::string TakeText();

private:
    void forward(std::string& answer);
    void ntlmExchange(std::string& header, std::string& answer);
    void sendAll(const std::string& data);
    int recvReplyHeader(std::string& reply);
    void drainReplyBody(const std::string& reply);
    void recvExact(uint8_t* buffer, size_t count);
    [[noreturn]] void failRequest(const std::string& message);
    [[noreturn]] void failReply(const std::string& message);

    CSafeSocket* m_Socket;
    CProxy m_Proxy;
    std::string m_ErrorText;
    CHttpRequestReader m_Request;
    bool m_Forwarded = false;
    bool m_Failed = false;
};

} // namespace corvantis
