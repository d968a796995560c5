#pragma once

#include "platform/Mutex.h"

#include <functional>
#include <memory>

namespace corvantis {

class AppProxyConnection;
class AppProxyManager;
class DataFilterManager;
class DnsProxyManager;

// The ways the application is asked to end. Each goes through the delegate's one terminate request.
enum class WayOut {
    QuitItem, // the Quit item of the menus (and the loading window's quit button)
    CloseWindow, // closing the main window
    Signal, // SIGTERM or SIGINT
    SessionEnd, // the end of the desktop session
    PowerOff, // the machine is about to power off
};

// Whether `way` may ask the keep-running question: only the user's own actions, since after a signal, at the
// end of the session or at a power-off nobody may be there to answer.
bool MayAskKeepRunning(WayOut way);

// The keep-running question: a Yes/No box with this caption, no text and the suppression check box.
inline constexpr const char* kKeepRunningQuestion
    = "Do you want to keep Corvantis processing your connections after the app quit?";
inline constexpr const char* kDontAskAgainTitle = "Don't ask again";
inline constexpr int kKeepRunningQuestionFlags = 152;

// The values of the setting "KeepRunningOnClose".
inline constexpr int kKeepRunningAsk = 0;
inline constexpr int kKeepRunningKeep = 1;
inline constexpr int kKeepRunningStop = 2;

// What the decision to stop the extension looks at, taken when the application is asked to end.
struct TerminationFacts {
    bool keepChosen = false; // keepVPNAndExit ran
    bool stopChosen = false; // stopVPNAndExit or the loading window's quit button ran
    bool hasConnection = false; // the transparent proxy's session is known
    bool hasDnsManager = false;
    bool proxyConnected = false; // the transparent proxy is connected
    bool dnsStarted = false; // the DNS proxy is enabled
    int keepRunningOnClose = kKeepRunningAsk;
};

enum class StopDecision {
    Keep, // the extension goes on without the application
    Stop, // the providers are stopped before the application ends
    Ask, // the keep-running question decides
};

// A choice made this run wins; an extension that does not run completely (no session, no DNS proxy, as in the
// content-filter mode) is stopped; otherwise the setting decides. Where it would ask and `way` may not ask, the
// extension keeps running.
StopDecision DecideExtensionStop(const TerminationFacts& facts, WayOut way);

// The answer of the keep-running question.
struct KeepRunningAnswer {
    bool stop = false;
    // The value "KeepRunningOnClose" takes (the box's check box was ticked), or kKeepRunningAsk for no change.
    int store = kKeepRunningAsk;
    bool operator==(const KeepRunningAnswer&) const = default;
};
// Yes (kMbAnswerYes) keeps the extension running, anything else stops it; with `dontAskAgain` the answer is
// stored, 1 for Yes and 2 for No.
KeepRunningAnswer ReadKeepRunningAnswer(long answer, bool dontAskAgain);

// Stops the extension's providers one at a time: the content filter, then the DNS proxy, then the transparent
// proxy. Each step first closes the pooled links to the extension, then stops the first provider that still
// runs; its handler, on the manager's queue, starts the next step. A provider is tried once: whether its stop
// succeeds or fails it is left behind, so one that cannot be stopped never holds termination up. When nothing
// is left `completion` runs once with true, on the thread of the last handler (or the caller's when nothing
// ran).
//
// Thread-safety: the steps follow each other; the object keeps itself alive until the completion ran.
class ExtensionStopper final : public std::enable_shared_from_this<ExtensionStopper> {
public:
    struct Providers {
        std::shared_ptr<DataFilterManager> dataFilter;
        std::shared_ptr<DnsProxyManager> dns;
        // The transparent proxy is stopped through its manager when its session is connected.
        std::shared_ptr<AppProxyConnection> connection;
        std::shared_ptr<AppProxyManager> manager;
    };

    // `closeClients` (may be empty) runs at the start of every step, on that step's thread.
    static void start(Providers providers, std::function<void()> closeClients, std::function<void(bool ok)> completion);

    // Use start().
    ExtensionStopper(Providers providers, std::function<void()> closeClients, std::function<void(bool)> completion);

private:
    void step();

    const std::function<void()> m_closeClients;
    Mutex m_mutex;
    Providers m_providers GUARDED_BY(m_mutex);
    std::function<void(bool)> m_completion GUARDED_BY(m_mutex);
};

} // namespace corvantis
