#pragma once

#include <cstdint>

namespace corvantis {

// Where the proxy clients get Negotiate tokens. Kerberos credentials live with the logged-in user's
// application, not with the extension, so each program installs its own source: the application answers with
// no token (it computes tokens itself, with GssGetNegotiateToken), the extension asks the application over its
// IPC link.
//
// A source takes the proxy's host name (zero-terminated), the error length (in: the error buffer's capacity;
// out: the length of the error text), the error buffer, the token length (in: the token buffer's capacity;
// out: the token's length) and the token buffer. It returns true when the first (token length) bytes of the
// token buffer hold a token for that host, false with the reason in the first (error length) bytes of the
// error buffer. It may leave lengths and buffers untouched.
using GssTokenSourceFn
    = bool (*)(const char* hostName, uint32_t* errorLength, char* error, uint32_t* tokenLength, uint8_t* token);

// Installs the process's token source; null restores the application's answer (no token, nothing written).
// Safe from any thread; meant to be called once at start-up.
void SetGssTokenSource(GssTokenSourceFn source);

// Asks the installed source for a Negotiate token for the proxy `hostName` (arguments as above).
bool GssGetTokenForProxyHost(
    const char* hostName, uint32_t* errorLength, char* error, uint32_t* tokenLength, uint8_t* token);

} // namespace corvantis
