#pragma once

#include <QObject>

#include <functional>
#include <string>
#include <vector>

class QMenu;

namespace corvantis {

// The tags of the profiles menu's items, which tell the profile commands what was chosen.
inline constexpr int kProfileItemTag = 0; // a profile, by its title
inline constexpr int kNewProfileTag = 1;
inline constexpr int kSaveProfileAsTag = 2;
inline constexpr int kNoProfileTag = -1; // the disabled placeholder

inline constexpr const char* kNoProfileDefinedTitle = "No Profile Defined";
inline constexpr const char* kNewProfileTitle = "New Profile...";
inline constexpr const char* kSaveProfileAsTitle = "Save Profile As...";

// One row of the profiles menu.
struct ProfileMenuRow {
    std::string title; // empty for a separator
    int tag = kProfileItemTag;
    bool checked = false;
    bool enabled = true;
    bool separator = false;

    friend bool operator==(const ProfileMenuRow&, const ProfileMenuRow&) = default;
};

// The rows of the profiles menu for `names` (in order) and the active profile's name. Each name gives an
// enabled item of tag 0, checked exactly when it equals `active` byte for byte. A submenu shows the disabled
// kNoProfileDefinedTitle (tag -1) when there is no name; the top menu shows nothing for no name, and always ends
// with a separator, kNewProfileTitle (tag 1) and kSaveProfileAsTitle (tag 2).
std::vector<ProfileMenuRow> BuildProfileMenuRows(
    const std::vector<std::string>& names, const std::string& active, bool submenu);

// Keeps profiles menus up to date: each attached menu is rebuilt from the profile files (ListProfileFiles) and
// the active profile of the core object's settings every time it is about to show. Choosing an item calls
// `selectProfile` with the item's tag and title (the profile commands' selectProfile).
//
// Borrows the menus; a menu destroyed before this object is simply forgotten. GUI thread only.
class MenuFileDelegate final : public QObject {
    Q_OBJECT
public:
    using SelectProfile = std::function<void(int tag, const std::string& title)>;

    explicit MenuFileDelegate(SelectProfile selectProfile, QObject* parent = nullptr);
    ~MenuFileDelegate() override;
    MenuFileDelegate(const MenuFileDelegate&) = delete;
    MenuFileDelegate& operator=(const MenuFileDelegate&) = delete;

    // Rebuilds `menu` on each aboutToShow; `submenu` says whether it is shown inside another menu, which is
    // fixed when the menus are built.
    void attach(QMenu* menu, bool submenu);
    // Removes every item of `menu` and fills it anew from the profile files.
    void menuNeedsUpdate(QMenu* menu, bool submenu);

private:
    SelectProfile m_selectProfile;
};

} // namespace corvantis
