#pragma once

#include <cstddef>
#include <string>

namespace corvantis {

// "Proxy-Authorization: " header lines for Basic and Negotiate (NTLM has its state object, CNtlmAuth). Both
// are pure apart from the token source and safe on any thread.

// "Proxy-Authorization: Basic " and the Base64 of user ":" password (bytes as stored), ended by CR LF.
std::string MakeBasicAuthHeader(const std::string& user, const std::string& password);

// Capacity of the token and of the error text exchanged with the token source.
constexpr size_t kNegotiateBufferSize = 20480;

// Asks the token source (GssGetTokenForProxyHost, the program's hook) for a token for the proxy `hostName`. On
// success `header` is "Proxy-Authorization: Negotiate ", the Base64 token and CR LF, and the result is true. In
// every case `error` becomes the text the source wrote (at most the buffer, up to its first zero byte; normally
// nothing on success); a failed request whose source wrote nothing gets a fixed text instead, never the
// buffer's unwritten bytes. `header` is left alone on failure.
bool MakeNegotiateAuthHeader(std::string& error, std::string& header, const std::string& hostName);

} // namespace corvantis
