#include "ConnectTiming.h"

#include <atomic>

namespace corvantis {

namespace {
std::atomic<bool> g_connectTiming { false };
} // namespace

bool IsConnectTimingOn()
{
    return g_connectTiming.load(std::memory_order_relaxed);
}

void SetConnectTimingOn(bool on)
{
    g_connectTiming.store(on, std::memory_order_relaxed);
}

} // namespace corvantis
