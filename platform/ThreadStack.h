#pragma once

namespace corvantis {

// Gives the calling thread's stack pages below the caller's frame back to the system (the C library does the
// same for a thread that ends). Meant for a thread that is about to wait a long time with a shallow stack after
// deep work: the pages that work touched would otherwise stay resident while nothing lives in them. A page comes
// back, zero-filled, when the thread grows its stack into it again. Does nothing on the process's main thread
// (its stack is not a fixed mapping) or when the stack's bounds cannot be found.
//
// Thread-safety: touches only the calling thread's own stack.
void releaseUnusedStack();

} // namespace corvantis
