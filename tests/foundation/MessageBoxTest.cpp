#include "core/foundation/MessageBox.h"

#include "core/foundation/Log.h"
#include "tests/foundation/LogTestSupport.h"
#include "tests/support/FakeMessageBoxes.h"

#include <gtest/gtest.h>

namespace corvantis {
namespace {

using test::FakeMessageBoxes;

TEST(MessageBoxTest, TheApplicationsObserverShowsTheBoxAndReturnsItsAnswer)
{
    FakeMessageBoxes boxes([](const test::ShownBox& b) { return b.flags & kMbYesNo ? kMbAnswerYes : 2L; });
    boxes.observeAs(true);
    bool suppressed = false;
    const char* const buttons[3] = { "One", "Two", nullptr };
    EXPECT_EQ(MessageBox("details", "Question?", kMbYesNo | kMbCritical, "Don't ask again", &suppressed), kMbAnswerYes);
    EXPECT_TRUE(suppressed);
    EXPECT_EQ(MessageBox("", "Pick", kMbCustomButtons, nullptr, nullptr, buttons), 2);

    auto shown = boxes.shown();
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].message, "details");
    EXPECT_EQ(shown[0].caption, "Question?");
    EXPECT_EQ(shown[0].flags, kMbYesNo | kMbCritical);
    EXPECT_EQ(shown[0].suppressTitle, "Don't ask again");
    EXPECT_EQ(shown[0].accessoryWidth, -1);
    EXPECT_EQ(shown[1].buttons, (std::vector<std::string> { "One", "Two" }));
}

TEST(MessageBoxTest, TheExtensionsObserverAnswersZeroWithoutShowingAnything)
{
    FakeMessageBoxes boxes([](const test::ShownBox&) { return kMbAnswerYes; });
    boxes.observeAs(false);
    EXPECT_EQ(MessageBox("m", "c", kMbYesNo), 0);
    EXPECT_EQ(MessageBoxText("text"), 0);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST(MessageBoxTest, NobodyObservingGivesZero)
{
    FakeMessageBoxes boxes([](const test::ShownBox&) { return kMbAnswerYes; });
    EXPECT_EQ(MessageBox("m", "c", kMbYesNo), 0);
    EXPECT_TRUE(boxes.shown().empty());
}

TEST(MessageBoxTest, ShortFormsPutTheTextIntoTheCaption)
{
    FakeMessageBoxes boxes;
    boxes.observeAs(true);
    MessageBoxText("plain");
    MessageBoxFlags("critical", kMbCritical);
    MessageBoxCStr("from C");
    MessageBoxCStr(nullptr);
    auto shown = boxes.shown();
    ASSERT_EQ(shown.size(), 4u);
    struct Expect {
        const char* caption;
        int flags;
    } expected[] = { { "plain", 0 }, { "critical", kMbCritical }, { "from C", 0 }, { "", 0 } };
    for (size_t i = 0; i < shown.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(shown[i].caption, expected[i].caption);
        EXPECT_EQ(shown[i].message, "");
        EXPECT_EQ(shown[i].flags, expected[i].flags);
    }
}

TEST(MessageBoxTest, AHandlerWithoutARequestDoesNothing)
{
    FakeMessageBoxes boxes;
    MessageBoxNotifyHandler(true, Notification { kMessageBoxNotification, nullptr, {} });
    MessageBoxNotifyHandler(true, Notification { kMessageBoxNotification, nullptr, std::string("wrong type") });
    MessageBoxNotifyHandler(
        true, Notification { kMessageBoxNotification, nullptr, static_cast<MessageBoxRequest*>(nullptr) });
    EXPECT_TRUE(boxes.shown().empty());
    EXPECT_EQ(ShowNotice("caption", "text"), 0);
}

TEST(MessageBoxTest, UpdatesAndAboutArePostedByName)
{
    FakeMessageBoxes boxes;
    std::vector<std::string> seen;
    auto& center = NotificationCenter::defaultCenter();
    std::vector<NotificationCenter::ObserverId> ids;
    for (const char* name : { kProfileUpdatedNotification, kGlobalUpdatedNotification, kShowAboutNotification })
        ids.push_back(center.addObserver(name, [&](const Notification& n) { seen.push_back(n.name); }));
    EXPECT_TRUE(PostProfileUpdated());
    EXPECT_TRUE(PostGlobalUpdated());
    EXPECT_TRUE(PostShowAbout());
    for (auto id : ids)
        center.removeObserver(id);
    EXPECT_EQ(seen, (std::vector<std::string> { "ProfileUpdated", "GlobalUpdated", "ShowAbout" }));
}

class FixedMessagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_screenLevel = GetLog().GetScreenLevel();
        GetLog().SetScreenLevel(kLogVerbose);
        test::DrainRecords(GetLog());
    }
    void TearDown() override { GetLog().SetScreenLevel(m_screenLevel); }
    int m_screenLevel = 0;
};

