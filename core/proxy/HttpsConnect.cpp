#include "core/proxy/HttpsConnect.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogTrace.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/StringUtils.h"
#include "core/profile/Proxy.h"
#include "core/proxy/HttpReplyDecoder.h"
#include "core/proxy/NtlmAuth.h"
#include "core/proxy/ProxyAuthHeaders.h"
#include "core/proxy/ProxyConnection.h"

#include <cerrno>
#include <optional>
#include <vector>

namespace corvantis {

namespace {

// Ends a handshake after its reason has been appended to the error text; never leaves this file.
struct HandshakeFailure { };

constexpr const char* kUserAgentLine = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n";

void sendRequest(CSafeSocket& socket, const std::string& request, std::string& errorText)
{
    size_t sent = 0;
    while (sent < request.size()) {
        int error = 0;
        const ssize_t n = socket.Send(request.data() + sent, request.size() - sent, 0, error);
        if (n < 0) {
            StrAppendInt(StrAppendCStr(errorText, "Sending a connection request to proxy failed with error "), error);
            throw HandshakeFailure {};
        }
        sent += static_cast<size_t>(n);
    }
}

// Receives exactly `length` bytes (fewer is a failure).
void recvExact(CSafeSocket& socket, uint8_t* buffer, size_t length, std::string& errorText)
{
    size_t got = 0;
    while (got < length) {
        int error = 0;
        const ssize_t n = socket.Recv(buffer + got, length - got, 0, error);
        if (n < 0) {
            StrAppendInt(
                StrAppendCStr(errorText, "Reading proxy reply on a connection request failed with error "), error);
            throw HandshakeFailure {};
        }
        if (n == 0) {
            StrAppendCStr(errorText, "Proxy closed the connection unexpectedly.");
            throw HandshakeFailure {};
        }
        got += static_cast<size_t>(n);
    }
}

void recvReply(CSafeSocket& socket, int& status, std::string& reply, bool readBody, std::string& errorText)
{
    if (!HttpRecvReply(socket, status, reply, readBody, errorText))
        throw HandshakeFailure {};
}

void timingLine(int line, const std::string& suffix)
{
    if (IsTimingOn(TimingItem::Connect))
        LogTimingLine("HttpRecvReply", line, suffix);
}

[[noreturn]] void fail(std::string& errorText, const std::string& message)
{
    StrAppendStr(errorText, message);
    throw HandshakeFailure {};
}

// The token of a "<scheme> <token>" offer in a header line of `reply` ("Proxy-Authenticate: NTLM TlRM...").
// An offer of the bare scheme name, or one whose token is empty, is passed over: taking the text that happens
// to follow would read another header as the challenge.
std::optional<std::string> findChallenge(const std::string& reply, const std::string& scheme)
{
    const std::string marker = ": " + scheme + " ";
    for (size_t at = reply.find(marker); at != std::string::npos; at = reply.find(marker, at + 1)) {
        const size_t start = at + marker.size();
        const size_t end = reply.find("\r\n", start);
        if (end == std::string::npos)
            continue;
        std::string token = reply.substr(start, end - start);
        StrTrimChar(token, ' ');
        if (!token.empty() && token.find_first_of("\r\n") == std::string::npos)
            return token;
    }
    return std::nullopt;
}

// Runs the NTLM passes. Returns true when the proxy let the connection through before the authenticate
// message; otherwise `request` holds the final request (with the authenticate message) for the caller to send.
bool ntlmExchange(
    const CProxy& proxy, CSafeSocket& socket, const std::string& base, std::string& request, std::string& errorText)
{
    CNtlmAuth auth("NTLM");
    if ((proxy.m_Options & ProxyOptionNtlmNoCredentials) == 0)
        auth.SetCredentials(proxy.m_UserName, proxy.m_Password);
    std::optional<std::string> challenge;
    for (;;) {
        std::string header;
        const std::optional<std::string_view> challengeView
            = challenge ? std::optional<std::string_view>(*challenge) : std::nullopt;
        if (!auth.MakeHeader(header, challengeView))
            fail(errorText, "Local authentication routines failed with error " + auth.GetErrorText());
        request = base + header + "\r\n";
        if (!auth.NeedsMorePasses())
            return false;
        sendRequest(socket, request, errorText);
        int status = 0;
        std::string reply;
        recvReply(socket, status, reply, true, errorText);
        if (status == 200)
            return true;
        if (status != 407) {
            StrAppendInt(
                StrAppendCStr(errorText, "During authentication negotiations proxy returned unexpected status code "),
                status);
            throw HandshakeFailure {};
        }
        challenge = findChallenge(reply, auth.GetScheme());
        if (!challenge)
            fail(errorText, "Proxy server uses unsupported authentication protocols or authorization failed.");
    }
}

} // namespace

std::string MakeConnectRequestBase(const std::string& targetText, int port, bool asIE)
{
    std::string request;
    StrAppendStr(request, "CONNECT " + targetText + ":" + std::to_string(port) + " HTTP/1.1\r\n");
    if (asIE)
        StrAppendCStr(request, kUserAgentLine);
    StrAppendStr(request, "Host: " + targetText + ":" + std::to_string(port) + "\r\n");
    return request;
}

bool HttpRecvReply(CSafeSocket& socket, int& status, std::string& reply, bool readBody, std::string& errorText)
{
    status = 0;
    reply.clear();
    CHttpReplyDecoder decoder(readBody, CHttpReplyDecoder::Reader::Connect);
    decoder.SetEventSink([](CHttpReplyDecoder::Event event, const std::string& digits) {
        switch (event) {
        case CHttpReplyDecoder::Event::ChunkSize:
            return timingLine(__LINE__, " chunk size str=" + digits);
        case CHttpReplyDecoder::Event::ChunkDataDone:
            return timingLine(__LINE__, " chunk data finished");
        case CHttpReplyDecoder::Event::ChunkDone:
            return timingLine(__LINE__, " chunk finished");
        }
    });
    std::vector<uint8_t> buffer(CHttpReplyDecoder::kMaxBodySize);
    // Header bytes are first taken without waiting, as long as they are already there; once the socket runs
    // dry the rest of the reply is awaited.
    bool waiting = false;
    try {
        while (decoder.Wanted() > 0) {
            const size_t wanted = std::min(decoder.Wanted(), buffer.size());
            const bool headerByte
                = decoder.GetPhase() == CHttpReplyDecoder::Phase::Header && decoder.GetReply().size() >= 12;
            if (!headerByte) {
                recvExact(socket, buffer.data(), wanted, errorText);
                decoder.Feed(buffer.data(), wanted);
                continue;
            }
            int error = 0;
            ssize_t n = socket.Recv(buffer.data(), 1, waiting ? 0 : MSG_DONTWAIT, error);
            if (n < 0 && !waiting && (error == EAGAIN || error == EWOULDBLOCK)) {
                waiting = true;
                timingLine(__LINE__, " len=" + std::to_string(decoder.GetReply().size()));
                continue;
            }
            if (n < 0) {
                StrAppendInt(
                    StrAppendCStr(errorText, "Reading proxy reply on a connection request (RR1) failed with error "),
                    error);
                throw HandshakeFailure {};
            }
            if (n == 0)
                fail(errorText, "Proxy closed the connection unexpectedly (RR1).");
            decoder.Feed(buffer.data(), 1);
        }
    } catch (const HandshakeFailure&) {
        status = decoder.GetStatus();
        reply = decoder.GetReply();
        return false;
    }
    status = decoder.GetStatus();
    reply = decoder.GetReply();
    if (decoder.GetPhase() == CHttpReplyDecoder::Phase::Error) {
        StrAppendStr(errorText, decoder.GetError());
        return false;
    }
    return true;
}

bool HttpsConnect(
    const CProxy& proxy, const std::string& targetText, int port, CSafeSocket& socket, std::string& errorText)
{
    try {
        const std::string base = MakeConnectRequestBase(targetText, port, (proxy.m_Options & ProxyOptionAsIE) != 0);

        std::string request;
        if (!proxy.m_AuthEnabled) {
            request = base + "\r\n";
        } else if ((proxy.m_Options & ProxyOptionNegotiate) != 0) {
            std::string header;
            std::string tokenError;
            if (!MakeNegotiateAuthHeader(tokenError, header, proxy.GetHostName()))
                fail(errorText, "Authentication routines failed - " + tokenError);
            request = base + header + "\r\n";
        } else if ((proxy.m_Options & ProxyOptionNtlm) != 0) {
            if (ntlmExchange(proxy, socket, base, request, errorText))
                return true;
        } else {
            request = base + MakeBasicAuthHeader(proxy.m_UserName, proxy.m_Password) + "\r\n";
        }

        sendRequest(socket, request, errorText);
        int status = 0;
        std::string reply;
        recvReply(socket, status, reply, false, errorText);
        if (status == 200)
            return true;
        if (status == 407) {
            fail(errorText, proxy.m_AuthEnabled ? "Authentication failed." : "Proxy server requires authentication.");
        }
        StrAppendInt(
            StrAppendCStr(errorText, "Proxy server cannot establish a connection with the target, status code "),
            status);
        return false;
    } catch (const HandshakeFailure&) {
        return false;
    }
}

} // namespace corvantis
