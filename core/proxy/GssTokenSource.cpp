#include "GssTokenSource.h"

#include <atomic>

namespace corvantis {

namespace {

// The application computes its tokens itself and so has nothing to give through this entry.
bool noTokenSource(const char*, uint32_t*, char*, uint32_t*, uint8_t*)
{
    return false;
}

std::atomic<GssTokenSourceFn> g_source { &noTokenSource };

} // namespace

void SetGssTokenSource(GssTokenSourceFn source)
{
    g_source.store(source != nullptr ? source : &noTokenSource);
}

bool GssGetTokenForProxyHost(
    const char* hostName, uint32_t* errorLength, char* error, uint32_t* tokenLength, uint8_t* token)
{
    return g_source.load()(hostName, errorLength, error, tokenLength, token);
}

} // namespace corvantis
