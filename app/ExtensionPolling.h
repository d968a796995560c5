#pragma once

#include "app/ExtensionClient.h"
#include "platform/Mutex.h"
#include "platform/PlistValue.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace corvantis {

// Caption and question of the prompt about an application caught in a connection loop.
inline constexpr const char* kLoopDetectedCaption = "Loop Detected";
std::string LoopPromptText(const std::string& application);

// The prompt about an application that the extension found in a connection loop, with its memory: the names
// the user agreed to exclude are not asked about again until more than `forgetAfterSeconds` have passed since
// the last prompt (on a clock that keeps counting while the machine sleeps), when the whole set is forgotten.
//
// Thread-safety: every member may be called from any thread; the state has its own lock, which is never held
// while the box is shown. Meant for the main thread, where the polling step delivers the names.
class LoopPrompt final {
public:
    // Seconds of a continuous clock.
    using Clock = std::function<int64_t()>;
    // (informative text, main text, flags) → answer, as MessageBox (core) takes them.
    using MessageBoxFn = std::function<long(const std::string& message, const std::string& caption, int flags)>;

    struct Options {
        // Default: CLOCK_BOOTTIME in whole seconds.
        Clock clock;
        int64_t forgetAfterSeconds = 60;
        // Default: MessageBox (core).
        MessageBoxFn messageBox;
        // Yes: puts the loop-prevention rule for the application into the profile. Default:
        // GetAppUI()->CreateLoopPreventionRule(name, false, false) (nothing without a core object).
        std::function<void(const std::string& application)> createRule;
        // No: the delegate's ProfileUpdatedNotify. Default: nothing.
        std::function<void()> declined;
    };

    LoopPrompt();
    explicit LoopPrompt(Options options);
    LoopPrompt(const LoopPrompt&) = delete;
    LoopPrompt& operator=(const LoopPrompt&) = delete;

    // Whether a report of `application` would ask the user now: forgets the remembered names first when the
    // last prompt is more than `forgetAfterSeconds` old, then answers whether the name is not among them.
    bool shouldAsk(const std::string& application);
    // Handles one report: nothing for an empty name or when shouldAsk says no. Otherwise records the time of the
    // prompt and asks (Yes/No box, kMbYesNo, caption kLoopDetectedCaption). Yes (kMbAnswerYes) remembers the
    // name and creates the rule; any other answer calls `declined`. Returns whether the user was asked.
    bool report(const std::string& application);

private:
    const Options m_options;
    Mutex m_mutex;
    std::set<std::string> m_excluded GUARDED_BY(m_mutex);
    std::optional<int64_t> m_lastPrompt GUARDED_BY(m_mutex);
};

// The traffic counts in one tick value: the extension sends each series as the raw bytes of its 64-bit
// counts in host byte order (both programs run on the same machine), oldest first. Bytes after the last whole
// count are ignored.
std::vector<uint64_t> DecodeTrafficCounts(const PlistData& bytes);

// The six values of one tick (the reply of retriveTickDataWithReply).
struct TickValues {
    std::string statistics;
    std::string log;
    std::string connections;
    PlistData up; // see DecodeTrafficCounts
    PlistData down;
    std::string loopApplication; // empty when none
};

// One polling step of the extension's tick data and the delivery of its six values to the windows.
//
// Create with std::make_shared (posted tasks hold a weak reference, so a step queued after the poller's end
// does nothing). Thread-safety: poll() and deliver() belong on the main thread; replies arrive on the client's
// thread and only close the client and post to `postToMain`.
class TickPoller final : public std::enable_shared_from_this<TickPoller> {
public:
    // Log lines taken in one tick from which the next poll follows at once, to drain a backlog.
    static constexpr size_t kBacklogLines = 100;

    struct Sources {
        // A fresh client of the bring-up's pool (getNewXpcConnection). Required.
        std::function<ExtensionClientPtr()> newClient;
        // The bring-up's loading state; tick data are fetched only in state 2. Required.
        std::function<int()> loadingState;
        // The log window's refresh, run first in each step. Default: nothing.
        std::function<void()> updateLogList;
        // The bring-up's status check (checkVpnStatus). Default: nothing.
        std::function<void()> checkStatus;
        // The pool's sweep of clients whose reply never came (cleanupXpcConnections(false)). Default: nothing.
        std::function<void()> cleanupClients;
        // Runs a task on the main thread later. Default: the notification center's main-thread executor.
        std::function<void(std::function<void()>)> postToMain;
    };

    // Where the values go; empty members drop their value.
    struct Sinks {
        std::function<void(const std::string& text)> statisticText; // the delegate's setStatisticText
        // Appends log text to the application's log; returns the lines taken. Default: PutLogText (core).
        std::function<size_t(const std::string& text)> appendLog;
        std::function<void(const std::string& list)> connections; // the connections list's update
        // The graph's updateValue(up, down) with the bytes as they came (DecodeTrafficCounts reads them).
        std::function<void(const PlistData& up, const PlistData& down)> graph;
        // The loop prompt (LoopPrompt::report); called only with a non-empty name.
        std::function<void(const std::string& application)> loopDetected;
    };

    TickPoller(Sources sources, Sinks sinks);
    TickPoller(const TickPoller&) = delete;
    TickPoller& operator=(const TickPoller&) = delete;

    // One step (processStatAndLog): the log list, the status check, and in state 2 a tick request on a new
    // client followed by the pool's sweep. The reply closes the client and posts deliver() to the main thread.
    void poll();
    // Hands the six values to the sinks in order. When the log text took kBacklogLines lines or more, another
    // poll() is posted at once.
    void deliver(const TickValues& values);

private:
    const Sources m_sources;
    const Sinks m_sinks;
};

using TickPollerPtr = std::shared_ptr<TickPoller>;

} // namespace corvantis
