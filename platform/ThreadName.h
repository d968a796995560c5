#pragma once

#include <string>

namespace corvantis {

// The kernel keeps at most 15 bytes of a thread's name.
inline constexpr std::size_t kMaxThreadNameBytes = 15;

// `name` cut to what the kernel keeps, never inside a UTF-8 sequence.
std::string kernelThreadName(const std::string& name);

// Names the calling thread (cut as kernelThreadName does). Returns false when the system refuses.
bool setCurrentThreadName(const std::string& name);

} // namespace corvantis
