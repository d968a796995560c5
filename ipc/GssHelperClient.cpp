#include "ipc/GssHelperClient.h"

#include "ipc/GssEndpointSlot.h"
#include "ipc/IPCInterfaces.h"
#include "ipc/IPCRemoteObject.h"
#include "platform/Utf8.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace corvantis {

namespace {

// Copies at most `*capacity` bytes of `bytes` to `out` and leaves the count in `*capacity`.
void copyCut(std::string_view bytes, size_t* capacity, void* out)
{
    const size_t n = std::min(bytes.size(), *capacity);
    if (n > 0)
        std::memcpy(out, bytes.data(), n);
    *capacity = n;
}

} // namespace

GssHelperClient::GssHelperClient(PrivateTag, XpcEndpoint endpoint, DispatchSemaphorePtr semaphore)
    : m_requestQueue(DispatchQueue::create("XPC client to GSS"))
    , m_dispatchSemaphore(std::move(semaphore))
    , m_endpoint(std::move(endpoint))
{
}

std::shared_ptr<GssHelperClient> GssHelperClient::create(XpcEndpoint endpoint, DispatchSemaphorePtr semaphore)
{
    return std::make_shared<GssHelperClient>(PrivateTag {}, std::move(endpoint), std::move(semaphore));
}

bool GssHelperClient::isConnected() const
{
    MutexLock lock(m_mutex);
    return m_connection != nullptr;
}

void GssHelperClient::setProxyCastForTesting(ProxyCast cast)
{
    MutexLock lock(m_mutex);
    m_proxyCast = std::move(cast);
}

void GssHelperClient::connect()
{
    if (isConnected())
        return;
    m_requestQueue->sync([this] {
        if (isConnected())
            return;
        auto connection = XpcConnection::createWithEndpoint(m_endpoint);
        auto ended = [weak = weak_from_this(), which = std::weak_ptr<XpcConnection>(connection)] {
            if (auto self = weak.lock())
                self->connectionEnded(which);
        };
        connection->setInterruptionHandler(ended);
        connection->setInvalidationHandler(ended);
        connection->setRemoteObjectInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::GssIPCProtcol));
        {
            MutexLock lock(m_mutex);
            m_connection = connection;
        }
        m_isInProgress = false;
        connection->resume();
    });
}

void GssHelperClient::closeConnection()
{
    m_requestQueue->sync([this] { closeIf(nullptr); });
}

void GssHelperClient::connectionEnded(const std::weak_ptr<XpcConnection>& which)
{
    // The handler's own connection is alive while its handler runs; only it may be closed here.
    auto connection = which.lock();
    if (!connection)
        return;
    m_requestQueue->sync([this, &connection] { closeIf(connection); });
}

void GssHelperClient::closeIf(const XpcConnectionPtr& expected)
{
    XpcConnectionPtr victim;
    {
        MutexLock lock(m_mutex);
        if (expected && m_connection != expected)
            return;
        victim = std::move(m_connection);
        m_connection = nullptr;
    }
    if (victim)
        victim->invalidate();
    m_dispatchSemaphore->signal();
}

void GssHelperClient::helloWithVersion(const std::string& version, StringReply reply)
{
    m_requestQueue->async([self = shared_from_this(), version, reply] {
        auto fail = [&reply] {
            if (reply)
                DispatchQueue::asyncGlobal([reply] { reply("<nil>"); });
        };
        XpcConnectionPtr connection;
        ProxyCast cast;
        {
            MutexLock lock(self->m_mutex);
            connection = self->m_connection;
            cast = self->m_proxyCast;
        }
        if (!connection || self->m_isInProgress)
            return fail();
        auto proxy = cast ? cast(connection) : IPCRemoteObject::proxyAs<GssIPCProtcol>(connection);
        if (!proxy)
            return fail();
        self->m_isInProgress = true;
        proxy->helloWithVersion(version, [weak = std::weak_ptr<GssHelperClient>(self), reply](std::string answer) {
            if (auto client = weak.lock())
                client->m_requestQueue->async([client] { client->m_isInProgress = false; });
            if (reply)
                reply(std::move(answer));
        });
    });
}

