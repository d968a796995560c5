#include "core/foundation/XmlReader.h"

#include "tests/support/HttpOrigin.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/SocketMarks.h"

#include <gtest/gtest.h>

#include <optional>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using test::kTestMark;

// A document fetched while the process has a mark goes out marked from its first packet on, so the daemon's
// filter lets it pass; one whose socket cannot be marked is never sent. Counted in a namespace of the test's own.
TEST(XmlUrlMark, TheFetchGoesOutWithTheOwnMark)
{
    if (!test::canMarkSockets())
        GTEST_SKIP() << "needs root (CAP_NET_ADMIN) to mark sockets";
    struct Case {
        const char* name;
        uint32_t mark;
        bool privileged; // false: the fetching thread may not mark sockets
        bool fetched;
        int64_t marked; // connection openings that carried the mark
        int64_t unmarked;
    };
    const Case cases[] = {
        { "no mark set", 0, true, true, 0, 1 },
        { "mark set", kTestMark, true, true, 1, 0 },
        { "mark refused", kTestMark, false, false, 0, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::NetNamespace ns("xmlmark");
        if (!ns.valid())
            GTEST_SKIP() << "needs root and iproute2 network namespaces";
        std::optional<test::SentPacketCounter> counter;
        test::OwnMarkScope scope(c.mark);
        ASSERT_TRUE(ns.runInside([&] {
            test::HttpOrigin origin("<CorvantisProfile version=\"101\"/>");
            counter.emplace(ns, "tcp", origin.port(), kTestMark);
            ASSERT_TRUE(counter->ok());
            if (!c.privileged) {
                ASSERT_TRUE(test::dropMarkingPrivilegeOfThisThread());
            }
            CXmlReader reader;
            reader.SetUrlTimeout(5s);
            const std::optional<XmlError> error
                = reader.OpenUrl("http://127.0.0.1:" + std::to_string(origin.port()) + "/profile.xml");
            EXPECT_EQ(!error.has_value(), c.fetched) << (error ? error->description : "");
        }));
        ASSERT_TRUE(counter);
        EXPECT_EQ(counter->marked(), c.marked);
        EXPECT_EQ(counter->unmarked(), c.unmarked);
    }
}

} // namespace
} // namespace corvantis
