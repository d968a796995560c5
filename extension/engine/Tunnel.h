#pragma once

#include "core/profile/Host.h"

#include <chrono>
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
// points into the profile's proxy list. A first hop that cannot be connected is reported through the failed-hop
// handler (its owner passes it to the connection throttle), so repeated connections through one dead proxy are
// slowed down, not only repeated connections to one target.
//
// Each hop is bounded by the connect time-out as a whole: the first hop's TCP connect and its proxy's handshake
// together, then each further proxy's handshake. A proxy that accepts and never answers, or answers a byte at a
// time, fails the connection with the same text as a connect that timed out, instead of holding the connecting
// thread until someone cancels the connection.
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

    // The connect of one hop, handshake included, gives up after this long.
    static constexpr std::chrono::milliseconds kConnectTimeout { 20000 };

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
    // false otherwise, leaving the error text as it was for an unusable host. A connect that fails is reported
    // to the failed-hop handler.
    bool DirectConnect(const CHost& host);
    // The same connect, not reported: false for an unusable host, false with the cause appended to the error
    // text when the socket cannot be created or the connect fails.
    bool DirectConnectNoWait(const CHost& host);
    // Runs `proxy`'s handshake over the tunnel's socket to reach `next`; on failure appends the protocol's text,
    // or, when the hop's time ran out, the time-out text of a connect to `proxy`. Called on its own (not from
    // ConnectEstablish), as DirectConnect and DirectConnectNoWait, it is bounded by a hop's time of its own.
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

    // Called on the connecting thread when the direct connect to the first hop fails: the hop, and whether it is
    // the target itself (no proxy in between). May wait (the throttle does).
    using FailedHopHandler = std::function<void(const CHost& hop, bool isTarget)>;
    void SetFailedHopHandler(FailedHopHandler handler) { m_FailedHop = std::move(handler); }

    // The time-out of one hop's connect, handshake included (kConnectTimeout unless changed).
    void SetConnectTimeout(std::chrono::milliseconds timeout) { m_ConnectTimeout = timeout; }

private:
    // Starts the time of a new hop: its deadline, on the socket when there is one.
    void StartHop();
    // No hop runs any more: the socket waits without a deadline again.
    void EndHop();
    // The time-out text of a connect to `host`, with `error` as its cause.
    static std::string ConnectAttemptText(const CHost& host, int error);

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
    std::chrono::milliseconds m_ConnectTimeout = kConnectTimeout;
    std::optional<std::chrono::steady_clock::time_point> m_HopDeadline; // the running hop's; none outside one
    SocketCreatedHandler m_SocketCreated;
    FailedHopHandler m_FailedHop;
};

} // namespace corvantis