TEST_F(FixedMessagesTest, WrongLocationAndFatalErrorLogAndAsk)
{
    const std::string restart = "Please try to restart Corvantis.\nIf the problem persists please send the content "
                                "of the log window to support@corvantis.org.";
    struct Case {
        const char* name;
        std::function<bool()> call;
        std::vector<std::string> logLines;
        std::string caption;
        std::string message;
    } cases[] = {
        { "translocated", [] { return ReportWrongLocation(true, true, "/tmp/x"); },
            { "App Translocation (macOS security feature) prevents Corvantis start.",
                "Please download Corvantis again and move Corvantis.app to the /Applications folder using Finder.",
                "The current location is /tmp/x" },
            "App Translocation (macOS security feature) prevents Corvantis start.",
            "Please download Corvantis again and move Corvantis.app to the /Applications folder using Finder." },
        { "disk image", [] { return ReportWrongLocation(false, true, "/media/dmg"); },
            { "Corvantis can be launched from the /Applications folder only.",
                "Please move Corvantis.app from the dmg file.", "The current location is /media/dmg" },
            "Corvantis can be launched from the Applications folder only.",
            "Please move Corvantis.app from the dmg file to the /Applications folder and try again." },
        { "elsewhere", [] { return ReportWrongLocation(false, false, "/home/u/corvantis/Corvantis"); },
            { "Corvantis can be launched from its installation folder only.",
                "Please start Corvantis from the bin folder of its installation.",
                "The current location is /home/u/corvantis/Corvantis" },
            "Corvantis can be launched from its installation folder only.",
            "Please start Corvantis from the bin folder of its installation." },
        { "elsewhere without a path", [] { return ReportWrongLocation(false, false, nullptr); },
            { "Corvantis can be launched from its installation folder only.",
                "Please start Corvantis from the bin folder of its installation.", "The current location is " },
            "Corvantis can be launched from its installation folder only.",
            "Please start Corvantis from the bin folder of its installation." },
        { "fatal error", [] { return ShowFatalError("Engine failed"); },
            { "Engine failed", "Fatal error. Corvantis is not operational." }, "Engine failed", restart },
        { "fatal error from C", [] { return ShowFatalError(static_cast<const char*>(nullptr)); },
            { "Fatal error. Corvantis is not operational." }, "", restart }, // an empty line never reaches the screen
        { "restart required", [] { return ShowRestartRequired(); }, {}, "Restart Required",
            "Corvantis extension has been allowed but a system restart is required to enable it.\nIf the problem "
            "persists, please contact support@corvantis.org." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMessageBoxes boxes;
        boxes.observeAs(true);
        EXPECT_TRUE(c.call());
        std::vector<std::string> logged;
        for (const auto& r : test::DrainRecords(GetLog())) {
            EXPECT_TRUE(r.isError);
            logged.push_back(r.line);
        }
        EXPECT_EQ(logged, c.logLines);
        auto shown = boxes.shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, c.caption);
        EXPECT_EQ(shown[0].message, c.message);
        EXPECT_EQ(shown[0].flags, kMbCritical);
    }
}

TEST_F(FixedMessagesTest, ExtensionBlockedOffersThreeButtons)
{
    for (long pressed : { 0L, 1L, 2L }) {
        SCOPED_TRACE(pressed);
        FakeMessageBoxes boxes([pressed](const test::ShownBox&) { return pressed; });
        boxes.observeAs(true);
        EXPECT_EQ(ShowExtensionBlocked(), pressed == 0);
        auto shown = boxes.shown();
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].caption, "Corvantis Extension Blocked");
        EXPECT_EQ(shown[0].flags, kMbCustomButtons);
        EXPECT_EQ(shown[0].buttons, (std::vector<std::string> { "Done", "Cancel", "Open Security & Privacy" }));
        EXPECT_EQ(shown[0].message.rfind("Please manually allow Corvantis extension", 0), 0u) << shown[0].message;
        auto records = test::DrainRecords(GetLog());
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].line.rfind(" macOS version ", 0), 0u) << records[0].line;
    }
}

} // namespace
} // namespace corvantis
