#pragma once

#include <optional>
#include <string>

namespace corvantis {

struct Notification;

// Flags of a message box (they combine).
inline constexpr int kMbCritical = 0x2; // critical alert style
inline constexpr int kMbYesNo = 0x8; // "No" (first, default) and "Yes"; "Yes" answers kMbAnswerYes
inline constexpr int kMbCustomButtons = 0x1000; // up to three titles of buttonsName; answers the button index
inline constexpr long kMbAnswerYes = 32;

// Names of the notifications this bridge posts on the main thread.
inline constexpr const char* kMessageBoxNotification = "MessageBox";
inline constexpr const char* kProfileUpdatedNotification = "ProfileUpdated";
inline constexpr const char* kGlobalUpdatedNotification = "GlobalUpdated";
inline constexpr const char* kShowAboutNotification = "ShowAbout";

// The user info of the notification "MessageBox" (the Notification's userInfo holds a MessageBoxRequest*).
// Every pointer belongs to the asking thread and stays valid while it waits, which is while observers run.
struct MessageBoxRequest {
    const std::string* message = nullptr; // the informative text
    const std::string* caption = nullptr; // the main text
    int flags = 0;
    const char* suppressTitle = nullptr; // title of a suppression check box, or null for none
    bool* suppressResult = nullptr; // receives the check box state, or null
    const char* const* buttonsName = nullptr; // three titles, entries after the last one null; or null
    std::optional<long> answer; // "Return": stored by the observer that answered
};

// Asks the user from any thread: posts "MessageBox" on the main thread and waits until it has been handled.
// Returns the answer an observer stored (see the flags), 0 when none did. Must not be called while holding a
// lock the main thread needs.
long MessageBox(const std::string& message, const std::string& caption, int flags, const char* suppressTitle = nullptr,
    bool* suppressResult = nullptr, const char* const* buttonsName = nullptr);
// `text` as the main text, no informative text, flags 0.
long MessageBoxText(const std::string& text);
long MessageBoxFlags(const std::string& text, int flags);
// A null text shows an empty one.
long MessageBoxCStr(const char* text);

// Shows the message box itself (the application's windows registered through CoreHooks::messageBoxUI) and
// returns the answer. Main thread only; a program without windows answers 0.
long MessageBoxUI(const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
    bool* suppressResult, const char* const* buttonsName, int accessoryWidth);

// The body of a "MessageBox" observer: with `interactive` shows the box (MessageBoxUI, width -1) and stores the
// answer, else stores 0 without showing anything (the extension). A notification without a request is ignored.
void MessageBoxNotifyHandler(bool interactive, const Notification& notification);

// Accepts a notice and shows nothing; returns 0.
long ShowNotice(const std::string& caption, const std::string& text);

// Post "ProfileUpdated" / "GlobalUpdated" on the main thread without waiting; return true.
bool PostProfileUpdated();
bool PostGlobalUpdated();
// Posts "ShowAbout" on the main thread and returns once it has been handled; returns true.
bool PostShowAbout();

// The fixed messages of the start-up and extension checks.
// Asks the user to allow the extension; true when "Done" was pressed.
bool ShowExtensionBlocked();
bool ShowRestartRequired();
// Says the program was started from a place it cannot run from; the caller quits afterwards.
bool ReportWrongLocation(bool translocated, bool fromDiskImage, const char* location);
bool ShowFatalError(const std::string& text);
bool ShowFatalError(const char* text);

} // namespace corvantis
