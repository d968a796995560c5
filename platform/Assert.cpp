#include "platform/Assert.h"

#include <cstdio>
#include <cstdlib>

namespace corvantis::assert_detail {

void fail(const char* file, int line, const char* function, const char* condition, const std::string& message) noexcept
{
    std::fprintf(stderr, "%s:%d: %s: Assertion failed: (%s): %s\n", file, line, function, condition, message.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace corvantis::assert_detail
