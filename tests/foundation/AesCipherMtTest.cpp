#include "core/foundation/AesCipher.h"

#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

// The first ciphers of a process are built on several threads at once (password prompt and profile loading);
// they share the lookup tables, which must be complete before any of them is used.
TEST(AesCipherMtTest, FirstConstructionsOnManyThreadsAllSeeFinishedTables)
{
    constexpr int kThreads = 8;
    std::vector<std::array<uint8_t, 16>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&results, t] {
            std::array<uint8_t, 32> key {};
            for (size_t i = 0; i < key.size(); ++i)
                key[i] = static_cast<uint8_t>(i);
            const std::array<uint8_t, 16> plain
                = { 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff };
            AesCipher aes;
            aes.Init(256, 128);
            aes.KeyExpansion(key.data());
            aes.EncryptBlock(plain.data(), results[static_cast<size_t>(t)].data());
        });
    }
    for (auto& thread : threads)
        thread.join();
    const std::array<uint8_t, 16> expected
        = { 0x8e, 0xa2, 0xb7, 0xca, 0x51, 0x67, 0x45, 0xbf, 0xea, 0xfc, 0x49, 0x90, 0x4b, 0x49, 0x60, 0x89 };
    for (const auto& result : results)
        EXPECT_EQ(result, expected);
}

} // namespace
} // namespace corvantis
