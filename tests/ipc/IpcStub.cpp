// A second process for the IPC tests, speaking the real layer. Modes (the first argument):
//
//   gss-app
//       The application's GSS token service: starts GssHelperServer's listener, prints "endpoint <name>" and
//       serves until it is killed. Tokens are made with this process's Kerberos environment.
//   extension <service> [<extra allowed uid>]
//       An extension stand-in serving IPCExtension on <service> in the runtime folder: hello answers "3.12.2";
//       settings answer "ok <entry count> <profile>" and never answer when the profile is "hold"; the setting
//       "Loop" (a string) becomes the sixth tick value, which is absent otherwise; a GSS endpoint is greeted
//       through GssHelperClient and the answer is YES when its hello came back. Prints "ready", then
//       "hello <version>", "settings <profile>", "tick" and "gss-hello <answer>" as calls arrive.
//   helper <service> [<uid to listen as>]
//       A privileged-helper stand-in serving IPCBaseProtcol: prints "accepted" per connection and
//       "hello <version>" per hello, answering "helper". With a uid, it runs as that user (the runtime folder
//       must then be writable for it), so that clients see a server that does not run as root.
//   client <uid> <service|@endpoint> [owner uid]
//       Becomes <uid>, says hello to the service (IPCExtension) or the endpoint (GssIPCProtcol), and prints
//       "reply <answer>", or "no reply" when the link ends first.

#include "core/foundation/IPCHelper.h"
#include "ipc/GssHelperClient.h"
#include "ipc/GssHelperServer.h"
#include "ipc/IPCExportedObject.h"
#include "ipc/IPCExtension.h"
#include "ipc/IPCInterfaces.h"
#include "ipc/IPCRemoteObject.h"
#include "platform/DispatchSemaphore.h"
#include "platform/Mutex.h"
#include "platform/xpc/XpcListener.h"
#include "platform/xpc/XpcLog.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace corvantis;

namespace {

Mutex g_printMutex;

void say(const std::string& line)
{
    MutexLock lock(g_printMutex);
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

[[noreturn]] void serveForever()
{
    for (;;)
        ::pause();
}

class StubExtension final : public IPCExtension {
public:
    void helloWithVersion(const std::string& version, StringReply reply) override
    {
        say("hello " + version);
        reply("3.12.2");
    }
    void updateSettingWithSettings(const PlistDict& settings, const std::string& profile, StringReply reply) override
    {
        say("settings " + profile);
        if (profile == "hold") {
            MutexLock lock(m_mutex);
            m_held.push_back(std::move(reply)); // kept, never called
            return;
        }
        if (auto loop = settings.find("Loop"); loop != settings.end() && loop->second.string()) {
            MutexLock lock(m_mutex);
            m_loop = *loop->second.string();
        }
        reply("ok " + std::to_string(settings.size()) + " " + profile);
    }
    void retriveTickDataWithReply(TickDataReply reply) override
    {
        say("tick");
        std::optional<std::string> loop;
        {
            MutexLock lock(m_mutex);
            loop = m_loop;
        }
        reply("stat", "log", "conn", PlistData { 1 }, PlistData { 2 }, loop);
    }
    void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) override
    {
        auto semaphore = std::make_shared<DispatchSemaphore>(0);
        auto client = GssHelperClient::create(endpoint, semaphore);
        client->connect();
        client->helloWithVersion("3.12.2", [client, reply](std::string answer) {
            say("gss-hello " + answer);
            client->closeConnection();
            reply(answer != "<nil>");
        });
    }

private:
    Mutex m_mutex;
    std::optional<std::string> m_loop GUARDED_BY(m_mutex);
    std::vector<StringReply> m_held GUARDED_BY(m_mutex);
};

class StubHelper final : public IPCBaseProtcol {
public:
    void helloWithVersion(const std::string& version, StringReply reply) override
    {
        say("hello " + version);
        reply("helper");
    }
};

int runExtension(const std::string& service, std::optional<uid_t> extraUid)
{
    XpcListener::Options options;
    options.allowedUids = { 0, ::geteuid() };
    if (extraUid)
        options.allowedUids.insert(*extraUid);
    auto listener = XpcListener::createForService(service, options);
    if (!listener.ok()) {
        say("error " + listener.status().message());
        return 1;
    }
    auto object = IPCExportedObject::forIPCExtension(std::make_shared<StubExtension>());
    (*listener)->setDelegate([object](const XpcConnectionPtr& connection) {
        connection->setExportedInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCExtension));
        connection->setExportedObject(object);
        connection->resume();
        return true;
    });
    if (!(*listener)->resume().ok())
        return 1;
    say("ready");
    serveForever();
}

