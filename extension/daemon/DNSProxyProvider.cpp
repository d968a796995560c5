#include "extension/daemon/DNSProxyProvider.h"

#include "extension/engine/CorvantisCoreWrapper.h"
#include "platform/ProgramHome.h"
#include "platform/SystemLog.h"

#include <cstdio>
#include <filesystem>
#include <unistd.h>

namespace corvantis {

namespace {

std::string pidText()
{
    return std::to_string(::getpid());
}

void logFun(const char* fun, const char* tail = "")
{
    SystemLog("Corvantis DNSProxy - pid " + pidText() + ", fun " + fun + tail);
}

} // namespace

DNSProxyProvider::DNSProxyProvider(
    std::shared_ptr<CorvantisWorker> worker, std::function<bool()> helloRequested, std::string logFolder)
    : m_worker(std::move(worker))
    , m_helloRequested(
          helloRequested ? std::move(helloRequested) : [] { return CorvantisCoreWrapper::isHelloRequested(); })
    , m_logFolder(
          logFolder.empty() ? programHomeDir(Program::Extension) + "/Logs/CorvantisDnsProxy" : std::move(logFolder))
{
}

void DNSProxyProvider::startProxy(Completion completion)
{
    logFun("startProxy(options:completionHandler:)");
    if (!m_helloRequested()) {
        SystemLog("Corvantis DNSProxy - not initialized");
        const FlowError error { "", 1, "Corvantis DNS Proxy cannot be initialized before hello message" };
        completion(error);
        cancelProxyWithError(error);
        return;
    }
    std::error_code ec;
    std::filesystem::create_directories(m_logFolder, ec);
    if (!ec && std::filesystem::is_directory(m_logFolder, ec)) {
        SystemLog("Corvantis DNSProxy - pid " + pidText() + ", file created " + m_logFolder);
    } else {
        std::printf("%s\n", ec ? ec.message().c_str() : "not a folder");
        SystemLog("Corvantis DNSProxy - log dir cannot be created");
    }
    bool up = false;
    m_worker->mainQueue()->sync([&] { up = m_worker->initializeEngine(); });
    if (!up) {
        SystemLog("Corvantis DNSProxy - failed");
        const FlowError error { "", 2, "Corvantis core cannot be initialized" };
        completion(error);
        cancelProxyWithError(error);
        return;
    }
    SystemLog("Corvantis DNSProxy - pid " + pidText() + ", init done");
    m_init = true;
    SystemLog("Corvantis DNSProxy - started");
    completion(std::nullopt);
}

void DNSProxyProvider::stopProxy(int, std::function<void()> completion)
{
    logFun("stopProxy(with:completionHandler:)");
    m_worker->stopDnsProxy();
    if (completion)
        completion();
}

void DNSProxyProvider::sleep(std::function<void()> completion)
{
    logFun("sleep(completionHandler:)");
    if (completion)
        completion();
}

void DNSProxyProvider::wake()
{
    logFun("wake()");
}

bool DNSProxyProvider::handleNewFlow(const std::shared_ptr<NEAppProxyFlow>& flow)
{
    if (!m_init) {
        logFun("handleNewFlow(_:)", " not initialized");
        return false;
    }
    return m_worker->takeTcpFlow(flow);
}

bool DNSProxyProvider::handleNewUDPFlow(const NEAppProxyUDPFlowPtr& flow, const NWEndpoint& initialRemoteEndpoint)
{
    if (!m_init) {
        logFun("handleNewUDPFlow(_:initialRemoteEndpoint:)", " not initialized");
        return false;
    }
    return m_worker->takeUdpFlow(flow, initialRemoteEndpoint, true);
}

} // namespace corvantis
