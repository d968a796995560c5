#pragma once

#include "extension/daemon/CorvantisWorker.h"
#include "platform/netext/NEAppProxyProvider.h"

#include <functional>
#include <memory>
#include <string>

namespace corvantis {

// The extension's transparent proxy: it asks for this machine's outbound TCP (and UDP to port 443 when that is
// blocked), leaves out the excluded ports, hands every flow to the worker, carries the application's provider
// messages to it and closes the TCP flows at a stop. It refuses to start before the application's hello.
//
// Thread-safety: as the provider layer calls it; the worker serialises the bring-up and the flow hand-offs.
class AppProxyProvider final : public NETransparentProxyProvider {
public:
    // `helloRequested` stands for the facade's isHelloRequested (empty: the facade).
    explicit AppProxyProvider(std::shared_ptr<CorvantisWorker> worker = CorvantisWorker::sharedWorker(),
        std::function<bool()> helloRequested = {});

    void startProxy(Completion completion) override;
    void stopProxy(int reason, std::function<void()> completion) override;
    void handleAppMessage(const std::vector<uint8_t>& message, MessageCompletion completion) override;
    void sleep(std::function<void()> completion) override;
    void wake() override;
    bool handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow) override;
    bool handleNewUDPFlow(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint) override;

    // The settings for the excluded-port texts and the block-UDP-443 switch; `countLine` receives the engine
    // log's "Current settings count ..." line, or stays empty when the default ports were used.
    static NETransparentProxyNetworkSettings makeSettings(
        const std::string& udpPorts, const std::string& tcpPorts, bool blockUdp443, std::string& countLine);

private:
    const std::shared_ptr<CorvantisWorker> m_worker;
    const std::function<bool()> m_helloRequested;
};

} // namespace corvantis
