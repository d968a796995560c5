#include "platform/ThreadStack.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvantis {
namespace {

constexpr std::size_t kDepthBytes = 256 * 1024;

std::uintptr_t PageSize()
{
    return static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
}

// How many of the whole pages in [low, high) the kernel holds in memory; the kernel is the oracle.
std::size_t ResidentPages(std::uintptr_t low, std::uintptr_t high)
{
    const std::uintptr_t page = PageSize();
    low = (low + page - 1) & ~(page - 1);
    high &= ~(page - 1);
    if (high <= low)
        return 0;
    std::vector<unsigned char> map((high - low) / page);
    if (::mincore(reinterpret_cast<void*>(low), high - low, map.data()) != 0)
        return 0;
    std::size_t resident = 0;
    for (unsigned char bit : map)
        resident += bit & 1;
    return resident;
}

// Touches kDepthBytes of stack below the caller and reports where they were.
__attribute__((noinline)) void GoDeep(std::uintptr_t& low, std::uintptr_t& high)
{
    volatile unsigned char deep[kDepthBytes];
    for (std::size_t i = 0; i < kDepthBytes; i += 64)
        deep[i] = static_cast<unsigned char>(i);
    low = reinterpret_cast<std::uintptr_t>(&deep[0]);
    high = reinterpret_cast<std::uintptr_t>(&deep[kDepthBytes - 1]);
}

TEST(ThreadStack, PagesBelowTheCallerGoBackAndTheFramesAboveStay)
{
    std::size_t residentBefore = 0;
    std::size_t residentAfter = 0;
    std::size_t residentAgain = 0;
    bool frameKept = false;
    std::thread([&] {
        // Lives in this frame, above everything released.
        unsigned char mine[1024];
        std::memset(mine, 0x5A, sizeof mine);
        std::uintptr_t low = 0;
        std::uintptr_t high = 0;
        GoDeep(low, high);
        residentBefore = ResidentPages(low, high);
        releaseUnusedStack();
        residentAfter = ResidentPages(low, high);
        frameKept = std::all_of(std::begin(mine), std::end(mine), [](unsigned char b) { return b == 0x5A; });
        GoDeep(low, high); // the released pages come back when the stack grows into them again
        residentAgain = ResidentPages(low, high);
    }).join();
    const std::size_t pages = kDepthBytes / PageSize();
    EXPECT_GE(residentBefore, pages - 2);
    // All but the top: the few pages right below the caller's frame are kept as a margin for the release itself.
    EXPECT_LE(residentAfter, 3u);
    EXPECT_TRUE(frameKept);
    EXPECT_GE(residentAgain, pages - 2);
}

TEST(ThreadStack, TheMainThreadsStackIsLeftAlone)
{
    // gtest runs the tests on the process's main thread.
    ASSERT_EQ(::getpid(), static_cast<pid_t>(::gettid()));
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
    GoDeep(low, high);
    const std::size_t before = ResidentPages(low, high);
    releaseUnusedStack();
    EXPECT_EQ(ResidentPages(low, high), before);
    EXPECT_GT(before, 0u);
}

} // namespace
} // namespace corvantis
