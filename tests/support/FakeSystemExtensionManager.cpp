#include "tests/support/FakeSystemExtensionManager.h"

#include "platform/NotificationCenter.h"

namespace corvantis::test {

void FakeSystemExtensionManager::script(std::vector<SystemExtensionEvent> events)
{
    MutexLock lock(m_mutex);
    m_scripts.push_back(std::move(events));
}

void FakeSystemExtensionManager::release()
{
    std::vector<Held> held;
    {
        MutexLock lock(m_mutex);
        held.swap(m_held);
    }
    for (auto& request : held)
        deliver(request.delegate, std::move(request.events));
}

std::vector<FakeSystemExtensionManager::Submitted> FakeSystemExtensionManager::submitted() const
{
    MutexLock lock(m_mutex);
    return m_submitted;
}

std::vector<SystemExtensionReplacementAction> FakeSystemExtensionManager::replaceAnswers() const
{
    MutexLock lock(m_mutex);
    return m_replaceAnswers;
}

void FakeSystemExtensionManager::submitRequest(SystemExtensionRequestKind kind, const std::string& identifier,
    std::shared_ptr<SystemExtensionRequestDelegate> delegate)
{
    std::vector<SystemExtensionEvent> events { SystemExtensionEvent::finish() };
    {
        MutexLock lock(m_mutex);
        m_submitted.push_back({ kind, identifier });
        if (!m_scripts.empty()) {
            events = std::move(m_scripts.front());
            m_scripts.erase(m_scripts.begin());
        }
    }
    deliver(delegate, std::move(events));
}

void FakeSystemExtensionManager::deliver(
    const std::shared_ptr<SystemExtensionRequestDelegate>& delegate, std::vector<SystemExtensionEvent> events)
{
    auto executor = NotificationCenter::defaultCenter().mainThreadExecutor();
    for (std::size_t i = 0; i < events.size(); ++i) {
        const SystemExtensionEvent event = events[i];
        if (event.kind == SystemExtensionEvent::Kind::Hold) {
            MutexLock lock(m_mutex);
            m_held.push_back({ delegate, std::vector<SystemExtensionEvent>(events.begin() + i + 1, events.end()) });
            return;
        }
        executor->post([self = shared_from_this(), delegate, event] {
            switch (event.kind) {
            case SystemExtensionEvent::Kind::NeedsApproval:
                delegate->requestNeedsUserApproval();
                break;
            case SystemExtensionEvent::Kind::Replace: {
                const auto answer = delegate->actionForReplacingExtension(event.text, event.newVersion);
                MutexLock lock(self->m_mutex);
                self->m_replaceAnswers.push_back(answer);
                break;
            }
            case SystemExtensionEvent::Kind::Finish:
                delegate->didFinishWithResult(event.result);
                break;
            case SystemExtensionEvent::Kind::Fail:
                delegate->didFailWithError(event.text);
                break;
            case SystemExtensionEvent::Kind::Properties: {
                std::vector<SystemExtensionProperties> records(event.records);
                for (auto& record : records) {
                    record.bundleShortVersion = "3.12.2";
                    record.isEnabled = true;
                }
                delegate->foundProperties(records);
                break;
            }
            case SystemExtensionEvent::Kind::Hold:
                break;
            }
        });
    }
}

} // namespace corvantis::test
