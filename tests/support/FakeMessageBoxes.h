#pragma once

#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"
#include "platform/NotificationCenter.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace corvantis::test {

// One box as the application's window code received it.
struct ShownBox {
    std::string message;
    std::string caption;
    int flags = 0;
    std::string suppressTitle;
    std::vector<std::string> buttons; // up to three, as MessageBoxUI would add them
    int accessoryWidth = 0;
    std::thread::id thread;
};

// Registers a fake window layer as CoreHooks::messageBoxUI that records each box and answers with `answer`
// (and ticks a suppression check box when one is shown), and observers of "MessageBox" on the default center.
// Everything is undone on destruction.
class FakeMessageBoxes {
public:
    explicit FakeMessageBoxes(std::function<long(const ShownBox&)> answer = [](const ShownBox&) { return 0L; })
        : m_answer(std::move(answer))
    {
        CoreHooks hooks;
        hooks.messageBoxUI
            = [this](const std::string& message, const std::string& caption, int flags, const char* suppressTitle,
                  bool* suppressResult, const char* const* buttonsName, int accessoryWidth) {
                  ShownBox box { message, caption, flags, suppressTitle ? suppressTitle : "", {}, accessoryWidth,
                      std::this_thread::get_id() };
                  for (int i = 0; buttonsName && i < 3 && buttonsName[i]; ++i)
                      box.buttons.push_back(buttonsName[i]);
                  if (suppressResult)
                      *suppressResult = true;
                  long answer = m_answer(box);
                  std::lock_guard lock(m_mutex);
                  m_shown.push_back(std::move(box));
                  return answer;
              };
        SetCoreHooks(hooks);
    }
    ~FakeMessageBoxes()
    {
        for (auto id : m_observers)
            NotificationCenter::defaultCenter().removeObserver(id);
        SetCoreHooks({});
        NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
    }

    // The observer of the application (shows the box) or of the extension (answers 0).
    void observeAs(bool interactive)
    {
        m_observers.push_back(NotificationCenter::defaultCenter().addObserver(kMessageBoxNotification,
            [interactive](const Notification& n) { MessageBoxNotifyHandler(interactive, n); }));
    }

    std::vector<ShownBox> shown()
    {
        std::lock_guard lock(m_mutex);
        return m_shown;
    }

private:
    std::function<long(const ShownBox&)> m_answer;
    std::mutex m_mutex;
    std::vector<ShownBox> m_shown;
    std::vector<NotificationCenter::ObserverId> m_observers;
};

} // namespace corvantis::test
