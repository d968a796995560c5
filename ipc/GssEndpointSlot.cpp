#include "ipc/GssEndpointSlot.h"

#include "platform/Mutex.h"

namespace corvantis {

namespace {

// A lock rather than std::atomic<std::shared_ptr>: libstdc++ 12's version hides its lock in the pointer's low
// bit, which the thread sanitizer cannot follow. Only the pointer is copied under the lock.
Mutex g_mutex;
std::shared_ptr<const XpcEndpoint> g_endpoint GUARDED_BY(g_mutex);

} // namespace

std::shared_ptr<const XpcEndpoint> GssEndpointSlot::load()
{
    MutexLock lock(g_mutex);
    return g_endpoint;
}

void GssEndpointSlot::store(std::shared_ptr<const XpcEndpoint> endpoint)
{
    {
        MutexLock lock(g_mutex);
        g_endpoint.swap(endpoint);
    }
    // The endpoint replaced is released here, outside the lock.
}

} // namespace corvantis
