#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ClientProcessor.h"
#include "ConnRecord.h"
#include "CorvantisApp.h"
#include "DnsStorage.h"
#include "LogContext.h"

namespace corvantis::test {

constexpr auto kThrottleUnit = std::chrono::nanoseconds(1);

// The extension's application object as the processor sees it: a core object with a real address table and
// the connection list of the core object.
class EngineTestApp final : public CCorvantisApp, public ClientProcessorHost {
public:
    EngineTestApp()
        : CCorvantisApp(ThrottleTiming())
    {
    }
    ~EngineTestApp() override { StopBackgroundThreads(); }

    std::string GetProfilePassword(const std::string&, bool, const std::string&) override { return {}; }

    CCorvantisApp& GetCoreApp() override { return *this; }
    std::string GetNameForIPv4(uint32_t address) override { return table.NameForIPv4(address); }
    std::string GetNameForIPv6(const in6_addr& address) override { return table.NameForIPv6(address); }
    uint64_t GetOpenConnectionCount() override
    {
        std::lock_guard<std::mutex> lock(connListLock);
        return openCount;
    }
    bool AddConnection(
        const std::shared_ptr<CConnRecord>& record, const std::function<bool(const ConnRecordList&)>& check) override
    {
        std::lock_guard<std::mutex> lock(connListLock);
        connList.push_back(record);
        ++openCount;
        return check(connList);
    }
    void RemoveClosedConnections() override { ++cleanups; }
    void OnConnectionLoop(const CLogContext& identity) override
    {
        std::lock_guard<std::mutex> lock(loopsLock);
        loops.push_back(identity);
        SetLoopDetectFlag(false);
    }

    size_t ListSize()
    {
        std::lock_guard<std::mutex> lock(connListLock);
        return connList.size();
    }

    CDnsStorage table;
    uint64_t openCount = 0; // guarded by connListLock
    std::atomic<int> cleanups { 0 };
    std::vector<CLogContext> loops; // guarded by loopsLock
    std::mutex loopsLock;

private:
    static ConnectThrottleTiming ThrottleTiming()
    {
        ConnectThrottleTiming timing;
        timing.unit = kThrottleUnit; // the throttle's answer counts reports without making the test wait
        return timing;
    }
};

} // namespace corvantis::test
