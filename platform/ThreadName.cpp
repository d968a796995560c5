#include "platform/ThreadName.h"

#include <pthread.h>

namespace corvantis {

std::string kernelThreadName(const std::string& name)
{
    if (name.size() <= kMaxThreadNameBytes)
        return name;
    std::size_t end = kMaxThreadNameBytes;
    // Step back over continuation bytes (10xxxxxx) so that a multi-byte character is dropped whole.
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80)
        --end;
    return name.substr(0, end);
}

bool setCurrentThreadName(const std::string& name)
{
    return pthread_setname_np(pthread_self(), kernelThreadName(name).c_str()) == 0;
}

} // namespace corvantis
