#pragma once

#include "core/proxy/PortForwarder.h"
#include "extension/engine/ClientProcessor.h"
#include "extension/engine/DnsRequestHandler.h"
#include "extension/engine/DnsResolveProcessor.h"
#include "extension/engine/SocketEventsManager.h"
#include "platform/DispatchQueue.h"
#include "platform/DispatchSemaphore.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

class AppNameWrapper;
class CCorvantisAppProxy;
class CHttpTraffic;

// The flow code's handle on the engine for one intercepted connection: the rule decision, the connect (on a
// thread of its own, after an optional resolution of the first hop), the bytes between the flow and the remote
// socket, and the close. A wrapper that only serves DNS decides whether an application's name requests are
// handled and answers them with placeholder or resolved addresses.
//
// Always held by a shared pointer (create): the connect thread and the resolver keep the wrapper alive until
// they have reported.
//
// Thread-safety: the flow code calls one wrapper from its own queues; the send path (prepateDataForRemote,
// sendDataToRemote) and the receive path (recvDataFromRemoteWithError) may run on two threads at once. The
// connect runs on its own thread and reports through the result processor; nothing else may use the connection
// before that report.
class ClientProcessorWrapper final : public std::enable_shared_from_this<ClientProcessorWrapper> {
    struct PrivateTag { };

public:
    // Outcomes of createNewConnection.
    enum NewConnection : int {
        kNotTaken = 0, // the system carries the flow unchanged
        kRefused = 1, // blocked
        kTaken = 2, // the engine connects it
    };
    // Connects in progress at once across all wrappers, as the flow code's semaphore holds them.
    static constexpr long kMaxConnectsInProgress = 300;
    // Largest piece one receive returns: what a loopback socket usually holds, so that a fast peer costs one
    // receive (and one write towards the application) per 64 KiB.
    static constexpr size_t kRecvChunk = 65536;
    // Time-to-live of the answers the engine makes up.
    static constexpr uint32_t kAnswerTtl = 1;

    using ConnectResultProcessor = std::function<void(bool connected)>;
    // The queried name and the answer for the application; no answer when there is none.
    using DnsResultProcessor = DnsRequestHandler::DnsResultProcessor;

    // A wrapper whose processor copies the active profile of `app` now. `resolver` sets how the first hop's
    // name and DNS queries are resolved; its address table defaults to `app`'s.
    // `connectTimeout` bounds each hop's connect, handshake included.
    static std::shared_ptr<ClientProcessorWrapper> create(CCorvantisAppProxy& app, DnsResolverSettings resolver = {},
        std::chrono::milliseconds connectTimeout = CTunnel::kConnectTimeout);
    // The same over the extension's one object.
    static std::shared_ptr<ClientProcessorWrapper> create(
        std::chrono::milliseconds connectTimeout = CTunnel::kConnectTimeout);

    // The semaphore the flow code shares between all wrappers to bound the connects in progress.
    static DispatchSemaphorePtr MakeConnectSemaphore(long limit = kMaxConnectsInProgress);

    ClientProcessorWrapper(PrivateTag, CCorvantisAppProxy& app, DnsResolverSettings resolver);
    ~ClientProcessorWrapper();
    ClientProcessorWrapper(const ClientProcessorWrapper&) = delete;
    ClientProcessorWrapper& operator=(const ClientProcessorWrapper&) = delete;

    // The rule decision for a new flow of `app` (null: unknown) to `endpoint`:`port` (texts); `hostname` is the
    // name the system gave, if any.
    int createNewConnection(
        const AppNameWrapper* app, const char* hostname, const char* endpoint, const char* port, bool isUdp);

    // Starts the connect of a taken connection. Connect now: waits for a unit of `semaphore` (as long as it
    // takes), then connects on a thread of its own, reports to `resultProcessor` and gives the unit back; YES. Blocked:
    // the connection fails, `resultProcessor` gets NO, and the answer is NO. Resolve first: the first hop's name
    // goes to the resolver over `eventManager` (YES); a failure fails the connection on `queue`, never on the
    // event loop's thread; an address is connected as above, after a hop to `queue`.
    bool establishRemoteConnection(const SocketEventsManagerPtr& eventManager,
        const std::shared_ptr<const AppNameSource>& appName, const DispatchQueuePtr& queue,
        const DispatchSemaphorePtr& semaphore, ConnectResultProcessor resultProcessor);

    // The start of establishRemoteConnection for a caller that must not wait: when the connection is to connect
    // now (no resolution first) and `semaphore` has a unit free at once, takes it and starts the connect as
    // establishRemoteConnection does (YES). Otherwise NO, having started nothing and given back what it took: the
    // caller then calls establishRemoteConnection, where it may wait. Call it, and establishRemoteConnection,
    // from the one queue on which every connect takes its unit, and only while no connect waits there, so that a
    // free unit goes to the connect that waited longest.
    bool tryStartConnectNow(const DispatchSemaphorePtr& semaphore, const ConnectResultProcessor& resultProcessor);

    // False while the application's request still has to go to a plain HTTP proxy (the connection's last hop):
    // the flow must not read from the remote before prepateDataForRemote has forwarded that request.
    bool needDownstreamNow() const;

    // Passes the application's data through the request forwarding while a plain HTTP proxy still waits for the
    // request. False when the forwarding does not take the data (any other connection, or the request has gone
    // already): the caller sends it unchanged. True when it took it; then `replacedData` (always given, possibly
    // empty) is what the caller sends to the remote instead, and `answer`, when given, is what it writes back to
    // the application:
    //  - header incomplete: nothing went, no answer; the caller reads on;
    //  - request forwarded: the bytes after its header are the replacement and `answer` is given: empty when the
    //    proxy's reply is still to come, the proxy's reply header when the forwarding read it. Either way the
    //    remote side is ready, the caller starts reading from it, and from now on needDownstreamNow is true and
    //    data goes unchanged;
    //  - forwarding failed: the line " HTTP connection error: " is logged and the record closed, so the empty
    //    replacement's send fails and the caller ends the flow as after any failed send.
    bool prepateDataForRemote(const std::vector<uint8_t>& data, std::optional<std::vector<uint8_t>>& answer,
        std::optional<std::vector<uint8_t>>& replacedData);

