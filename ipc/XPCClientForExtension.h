#pragma once

#include "ipc/IPCExtension.h"
#include "platform/DispatchQueue.h"
#include "platform/Mutex.h"
#include "platform/Result.h"
#include "platform/xpc/XpcConnection.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace corvantis {

// The application's client of the extension's service. The service name comes from the extension's manifest,
// found from the program's own path: the program sits in the bin/ folder of the tree, and the first entry of
// share/corvantis/SystemExtensions/ holds the manifest Info.plist with "NetworkExtension" → "NEMachServiceName".
// A tree without it is a broken installation: construction stops the program with the reason.
//
// One request is outstanding at a time; each returns at once and runs on "XPC client to System Extension".
// When a request cannot be sent the client answers itself, on the global queue: hello "<nil>"; settings "XPC
// connection lost" (not connected), "Other XPC task is in progress" (busy), "XPC protocol error"; tick data and
// the GSS endpoint are dropped (their reply never comes). A request whose link breaks is never answered. The
// connection's interruption and invalidation drop it only while it is still the client's current connection.
//
// Thread-safety: every member may be called from any thread; connect() and closeConnection() wait for the
// client's queue, so they must not be called from a block of it. Replies run on the connection's queue or, for
// the client's own answers, on the global queue, never on the caller's thread.
class XPCClientForExtension final : public IPCExtension, public std::enable_shared_from_this<XPCClientForExtension> {
    struct PrivateTag { };

public:
    struct Options {
        // The program's executable; the manifest is found from it. Empty: /proc/self/exe.
        std::filesystem::path programPath;
        // The typed view of the connection's remote object; a test replaces it to reach the protocol-error
        // branch. Empty: the real view.
        std::function<std::shared_ptr<IPCExtension>(const XpcConnectionPtr&)> proxyCast;
    };

    // Reads the service name; stops the program with the manifest's fault when it cannot (see
    // findMachServiceName). Does not connect.
    static std::shared_ptr<XPCClientForExtension> create(Options options = {});

    // The service name of the tree `programPath` belongs to, or the text the program stops with:
    // "Failed to get the contents of <folder URL>: <reason>", "Failed to find any system extensions",
    // "Failed to create a bundle with URL <entry URL>" or "Mach service name is missing from the Info.plist".
    static Result<std::string> findMachServiceName(const std::filesystem::path& programPath);
    // The service name of the extension's manifest at `manifest` ("NetworkExtension" → "NEMachServiceName"), or
    // "Mach service name is missing from the Info.plist" when the file or the entry is missing.
    static Result<std::string> readMachServiceName(const std::filesystem::path& manifest);

    // Creates the connection unless one exists; a request left unanswered on an earlier connection no longer
    // blocks new ones.
    void connect();
    // Invalidates the connection, if any.
    void closeConnection();
    bool isConnected() const;
    const std::string& machServiceName() const { return m_machServiceName; }

    void helloWithVersion(const std::string& version, StringReply reply) override;
    void updateSettingWithSettings(const PlistDict& settings, const std::string& profile, StringReply reply) override;
    void retriveTickDataWithReply(TickDataReply reply) override;
    void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) override;

    XPCClientForExtension(PrivateTag, std::string machServiceName, Options options);

private:
    enum class Failure { NotConnected, Busy, ProtocolError };
    // Runs `send` on the queue with the proxy when a request may go out, else `fail` with the reason.
    void request(std::function<void(IPCExtension& proxy)> send, std::function<void(Failure)> fail);
    // Wraps a reply so that the in-progress flag is cleared (queued) before the caller's block runs.
    std::function<void()> clearInProgress();
    void connectionEnded(const std::weak_ptr<XpcConnection>& which);

    const std::string m_machServiceName;
    const Options m_options;
    const DispatchQueuePtr m_requestQueue;
    mutable Mutex m_mutex;
    XpcConnectionPtr m_connection GUARDED_BY(m_mutex);
    // Only blocks of m_requestQueue touch it.
    bool m_isInProgress = false;
};

} // namespace corvantis
