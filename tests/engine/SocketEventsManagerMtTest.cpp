#include "extension/engine/SocketEventsManager.h"
#include "platform/UniqueFd.h"
#include "tests/engine/EventLoopHarness.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

// Several threads register, feed and remove sockets while the loop dispatches; half the processors remove
// their own registration. Every socket still registered when its data arrives is served, and nothing breaks.
TEST(SocketEventsManagerMtTest, RegistrationsFromManyThreadsWhileTheLoopDispatches)
{
    constexpr int kThreads = 4;
    constexpr int kSocketsPerThread = 40;
    std::atomic<int> served { 0 };
    test::RunningEventLoop loop({ 5ms, 7 });
    ASSERT_TRUE(loop.ready());
    SocketEventsManager& manager = loop.manager();

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kSocketsPerThread; ++i) {
                int fds[2];
                ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds), 0);
                UniqueFd mine(fds[0]);
                UniqueFd peer(fds[1]);
                std::atomic<bool> seen { false };
                const bool selfRemoving = (i + t) % 2 == 0;
                std::uint64_t id = 0;
                ASSERT_TRUE(manager.AddSocket(mine.get(), false, 1, id, [&, selfRemoving](eventDescription e) {
                    if (e.read) {
                        if (selfRemoving) {
                            manager.RemoveSocketId(e.socketId);
                        }
                        seen = true;
                    }
                }));
                ASSERT_EQ(write(peer.get(), "x", 1), 1);
                const test::Deadline deadline = test::deadlineIn(test::kPatience);
                test::waitUntil([&] { return seen.load(); }, deadline);
                EXPECT_TRUE(seen.load());
                if (seen) {
                    served.fetch_add(1);
                }
                // A dispatch may already hold the record when it is removed (a timer event, say). The loop runs
                // one processor at a time, so once a fence socket registered afterwards is served, no call of
                // the removed processor can still come and its captures may go.
                manager.RemoveSocketId(id);
                std::atomic<bool> drained { false };
                std::uint64_t fenceId = 0;
                int fence[2];
                ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fence), 0);
                UniqueFd fenceMine(fence[0]);
                UniqueFd fencePeer(fence[1]);
                ASSERT_TRUE(manager.AddSocket(fenceMine.get(), false, 0, fenceId, [&](eventDescription) {
                    manager.RemoveSocketId(fenceId);
                    drained = true;
                }));
                ASSERT_EQ(write(fencePeer.get(), "f", 1), 1);
                ASSERT_TRUE(test::waitUntil([&] { return drained.load(); }, deadline));
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(served.load(), kThreads * kSocketsPerThread);
    EXPECT_TRUE(loop.stop());
}

} // namespace
} // namespace corvantis