    // Sends without waiting; `sent` gets the bytes that went, `err` the errno of a failure (0 otherwise). True
    // unless the send failed. Bytes sent count as sent (towards the remote) in the record and the statistics,
    // and go to the connection's TO dump when traffic dumps are on.
    bool sendDataToRemote(const uint8_t* data, size_t length, int64_t& sent, int32_t& err);
    bool sendDataToRemote(const std::vector<uint8_t>& data, int64_t& sent, int32_t& err)
    {
        return sendDataToRemote(data.data(), data.size(), sent, err);
    }

    // The remote socket's descriptor; -1 before the connect succeeded and once the connection is closed. The
    // number is the caller's to watch, never to close or shut down: that goes through the record's socket.
    int getNativeHandler() const;
    // A receive time-out of 100 microseconds on the remote socket; 0 or the errno of the failure.
    int setRecvTimoutOnRemoteSocket();
    // Up to kRecvChunk bytes read without waiting; empty data when the remote ended its stream; nothing on an
    // error (`err` then holds the errno, EAGAIN when nothing is there yet). Bytes read count as received in the
    // record and the statistics, and go to the FROM dump when traffic dumps are on.
    std::optional<std::vector<uint8_t>> recvDataFromRemoteWithError(int32_t& err);

    // Whether the bytes may from now on go between the flow and the remote without passing through the engine:
    // connected, no request left for a plain HTTP proxy, and no traffic dumps for this connection. When so, the
    // remote socket is made non-blocking, as spliceToRemote and spliceFromRemote must never wait, and the answer
    // stays so for the connection's life.
    bool prepareSplice();
    // sendDataToRemote for bytes that stay in the kernel: at most `length` bytes from the pipe `pipeRead` to the
    // remote, without waiting. Counted the same way.
    bool spliceToRemote(int pipeRead, size_t length, int64_t& sent, int32_t& err);
    // recvDataFromRemoteWithError likewise: at most `length` bytes from the remote into the pipe `pipeWrite`,
    // without waiting. The bytes moved, 0 when the remote ended its stream, -1 on an error (`err`; EAGAIN when
    // nothing is there yet or the pipe is full). Counted the same way.
    int64_t spliceFromRemote(int pipeWrite, size_t length, int32_t& err);

    // Ends the sending side of the remote connection (a FIN after the bytes sent so far); receiving goes on.
    // 0, or the errno of the failure (ENOTCONN when there is no connection).
    int shutdownRemoteSend();
    // Ends the connection (its close line, once).
    void close();

    // The record of the connection; null before createNewConnection made one.
    std::shared_ptr<CConnRecord> GetConnection() const { return m_clientProcessor.GetConnection(); }

    // ---- DNS ----
    // The calls of DnsRequestHandler (its header holds their contracts), over this wrapper's application object
    // and resolver settings.

    bool processDnsConnection(const AppNameWrapper& app);
    bool processDnsRequest(const std::vector<uint8_t>& request, const AppNameWrapper& app,
        const std::string& serverHost, uint16_t serverPort, bool internalServer,
        const SocketEventsManagerPtr& eventManager, DnsResultProcessor resultProcessor);
    static void processDnsAnswer(
        CCorvantisAppProxy& app, const std::vector<uint8_t>& answer, const AppNameWrapper* fromApp);
    // The same over the extension's one object.
    static void processDnsAnswer(const std::vector<uint8_t>& answer, const AppNameWrapper* fromApp);

private:
    // The connect on a thread of its own (a new one, or one a finished connect left free), named `threadName`;
    // gives the semaphore's unit back when done.
    // `unitTaken`: the caller took the semaphore's unit already.
    bool startConnectThread(const char* threadName, std::optional<CHost> resolved,
        const DispatchSemaphorePtr& semaphore, const ConnectResultProcessor& resultProcessor, bool unitTaken = false);
    // A send towards the remote or a receive from it (copied or spliced): `move(socket, error)` makes the call on
    // the remote socket, and the bytes it moved are counted in the record and the statistics. The bytes moved,
    // or -1 with `err` set (0 otherwise); the errors and the counts are those of every path.
    template <typename Move> int64_t moveCounted(bool towardsRemote, const Move& move, int32_t& err);
    // The DNS side, made on first use.
    DnsRequestHandler& dnsHandler();
    // Opens the connection's two dump files once, when traffic dumps are on.
    void openDumpsOnce();
    void dump(bool towardsRemote, const uint8_t* data, size_t length);
    CCorvantisAppProxy& m_app;
    DnsResolverSettings m_resolver;
    CClientProcessor m_clientProcessor;
    // What tryStartConnectNow prepared without connecting, for establishRemoteConnection (the connect queue's).
    std::optional<CTunnel::SConnectPrepare> m_prepared;
    std::unique_ptr<CHttpTraffic> m_httpTraffic; // the send path's, created with the first data
    std::once_flag m_dumpOnce;
    std::once_flag m_dnsOnce;
    std::shared_ptr<DnsRequestHandler> m_dns; // set once under m_dnsOnce; shared with resolutions still under way
    TrafficDumpFiles m_dumps; // set once under m_dumpOnce; `to` by the send path, `from` by the receive path
};

} // namespace corvantis
