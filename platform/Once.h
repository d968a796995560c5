#pragma once

#include <mutex>
#include <utility>

namespace corvantis {

// Runs a piece of code once per object, however many threads ask at the same time.
//
// Thread-safety: run() may be called from any thread; callers that arrive while the code runs wait for it to
// finish. The object must outlive every call.
class Once final {
public:
    Once() = default;
    Once(const Once&) = delete;
    Once& operator=(const Once&) = delete;

    // Calls `fn` if no earlier call of run() on this object completed it. If `fn` throws, the exception reaches
    // this caller and the next call of run() tries again.
    template <typename F> void run(F&& fn) { std::call_once(m_flag, std::forward<F>(fn)); }

private:
    std::once_flag m_flag;
};

} // namespace corvantis
