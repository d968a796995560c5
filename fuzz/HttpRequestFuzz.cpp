// libFuzzer target for the request side of plain HTTP through a proxy: the bytes are what an application sends
// (its request header and body), and, read as a reply header, what the proxy answers. The header reader must
// reach the same result however the bytes are cut into pieces and hand on every byte after the header exactly
// once; the rewrites of an accepted header must keep it a header block.

#include "core/proxy/HttpRequestCodec.h"
#include "fuzz/FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

using namespace corvantis;
using fuzz::check;

namespace {

bool endsWith(const std::string& text, std::string_view end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void rewrite(const std::string& header)
{
    check(endsWith(header, "\r\n\r\n"));
    check(header.size() <= CHttpRequestReader::kMaxHeaderSize);

    std::string absolute = header;
    std::string error;
    if (MakeAbsoluteUrl(absolute, error)) {
        check(error.empty());
        check(absolute.find(" http://") != std::string::npos);
        // The probe is made of a rewritten request, whose request line has its blank.
        const NtlmProbe probe = MakeNtlmProbe(absolute);
        check(endsWith(probe.header, "\r\n\r\n"));
        if (probe.hasBody)
            check(HasHeaderField(probe.header, "Content-Length") && probe.header.starts_with("GET "));
    } else {
        check(!error.empty());
        check(absolute == header);
    }

    std::string fields = header;
    const bool hadHost = HasHeaderField(fields, "Host");
    const std::optional<std::string> host = RemoveHeaderField(fields, "Host");
    if (host)
        check(hadHost);
    check(fields.size() <= header.size());

    AddCloseHeaders(fields);
    check(endsWith(fields, "Connection: close\r\n\r\n"));
    check(HasHeaderField(fields, "Proxy-Connection"));
}

// Feeds the text in pieces whose sizes come from `cuts`; returns the reader's header (when done) and the rest.
DecodeState readRequest(
    std::string_view text, std::string_view cuts, std::string& header, std::string& rest, std::string& error)
{
    CHttpRequestReader reader;
    size_t at = 0;
    size_t cut = 0;
    DecodeState state = DecodeState::NeedMore;
    while (at < text.size()) {
        size_t piece = text.size() - at;
        if (!cuts.empty())
            piece = std::min<size_t>(piece, 1 + static_cast<uint8_t>(cuts[cut++ % cuts.size()]));
        state = reader.Feed(text.substr(at, piece), rest);
        at += piece;
    }
    header = reader.GetHeader();
    error = reader.GetError();
    return state;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The first bytes choose how the request is cut into the pieces an application sends.
    const std::string_view cuts = text.substr(0, std::min<size_t>(text.size(), 8));

    std::string header, rest, error;
    const DecodeState once = readRequest(text, {}, header, rest, error);
    std::string cutHeader, cutRest, cutError;
    const DecodeState pieces = readRequest(text, cuts, cutHeader, cutRest, cutError);

    check(once == pieces);
    check(error == cutError);
    if (once == DecodeState::Done) {
        check(header == cutHeader);
        check(rest == cutRest);
        check(header.size() + rest.size() == size);
        check(text.substr(0, header.size()) == header);
        rewrite(header);
    } else if (once == DecodeState::Error) {
        check(!error.empty());
        check(rest.empty() && cutRest.empty());
    } else {
        check(rest.empty());
    }

    // The same bytes as a proxy's reply header.
    const std::string reply(text);
    for (const char* scheme : { "NTLM", "Negotiate", "Basic" }) {
        if (const std::optional<std::string> token = FindAuthChallenge(reply, scheme))
            check(!token->empty());
    }
    const std::string answer = MakeClientAnswer(reply);
    check(endsWith(answer, "\r\nConnection: close\r\n\r\n"));
    return 0;
}
