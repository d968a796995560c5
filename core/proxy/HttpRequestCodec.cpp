#include "core/proxy/HttpRequestCodec.h"

#include "core/foundation/StringUtils.h"
#include "core/proxy/TargetHostName.h"

#include <algorithm>
#include <cstring>

namespace corvantis {

namespace {

constexpr const char* kNotHttp = "Client sent incorrect HTTP request. Please make sure that client uses HTTP protocol.";
constexpr const char* kNoUrl
    = "Cannot extract URL from the HTTP request. Please make sure that client uses HTTP protocol.";
constexpr const char* kNoHost
    = "Cannot extract Host name from the HTTP request. Please make sure that client uses HTTP protocol.";

// Methods a plain HTTP request may start with, by their first three letters (as clients write them).
constexpr const char* kMethodStarts[] = { "OPT", "GET", "HEA", "POS", "PUT", "DEL", "TRA" };

std::string lowered(std::string_view text)
{
    std::string copy(text);
    StrToLower(copy);
    return copy;
}

// Index of the "\n" that starts the first line of `header` holding field `name`, searched from `from`.
size_t findField(const std::string& lowerHeader, std::string_view name, size_t from = 0)
{
    const std::string marker = "\n" + lowered(name) + ":";
    return lowerHeader.find(marker, from);
}

void trimBlanks(std::string& text)
{
    StrTrim(text, " \t\r");
}

} // namespace

DecodeState CHttpRequestReader::fail(const char* message)
{
    m_Error = message;
    m_State = DecodeState::Error;
    return m_State;
}

DecodeState CHttpRequestReader::Feed(std::string_view data, std::string& rest)
{
    if (m_State == DecodeState::Done) {
        rest.append(data);
        return m_State;
    }
    if (m_State == DecodeState::Error)
        return m_State;

    // Only as much as could still belong to an acceptable header block is buffered.
    const size_t searchFrom = m_Header.size() >= 3 ? m_Header.size() - 3 : 0;
    const size_t take = std::min(data.size(), kMaxHeaderSize - m_Header.size());
    m_Header.append(data.substr(0, take));
    if (m_Header.size() < 3)
        return m_State;
    const bool known = std::any_of(std::begin(kMethodStarts), std::end(kMethodStarts),
        [&](const char* start) { return std::memcmp(m_Header.data(), start, 3) == 0; });
    if (!known) {
        if (std::memcmp(m_Header.data(), "CON", 3) == 0)
            return fail("Client requested HTTPS connection. Please define a separate HTTPS proxy for this.");
        return fail(kNotHttp);
    }
    const size_t end = m_Header.find("\r\n\r\n", searchFrom);
    if (end == std::string::npos) {
        if (m_Header.size() >= kMaxHeaderSize)
            return fail("Request is too large.");
        return m_State;
    }
    rest.append(m_Header, end + 4);
    rest.append(data.substr(take));
    m_Header.resize(end + 4);
    m_State = DecodeState::Done;
    return m_State;
}

bool HasHeaderField(const std::string& header, std::string_view name)
{
    return findField(lowered(header), name) != std::string::npos;
}

std::optional<std::string> RemoveHeaderField(std::string& header, std::string_view name)
{
    std::string lower = lowered(header);
    std::optional<std::string> first;
    for (size_t at = findField(lower, name); at != std::string::npos; at = findField(lower, name, at)) {
        const size_t lineStart = at + 1;
        const size_t lineEnd = lower.find('\n', lineStart);
        if (lineEnd == std::string::npos)
            break;
        if (!first) {
            const size_t valueStart = lineStart + name.size() + 1;
            std::string value = header.substr(valueStart, lineEnd - valueStart);
            trimBlanks(value);
            first = value;
        }
        // The line goes with the line end before it and leaves its own. Line ends may be mixed ("\n" and
        // "\r\n"), and the last field's own "\r\n" is what keeps the block ending in "\r\n\r\n".
        const size_t from = at > 0 && lower[at - 1] == '\r' ? at - 1 : at;
        const size_t to = lower[lineEnd - 1] == '\r' ? lineEnd - 1 : lineEnd;
        header.erase(from, to - from);
        lower.erase(from, to - from);
        at = from;
    }
    return first;
}

void InsertHeaderLine(std::string& header, std::string_view line)
{
    size_t end = header.size();
    while (end > 0 && (header[end - 1] == '\r' || header[end - 1] == '\n'))
        --end;
    header.resize(end);
    header.append("\r\n");
    header.append(line);
    header.append("\r\n");
}

void AddCloseHeaders(std::string& header)
{
    InsertHeaderLine(header, "Proxy-Connection: close\r\n");
    InsertHeaderLine(header, "Connection: close\r\n");
}

bool MakeAbsoluteUrl(std::string& header, std::string& error)
{
    const size_t lineEnd = header.find_first_of("\r\n");
    const size_t space = header.find(' ');
    if (space == std::string::npos || space <= 2 || space > lineEnd) {
        StrAppendCStr(error, kNotHttp);
        return false;
    }
    if (space + 1 >= header.size() || header[space + 1] != '/') {
        StrAppendCStr(error, kNoUrl);
        return false;
    }
    const std::string marker = "\r\nHost: ";
    const size_t hostAt = header.find(marker);
    const size_t valueStart = hostAt == std::string::npos ? hostAt : hostAt + marker.size();
    const size_t valueEnd = hostAt == std::string::npos ? hostAt : header.find("\r\n", valueStart);
    if (valueEnd == std::string::npos) {
        StrAppendCStr(error, kNoHost);
        return false;
    }
    std::string value = header.substr(valueStart, valueEnd - valueStart);
    trimBlanks(value);
    if (value.empty()) {
        StrAppendCStr(error, kNoHost);
        return false;
    }

    // The host part ends at the port's colon; an IPv6 literal keeps its colons inside the brackets.
    size_t hostEnd = value.size();
    if (value.front() == '[') {
        const size_t close = value.find(']');
        hostEnd = close == std::string::npos ? value.size() : close + 1;
    } else if (const size_t colon = value.rfind(':'); colon != std::string::npos) {
        hostEnd = colon;
    }
    const std::string host = value.substr(0, hostEnd);
    const std::string port = value.substr(hostEnd);
    const std::string nameProblem = CheckTargetHostName(host);
    if (!nameProblem.empty()) {
        StrAppendStr(error, nameProblem);
        return false;
    }
    if (!port.empty()) {
        const std::string digits = port.substr(1);
        const bool numeric = port[0] == ':' && !digits.empty() && digits.size() <= 5
            && digits.find_first_not_of("0123456789") == std::string::npos && std::stol(digits) <= 65535;
        if (!numeric) {
            StrAppendCStr(error, kNoHost);
            return false;
        }
    }
    header.insert(space + 1, "http://" + value);
    return true;
}

NtlmProbe MakeNtlmProbe(const std::string& header)
{
    NtlmProbe probe { header, false };
    bool announced = false;
    if (const auto length = RemoveHeaderField(probe.header, "Content-Length"); length && !length->empty()) {
        announced = true;
        probe.hasBody = length->find_first_not_of('0') != std::string::npos;
    }
    if (RemoveHeaderField(probe.header, "Transfer-Encoding")) {
        announced = true;
        probe.hasBody = true;
    }
    if (announced)
        InsertHeaderLine(probe.header, "Content-Length: 0\r\n");
    if (probe.hasBody) {
        // A proxy that lets the probe through passes it on: a GET without a body does the origin no harm, while
        // a POST or PUT without its body would.
        const size_t space = probe.header.find(' ');
        if (space != std::string::npos && space > 0)
            probe.header.replace(0, space, "GET");
    }
    return probe;
}

std::optional<std::string> FindAuthChallenge(const std::string& reply, std::string_view scheme)
{
    const std::string marker = ": " + std::string(scheme) + " ";
    for (size_t at = reply.find(marker); at != std::string::npos; at = reply.find(marker, at + 1)) {
        const size_t start = at + marker.size();
        const size_t end = reply.find_first_of("\r\n", start);
        if (end == std::string::npos)
            continue;
        std::string token = reply.substr(start, end - start);
        trimBlanks(token);
        if (!token.empty())
            return token;
    }
    return std::nullopt;
}

std::string MakeClientAnswer(const std::string& reply)
{
    std::string answer = reply;
    RemoveHeaderField(answer, "Connection");
    RemoveHeaderField(answer, "Proxy-Connection");
    AddCloseHeaders(answer);
    return answer;
}

} // namespace corvantis
