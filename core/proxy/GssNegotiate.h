#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvantis {

// Kerberos tokens for proxies that authenticate with Negotiate: one GSS-API initial context token for the
// service "HTTP@<proxy host>" with the default credentials of the calling process's user. Each call imports
// its own name, creates and deletes its own context and releases everything; calls are reentrant.

// Produces the token into `token` (appended). On failure returns false with "No valid token acquired for "
// and the reason in `error`. A mechanism that asks for a second leg counts as a failure: a proxy request
// carries a single token and no reply token is ever fed back.
bool GetNegotiateToken(std::string& error, std::vector<uint8_t>& token, const char* hostName);

// The concatenated texts gss_display_status gives for `status`, read as a GSS code when `gssCode` is true,
// else as a mechanism code of the default mechanism.
std::string GetGssStatusText(uint32_t status, bool gssCode);

} // namespace corvantis

// The entry other parts of the application call (plain C linkage): the token for `hostName` into `token`, at
// most *tokenLength bytes, and *tokenLength set to the bytes copied; on failure the reason into `text`, at most
// *textLength bytes (not zero-terminated when it fills them), and *textLength set to the bytes copied. On
// success *textLength is 0.
extern "C" bool GssGetNegotiateToken(
    const char* hostName, size_t* textLength, char* text, size_t* tokenLength, unsigned char* token);
