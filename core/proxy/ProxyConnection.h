#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvantis {

class CHost;
class CProxy;
class CSafeSocket;

// Option bits of a proxy record that the protocol clients act on.
enum ProxyOption : uint32_t {
    ProxyOptionNtlm = 0x1, // HTTPS: NTLM instead of Basic
    ProxyOptionAsIE = 0x2, // HTTPS: fixed User-Agent line in the CONNECT request
    ProxyOptionSocks4A = 0x4, // SOCKS4: placeholder targets may be sent by host name
    ProxyOptionNtlmNoCredentials = 0x8, // HTTPS with NTLM: no user name and password
    ProxyOptionNegotiate = 0x10, // HTTPS: Negotiate (Kerberos)
    ProxyOptionUseHostname = 0x100, // every protocol: send the host name whenever the target has one
};

// One proxy handshake over a socket that is already connected to the proxy: afterwards the socket carries the
// client's bytes to the target unchanged. The object borrows the proxy, the target and the socket, which must
// outlive it; it never closes the socket. A failure is reported as false from Connect with the reason in the
// error text. Used by one thread, which it blocks in send and receive; independent objects may run at once.
class CProxyConnection final {
public:
    // Thrown by the transfer primitives and caught by the protocol routine that called them, after the reason
    // has been appended to the error text. Never leaves this class.
    struct CProxyConnectionException { };

    CProxyConnection(const CProxy& proxy, const CHost& target, CSafeSocket* socket);
    ~CProxyConnection();
    CProxyConnection(const CProxyConnection&) = delete;
    CProxyConnection& operator=(const CProxyConnection&) = delete;

    // Runs the handshake of the proxy's type; true when the tunnel stands. An HTTP proxy needs no handshake:
    // true at once, nothing sent. Call once.
    bool Connect();

    // The accumulated error (and warning) text; the object's own text is left empty.
    std::string TakeErrorText();

private:
    bool Socks5();
    bool Socks4();
    bool Https();

    // Sends all `length` bytes; throws CProxyConnectionException on a failure.
    void SendRequest(const uint8_t* buffer, size_t length);
    // Receives exactly `length` bytes; throws CProxyConnectionException on a failure or when the proxy closes.
    void RecvReply(uint8_t* buffer, size_t length);

    // Decides whether the target goes by host name (the rule every protocol shares): a placeholder address or
    // no real address means by name, as does ProxyOptionUseHostname on a target that has a name. False, with
    // the reason appended, when the chosen form cannot be sent: no host name (or no address) to send, or a host
    // name that may not go into a request.
    bool ChooseTargetForm(bool& useHostName);
    // Checks that a target sent by name has a name, and that the name is fit for a request.
    bool CheckNameForRequest();

    // Writes a timing line "<routine>:<line> T=<ms> S=<thread><suffix>" when connect timing is on.
    void TimingLine(const char* routine, int line, const char* suffix = "") const;

    const CProxy& m_Proxy;
    const CHost& m_Target;
    CSafeSocket* m_Socket; // not owned, never closed here
    std::string m_ErrorText;
};

} // namespace corvantis
