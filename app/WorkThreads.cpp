#include "app/WorkThreads.h"

#include "app/CorvantisAppDelegate.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/LogTrace.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "platform/NotificationCenter.h"

#include <system_error>
#include <utility>

namespace corvantis {

namespace {

namespace fs = std::filesystem;

WorkThreads::Options WithDefaults(WorkThreads::Options options)
{
    if (!options.startCore) {
        options.startCore = [] {
            CCorvantisAppUI* app = GetAppUI();
            return app ? app->Start() : 1;
        };
    }
    if (!options.executablePath)
        options.executablePath = OwnExecutablePath;
    if (!options.locationPasses)
        options.locationPasses = IsInProgramTree;
    if (!options.reportWrongLocation) {
        options.reportWrongLocation = [](bool translocated, bool fromDiskImage, const char* path) {
            ReportWrongLocation(translocated, fromDiskImage, path);
        };
    }
    if (!options.isSampleDue) {
        options.isSampleDue = [] {
            CCorvantisAppUI* app = GetAppUI();
            return app && app->GetStatistics().IsSampleDue();
        };
    }
    return options;
}

bool IsRegularFile(const fs::path& path)
{
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

} // namespace

bool IsInProgramTree(const fs::path& executable)
{
    if (executable.empty())
        return false;
    std::error_code ec;
    const fs::path absolute = fs::absolute(executable, ec).lexically_normal();
    if (ec)
        return false;
    const fs::path bin = absolute.parent_path();
    if (bin.filename() != "bin" || !IsRegularFile(absolute))
        return false;
    const fs::path root = bin.parent_path();
    return IsRegularFile(root / "libexec/corvantis/CorvantisExtension")
        && IsRegularFile(root / "share/corvantis/SystemExtensions/CorvantisExtension/Info.plist");
}

fs::path OwnExecutablePath()
{
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self;
}

WorkThreads::WorkThreads(Options options)
    : m_options(WithDefaults(std::move(options)))
    , m_center(m_options.center ? *m_options.center : NotificationCenter::defaultCenter())
{
}

WorkThreads::~WorkThreads()
{
    stop();
}

void WorkThreads::start()
{
    if (m_started.exchange(true))
        return;
    m_mainThread = std::thread([this] { mainWorkThread(); });
    m_statThread = std::thread([this] { statWorkThread(); });
}

void WorkThreads::stop()
{
    {
        MutexLock lock(m_wake->mutex);
        m_wake->stopping = true;
    }
    m_wake->changed.signalAll();
    if (m_statThread.joinable())
        m_statThread.join();
    if (m_mainThread.joinable())
        m_mainThread.join();
}

void WorkThreads::postTerminate()
{
    if (!m_options.terminate)
        return;
    m_center.mainThreadExecutor()->post(m_options.terminate);
}

void WorkThreads::mainWorkThread()
{
    const int started = m_options.startCore();
    if (started >= 1) {
        // The core has told the user why already.
        postTerminate();
        return;
    }
    if (started == 0)
        m_center.postNotificationOnMainThread(Notification { kPushToFrontNotification, m_options.sender, {} }, true);

    const fs::path executable = m_options.executablePath();
    if (!m_options.locationPasses(executable)) {
        // Nothing here is ever translocated or run from a disk image.
        const std::string path = executable.string();
        m_options.reportWrongLocation(false, false, path.c_str());
        postTerminate();
        return;
    }
    m_center.postNotificationOnMainThread(Notification { kProfileUpdatedNotification, nullptr, {} }, false);
    m_center.postNotificationOnMainThread(Notification { kGlobalUpdatedNotification, nullptr, {} }, false);
    if (m_options.createManagers)
        m_options.createManagers();
    if (m_options.tryToRunVPN)
        m_options.tryToRunVPN();
}

void WorkThreads::statWorkThread()
{
    for (;;) {
        {
            MutexLock lock(m_wake->mutex);
            if (m_wake->stopping)
                return;
        }
        if (m_options.isSampleDue()) {
            postLogAndWait();
            if (IsTimingOn(TimingItem::Uiupd))
                LogTimingLine("statWorkThread", __LINE__);
        }
        MutexLock lock(m_wake->mutex);
        if (m_wake->changed.waitFor(m_wake->mutex, m_options.statInterval, [this] {
                m_wake->mutex.assertHeld();
                return m_wake->stopping;
            }))
            return;
    }
}

void WorkThreads::postLogAndWait()
{
    const std::shared_ptr<MainThreadExecutor> executor = m_center.mainThreadExecutor();
    Notification log { kLogNotification, m_options.sender, {} };
    if (executor->isMainThread()) {
        m_center.post(log);
        return;
    }
    // Counts the task as handled when it is destroyed, run or not, so a main thread that drops it at its end
    // releases this thread too.
    struct Ticket {
        std::shared_ptr<Wake> wake;
        ~Ticket()
        {
            {
                MutexLock lock(wake->mutex);
                ++wake->handled;
            }
            wake->changed.signalAll();
        }
    };
    uint64_t target = 0;
    {
        MutexLock lock(m_wake->mutex);
        target = m_wake->handled + 1;
    }
    auto ticket = std::make_shared<Ticket>();
    ticket->wake = m_wake;
    NotificationCenter* center = &m_center;
    executor->post([center, log = std::move(log), ticket]() mutable {
        bool stopping = false;
        {
            MutexLock lock(ticket->wake->mutex);
            stopping = ticket->wake->stopping;
        }
        if (!stopping)
            center->post(log);
        ticket.reset();
    });
    ticket.reset();
    MutexLock lock(m_wake->mutex);
    m_wake->changed.wait(m_wake->mutex, [&] {
        m_wake->mutex.assertHeld();
        return m_wake->handled >= target || m_wake->stopping;
    });
}

} // namespace corvantis
