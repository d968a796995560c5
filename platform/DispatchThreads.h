#pragma once

// Helpers the dispatch layer's own threads share. Not for use outside platform/.

#include <chrono>
#include <functional>
#include <string>

namespace corvantis::dispatch_detail {

// Names the calling thread, cut to the 15 bytes the kernel keeps (never inside a UTF-8 sequence), and blocks
// the asynchronous signals on it, so that process signals reach the program's own threads and never interrupt
// the layer's waits. Faults (SIGSEGV, SIGBUS, ...) stay unblocked so crash reports still work.
void prepareLayerThread(const std::string& name);

// Runs `block`; an exception it throws is written to standard error with the queue label `where`, never passed on.
void runGuarded(const std::function<void()>& block, const std::string& where) noexcept;

// Calls `fire` on the layer's timer thread once `deadline` has passed. `fire` must be short (it only submits).
void scheduleAt(std::chrono::steady_clock::time_point deadline, std::function<void()> fire);

} // namespace corvantis::dispatch_detail
