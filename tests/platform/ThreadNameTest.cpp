#include "platform/ThreadName.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <thread>

namespace corvantis {
namespace {

TEST(ThreadNameTest, NamesAreCutToWhatTheKernelKeeps)
{
    const std::pair<std::string, std::string> cases[] = {
        { "", "" },
        { "short", "short" },
        { "exactly15bytes!", "exactly15bytes!" },
        { "Corvantis connect thread (IP)", "Corvantis conne" },
        // "ü" is two bytes at positions 14 and 15: it goes whole rather than leaving half a character.
        { "12345678901234\xC3\xBC", "12345678901234" },
        { "1234567890123\xC3\xBCx", "1234567890123\xC3\xBC" },
        { "123456789012\xE2\x82\xAC"
          "abc",
            "123456789012\xE2\x82\xAC" },
        { "1234567890123\xE2\x82\xAC", "1234567890123" },
    };
    for (const auto& [name, kept] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(kernelThreadName(name), kept);
        EXPECT_LE(kernelThreadName(name).size(), kMaxThreadNameBytes);
    }
}

TEST(ThreadNameTest, ALongNameStillNamesTheThread)
{
    std::string seen;
    bool named = false;
    std::thread([&] {
        named = setCurrentThreadName("Corvantis connect thread (resolved IP)");
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        seen = buffer;
    }).join();
    EXPECT_TRUE(named);
    EXPECT_EQ(seen, "Corvantis conne");
}

} // namespace
} // namespace corvantis
