#include "platform/xpc/XpcLog.h"

#include "platform/Mutex.h"

#include <cstdio>
#include <memory>
#include <utility>

namespace corvantis {

namespace {

Mutex g_mutex;
std::shared_ptr<const XpcLog::Sink> g_sink GUARDED_BY(g_mutex);

} // namespace

void XpcLog::write(Level level, const std::string& text)
{
    std::shared_ptr<const Sink> sink;
    {
        MutexLock lock(g_mutex);
        sink = g_sink;
    }
    if (sink) {
        (*sink)(level, text);
        return;
    }
    std::fprintf(stderr, "Corvantis XPC: %s\n", text.c_str());
}

XpcLog::Sink XpcLog::setSink(Sink sink)
{
    auto next = sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
    MutexLock lock(g_mutex);
    auto previous = std::exchange(g_sink, std::move(next));
    return previous ? *previous : Sink();
}

} // namespace corvantis
