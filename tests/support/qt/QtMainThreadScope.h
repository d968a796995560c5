#pragma once

// For Qt tests: the default notification center's main thread is the Qt thread while the object lives, and is
// given back to the one before it afterwards.

#include "app/QtMainThreadExecutor.h"
#include "platform/MainThreadExecutor.h"
#include "platform/NotificationCenter.h"

#include <memory>

namespace corvantis::test {

class QtMainThreadScope {
public:
    QtMainThreadScope()
        : m_old(NotificationCenter::defaultCenter().mainThreadExecutor())
    {
        NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>());
    }
    ~QtMainThreadScope() { NotificationCenter::defaultCenter().setMainThreadExecutor(m_old); }
    QtMainThreadScope(const QtMainThreadScope&) = delete;
    QtMainThreadScope& operator=(const QtMainThreadScope&) = delete;

private:
    std::shared_ptr<MainThreadExecutor> m_old;
};

} // namespace corvantis::test
