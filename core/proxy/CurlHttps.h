#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace corvantis {

// A second way to open a CONNECT tunnel: libcurl's easy interface runs the CONNECT exchange, with its own proxy
// authentication (NTLM or Negotiate), and the tunnel ends up on the caller's descriptor, connected and
// blocking. Each call uses its own easy handle and no signals, so calls may run on several threads.

// Opens the tunnel to the host and port of `url` through `proxy` on the descriptor `sock`, which is connected
// to that proxy. `authMask` is a libcurl CURLAUTH_ value. The descriptor stays the caller's: it is never
// closed here. On failure returns false with the reason appended to `errorText`.
bool DoCurlHttps(const std::string& url, int sock, std::string& errorText, const std::string& user,
    const std::string& password, unsigned long authMask, const char* proxy);

// DoCurlHttps with NTLM against the proxy "127.0.0.1".
bool DoCurlHttpsNtlm(
    const std::string& url, int sock, std::string& errorText, const std::string& user, const std::string& password);
// DoCurlHttps with Negotiate against `proxy`.
bool DoCurlHttpsNegotiate(const std::string& url, int sock, std::string& errorText, const std::string& user,
    const std::string& password, const char* proxy);

// One attempt handed to a thread: the thread runs the NTLM variant, stores `result`, then sets `done`, and
// closes `sock` whatever the result.
struct CurlHttpsJob {
    std::string url;
    int sock = -1;
    std::string errorText;
    std::string user;
    std::string password;
    std::atomic<bool> done { false };
    bool result = false; // valid once `done` is set
};

void CurlHttpsThread(std::shared_ptr<CurlHttpsJob> job);

} // namespace corvantis
