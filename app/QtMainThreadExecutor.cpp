#include "app/QtMainThreadExecutor.h"

#include "core/foundation/LogMessage.h"
#include "platform/Assert.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

#include <exception>

namespace corvantis {

QtMainThreadExecutor::QtMainThreadExecutor()
    : m_mainThread(std::this_thread::get_id())
{
    QCoreApplication* app = QCoreApplication::instance();
    CORVANTIS_ASSERT(!app || app->thread() == QThread::currentThread(),
        "QtMainThreadExecutor is built on the thread of the application object");
}

bool QtMainThreadExecutor::isMainThread() const
{
    return std::this_thread::get_id() == m_mainThread;
}

void QtMainThreadExecutor::post(std::function<void()> task)
{
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !task)
        return; // destroys the task unrun: a waiting poster is released
    // Queued calls to one receiver are delivered in posting order; the event holds the only copy of the task,
    // so an application that goes away with the event still queued destroys it.
    QMetaObject::invokeMethod(
        app,
        [task = std::move(task)] {
            try {
                task();
            } catch (const std::exception& e) {
                // No exception may unwind through the event loop; the task's work is lost, the program goes on.
                CLogMessage(kLogError) << "A main-thread task failed: " << e.what();
            } catch (...) {
                CLogMessage(kLogError) << "A main-thread task failed";
            }
        },
        Qt::QueuedConnection);
}

} // namespace corvantis
