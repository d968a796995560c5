#include "app/ui/MenuFileDelegate.h"

#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileStorage.h"

#include <QAction>
#include <QMenu>

namespace corvantis {

std::vector<ProfileMenuRow> BuildProfileMenuRows(
    const std::vector<std::string>& names, const std::string& active, bool submenu)
{
    std::vector<ProfileMenuRow> rows;
    for (const std::string& name : names)
        rows.push_back(ProfileMenuRow { name, kProfileItemTag, name == active, true, false });
    if (submenu) {
        if (names.empty())
            rows.push_back(ProfileMenuRow { kNoProfileDefinedTitle, kNoProfileTag, false, false, false });
        return rows;
    }
    rows.push_back(ProfileMenuRow { "", kProfileItemTag, false, true, true });
    rows.push_back(ProfileMenuRow { kNewProfileTitle, kNewProfileTag, false, true, false });
    rows.push_back(ProfileMenuRow { kSaveProfileAsTitle, kSaveProfileAsTag, false, true, false });
    return rows;
}

MenuFileDelegate::MenuFileDelegate(SelectProfile selectProfile, QObject* parent)
    : QObject(parent)
    , m_selectProfile(std::move(selectProfile))
{
}

MenuFileDelegate::~MenuFileDelegate() = default;

void MenuFileDelegate::attach(QMenu* menu, bool submenu)
{
    connect(menu, &QMenu::aboutToShow, this, [this, menu, submenu] { menuNeedsUpdate(menu, submenu); });
}

void MenuFileDelegate::menuNeedsUpdate(QMenu* menu, bool submenu)
{
    menu->clear();
    const std::string active = theApp ? theApp->GetSettings().ActiveProfile : std::string();
    for (const ProfileMenuRow& row : BuildProfileMenuRows(ListProfileFiles(false), active, submenu)) {
        if (row.separator) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromStdString(row.title));
        action->setData(row.tag);
        action->setEnabled(row.enabled);
        if (row.checked) {
            action->setCheckable(true);
            action->setChecked(true);
        }
        // The menu deletes its actions when it is cleared or destroyed, and the connection with them.
        connect(action, &QAction::triggered, this, [this, tag = row.tag, title = row.title] {
            if (m_selectProfile)
                m_selectProfile(tag, title);
        });
    }
}

} // namespace corvantis
