#pragma once

#include "extension/daemon/CorvantisWorker.h"
#include "platform/netext/NEAppProxyProvider.h"

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace corvantis {

// The extension's DNS proxy: the machine's DNS flows go to the same worker as the transparent proxy's, UDP ones
// marked as coming from the DNS proxy. It refuses to start before the application's hello, and refuses flows
// until a start has brought the engine up (a stop does not undo that).
//
// Thread-safety: as the provider layer calls it; `m_init` is written by the start and read by the flow calls.
class DNSProxyProvider final : public NEDNSProxyProvider {
public:
    // `helloRequested` stands for the facade's isHelloRequested (empty: the facade); `logFolder` for the
    // extension's home + "/Logs/CorvantisDnsProxy" (empty: that).
    explicit DNSProxyProvider(std::shared_ptr<CorvantisWorker> worker = CorvantisWorker::sharedWorker(),
        std::function<bool()> helloRequested = {}, std::string logFolder = {});

    void startProxy(Completion completion) override;
    void stopProxy(int reason, std::function<void()> completion) override;
    void sleep(std::function<void()> completion) override;
    void wake() override;
    bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow) override;
    bool handleNewUDPFlow(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint) override;

    bool isInitialized() const { return m_init.load(); }
    const std::string& logFolder() const { return m_logFolder; }

private:
    const std::shared_ptr<CorvantisWorker> m_worker;
    const std::function<bool()> m_helloRequested;
    const std::string m_logFolder;
    std::atomic<bool> m_init { false };
};

} // namespace corvantis
