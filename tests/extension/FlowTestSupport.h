#pragma once

// What the tests of the flow code share: the worker's queues over the extension's one object in a temporary
// home, a TCP registry fed by the in-process injector, and helpers on the application's side of a flow.

#include "extension/engine/ClientProcessorWrapper.h"
#include "extension/engine/SocketEventsManager.h"
#include "extension/flows/TcpFlowsManager.h"
#include "extension/flows/TcpSplicePump.h"
#include "platform/SystemLog.h"
#include "platform/netext/FlowInjector.h"
#include "tests/engine/WrapperTestSupport.h"
#include "tests/support/Wait.h"

#include <algorithm>
#include <mutex>
#include <thread>

namespace corvantis::test {

// The system log's lines, kept while the object lives.
class SystemLogLines final {
public:
    SystemLogLines()
    {
        SetSystemLogSink([this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_lines.push_back(line);
        });
    }
    ~SystemLogLines() { SetSystemLogSink(nullptr); }

    std::vector<std::string> lines()
    {
        std::lock_guard lock(m_mutex);
        return m_lines;
    }
    // Lines starting with `prefix`.
    std::vector<std::string> startingWith(const std::string& prefix)
    {
        std::vector<std::string> found;
        for (const std::string& line : lines())
            if (line.rfind(prefix, 0) == 0)
                found.push_back(line);
        return found;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// The worker's side of the TCP flows: its shared queues, the event loop on a thread, the connect semaphore, a
// registry with short limits, and an injector that hands it every offered flow.
class FlowTest : public WrapperTest {
protected:
    void SetUp() override
    {
        WrapperTest::SetUp();
        m_events = std::make_shared<SocketEventsManager>();
        ASSERT_TRUE(m_events->InitInstance());
        m_loop = std::thread([events = m_events] { events->EventsProcessingThread(); });
        queues.socketEvents = m_events;
        queues.connect = DispatchQueue::create("Corvantis tcp connect queue");
        queues.connectSemaphore = ClientProcessorWrapper::MakeConnectSemaphore();
        queues.main = DispatchQueue::create("Corvantis tcp main queue");
        queues.api = DispatchQueue::create("Corvantis API processing queue");
        MakeManager();
    }

    void TearDown() override
    {
        injector.stop();
        if (manager) {
            manager->closeAllFlows();
            waitUntil([&] { return manager->flowCount() == 0; });
        }
        manager.reset();
        m_events->Stop();
        m_loop.join();
        WrapperTest::TearDown();
    }

    // A registry with `settings` (the connect time-out and the idle limit shortened by default).
    void MakeManager(std::chrono::milliseconds connectTimeout = std::chrono::seconds(5),
        std::chrono::milliseconds idleLimit = std::chrono::seconds(20))
    {
        TcpFlowSettings settings;
        settings.makeConnection = [connectTimeout] { return ClientProcessorWrapper::create(connectTimeout); };
        settings.halfClosedIdleLimit = idleLimit;
        manager = std::make_shared<TcpFlowsManager>(settings);
        injector.start(
            { [this](const NEAppProxyTCPFlowPtr& flow) { return manager->handleNewFlow(flow, queues); }, nullptr });
    }

    // Offers a flow of "curl" to `port` on 127.0.0.1.
    FlowInjector::OfferedTcp Offer(uint16_t port, std::optional<std::string> hostname = std::nullopt)
    {
        return injector.offerTcpOverLoopback(
            NWEndpoint::Host("127.0.0.1", std::to_string(port)), std::move(hostname), { "curl", std::nullopt });
    }

    // Number of "Corvantis flow closed" lines so far.
    size_t ClosedLines() { return logs.startingWith("Corvantis flow closed").size(); }

    SystemLogLines logs;
    TcpFlowQueues queues;
    std::shared_ptr<TcpFlowsManager> manager;
    FlowInjector injector;

private:
    SocketEventsManagerPtr m_events;
    std::thread m_loop;
};

// Reads from `fd` until the end of its stream, a failure or `limit` bytes; returns the bytes and the errno of a
// failure (0 at the end of stream, ETIMEDOUT when nothing came for 30 s).
inline std::pair<std::vector<uint8_t>, int> ReadAll(int fd, size_t limit = SIZE_MAX)
{
    std::vector<uint8_t> received;
    std::vector<uint8_t> buffer(65536);
    while (received.size() < limit) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, 30000) <= 0)
            return { received, ETIMEDOUT };
        const ssize_t n = ::recv(fd, buffer.data(), std::min(buffer.size(), limit - received.size()), 0);
        if (n == 0)
            return { received, 0 };
        if (n < 0)
            return { received, errno };
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
    }
    return { received, 0 };
}

// For the tests of the bytes' way, which run twice: pumped by the queues, and by the splice pump wherever the
// engine has nothing left to prepare (parameter true).
class TcpFlowTest : public FlowTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        FlowTest::SetUp();
        if (!GetParam())
            return;
        auto pump = TcpSplicePump::open();
        ASSERT_TRUE(pump.ok()) << pump.status().message();
        queues.splice = *pump;
    }
    void TearDown() override
    {
        FlowTest::TearDown();
        queues.splice.reset();
    }
    // The flows in the splice pump; 0 without one.
    size_t Spliced() const { return queues.splice ? queues.splice->count() : 0; }
    // Sends `data` to an echo and reads it back, leaving the flow open.
    static std::vector<uint8_t> EchoedBack(int application, const std::vector<uint8_t>& data)
    {
        std::thread writer([&] { sendAll(application, data); });
        auto [back, err] = ReadAll(application, data.size());
        writer.join();
        EXPECT_EQ(err, 0);
        return back;
    }
};

// Names the two runs of a TcpFlowTest.
inline std::string PumpName(const ::testing::TestParamInfo<bool>& info)
{
    return info.param ? "Splice" : "Queues";
}

} // namespace corvantis::test
