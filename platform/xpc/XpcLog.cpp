#include "platform/xpc/XpcLog.h"

#include "platform/Mutex.h"

#include <cstdio>
#include <memory>
#include <shared_mutex>
#include <utility>

namespace corvantis {

namespace {

Mutex g_mutex;
std::shared_ptr<const XpcLog::Sink> g_sink GUARDED_BY(g_mutex);
// Held shared while a line is written, so that setSink can wait for the calls of the sink it replaced: its owner
// may go away as soon as setSink returns.
std::shared_mutex g_calls;

} // namespace

void XpcLog::write(Level level, const std::string& text)
{
    std::shared_lock calls(g_calls);
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
    std::shared_ptr<const Sink> previous;
    {
        MutexLock lock(g_mutex);
        previous = std::exchange(g_sink, std::move(next));
    }
    // Lines that took the replaced sink are still being written: wait for them.
    std::unique_lock calls(g_calls);
    return previous ? *previous : Sink();
}

} // namespace corvantis
