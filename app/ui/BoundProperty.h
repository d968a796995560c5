#pragma once

#include "app/ui/PropertyAnnouncer.h"

#include <QObject>
#include <QString>

#include <functional>

class QCheckBox;
class QLineEdit;

namespace corvantis {

// A model's property announcements (PropertyAnnouncer) as a Qt signal: every announcement emits
// `changed(property)`, on which bound controls read their getter again. An announcement made while the same
// property is being announced is dropped by the announcer, so a control whose re-read announces again cannot
// recurse without end.
//
// Borrows `announcer`, which must outlive this object (or outlive its use: the observer is removed on
// destruction). Thread-safety: the announcer's thread only, which must be this object's thread.
class BoundProperties final : public QObject {
    Q_OBJECT
public:
    explicit BoundProperties(PropertyAnnouncer& announcer, QObject* parent = nullptr);
    ~BoundProperties() override;
    BoundProperties(const BoundProperties&) = delete;
    BoundProperties& operator=(const BoundProperties&) = delete;

signals:
    void changed(const QString& property);

private:
    PropertyAnnouncer& m_announcer;
    PropertyAnnouncer::ObserverId m_observer;
};

// Binds `box` to a boolean property: shows `get()` now and whenever `property` is announced; a click by the user
// calls `set` with the new state. The re-read never calls `set`. The connections end with `box` or `properties`.
void bindCheckBox(QCheckBox* box, BoundProperties& properties, const QString& property, std::function<bool()> get,
    std::function<void(bool)> set);

// Binds `edit` to a text property the same way; each edit by the user calls `set`, a re-read keeps the cursor
// where it was when the text did not change.
void bindLineEdit(QLineEdit* edit, BoundProperties& properties, const QString& property,
    std::function<std::string()> get, std::function<void(const std::string&)> set);

} // namespace corvantis
