#include "app/SystemExtensionLoader.h"
#include "core/foundation/IPCHelper.h"
#include "core/foundation/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/FakeSystemExtensionManager.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <mutex>
#include <ostream>
#include <string>
#include <vector>

namespace corvantis::test {
namespace {

using Event = SystemExtensionEvent;

struct Line {
    bool isError;
    std::string text;
    bool operator==(const Line&) const = default;
    friend void PrintTo(const Line& line, std::ostream* out) { *out << (line.isError ? "error: " : "") << line.text; }
};

// The loader over a scripted manager on a test main thread, with every log line from debug level up.
class SystemExtensionLoaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NotificationCenter::defaultCenter().setMainThreadExecutor(mainThread);
        SystemExtensionManager::setShared(manager);
        GetLog().SetScreenLevel(kLogDebug);
        takeLines();
        SetSystemLogSink([this](const std::string& line) {
            std::lock_guard lock(m_mutex);
            m_systemLines.push_back(line);
        });
    }
    void TearDown() override
    {
        mainThread->runAndWait([this] { loader.reset(); });
        SetSystemLogSink(nullptr);
        SystemExtensionManager::setShared(nullptr);
        NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
        GetLog().SetScreenLevel(kLogError);
        takeLines();
    }

    // Submits through `submit` on the main thread, and records the codes the handler gets and where.
    void start(void (SystemExtensionLoader::*submit)(SystemExtensionLoader::Handler))
    {
        mainThread->runAndWait([&] {
            (loader.get()->*submit)([this](int64_t code) {
                std::lock_guard lock(m_mutex);
                m_codes.push_back(code);
                m_onMain.push_back(mainThread->isMainThread());
            });
        });
    }
    // Waits until every event delivered so far has run.
    void settle()
    {
        mainThread->runAndWait([] {});
    }

    std::vector<int64_t> codes()
    {
        std::lock_guard lock(m_mutex);
        for (bool onMain : m_onMain)
            EXPECT_TRUE(onMain) << "a handler ran off the main thread";
        return m_codes;
    }
    std::vector<std::string> systemLines()
    {
        std::lock_guard lock(m_mutex);
        return m_systemLines;
    }
    static std::vector<Line> takeLines()
    {
        std::vector<Line> lines;
        bool isError = false;
        uint64_t time = 0;
        std::string text;
        while (GetLog().PopLogRecord(false, isError, time, text))
            lines.push_back({ isError, text });
        return lines;
    }

    std::shared_ptr<FakeMainThread> mainThread = std::make_shared<FakeMainThread>();
    std::shared_ptr<FakeSystemExtensionManager> manager = std::make_shared<FakeSystemExtensionManager>();
    std::unique_ptr<SystemExtensionLoader> loader = std::make_unique<SystemExtensionLoader>();

private:
    std::mutex m_mutex;
    std::vector<int64_t> m_codes;
    std::vector<bool> m_onMain;
    std::vector<std::string> m_systemLines;
};

TEST_F(SystemExtensionLoaderTest, EachKindOfRequestIsSubmittedForTheExtensionWithItsLogLine)
{
    struct Case {
        const char* name;
        void (SystemExtensionLoader::*submit)(SystemExtensionLoader::Handler);
        SystemExtensionRequestKind kind;
        const char* line;
    };
    const Case cases[] = {
        { "activation", &SystemExtensionLoader::loadExtensionWithHandler, SystemExtensionRequestKind::Activation,
            "Init system extension start request" },
        { "deactivation", &SystemExtensionLoader::stopExtensionWithHandler, SystemExtensionRequestKind::Deactivation,
            "Init system extension start request" },
        { "properties", &SystemExtensionLoader::propertiesOfExtensionWithHandler,
            SystemExtensionRequestKind::Properties, "Init system extension properties request" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = manager->submitted().size();
        start(c.submit);
        settle();
        ASSERT_EQ(manager->submitted().size(), before + 1);
        EXPECT_EQ(manager->submitted().back().kind, c.kind);
        EXPECT_EQ(manager->submitted().back().identifier, "com.velmar.corvantis.v3.macos.CorvantisExtension");
        // Debug level: not an error line.
        const std::vector<Line> expected { { false, c.line },
            { false, "Good result '0' for system extension request" } };
        EXPECT_EQ(takeLines(), expected);
    }
    EXPECT_EQ(codes(), (std::vector<int64_t> { 0, 0, 0 }));
}

TEST_F(SystemExtensionLoaderTest, ApprovalGivesTwoAndLaterZeroOnceApproved)
{
    manager->script({ Event::needsApproval(), Event::hold(), Event::finish() });
    start(&SystemExtensionLoader::loadExtensionWithHandler);
    settle();
    EXPECT_EQ(codes(), (std::vector<int64_t> { 2 }));
    manager->release();
    settle();
    EXPECT_EQ(codes(), (std::vector<int64_t> { 2, 0 }));
    const std::vector<Line> expected { { false, "Init system extension start request" },
        { true, "Corvantis System Extension requires user approval" },
        { false, "Good result '0' for system extension request" } };
    EXPECT_EQ(takeLines(), expected);
}

TEST_F(SystemExtensionLoaderTest, ReplacementIsAlwaysAcceptedAndLogsBothVersions)
{
    // The same, an older and a newer version all replace.
    manager->script({ Event::replace("3.12.2", "3.12.2"), Event::finish() });
    manager->script({ Event::replace("3.12.3", "3.12.2"), Event::finish() });
    start(&SystemExtensionLoader::loadExtensionWithHandler);
    start(&SystemExtensionLoader::loadExtensionWithHandler);
    settle();
    EXPECT_EQ(codes(), (std::vector<int64_t> { 3, 0, 3, 0 }));
    EXPECT_EQ(manager->replaceAnswers(),
        (std::vector<SystemExtensionReplacementAction> {
            SystemExtensionReplacementAction::Replace, SystemExtensionReplacementAction::Replace }));
    const auto lines = takeLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], (Line { false, "Replacing Corvantis System Extension version 3.12.2 with version 3.12.2" }));
    EXPECT_EQ(lines[4], (Line { false, "Replacing Corvantis System Extension version 3.12.3 with version 3.12.2" }));
}