void GssHelperClient::retriveTokenWithProxyHostname(const std::string& proxyHostname, TokenReply reply)
{
    m_requestQueue->async([self = shared_from_this(), proxyHostname, reply] {
        auto fail = [&reply](const char* text) {
            if (reply)
                DispatchQueue::asyncGlobal([reply, message = std::string(text)] { reply(false, message, {}); });
        };
        XpcConnectionPtr connection;
        ProxyCast cast;
        {
            MutexLock lock(self->m_mutex);
            connection = self->m_connection;
            cast = self->m_proxyCast;
        }
        if (!connection)
            return fail("IPC error (1)");
        if (self->m_isInProgress)
            return fail("IPC error (2)");
        auto proxy = cast ? cast(connection) : IPCRemoteObject::proxyAs<GssIPCProtcol>(connection);
        if (!proxy)
            return fail("IPC error (3)");
        self->m_isInProgress = true;
        proxy->retriveTokenWithProxyHostname(proxyHostname,
            [weak = std::weak_ptr<GssHelperClient>(self), reply](bool ok, std::string text, PlistData token) {
                // The flag is cleared before the caller's block runs, so a request made inside it is accepted.
                if (auto client = weak.lock())
                    client->m_requestQueue->async([client] { client->m_isInProgress = false; });
                if (reply)
                    reply(ok, std::move(text), std::move(token));
            });
    });
}

bool GssHelperClient::gssGetTokenForProxyHost(
    const char* host, size_t* errorLength, char* errorBuffer, size_t* tokenLength, unsigned char* tokenBuffer)
{
    return getTokenForProxyHost(host, errorLength, errorBuffer, tokenLength, tokenBuffer, kTokenTimeout);
}

bool GssHelperClient::getTokenForProxyHost(const char* host, size_t* errorLength, char* errorBuffer,
    size_t* tokenLength, unsigned char* tokenBuffer, std::chrono::milliseconds limit)
{
    const std::shared_ptr<const XpcEndpoint> endpoint = GssEndpointSlot::load();
    if (!endpoint) {
        // The caller reads the returned lengths: leaving its capacities there would hand it unwritten bytes.
        *errorLength = 0;
        *tokenLength = 0;
        return false;
    }

    // Everything a late answer could touch lives here, on the heap, and the buffers are written only while
    // the caller still waits: the answer's copy and the time-out decision run on one serial queue.
    struct Call {
        DispatchQueuePtr queue = DispatchQueue::create("GSS client");
        DispatchSemaphorePtr semaphore = std::make_shared<DispatchSemaphore>(0);
        bool replied = false;
        bool result = false;
        bool timedOut = false;
        size_t* errorLength;
        char* errorBuffer;
        size_t* tokenLength;
        unsigned char* tokenBuffer;
    };
    auto call = std::make_shared<Call>();
    call->errorLength = errorLength;
    call->errorBuffer = errorBuffer;
    call->tokenLength = tokenLength;
    call->tokenBuffer = tokenBuffer;

    const std::string hostName = host && isValidUtf8(host) ? std::string(host) : std::string();
    auto client = create(*endpoint, call->semaphore);
    client->connect();
    client->retriveTokenWithProxyHostname(hostName, [call, client](bool ok, std::string text, PlistData token) {
        call->queue->async([call, client, ok, text = std::move(text), token = std::move(token)] {
            if (call->timedOut)
                return;
            call->replied = true;
            call->result = ok;
            copyCut(text, call->errorLength, call->errorBuffer);
            copyCut(std::string_view(reinterpret_cast<const char*>(token.data()), token.size()), call->tokenLength,
                call->tokenBuffer);
            call->semaphore->signal();
            client->closeConnection();
        });
    });

    (void)call->semaphore->waitFor(limit);

    bool outcome = false;
    call->queue->sync([&] {
        if (!call->replied) {
            call->timedOut = true;
            copyCut("internal timeout", call->errorLength, call->errorBuffer);
            *call->tokenLength = 0;
            client->closeConnection();
            outcome = false;
        } else {
            outcome = call->result;
        }
    });
    return outcome;
}

} // namespace corvantis
