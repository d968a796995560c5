#pragma once

namespace corvantis {

// The C allocator's process-wide knobs that a program serving thousands of short-lived threads needs.
//
// By default the allocator gives each of up to eight arenas per CPU to the threads that allocate at once, and
// memory those threads freed stays in their arena, where trimming never returns it to the system (only the
// main arena is trimmed). After a burst of connections the process would keep the burst's memory for good.

// Lets all threads share at most `count` arenas (each thread keeps its small per-thread cache). Takes full
// effect only before the ninth thread allocates: call it early at program start. False when the allocator
// refused it.
bool LimitAllocatorArenas(int count);

// Returns the free memory of the allocator's arenas to the system. Takes the arenas' locks while it walks
// them: for the moment a burst has ended, not for every allocation.
void ReleaseFreeMemory();

} // namespace corvantis
