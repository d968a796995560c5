#include "core/proxy/HttpTraffic.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogTrace.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/StringUtils.h"
#include "core/proxy/HttpReplyDecoder.h"
#include "core/proxy/NtlmAuth.h"
#include "core/proxy/ProxyAuthHeaders.h"
#include "core/proxy/ProxyConnection.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <string_view>

namespace corvantis {

namespace {

constexpr size_t kDrainPiece = 2000;

void timingLine(const char* routine, int line, const std::string& suffix)
{
    if (IsTimingOn(TimingItem::Connect))
        LogTimingLine(routine, line, suffix);
}

} // namespace

CHttpTraffic::CHttpTraffic(const CProxy& proxy, CSafeSocket* socket)
    : m_Socket(socket)
    , m_Proxy(proxy)
{
}

std::string CHttpTraffic::TakeText()
{
    std::string text = std::move(m_ErrorText);
    m_ErrorText.clear();
    return text;
}

bool CHttpTraffic::ProcessRequest(const void* data, size_t length, std::string& answer, std::string& rest)
{
    if (m_Failed)
        return false;
    try {
        const std::string_view piece(static_cast<const char*>(data), length);
        if (m_Forwarded) {
            rest.append(piece);
            return true;
        }
        const DecodeState state = m_Request.Feed(piece, rest);
        if (state == DecodeState::NeedMore)
            return true;
        if (state == DecodeState::Error)
            failRequest(m_Request.GetError());
        answer.clear();
        forward(answer);
        m_Forwarded = true;
        return true;
    } catch (const CHttpTrafficException&) {
    } catch (const CProxyConnectionException&) {
    } catch (const std::exception&) {
        StrAppendCStr(m_ErrorText, "Fatal error while process HTTP connection");
    }
    m_Failed = true;
    return false;
}

void CHttpTraffic::forward(std::string& answer)
{
    std::string header = m_Request.GetHeader();
    // A client that already speaks to a proxy has written its request for one.
    if (HasHeaderField(header, "Proxy-Connection")) {
        sendAll(header);
        return;
    }
    RemoveHeaderField(header, "Connection");
    std::string error;
    if (!MakeAbsoluteUrl(header, error))
        failRequest(error);

    if (m_Proxy.m_AuthEnabled && (m_Proxy.m_Options & ProxyOptionNtlm) != 0)
        return ntlmExchange(header, answer);
    if (m_Proxy.m_AuthEnabled)
        InsertHeaderLine(header, MakeBasicAuthHeader(m_Proxy.m_UserName, m_Proxy.m_Password));
    AddCloseHeaders(header);
    sendAll(header);
}

// NTLM authenticates the connection, not a request: a first request carries the negotiate message and is
// expected to be refused with the challenge, and the request itself follows on the same connection with the
// authenticate message. The first one announces no body, so the body is sent once, after the second.
void CHttpTraffic::ntlmExchange(std::string& header, std::string& answer)
{
    NtlmProbe probe = MakeNtlmProbe(header);
    CNtlmAuth auth("NTLM");
    if ((m_Proxy.m_Options & ProxyOptionNtlmNoCredentials) == 0)
        auth.SetCredentials(m_Proxy.m_UserName, m_Proxy.m_Password);

    std::string line;
    if (!auth.MakeHeader(line, std::nullopt))
        failRequest("Local authentication routines failed with error " + auth.GetErrorText());
    if (auth.NeedsMorePasses()) {
        InsertHeaderLine(probe.header, line);
        sendAll(probe.header);
        std::string reply;
        const int status = recvReplyHeader(reply);
        if (status != 407) {
            timingLine("ProcessRequest", __LINE__, " connected in one step");
            if (!probe.hasBody) {
                // The first request was the client's own request: its reply is the client's.
                answer = MakeClientAnswer(reply);
                return;
            }
            drainReplyBody(reply);
            AddCloseHeaders(header);
            sendAll(header);
            return;
        }
        drainReplyBody(reply);
        const auto challenge = FindAuthChallenge(reply, auth.GetScheme());
        if (!challenge)
            failReply("Proxy server uses unsupported authentication protocols or authorization failed.");
        line.clear();
        if (!auth.MakeHeader(line, std::string_view(*challenge)))
            failRequest("Local authentication routines failed with error " + auth.GetErrorText());
        // One negotiate leg only: a context that still wants another pass would start the exchange over.
        if (auth.NeedsMorePasses())
            failReply("Proxy server uses unsupported authentication protocols or authorization failed.");
    }
    InsertHeaderLine(header, line);
    AddCloseHeaders(header);
    sendAll(header);
}

void CHttpTraffic::sendAll(const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        int error = 0;
        const ssize_t n = m_Socket->Send(data.data() + sent, data.size() - sent, 0, error);
        if (n < 0) {
            StrAppendInt(StrAppendCStr(m_ErrorText, "Sending a connection request to proxy failed with error "), error);
            throw CHttpTrafficException {};
        }
        sent += static_cast<size_t>(n);
    }
}

