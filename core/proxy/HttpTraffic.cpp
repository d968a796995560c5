#include "core/proxy/HttpTraffic.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogTrace.h"
#include "core/foundation/SafeSocket.h"
#include "core/foundation/StringUtils.h"
#include "core/proxy/HttpReplyDecoder.h"
#include "core/proxy/HttpsConnect.h"
#include "core/proxy/NtlmAuth.h"
#include "core/proxy/ProxyAuthHeaders.h"
#include "core/proxy/ProxyConnection.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

int CHttpTraffic::recvReplyHeader(std::string& reply)
{
    int status = 0;
    if (!HttpRecvReply(*m_Socket, status, reply, false, m_ErrorText))
        throw CProxyConnectionException {};
    timingLine("HttpRecvReplyHeader", __LINE__, " len=" + std::to_string(reply.size()));
    return status;
}

// Reads the body of a reply whose header is `reply` and throws it away, so the connection can carry the next
// request. A body by length is drained whatever its size, in small pieces; a chunked body goes through the
// reply decoder.
void CHttpTraffic::drainReplyBody(const std::string& reply)
{
    std::string lower = reply;
    StrToLower(lower);
    const std::string lengthMarker = "\ncontent-length:";
    if (const size_t at = lower.find(lengthMarker); at != std::string::npos) {
        const size_t start = at + lengthMarker.size();
        std::string value = lower.substr(start, lower.find_first_of("\r\n", start) - start);
        StrTrim(value, " \t");
        const long long length = std::strtoll(value.c_str(), nullptr, 10);
        if (length > 0) {
            uint8_t buffer[kDrainPiece];
            auto left = static_cast<unsigned long long>(length);
            while (left > 0) {
                const size_t piece = static_cast<size_t>(std::min<unsigned long long>(left, sizeof buffer));
                recvExact(buffer, piece);
                left -= piece;
                timingLine("HttpRecvReplyBody", __LINE__,
                    " len=" + std::to_string(length)
                        + " read=" + std::to_string(length - static_cast<long long>(left)));
            }
            return;
        }
    }
    if (lower.find("\ntransfer-encoding: chunked\r") == std::string::npos)
        return;
    // The decoder is given the header it has already seen, then the body straight from the socket.
    CHttpReplyDecoder decoder(true);
    const auto* bytes = reinterpret_cast<const uint8_t*>(reply.data());
    for (size_t fed = 0; fed < reply.size() && decoder.Wanted() > 0;) {
        const size_t n = std::min(decoder.Wanted(), reply.size() - fed);
        decoder.Feed(bytes + fed, n);
        fed += n;
    }
    uint8_t buffer[kDrainPiece];
    while (decoder.Wanted() > 0) {
        const size_t n = std::min(decoder.Wanted(), sizeof buffer);
        recvExact(buffer, n);
        decoder.Feed(buffer, n);
    }
    if (decoder.GetPhase() == CHttpReplyDecoder::Phase::Error)
        failReply(decoder.GetError());
    timingLine("HttpRecvReplyBody", __LINE__, " chunk finished");
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
