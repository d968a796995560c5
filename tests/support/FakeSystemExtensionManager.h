#pragma once

#include "platform/Mutex.h"
#include "platform/sysext/SystemExtensionManager.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace corvantis::test {

// One answer a scripted request gives its delegate.
struct SystemExtensionEvent {
    enum class Kind { NeedsApproval, Replace, Finish, Fail, Properties, Hold };

    static SystemExtensionEvent needsApproval() { return make(Kind::NeedsApproval); }
    static SystemExtensionEvent replace(std::string existingVersion, std::string newVersion)
    {
        SystemExtensionEvent event = make(Kind::Replace);
        event.text = std::move(existingVersion);
        event.newVersion = std::move(newVersion);
        return event;
    }
    static SystemExtensionEvent finish(SystemExtensionRequestResult result = SystemExtensionRequestResult::Completed)
    {
        SystemExtensionEvent event = make(Kind::Finish);
        event.result = result;
        return event;
    }
    static SystemExtensionEvent fail(std::string description)
    {
        SystemExtensionEvent event = make(Kind::Fail);
        event.text = std::move(description);
        return event;
    }
    static SystemExtensionEvent properties(std::size_t records)
    {
        SystemExtensionEvent event = make(Kind::Properties);
        event.records = records;
        return event;
    }
    // Delivers nothing; the events after it wait for FakeSystemExtensionManager::release().
    static SystemExtensionEvent hold() { return make(Kind::Hold); }

    static SystemExtensionEvent make(Kind kind)
    {
        SystemExtensionEvent event;
        event.kind = kind;
        return event;
    }

    Kind kind = Kind::Finish;
    std::string text; // the existing version, or the failure's description
    std::string newVersion;
    SystemExtensionRequestResult result = SystemExtensionRequestResult::Completed;
    std::size_t records = 0;
};

// A manager whose requests answer as a test scripted them, delivering each event as its own task on the main
// executor of NotificationCenter::defaultCenter() (as the real one does), in script order.
//
// Thread-safety: every member may be called from any thread.
class FakeSystemExtensionManager final : public SystemExtensionManager,
                                         public std::enable_shared_from_this<FakeSystemExtensionManager> {
public:
    struct Submitted {
        SystemExtensionRequestKind kind;
        std::string identifier;
    };

    // The events of the next request submitted; scripts are used in the order given. A request with no script
    // left finishes Completed.
    void script(std::vector<SystemExtensionEvent> events);
    // Delivers the events held back by hold() in every request.
    void release();

    // The requests submitted so far, oldest first.
    std::vector<Submitted> submitted() const;
    // What delegates answered to Replace events, in delivery order.
    std::vector<SystemExtensionReplacementAction> replaceAnswers() const;

    void submitRequest(SystemExtensionRequestKind kind, const std::string& identifier,
        std::shared_ptr<SystemExtensionRequestDelegate> delegate) override;

private:
    struct Held {
        std::shared_ptr<SystemExtensionRequestDelegate> delegate;
        std::vector<SystemExtensionEvent> events;
    };

    // Posts `events` up to the first hold; keeps the rest for release().
    void deliver(
        const std::shared_ptr<SystemExtensionRequestDelegate>& delegate, std::vector<SystemExtensionEvent> events);

    mutable Mutex m_mutex;
    std::vector<std::vector<SystemExtensionEvent>> m_scripts GUARDED_BY(m_mutex);
    std::vector<Submitted> m_submitted GUARDED_BY(m_mutex);
    std::vector<SystemExtensionReplacementAction> m_replaceAnswers GUARDED_BY(m_mutex);
    std::vector<Held> m_held GUARDED_BY(m_mutex);
};

} // namespace corvantis::test