// Reads the status line and header block of the proxy's reply into `reply`, nothing after them, and returns the
// status. Header bytes are first taken without waiting, as long as they are already there; once the socket runs
// dry the rest is awaited.
int CHttpTraffic::recvReplyHeader(std::string& reply)
{
    CHttpReplyDecoder decoder(false, CHttpReplyDecoder::Reader::Forwarding);
    uint8_t buffer[12];
    bool waiting = false;
    while (decoder.GetPhase() == CHttpReplyDecoder::Phase::Header) {
        // The status line's start: the "H" alone, then the other 11 bytes.
        if (decoder.GetReply().size() < sizeof buffer) {
            const size_t n = decoder.Wanted();
            recvExact(buffer, n);
            decoder.Feed(buffer, n);
            continue;
        }
        if (waiting)
            timingLine("HttpRecvReplyHeader", __LINE__, " len=" + std::to_string(decoder.GetReply().size()));
        int error = 0;
        const ssize_t n = m_Socket->Recv(buffer, 1, waiting ? 0 : MSG_DONTWAIT, error);
        if (n < 0 && !waiting && (error == EAGAIN || error == EWOULDBLOCK)) {
            waiting = true;
            continue;
        }
        if (n < 0) {
            StrAppendInt(
                StrAppendCStr(m_ErrorText, "Reading proxy reply on a connection request (RR1) failed with error "),
                error);
            throw CProxyConnectionException {};
        }
        if (n == 0)
            failReply("Proxy closed the connection unexpectedly (RR1).");
        decoder.Feed(buffer, 1);
    }
    if (decoder.GetPhase() == CHttpReplyDecoder::Phase::Error)
        failReply(decoder.GetError());
    reply = decoder.GetReply();
    timingLine("HttpRecvReplyHeader", __LINE__, " len=" + std::to_string(reply.size()));
    return decoder.GetStatus();
}

// Reads the body of a reply whose header is `reply` and throws it away, so the connection can carry the next
// request. Whether by length or chunked, it goes in pieces of at most kDrainPiece bytes, and no more than the
// decoder's drained-body bound.
void CHttpTraffic::drainReplyBody(const std::string& reply)
{
    CHttpReplyDecoder decoder(true, CHttpReplyDecoder::Reader::Forwarding);
    decoder.SetEventSink([](CHttpReplyDecoder::Event event, const std::string& digits) {
        switch (event) {
        case CHttpReplyDecoder::Event::ChunkSize:
            return timingLine("HttpRecvReplyBody", __LINE__, " chunk size str=" + digits);
        case CHttpReplyDecoder::Event::ChunkDataDone:
            return timingLine("HttpRecvReplyBody", __LINE__, " chunk data finished");
        case CHttpReplyDecoder::Event::ChunkDone:
            return timingLine("HttpRecvReplyBody", __LINE__, " chunk finished");
        }
    });
    // The decoder is given the header it has already seen, then the body straight from the socket.
    const auto* bytes = reinterpret_cast<const uint8_t*>(reply.data());
    for (size_t fed = 0; fed < reply.size() && decoder.Wanted() > 0;) {
        const size_t n = std::min(decoder.Wanted(), reply.size() - fed);
        decoder.Feed(bytes + fed, n);
        fed += n;
    }
    const size_t length = decoder.GetBodyLength();
    size_t read = 0;
    uint8_t buffer[kDrainPiece];
    while (decoder.Wanted() > 0) {
        const size_t n = std::min(decoder.Wanted(), sizeof buffer);
        recvExact(buffer, n);
        decoder.Feed(buffer, n);
        read += n;
        if (length > 0)
            timingLine(
                "HttpRecvReplyBody", __LINE__, " len=" + std::to_string(length) + " read=" + std::to_string(read));
    }
    if (decoder.GetPhase() == CHttpReplyDecoder::Phase::Error)
        failReply(decoder.GetError());
}

void CHttpTraffic::recvExact(uint8_t* buffer, size_t count)
{
    size_t got = 0;
    while (got < count) {
        int error = 0;
        const ssize_t n = m_Socket->Recv(buffer + got, count - got, 0, error);
        if (n < 0) {
            StrAppendInt(StrAppendCStr(m_ErrorText, "Reading client request failed with error "), error);
            throw CHttpTrafficException {};
        }
        if (n == 0)
            failRequest("Client application closed the connection unexpectedly.");
        got += static_cast<size_t>(n);
    }
}

void CHttpTraffic::failRequest(const std::string& message)
{
    StrAppendStr(m_ErrorText, message);
    throw CHttpTrafficException {};
}

void CHttpTraffic::failReply(const std::string& message)
{
    StrAppendStr(m_ErrorText, message);
    throw CProxyConnectionException {};
}

} // namespace corvantis
