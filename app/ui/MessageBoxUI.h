#pragma once

#include "platform/NotificationCenter.h"

#include <deque>
#include <string>
#include <vector>

namespace corvantis {

struct CoreHooks;

// The application's message box: the handler behind CoreHooks::messageBoxUI.
//
// The box has the caption as its main text and the message as informative text (left out when empty).
// Flags: kMbCritical (2) the critical icon; kMbYesNo (8) the buttons "No" (default) and "Yes", answering
// kMbAnswerYes (32) for "Yes" and 0 otherwise; kMbCustomButtons (0x1000) the titles of `buttonsName` (up to
// three, ending at the first null), answering the pressed button's position; otherwise one "OK" button
// answering 0. Other bits change nothing. With `suppressTitle` a check box of that title is shown and its state
// is stored in `*suppressResult` (when not null). An `accessoryWidth` of 1 or more widens the box to at least
// that many pixels. Runs a modal loop; GUI thread only. While a MessageBoxScript exists nothing is shown.
long ShowMessageBoxUI(const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
    bool* suppressResult, const char* const* buttonsName, int accessoryWidth);

// Stores ShowMessageBoxUI as `hooks.messageBoxUI`, for the program's SetCoreHooks call.
void AddMessageBoxUIHook(CoreHooks& hooks);

// Adds to `center` an observer of "MessageBox" that shows the requested box (MessageBoxNotifyHandler with
// interactive true) and returns its id. The program's delegate may register its own observer instead.
NotificationCenter::ObserverId ObserveMessageBoxNotification(NotificationCenter& center);

// The "next answer" seam: while an object of this class exists (at most one at a time), ShowMessageBoxUI shows
// nothing, records each request and answers from the scripted queue (0 and an unchecked box once it is empty).
// GUI thread only.
class MessageBoxScript final {
public:
    struct Answer {
        long result = 0;
        bool suppress = false; // stored in *suppressResult when the request had a check box
    };
    struct Request {
        std::string message;
        std::string caption;
        int flags = 0;
        bool hasSuppress = false;
        std::string suppressTitle;
        std::vector<std::string> buttons; // the titles a kMbCustomButtons box would show
        int accessoryWidth = 0;
    };

    MessageBoxScript();
    ~MessageBoxScript();
    MessageBoxScript(const MessageBoxScript&) = delete;
    MessageBoxScript& operator=(const MessageBoxScript&) = delete;

    // Appends answers for the next boxes, in order.
    void push(Answer answer);
    void push(long result) { push(Answer { result, false }); }
    // Every request seen so far, oldest first.
    const std::vector<Request>& requests() const { return m_requests; }

private:
    friend long ShowMessageBoxUI(
        const std::string&, const std::string&, int, const char*, bool*, const char* const*, int);
    std::deque<Answer> m_answers;
    std::vector<Request> m_requests;
};

} // namespace corvantis
