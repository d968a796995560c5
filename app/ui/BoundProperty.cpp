#include "app/ui/BoundProperty.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QSignalBlocker>

namespace corvantis {

BoundProperties::BoundProperties(PropertyAnnouncer& announcer, QObject* parent)
    : QObject(parent)
    , m_announcer(announcer)
    , m_observer(
          announcer.observe([this](const std::string& property) { emit changed(QString::fromStdString(property)); }))
{
}

BoundProperties::~BoundProperties()
{
    m_announcer.remove(m_observer);
}

void bindCheckBox(QCheckBox* box, BoundProperties& properties, const QString& property, std::function<bool()> get,
    std::function<void(bool)> set)
{
    auto reread = [box, get] {
        // The control's own signals stay quiet: a re-read is not a user's change.
        QSignalBlocker blocker(box);
        box->setChecked(get());
    };
    reread();
    QObject::connect(&properties, &BoundProperties::changed, box, [reread, property](const QString& changed) {
        if (changed == property)
            reread();
    });
    QObject::connect(box, &QCheckBox::clicked, box, [set = std::move(set)](bool checked) { set(checked); });
}

void bindLineEdit(QLineEdit* edit, BoundProperties& properties, const QString& property,
    std::function<std::string()> get, std::function<void(const std::string&)> set)
{
    auto reread = [edit, get] {
        QString text = QString::fromStdString(get());
        if (text == edit->text())
            return; // keeps the cursor and selection of a user who is typing
        QSignalBlocker blocker(edit);
        edit->setText(text);
    };
    reread();
    QObject::connect(&properties, &BoundProperties::changed, edit, [reread, property](const QString& changed) {
        if (changed == property)
            reread();
    });
    QObject::connect(
        edit, &QLineEdit::textEdited, edit, [set = std::move(set)](const QString& text) { set(text.toStdString()); });
}

} // namespace corvantis
