// Bound properties: an announcement reaches the controls bound to it, and neither re-reads nor re-entrant
// announcements loop.

#include "app/ui/BoundProperty.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <optional>

namespace corvantis {
namespace {

// A model with the setter convention of the editor: a value changes the property and announces it, no value
// only announces.
struct Model {
    PropertyAnnouncer properties;
    bool enabled = false;
    std::string name = "first";
    int enabledWrites = 0;
    int nameWrites = 0;

    void setEnabled(std::optional<bool> value)
    {
        if (value) {
            enabled = *value;
            ++enabledWrites;
        }
        properties.announce("enabled");
    }
    void setName(std::optional<std::string> value)
    {
        if (value) {
            name = *value;
            ++nameWrites;
        }
        properties.announce("name");
    }
};

TEST(BoundProperty, AnnouncementEmitsTheNameOnce)
{
    Model model;
    BoundProperties bound(model.properties);
    QSignalSpy spy(&bound, &BoundProperties::changed);
    model.setEnabled(std::nullopt);
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.at(0).at(0).toString(), "enabled");
}

TEST(BoundProperty, ReentrantAnnouncementOfTheSamePropertyIsDropped)
{
    Model model;
    BoundProperties bound(model.properties);
    int heard = 0;
    // An observer whose re-read announces again, as a getter that announces would.
    QObject::connect(&bound, &BoundProperties::changed, [&](const QString&) {
        ++heard;
        model.setEnabled(std::nullopt);
    });
    model.setEnabled(std::nullopt);
    EXPECT_EQ(heard, 1);
}

TEST(BoundProperty, CheckBoxFollowsTheModelAndWritesOnlyUserClicks)
{
    Model model;
    BoundProperties bound(model.properties);
    QCheckBox box;
    bindCheckBox(
        &box, bound, "enabled", [&] { return model.enabled; }, [&](bool on) { model.setEnabled(on); });
    EXPECT_FALSE(box.isChecked());

    // The model changes behind the control: announcing it shows the new state without writing it back.
    model.enabled = true;
    model.setEnabled(std::nullopt);
    EXPECT_TRUE(box.isChecked());
    EXPECT_EQ(model.enabledWrites, 0);

    // Another property's announcement leaves the box alone.
    model.enabled = false;
    model.setName(std::nullopt);
    EXPECT_TRUE(box.isChecked());

    // A click by the user writes the new state once.
    model.enabled = true;
    box.click();
    EXPECT_FALSE(model.enabled);
    EXPECT_FALSE(box.isChecked());
    EXPECT_EQ(model.enabledWrites, 1);
}

TEST(BoundProperty, LineEditFollowsTheModelAndWritesEdits)
{
    Model model;
    BoundProperties bound(model.properties);
    QLineEdit edit;
    bindLineEdit(
        &edit, bound, "name", [&] { return model.name; }, [&](const std::string& text) { model.setName(text); });
    EXPECT_EQ(edit.text(), "first");

    QTest::keyClicks(&edit, "X");
    EXPECT_EQ(model.name, "firstX");
    EXPECT_EQ(edit.text(), "firstX");
    EXPECT_EQ(model.nameWrites, 1);

    model.name = "second";
    model.setName(std::nullopt);
    EXPECT_EQ(edit.text(), "second");
    EXPECT_EQ(model.nameWrites, 1);
}

TEST(BoundProperty, DestroyedBindingNoLongerHears)
{
    Model model;
    {
        BoundProperties bound(model.properties);
    }
    model.setEnabled(std::nullopt); // must not reach the destroyed object
    SUCCEED();
}

} // namespace
} // namespace corvantis
