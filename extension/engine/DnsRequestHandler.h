#pragma once

#include "extension/engine/DnsResolveProcessor.h"
#include "extension/engine/SocketEventsManager.h"

#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

class AppNameWrapper;
class CCorvantisAppProxy;
class CHost;

// The DNS side of the connection facade: decides whether the engine answers an application's name request, makes
// the placeholder or resolved answers, and records the addresses of answers that passed to the applications.
// ClientProcessorWrapper offers these calls to the flow code under its own names.
//
// Thread-safety: immutable after construction (the profile and the address table guard themselves); a resolution
// under way holds the handler through a shared pointer, so the wrapper that made it may go first.
class DnsRequestHandler final : public std::enable_shared_from_this<DnsRequestHandler> {
public:
    // The queried name and the answer for the application; no answer when there is none.
    using DnsResultProcessor = std::function<void(const std::string& name, std::optional<std::vector<uint8_t>> answer)>;

    // `resolver` as the wrapper completed it (its address table set unless a test asked for none).
    DnsRequestHandler(CCorvantisAppProxy& app, DnsResolverSettings resolver);
    DnsRequestHandler(const DnsRequestHandler&) = delete;
    DnsRequestHandler& operator=(const DnsRequestHandler&) = delete;

    // Whether the engine handles the name requests of `app` (its profile resolves through the proxy and the rules
    // may send the application through a proxy); else the verbose line "DNS request bypassed (According to
    // Rules)".
    bool processDnsConnection(const AppNameWrapper& app);

    // An application's DNS request to `serverHost`:`serverPort` (`internalServer`: the engine's own placeholder
    // server). YES when the engine answers it through `resultProcessor` (a placeholder address for a name the
    // proxy resolves, or, for the placeholder server, an address of the asked type that the resolver finds, an
    // answer without an address when the name has none of that type, and no answer when the name cannot be
    // resolved); NO when the caller must relay it to the server (also for a request that cannot be parsed and
    // for one that makes a DNS loop).
    bool processDnsRequest(const std::vector<uint8_t>& request, const AppNameWrapper& app,
        const std::string& serverHost, uint16_t serverPort, bool internalServer,
        const SocketEventsManagerPtr& eventManager, DnsResultProcessor resultProcessor);

    // Records the addresses of a DNS answer that passed to the application in `app`'s address table. `fromApp`
    // is the application that asked, when the caller knows it (null otherwise, as for the content filter); the
    // log lines carry its identity, or no application at all.
    static void processDnsAnswer(
        CCorvantisAppProxy& app, const std::vector<uint8_t>& answer, const AppNameWrapper* fromApp);

private:
    // The request turned into an answer saying the name has no address of the asked type.
    std::optional<std::vector<uint8_t>> makeEmptyAnswer(const std::vector<uint8_t>& request) const;
    // The address that answers a question of type `qtype` about `name` once the resolver found `resolved`: that
    // address when it has the asked family, else a real address of that family the table learnt meanwhile;
    // nothing for other types, or when there is none.
    std::optional<sockaddr_storage> addressForQuestion(
        const std::string& name, uint16_t qtype, const CHost& resolved) const;
    std::optional<std::vector<uint8_t>> makeAnswer(
        const std::vector<uint8_t>& request, const sockaddr* address, size_t& length) const;

    CCorvantisAppProxy& m_app;
    const DnsResolverSettings m_resolver;
};

} // namespace corvantis
