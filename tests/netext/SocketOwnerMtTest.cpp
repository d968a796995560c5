#include "platform/netext/SocketOwner.h"

#include <atomic>
#include <gtest/gtest.h>
#include <optional>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "platform/UniqueFd.h"
#include "platform/netext/AuditToken.h"
#include "tests/support/Loopback.h"

namespace corvantis {
namespace {

// Flows identified from several threads at once share one finder whose cache is too small for one scan, so
// the threads keep clearing, refilling and checking it under each other's feet; every answer must still be
// right.
TEST(SocketOwnerMt, ThreadsSharingOneFinderEachGetTheirOwnFlowsOwner)
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 3;
    test::LoopbackListener listener;
    SocketProcessFinder finder(2);
    std::atomic<int> wrong { 0 };
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                UniqueFd client = test::connectLoopback(listener.port());
                UniqueFd accepted = listener.accept();
                sockaddr_storage local {};
                sockaddr_storage remote {};
                socklen_t localLength = sizeof local;
                socklen_t remoteLength = sizeof remote;
                struct stat status { };
                if (!client || ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0
                    || ::getpeername(client.get(), reinterpret_cast<sockaddr*>(&remote), &remoteLength) != 0
                    || ::fstat(client.get(), &status) != 0) {
                    ++wrong;
                    continue;
                }
                FlowMetaData metaData = IdentifyFlowOwner(finder, IPPROTO_TCP, local, remote);
                std::optional<AuditToken> token
                    = AuditToken::FromBytes(metaData.sourceAppAuditToken.value_or(std::vector<uint8_t> {}));
                if (!token || token->pid != ::getpid() || token->socketInode != status.st_ino)
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
} // namespace corvantis
