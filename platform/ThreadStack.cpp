#include "platform/ThreadStack.h"

#include <cstdint>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace corvantis {

namespace {

// Left below this function's frame: its own locals and the system call it makes live there.
constexpr std::uintptr_t kMargin = 2048;

struct StackBounds {
    std::uintptr_t low = 0; // the lowest usable address, above the guard
    std::uintptr_t high = 0; // one past the highest
};

// The calling thread's stack; empty when it has no fixed one (the main thread) or the system does not say.
StackBounds currentStack()
{
    if (::getpid() == static_cast<pid_t>(::syscall(SYS_gettid)))
        return {};
    pthread_attr_t attr;
    if (::pthread_getattr_np(::pthread_self(), &attr) != 0)
        return {};
    void* base = nullptr;
    std::size_t size = 0;
    const int got = ::pthread_attr_getstack(&attr, &base, &size);
    ::pthread_attr_destroy(&attr);
    if (got != 0)
        return {};
    const auto low = reinterpret_cast<std::uintptr_t>(base);
    return { low, low + size };
}

} // namespace

void releaseUnusedStack()
{
    // Looked up once per thread: the lookup allocates, and the bounds never change.
    thread_local const StackBounds t_stack = currentStack();
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    // A frame outside the bounds (no bounds, or not the stack they describe) releases nothing.
    if (frame >= t_stack.high || frame < t_stack.low + kMargin)
        return;
    const std::uintptr_t start = (t_stack.low + page - 1) & ~(page - 1);
    const std::uintptr_t end = (frame - kMargin) & ~(page - 1);
    if (end > start)
        (void)::madvise(reinterpret_cast<void*>(start), end - start, MADV_DONTNEED);
}

} // namespace corvantis
