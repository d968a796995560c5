#include "core/proxy/HttpReplyDecoder.h"

#include "core/foundation/StringUtils.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace corvantis {

namespace {

bool isHexDigit(uint8_t c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

CHttpReplyDecoder::CHttpReplyDecoder(bool readBody, Reader reader)
    : m_ReadBody(readBody)
    , m_Reader(reader)
{
}

size_t CHttpReplyDecoder::Wanted() const
{
    switch (m_State) {
    case State::StatusLine:
    case State::BodyBytes:
    case State::ChunkData:
        return m_Remaining;
    case State::ChunkEnd:
    case State::LastChunkEnd:
        return 2 - m_ChunkEnd.size();
    case State::Done:
    case State::Error:
        return 0;
    default:
        return 1;
    }
}

CHttpReplyDecoder::Phase CHttpReplyDecoder::GetPhase() const
{
    switch (m_State) {
    case State::First:
    case State::StatusLine:
    case State::HeaderBlock:
        return Phase::Header;
    case State::Done:
        return Phase::Done;
    case State::Error:
        return Phase::Error;
    default:
        return Phase::Body;
    }
}

void CHttpReplyDecoder::fail(const char* message)
{
    m_Error = message;
    m_State = State::Error;
}

void CHttpReplyDecoder::emit(Event event, const std::string& text)
{
    if (m_Sink)
        m_Sink(event, text);
}

// Counts `count` more body bytes against the drained-body bound; false (the reply has failed) once it is
// passed.
bool CHttpReplyDecoder::takeBodyBytes(size_t count)
{
    m_BodyReceived += count;
    if (m_BodyReceived <= kMaxDrainedBody)
        return true;
    failTooLarge();
    return false;
}

// Each reader's own text for a reply it will not take whole.
void CHttpReplyDecoder::failTooLarge()
{
    fail(m_Reader == Reader::Connect ? "Proxy reply body is too large." : "Proxy reply is too large.");
}

void CHttpReplyDecoder::Feed(const uint8_t* data, size_t length)
{
    size_t i = 0;
    while (i < length && m_State != State::Done && m_State != State::Error) {
        if (m_State == State::BodyBytes || m_State == State::ChunkData) {
            // Thrown away: only the count matters.
            const size_t n = std::min(m_Remaining, length - i);
            m_Remaining -= n;
            i += n;
            if (!takeBodyBytes(n))
                return;
            if (m_Remaining > 0)
                continue;
            if (m_State == State::BodyBytes) {
                m_State = State::Done;
            } else {
                m_State = State::ChunkEnd;
                emit(Event::ChunkDataDone);
            }
            continue;
        }
        if (GetPhase() == Phase::Body && !takeBodyBytes(1))
            return;
        feedByte(data[i++]);
    }
}

void CHttpReplyDecoder::feedByte(uint8_t byte)
{
    switch (m_State) {
    case State::First:
        if (byte != 'H')
            return fail("Proxy returned incorrect HTTP reply.");
        m_Reply.push_back(static_cast<char>(byte));
        m_State = State::StatusLine;
        m_Remaining = 11;
        return;
    case State::StatusLine:
        m_Reply.push_back(static_cast<char>(byte));
        if (--m_Remaining > 0)
            return;
        if (m_Reply.find("HTTP/1.") == std::string::npos)
            return fail("Proxy returned incorrect HTTP reply.");
        m_Status = std::atoi(m_Reply.c_str() + 9);
        if (m_Status == 0)
            return fail("Proxy returned incorrect HTTP reply code.");
        m_State = State::HeaderBlock;
        return;
    case State::HeaderBlock:
        m_Reply.push_back(static_cast<char>(byte));
        if (headerEnds(byte))
            return headerDone();
        if (m_Reply.size() > kMaxHeaderSize)
            return fail("Proxy reply is too large.");
        return;
    case State::ChunkSize:
        if (isHexDigit(byte)) {
            if (m_ChunkDigits.size() >= kMaxChunkDigits)
                return fail("Proxy reply chunk size is too large.");
            m_ChunkDigits.push_back(static_cast<char>(byte));
            return;
        }
        emit(Event::ChunkSize, m_ChunkDigits);
        if (byte != '\r')
            return fail("Proxy reply has incorrect chunk size encoding.");
        m_State = State::ChunkSizeLf;
        return;
    case State::ChunkSizeLf: {
        if (byte != '\n')
            return fail("Proxy reply has incorrect chunk size encoding.");
        if (m_ChunkDigits.empty())
            return fail("Proxy reply has incorrect chunk encoding.");
        m_ChunkEnd.clear();
        if (m_ChunkDigits == "0") {
            m_State = State::LastChunkEnd;
            return;
        }
        // Five digits at most: the value fits.
        const long size = std::strtol(m_ChunkDigits.c_str(), nullptr, 16);
        m_ChunkDigits.clear();
        if (size < 1 || (m_Reader == Reader::Connect && size > static_cast<long>(kMaxBodySize)))
            return fail("Proxy reply has incorrect chunk size.");
        // A chunk that would pass the bound fails before its data is waited for.
        if (static_cast<size_t>(size) > kMaxDrainedBody - m_BodyReceived)
            return failTooLarge();
        m_Remaining = static_cast<size_t>(size);
        m_State = State::ChunkData;
        return;
    }
    case State::ChunkEnd:
    case State::LastChunkEnd:
        m_ChunkEnd.push_back(static_cast<char>(byte));
        if (m_ChunkEnd.size() < 2)
            return;
        if (m_ChunkEnd != "\r\n")
            return fail("Proxy reply has incorrect chunk.");
        emit(Event::ChunkDone);
        if (m_State == State::LastChunkEnd) {
            m_State = State::Done;
        } else {
            m_ChunkEnd.clear();
            m_State = State::ChunkSize;
        }
        return;
    default:
        return;
    }
}

bool CHttpReplyDecoder::headerEnds(uint8_t byte)
{
    if (m_Reader == Reader::Connect) {
        if (byte != '\r' && byte != '\n') {
            m_LineEndRun = 0;
            return false;
        }
        return ++m_LineEndRun > 3;
    }
    if (byte == '\r') {
        ++m_CrRun;
        return m_CrRun == 2 && (m_LfRun == 0 || m_LfRun == 2);
    }
    if (byte == '\n') {
        ++m_LfRun;
        return m_LfRun == 2 && (m_CrRun == 0 || m_CrRun == 2);
    }
    m_CrRun = 0;
    m_LfRun = 0;
    return false;
}

void CHttpReplyDecoder::headerDone()
{
    m_State = State::Done;
    if (!m_ReadBody)
        return;
    std::string lower = m_Reply;
    StrToLower(lower);
    if (m_Reader == Reader::Connect) {
        const std::string lengthMarker = "\ncontent-length: ";
        const size_t lengthAt = lower.find(lengthMarker);
        if (lengthAt != std::string::npos) {
            const size_t start = lengthAt + lengthMarker.size();
            const size_t end = lower.find('\r', start);
            if (end != std::string::npos) {
                std::string value = lower.substr(start, end - start);
                StrTrimChar(value, ' ');
                const long length = std::atol(value.c_str());
                if (length > static_cast<long>(kMaxBodySize))
                    return fail("Proxy reply body is too large.");
                if (length > 0) {
                    m_BodyLength = static_cast<size_t>(length);
                    m_Remaining = m_BodyLength;
                    m_State = State::BodyBytes;
                    return;
                }
                // 0, negative, empty or not a number: no body by length.
            }
        }
        if (lower.find("\ntransfer-encoding: chunked\r") != std::string::npos)
            startChunks();
        return;
    }
    // The forwarding's header may end its lines with a bare LF (or CR), so a value runs to either.
    const std::string lengthMarker = "\ncontent-length:";
    if (const size_t at = lower.find(lengthMarker); at != std::string::npos) {
        const size_t start = at + lengthMarker.size();
        std::string value = lower.substr(start, lower.find_first_of("\r\n", start) - start);
        StrTrim(value, " \t");
        const long long length = std::strtoll(value.c_str(), nullptr, 10);
        if (length > static_cast<long long>(kMaxDrainedBody))
            return failTooLarge();
        if (length > 0) {
            m_BodyLength = static_cast<size_t>(length);
            m_Remaining = m_BodyLength;
            m_State = State::BodyBytes;
            return;
        }
    }
    const std::string chunkedMarker = "\ntransfer-encoding: chunked";
    if (const size_t at = lower.find(chunkedMarker); at != std::string::npos) {
        const size_t end = at + chunkedMarker.size();
        if (end < lower.size() && (lower[end] == '\r' || lower[end] == '\n'))
            startChunks();
    }
}

void CHttpReplyDecoder::startChunks()
{
    m_ChunkDigits.clear();
    m_State = State::ChunkSize;
}

} // namespace corvantis
