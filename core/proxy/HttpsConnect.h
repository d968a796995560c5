#pragma once

#include <cstdint>
#include <string>

namespace corvantis {

class CProxy;
class CSafeSocket;

// The HTTPS proxy client: opens a tunnel with the HTTP/1.1 CONNECT method on a socket already connected to the
// proxy, authenticating with Basic, NTLM or Negotiate as the proxy record asks. All passes of an exchange use
// the one socket, which is never closed here. Blocks the calling thread; any number may run on different
// sockets.

// The CONNECT line, the User-Agent line when `asIE`, and the Host line, each ended by CR LF.
std::string MakeConnectRequestBase(const std::string& targetText, int port, bool asIE);

// Reads one reply from `socket` through CHttpReplyDecoder by the CONNECT reader's rules: `status` and `reply`
// (status line and header block) are set, and with `readBody` the body (at most kMaxDrainedBody bytes) is read
// and thrown away. With the "connect" timing item on, timing lines mark when the reader starts to wait for the
// rest of the header and each chunk of the body. On failure appends the reason to `errorText` and returns false.
bool HttpRecvReply(CSafeSocket& socket, int& status, std::string& reply, bool readBody, std::string& errorText);

// Runs the CONNECT exchange for the target `targetText` (a checked host name, an IPv4 address, or an IPv6 address
// in brackets) and `port` through `proxy`. True when the tunnel stands; otherwise false with the reason appended
// to `errorText`. CProxyConnection::Https is its caller.
bool HttpsConnect(
    const CProxy& proxy, const std::string& targetText, int port, CSafeSocket& socket, std::string& errorText);

} // namespace corvantis
