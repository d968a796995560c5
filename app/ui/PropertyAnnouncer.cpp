#include "app/ui/PropertyAnnouncer.h"

#include <algorithm>

namespace corvantis {

PropertyAnnouncer::ObserverId PropertyAnnouncer::observe(Observer observer)
{
    const ObserverId id = m_nextId++;
    m_observers.push_back({ id, std::make_shared<Observer>(std::move(observer)) });
    return id;
}

void PropertyAnnouncer::remove(ObserverId id)
{
    std::erase_if(m_observers, [id](const Entry& entry) { return entry.id == id; });
}

void PropertyAnnouncer::announce(const std::string& property)
{
    if (!m_announcing.insert(property).second)
        return;
    struct Done {
        std::set<std::string>& announcing;
        const std::string& property;
        ~Done() { announcing.erase(property); }
    } done { m_announcing, property };
    // Observers may add or remove observers while they run: walk a snapshot and skip the removed ones.
    const std::vector<Entry> snapshot = m_observers;
    for (const Entry& entry : snapshot) {
        const bool stillThere
            = std::any_of(m_observers.begin(), m_observers.end(), [&](const Entry& e) { return e.id == entry.id; });
        if (stillThere)
            (*entry.observer)(property);
    }
}

} // namespace corvantis
