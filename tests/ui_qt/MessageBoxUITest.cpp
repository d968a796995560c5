// The application's message box: the scripted seam through the whole chain from MessageBox, and real boxes on the
// offscreen platform answered by a timer that clicks a button.

#include "app/ui/MessageBoxUI.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include <functional>

namespace corvantis {
namespace {

class MessageBoxUITest : public testing::Test {
protected:
    void SetUp() override
    {
        m_savedHooks = CurrentCoreHooks();
        CoreHooks hooks = *m_savedHooks;
        AddMessageBoxUIHook(hooks);
        SetCoreHooks(hooks);
        m_observer = ObserveMessageBoxNotification(NotificationCenter::defaultCenter());
    }
    void TearDown() override
    {
        NotificationCenter::defaultCenter().removeObserver(m_observer);
        SetCoreHooks(*m_savedHooks);
    }

    std::shared_ptr<const CoreHooks> m_savedHooks;
    NotificationCenter::ObserverId m_observer = 0;
};

TEST_F(MessageBoxUITest, ScriptRecordsEachRequestAndAnswersInOrder)
{
    MessageBoxScript script;
    script.push(kMbAnswerYes);
    script.push(1);
    EXPECT_EQ(MessageBox("Delete it?", "Proxy Servers", 72), kMbAnswerYes);
    const char* const buttons[3] = { "Done", "Cancel", nullptr };
    EXPECT_EQ(MessageBox("Pick", "Choice", kMbCustomButtons, nullptr, nullptr, buttons), 1);
    // Once the script runs out, boxes answer 0 and still show nothing.
    EXPECT_EQ(MessageBoxText("Another copy of Corvantis is already running."), 0);

    ASSERT_EQ(script.requests().size(), 3u);
    const auto& first = script.requests()[0];
    EXPECT_EQ(first.message, "Delete it?");
    EXPECT_EQ(first.caption, "Proxy Servers");
    EXPECT_EQ(first.flags, 72);
    EXPECT_FALSE(first.hasSuppress);
    EXPECT_EQ(first.accessoryWidth, -1); // the notification path never widens the box
    EXPECT_EQ(script.requests()[1].buttons, (std::vector<std::string> { "Done", "Cancel" }));
    EXPECT_EQ(script.requests()[2].caption, "Another copy of Corvantis is already running.");
    EXPECT_EQ(script.requests()[2].message, "");
}

TEST_F(MessageBoxUITest, ScriptStoresTheSuppressionStateOnlyWhenAsked)
{
    MessageBoxScript script;
    script.push({ 0, true });
    script.push({ 0, true });
    bool suppress = false;
    MessageBox("text", "caption", 0, "Do not show this message again", &suppress);
    EXPECT_TRUE(suppress);
    ASSERT_EQ(script.requests().size(), 1u);
    EXPECT_TRUE(script.requests()[0].hasSuppress);
    EXPECT_EQ(script.requests()[0].suppressTitle, "Do not show this message again");

    bool untouched = false;
    MessageBox("text", "caption", 0, nullptr, &untouched);
    EXPECT_FALSE(untouched);
}

// Opens a real box through the hook and, once it is up, lets `act` press a button; returns the answer.
long answerRealBox(const std::function<void(QMessageBox&)>& act, const std::string& message, const std::string& caption,
    int flags, const char* suppressTitle = nullptr, bool* suppressResult = nullptr,
    const char* const* buttons = nullptr, int width = -1)
{
    bool acted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || acted)
            return;
        acted = true;
        act(*box);
    });
    poll.start(10);
    // A box that nothing closes must not hang the suite.
    QTimer::singleShot(10000, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()))
            box->done(0);
    });
    long answer = ShowMessageBoxUI(message, caption, flags, suppressTitle, suppressResult, buttons, width);
    EXPECT_TRUE(acted);
    return answer;
}

QAbstractButton* buttonTitled(QMessageBox& box, const QString& title)
{
    for (QAbstractButton* button : box.buttons()) {
        if (button->text().remove('&') == title)
            return button;
    }
    return nullptr;
}

TEST(MessageBoxUIReal, FlagsChooseButtonsIconAndAnswer)
{
    const char* const names[3] = { "Done", "Cancel", "Open Settings" };
    struct Case {
        const char* name;
        int flags;
        const char* const* buttons;
        QStringList titles;
        QString press;
        long expected;
        QMessageBox::Icon icon;
    };
    const Case cases[] = {
        { "plain", 0, nullptr, { "OK" }, "OK", 0, QMessageBox::NoIcon },
        { "critical", kMbCritical, nullptr, { "OK" }, "OK", 0, QMessageBox::Critical },
        { "ignored bits", 1 | 4 | 64 | 128, nullptr, { "OK" }, "OK", 0, QMessageBox::NoIcon },
        { "yes", kMbYesNo, nullptr, { "No", "Yes" }, "Yes", kMbAnswerYes, QMessageBox::NoIcon },
        { "no", 72, nullptr, { "No", "Yes" }, "No", 0, QMessageBox::NoIcon },
        { "named first", kMbCustomButtons, names, { "Done", "Cancel", "Open Settings" }, "Done", 0,
            QMessageBox::NoIcon },
        { "named third", kMbCustomButtons | kMbCritical, names, { "Done", "Cancel", "Open Settings" }, "Open Settings",
            2, QMessageBox::Critical },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QStringList titles;
        QString text;
        QString informative;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        long answer = answerRealBox(
            [&](QMessageBox& box) {
                for (QAbstractButton* button : box.buttons())
                    titles << button->text().remove('&');
                text = box.text();
                informative = box.informativeText();
                icon = box.icon();
                if (QAbstractButton* button = buttonTitled(box, c.press))
                    button->click();
            },
            "The details.", "The headline.", c.flags, nullptr, nullptr, c.buttons);
        EXPECT_EQ(answer, c.expected);
        titles.sort();
        QStringList expectedTitles = c.titles;
        expectedTitles.sort();
        EXPECT_EQ(titles, expectedTitles);
        EXPECT_EQ(text, "The headline.");
        EXPECT_EQ(informative, "The details.");
        EXPECT_EQ(icon, c.icon);
    }
}

TEST(MessageBoxUIReal, SuppressionCheckBoxAndWidth)
{
    bool suppress = false;
    int width = 0;
    bool hadCheckBox = false;
    QString informative = "unset";
    answerRealBox(
        [&](QMessageBox& box) {
            width = box.width();
            informative = box.informativeText();
            if (QCheckBox* check = box.checkBox()) {
                hadCheckBox = check->text() == "Do not ask again";
                check->setChecked(true);
            }
            buttonTitled(box, "OK")->click();
        },
        "", "Only a headline.", 0, "Do not ask again", &suppress, nullptr, 640);
    EXPECT_TRUE(hadCheckBox);
    EXPECT_TRUE(suppress);
    EXPECT_GE(width, 640);
    EXPECT_EQ(informative, ""); // an empty message is left out
}

} // namespace
} // namespace corvantis
