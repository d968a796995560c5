#pragma once

#include "core/profile/Host.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

class CChain;
class CProfileData;
class CProxy;
class CRule;
class CSafeSocket;

// The outgoing side of one taken connection. From the matched rule it works out the proxies the connection
// passes (none for Direct, one for Proxy, the enabled entries of a chain in order for Chain), says whether the
// first hop's host name must be resolved before connecting, then opens a TCP connection to the first hop and has
// each proxy open the way to the next hop, up to the target. On success it hands over the connected socket; on
// failure it leaves an error text whose first words name the hop that failed and whose end is the innermost
// cause.
//
// The tunnel borrows the profile and the rule (both must outlive it; the connection's processor owns them) and
// points into the profile's proxy list. It reports nothing to the connection throttle: its owner reports a
// failed connection once, whichever hop failed.
//
// Thread-safety: none; one thread at a time (the connection's connect thread). The connect and the proxy
// handshakes block that thread.
class CTunnel final {
public:
    // Outcome kinds of ConnectPrepare.
    enum PrepareKind : int {
        kConnectNow = 0,
        kBlocked = 1,
        kResolveFirst = 2, // the first hop has no usable address: resolve `host`'s name, then ConnectEstablish
    };
    struct SConnectPrepare {
        int kind = kConnectNow;
        std::optional<CHost> host; // kResolveFirst only: a copy of the first hop
    };

    // The direct connect to the first hop gives up after this long.
    static constexpr int kConnectTimeoutSeconds = 20;

    // Copies the target; the socket, the flags, the chain and the error text start empty.
    CTunnel(const CHost& target, const CProfileData& profile, const CRule& rule);
    ~CTunnel();
    CTunnel(const CTunnel&) = delete;
    CTunnel& operator=(const CTunnel&) = delete;

    // The hops for the rule: empty for Block and Direct, the rule's proxy for Proxy, the enabled entries of the
    // rule's chain for Chain (a chain with no enabled entry connects directly). A proxy or chain id that the
    // profile does not hold gives an empty list and sets `error` to a message naming the rule or the chain; an
    // empty `error` means the list is good. The pointers point into the profile.
    std::vector<const CProxy*> CalculateConnectionChain(std::string& error) const;

    // The first proxy of the computed chain, or the target when the chain is empty.
    const CHost& GetFirstHop() const;

    // kBlocked for a Block rule. Otherwise computes and keeps the chain and returns kResolveFirst, with a copy
    // of the first hop, when the first hop is unresolved or a placeholder address; kConnectNow else. A rule whose
    // proxy or chain does not exist gives kConnectNow, and ConnectEstablish then fails with its message.
    SConnectPrepare ConnectPrepare();

    // Opens the tunnel: a direct connect to the first hop (`resolved` replaces it when given), then one proxy
    // handshake per hop. Returns the connected socket, which the tunnel no longer holds, or null with the
    // error text set. Call once, after ConnectPrepare.
    std::shared_ptr<CSafeSocket> ConnectEstablish(const std::optional<CHost>& resolved = std::nullopt);

    // Opens a TCP connection from the tunnel's socket to `host` when it is resolved and not a placeholder;
    // false otherwise, leaving the error text as it was for an unusable host.
    bool DirectConnect(const CHost& host);
    // The same connect: false for an unusable host, false with the cause appended to the error text when the
    // socket cannot be created or the connect fails.
    bool DirectConnectNoWait(const CHost& host);
    // Runs `proxy`'s handshake over the tunnel's socket to reach `next`; on failure appends the protocol's text.
    bool ProxyConnect(const CProxy& proxy, const CHost& next);

    // The error text gathered so far; the tunnel's own text is emptied.
    std::string TakeErrorText();

    // The last hop is a plain HTTP proxy: the connection's data must go as HTTP proxy requests.
    bool IsHttp() const { return m_Http; }
    // The socket was opened to an IPv6 address.
    bool IsIPv6() const { return m_IPv6; }
    // A copy of the last hop when IsHttp; null afterwards (ownership passes to the caller) or otherwise.
    std::unique_ptr<CProxy> TakeHttpProxy();

    // Called on the connecting thread with the tunnel's socket as soon as it exists, before the connect and the
    // handshakes: its owner may then shut it down from another thread, which ends a connect or a handshake that
    // would otherwise wait for a silent peer.
    using SocketCreatedHandler = std::function<void(const std::shared_ptr<CSafeSocket>&)>;
    void SetSocketCreatedHandler(SocketCreatedHandler handler) { m_SocketCreated = std::move(handler); }

    // For tests: the direct connect's time-out (kConnectTimeoutSeconds unless changed).
    void SetConnectTimeout(int seconds) { m_ConnectTimeoutSeconds = seconds; }

private:
    const CProfileData& m_Profile;
    const CRule& m_Rule;
    std::shared_ptr<CSafeSocket> m_Socket;
    std::unique_ptr<CProxy> m_HttpProxy;
    std::string m_ErrorText;
    bool m_Http = false;
    bool m_IPv6 = false;
    std::vector<const CProxy*> m_Chain;
    std::string m_ChainError; // set by ConnectPrepare when the rule's proxy or chain does not exist
    CHost m_Target;
    int m_ConnectTimeoutSeconds = kConnectTimeoutSeconds;
    SocketCreatedHandler m_SocketCreated;
};

} // namespace corvantis