TEST_F(SystemExtensionLoaderTest, FailuresGiveElevenOrTwelveForAManagedDevice)
{
    const std::string managed = "The operation couldn't be completed. (OSSystemExtensionErrorDomain error 10.)";
    manager->script({ Event::fail(managed) });
    manager->script({ Event::fail("The network extension is running for another user.") });
    // Error 1 is not error 10, though it shares the domain.
    manager->script({ Event::fail("OSSystemExtensionErrorDomain error 1") });
    for (int i = 0; i < 3; ++i)
        start(&SystemExtensionLoader::loadExtensionWithHandler);
    settle();
    EXPECT_EQ(codes(), (std::vector<int64_t> { 12, 11, 11 }));

    const Line init { false, "Init system extension start request" };
    const std::vector<Line> expected {
        init,
        { true, "Corvantis System Extension request failed: " + managed },
        { true,
            "You use Managed Device that managed by your company and you need to contact your system administrator "
            "and allow the System Extension of Corvantis." },
        init,
        { true, "Corvantis System Extension request failed: The network extension is running for another user." },
        init,
        { true, "Corvantis System Extension request failed: OSSystemExtensionErrorDomain error 1" },
    };
    EXPECT_EQ(takeLines(), expected);
    const auto system = systemLines();
    ASSERT_EQ(system.size(), 3u);
    EXPECT_NE(system[0].find("Corvantis System Extension request failed: " + managed), std::string::npos);
}

TEST_F(SystemExtensionLoaderTest, AFinishThatNeedsARestartIsLoggedAndNotPassedOn)
{
    manager->script({ Event::finish(SystemExtensionRequestResult::WillCompleteAfterReboot) });
    start(&SystemExtensionLoader::loadExtensionWithHandler);
    settle();
    EXPECT_TRUE(codes().empty());
    const std::vector<Line> expected { { false, "Init system extension start request" },
        { true, "Unexpected result 1 for system extension request" } };
    EXPECT_EQ(takeLines(), expected);
}

TEST_F(SystemExtensionLoaderTest, PropertiesGiveTheCountThenTheFinish)
{
    manager->script({ Event::properties(0), Event::finish() });
    manager->script({ Event::properties(1), Event::finish() });
    start(&SystemExtensionLoader::propertiesOfExtensionWithHandler);
    start(&SystemExtensionLoader::propertiesOfExtensionWithHandler);
    settle();
    EXPECT_EQ(codes(), (std::vector<int64_t> { 0, 0, 1, 0 }));
    const auto lines = takeLines();
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[1], (Line { false, "Properties found: 0" }));
    EXPECT_EQ(lines[4], (Line { false, "Properties found: 1" }));
}

TEST_F(SystemExtensionLoaderTest, AnOlderRequestStillAnswersAfterANewerOneReplacedItsDelegate)
{
    manager->script({ Event::hold(), Event::finish() });
    start(&SystemExtensionLoader::loadExtensionWithHandler);
    start(&SystemExtensionLoader::propertiesOfExtensionWithHandler);
    settle();
    EXPECT_EQ(codes(), (std::vector<int64_t> { 0 }));
    manager->release();
    settle();
    EXPECT_EQ(codes(), (std::vector<int64_t> { 0, 0 }));
}

} // namespace
} // namespace corvantis::test