int runHelper(const std::string& service, std::optional<uid_t> listenAs)
{
    XpcListener::Options options;
    options.allowedUids = { 0, ::geteuid() };
    XpcListenerPtr listener;
    // A server that does not run as root: it can only listen in a runtime folder its user may write to.
    if (listenAs
        && (::setresgid(*listenAs, *listenAs, *listenAs) != 0 || ::setresuid(*listenAs, *listenAs, *listenAs) != 0)) {
        say("error setuid");
        return 1;
    }
    auto created = XpcListener::createForService(service, options);
    if (!created.ok()) {
        say("error " + created.status().message());
        return 1;
    }
    listener = created.value();
    auto object = IPCExportedObject::forIPCBaseProtcol(std::make_shared<StubHelper>());
    listener->setDelegate([object](const XpcConnectionPtr& connection) {
        say("accepted");
        connection->setExportedInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCBaseProtcol));
        connection->setExportedObject(object);
        connection->resume();
        return true;
    });
    if (!listener->resume().ok())
        return 1;
    say("ready");
    serveForever();
}

int runClient(uid_t uid, const std::string& target, std::optional<uid_t> owner)
{
    if (::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0) {
        say("error setuid");
        return 1;
    }
    const bool toEndpoint = !target.empty() && target[0] == '@';
    XpcConnectionPtr connection = toEndpoint
        ? XpcConnection::createWithEndpoint(XpcEndpoint { target.substr(1), owner })
        : XpcConnection::createForService(target);
    connection->setRemoteObjectInterface(
        IPCInterfaces::interfaceWithProtocol(toEndpoint ? IPCProtocol::GssIPCProtcol : IPCProtocol::IPCExtension));
    auto done = std::make_shared<DispatchSemaphore>(0);
    connection->setInterruptionHandler([done] { done->signal(); });
    connection->setInvalidationHandler([done] { done->signal(); });
    connection->resume();
    auto answer = std::make_shared<std::string>();
    auto reply = [done, answer](std::string text) {
        *answer = text;
        say("reply " + text);
        done->signal();
    };
    if (toEndpoint)
        IPCRemoteObject::proxyAs<GssIPCProtcol>(connection)->helloWithVersion("3.12.2", reply);
    else
        IPCRemoteObject::proxyAs<IPCExtension>(connection)->helloWithVersion("3.12.2", reply);
    if (!done->waitFor(std::chrono::seconds(20)) || answer->empty())
        say("no reply");
    connection->invalidate();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty())
        return 2;
    if (args[0] == "gss-app") {
        if (Status st = GssHelperServer::startListener(); !st.ok()) {
            say("error " + st.message());
            return 1;
        }
        say("endpoint " + GssHelperServer::listenerEndpoint()->name);
        serveForever();
    }
    if (args[0] == "extension" && args.size() >= 2)
        return runExtension(
            args[1], args.size() >= 3 ? std::optional<uid_t>(static_cast<uid_t>(std::stoul(args[2]))) : std::nullopt);
    if (args[0] == "helper" && args.size() >= 2)
        return runHelper(
            args[1], args.size() >= 3 ? std::optional<uid_t>(static_cast<uid_t>(std::stoul(args[2]))) : std::nullopt);
    if (args[0] == "client" && args.size() >= 3)
        return runClient(static_cast<uid_t>(std::stoul(args[1])), args[2],
            args.size() >= 4 ? std::optional<uid_t>(static_cast<uid_t>(std::stoul(args[3]))) : std::nullopt);
    return 2;
}
