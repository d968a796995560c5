#include "extension/engine/SystemLookup.h"

#include "platform/Mutex.h"
#include "tests/engine/EventLoopHarness.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SocketMarks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::kTestMark;

// Where the questions go: a UDP port of the namespace that nothing listens on, so each one is refused at once
// and the lookup ends quickly; only what was sent matters here.
constexpr uint16_t kServerPort = 5399;

// One system lookup run to its end, with its log lines.
struct LookupRun {
    bool started = false;
    bool finished = false;
    std::vector<std::string> errors;
};

// Runs a lookup on an event loop of the calling thread's namespace, waiting up to 20 s for it to finish.
LookupRun runLookup()
{
    LookupRun run;
    test::RunningEventLoop loop;
    if (!loop.ready())
        return run;
    Mutex owner;
    std::mutex doneMutex;
    std::condition_variable doneChanged;
    SystemLookup::Handlers handlers;
    handlers.address = [](const sockaddr*, int) {};
    // Called under `owner`, so `run` needs no other lock until `finished` is reported.
    handlers.log = [&](bool error, const std::string& text) {
        if (error)
            run.errors.push_back(text);
    };
    handlers.finished = [&] {
        std::lock_guard lock(doneMutex);
        run.finished = true;
        doneChanged.notify_all();
    };
    handlers.onLoop = [&](const std::function<void()>& step) {
        MutexLock lock(owner);
        step();
    };
    auto lookup = std::make_unique<SystemLookup>(owner, loop.shared(), std::move(handlers), 10ms);
    {
        MutexLock lock(owner);
        lookup->assertOwnerMutexHeld();
        std::string reason;
        run.started = lookup->start(
            "marked.test", "127.0.0.1:" + std::to_string(kServerPort), 5s, std::make_shared<int>(0), reason);
    }
    {
        std::unique_lock lock(doneMutex);
        doneChanged.wait_for(lock, 20s, [&] { return run.finished; });
    }
    loop.stop();
    MutexLock lock(owner);
    lookup.reset();
    return run;
}

// The resolver's questions carry the process's mark; when the mark cannot be given, none is sent, the lookup ends
// and the log says why. Counted in a namespace of the test's own.
TEST(SystemLookupMark, QuestionsCarryTheOwnMark)
{
    if (!test::canMarkSockets())
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to mark sockets";
    struct Case {
        const char* name;
        uint32_t mark;
        bool privileged; // false: the threads of the lookup may not mark sockets
        bool markedSent;
        bool unmarkedSent;
    };
    const Case cases[] = {
        { "no mark set", 0, true, false, true },
        { "mark set", kTestMark, true, true, false },
        { "mark refused", kTestMark, false, false, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::NetNamespace ns("aresmark");
        if (!ns.valid())
            GTEST_SKIP() << "needs root and iproute2 network namespaces";
        test::SentPacketCounter counter(ns, "udp", kServerPort, kTestMark);
        ASSERT_TRUE(counter.ok());
        test::OwnMarkScope scope(c.mark);
        LookupRun run;
        ASSERT_TRUE(ns.runInside([&] {
            // Dropped before the loop's thread starts, which inherits the reduced privilege.
            if (!c.privileged) {
                ASSERT_TRUE(test::dropMarkingPrivilegeOfThisThread());
            }
            run = runLookup();
        }));
        ASSERT_TRUE(run.started);
        EXPECT_TRUE(run.finished);
        EXPECT_EQ(counter.marked() > 0, c.markedSent) << counter.marked();
        EXPECT_EQ(counter.unmarked() > 0, c.unmarkedSent) << counter.unmarked();
        const bool toldWhy = !run.errors.empty()
            && run.errors.front() == "cannot mark the system resolver's socket: Operation not permitted";
        EXPECT_EQ(toldWhy, !c.privileged) << ::testing::PrintToString(run.errors);
    }
}

} // namespace
} // namespace corvantis
