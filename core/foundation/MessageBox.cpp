#include "core/foundation/MessageBox.h"

#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogMessage.h"
#include "platform/Assert.h"
#include "platform/NotificationCenter.h"

#include <cstdlib>
#include <sys/utsname.h>

namespace corvantis {

namespace {

constexpr const char* kSupportEmail = "support@corvantis.org";

struct OsVersion {
    long major = 0;
    long minor = 0;
    long patch = 0;
};

// The system's release numbers ("6.1.0-18-amd64" gives 6, 1, 0); zeros when unavailable.
OsVersion osVersion()
{
    OsVersion v;
    utsname u {};
    if (::uname(&u) != 0)
        return v;
    long* parts[] = { &v.major, &v.minor, &v.patch };
    const char* p = u.release;
    for (long* part : parts) {
        if (*p < '0' || *p > '9')
            break;
        char* end = nullptr;
        *part = std::strtol(p, &end, 10);
        p = end;
        if (*p != '.')
            break;
        ++p;
    }
    return v;
}

} // namespace

long MessageBox(const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
    bool* suppressResult, const char* const* buttonsName)
{
    MessageBoxRequest request;
    request.message = &message;
    request.caption = &caption;
    request.flags = flags;
    request.suppressTitle = suppressTitle;
    request.suppressResult = suppressResult;
    request.buttonsName = buttonsName;
    NotificationCenter::defaultCenter().postNotificationOnMainThread(
        Notification { kMessageBoxNotification, nullptr, &request }, true);
    return request.answer.value_or(0);
}

long MessageBoxText(const std::string& text)
{
    return MessageBox(std::string(), text, 0);
}

long MessageBoxFlags(const std::string& text, int flags)
{
    return MessageBox(std::string(), text, flags);
}

long MessageBoxCStr(const char* text)
{
    return MessageBoxFlags(text ? text : "", 0);
}

long MessageBoxUI(const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
    bool* suppressResult, const char* const* buttonsName, int accessoryWidth)
{
    CORVANTIS_ASSERT(NotificationCenter::defaultCenter().isMainThread(), "MessageBoxUI runs on the main thread");
    auto hooks = CurrentCoreHooks();
    if (!hooks->messageBoxUI)
        return 0;
    return hooks->messageBoxUI(message, caption, flags, suppressTitle, suppressResult, buttonsName, accessoryWidth);
}

void MessageBoxNotifyHandler(bool interactive, const Notification& notification)
{
    auto* const* slot = std::any_cast<MessageBoxRequest*>(&notification.userInfo);
    if (!slot || !*slot)
        return;
    MessageBoxRequest& request = **slot;
    if (!interactive) {
        request.answer = 0;
        return;
    }
    static const std::string empty;
    request.answer
        = MessageBoxUI(request.message ? *request.message : empty, request.caption ? *request.caption : empty,
            request.flags, request.suppressTitle, request.suppressResult, request.buttonsName, -1);
}

long ShowNotice(const std::string&, const std::string&)
{
    return 0;
}

bool PostProfileUpdated()
{
    NotificationCenter::defaultCenter().postNotificationOnMainThread(
        { kProfileUpdatedNotification, nullptr, {} }, false);
    return true;
}

bool PostGlobalUpdated()
{
    NotificationCenter::defaultCenter().postNotificationOnMainThread(
        { kGlobalUpdatedNotification, nullptr, {} }, false);
    return true;
}

bool PostShowAbout()
{
    NotificationCenter::defaultCenter().postNotificationOnMainThread({ kShowAboutNotification, nullptr, {} }, true);
    return true;
}

bool ShowExtensionBlocked()
{
    OsVersion v = osVersion();
    CLogMessage(kLogVerbose) << " macOS version " << v.major << "." << v.minor << "." << v.patch;
    const char* const buttons[3] = { "Done", "Cancel", "Open Security & Privacy" };
    std::string message = v.major < 15
        ? "Please manually allow Corvantis extension signed by \"Velmar LLC\" at /Applications/System "
          "Preferences -> Security & Privacy -> General."
        : "Please manually allow Corvantis extension at /Applications/System Settings -> Security & "
          "Privacy -> General -> Login Items & Extensions -> Network Extensions.";
    long answer = MessageBox(message, "Corvantis Extension Blocked", kMbCustomButtons, nullptr, nullptr, buttons);
    // The third button would open the system's security settings; this system has no such panel to open.
    return answer == 0;
}

bool ShowRestartRequired()
{
    MessageBox(std::string("Corvantis extension has been allowed but a system restart is required to enable it.\n"
                           "If the problem persists, please contact ")
            + kSupportEmail + ".",
        "Restart Required", kMbCritical);
    return true;
}

bool ReportWrongLocation(bool translocated, bool fromDiskImage, const char* location)
{
    const char* where = location ? location : "";
    const char* logFirst;
    const char* logSecond;
    const char* caption;
    const char* message;
    if (translocated) {
        logFirst = caption = "App Translocation (macOS security feature) prevents Corvantis start.";
        logSecond = message = "Please download Corvantis again and move Corvantis.app to the /Applications folder "
                              "using Finder.";
    } else if (fromDiskImage) {
        logFirst = "Corvantis can be launched from the /Applications folder only.";
        logSecond = "Please move Corvantis.app from the dmg file.";
        caption = "Corvantis can be launched from the Applications folder only.";
        message = "Please move Corvantis.app from the dmg file to the /Applications folder and try again.";
    } else {
        logFirst = caption = "Corvantis can be launched from its installation folder only.";
        logSecond = message = "Please start Corvantis from the bin folder of its installation.";
    }
    CLogMessage(kLogError) << logFirst;
    CLogMessage(kLogError) << logSecond;
    CLogMessage(kLogError) << "The current location is " << where;
    MessageBox(message, caption, kMbCritical);
    return true;
}

bool ShowFatalError(const std::string& text)
{
    CLogMessage(kLogError) << text;
    CLogMessage(kLogError) << "Fatal error. Corvantis is not operational.";
    MessageBox(std::string("Please try to restart Corvantis.\n"
                           "If the problem persists please send the content of the log window to ")
            + kSupportEmail + ".",
        text, kMbCritical);
    return true;
}

bool ShowFatalError(const char* text)
{
    return ShowFatalError(std::string(text ? text : ""));
}

} // namespace corvantis
