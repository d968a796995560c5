#pragma once

#include "platform/Mutex.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace corvantis {

class NotificationCenter;

// Whether `executable` may run: it must sit in the bin/ folder of a program tree that also holds the
// extension (libexec/corvantis/CorvantisExtension) and its manifest
// (share/corvantis/SystemExtensions/CorvantisExtension/Info.plist). The install tree and the build tree are laid
// out alike. A relative path counts from the working folder.
bool IsInProgramTree(const std::filesystem::path& executable);

// This process's executable (/proc/self/exe); empty when it cannot be read.
std::filesystem::path OwnExecutablePath();

// The application's two background threads: the main work thread, which starts the core object and, when the
// program runs from its tree, starts the extension's bring-up; and the statistics thread, which asks the main
// thread for a polling step ("Log") whenever a statistics sample is due.
//
// Both threads are joinable: stop() (and the destructor) ends the statistics thread and waits for both. The
// main work thread cannot be interrupted (the core start and the bring-up run to their end), so stop() waits
// for it. Thread-safety: start() and stop() from one thread (the main thread); the callbacks run on the work
// threads or, where noted, on the main thread. Not restartable.
class WorkThreads final {
public:
    struct Options {
        // Starts the core object (CCorvantisApp::Start): 1 or more is a failure it has reported itself, 0
        // brings the main window to the front, below 0 does neither. Default: GetAppUI()->Start(), or 1 without
        // a core object.
        std::function<int()> startCore;
        // Asks the application to end; posted to the main thread. Default: nothing.
        std::function<void()> terminate;
        // The executable whose place is checked. Default: OwnExecutablePath().
        std::function<std::filesystem::path()> executablePath;
        // Default: IsInProgramTree.
        std::function<bool(const std::filesystem::path&)> locationPasses;
        // The refusal with the two flags and the path. Default: ReportWrongLocation (core).
        std::function<void(bool translocated, bool fromDiskImage, const char* path)> reportWrongLocation;
        // The bring-up's first steps, run on the main work thread in this order. Default: nothing.
        std::function<void()> createManagers;
        std::function<void()> tryToRunVPN;
        // Whether a statistics sample is due (it then starts the next one). Default:
        // GetAppUI()->GetStatistics().IsSampleDue(), false without a core object.
        std::function<bool()> isSampleDue;
        // The statistics thread's period.
        std::chrono::milliseconds statInterval { 250 };
        // Where "PushToFront", "ProfileUpdated", "GlobalUpdated" and "Log" are posted, and whose main-thread
        // executor runs `terminate`. Default: NotificationCenter::defaultCenter().
        NotificationCenter* center = nullptr;
        // The sender of "Log" (the delegate); compared by address only.
        const void* sender = nullptr;
    };

    explicit WorkThreads(Options options);
    // stop().
    ~WorkThreads();
    WorkThreads(const WorkThreads&) = delete;
    WorkThreads& operator=(const WorkThreads&) = delete;

    // Starts both threads; later calls do nothing.
    void start();
    // Ends the statistics thread at once (a "Log" it is waiting for is given up, and one still queued is not
    // delivered) and waits for both threads. May be called on the main thread; the main work thread, though, may
    // itself wait for the main thread (the core's start asks the user there), so on the main thread call it only
    // once the main work thread has finished its steps.
    void stop();

private:
    // What the statistics thread waits on, shared with the "Log" tasks it queues, which may outlive this object.
    struct Wake {
        Mutex mutex;
        CondVar changed;
        bool stopping GUARDED_BY(mutex) = false;
        uint64_t handled GUARDED_BY(mutex) = 0; // "Log" tasks run or dropped by the main thread
    };

    void mainWorkThread();
    void statWorkThread();
    // Posts "Log" on the main thread and waits until it has been handled or the threads stop.
    void postLogAndWait();
    void postTerminate();

    const Options m_options;
    NotificationCenter& m_center;
    const std::shared_ptr<Wake> m_wake = std::make_shared<Wake>();
    std::atomic<bool> m_started { false };
    std::thread m_mainThread;
    std::thread m_statThread;
};

} // namespace corvantis
