// The IPC layer's log sink: replacing it waits for the lines still being written to the old one.

#include "platform/xpc/XpcLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

TEST(XpcLogTest, ReplacingTheSinkWaitsForTheLineBeingWritten)
{
    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> finished { false };
    XpcLog::setSink([&, released](XpcLog::Level, const std::string&) {
        entered.set_value();
        released.wait();
        finished = true;
    });
    std::thread writer([] { XpcLog::info("a line"); });
    entered.get_future().wait();

    auto replaced = std::async(std::launch::async, [] { return XpcLog::setSink({}); });
    // The old sink still runs: the replacement must not return yet.
    EXPECT_EQ(replaced.wait_for(100ms), std::future_status::timeout);
    release.set_value();
    replaced.get();
    EXPECT_TRUE(finished) << "setSink returned while the replaced sink still ran";
    writer.join();
}

} // namespace
} // namespace corvantis
