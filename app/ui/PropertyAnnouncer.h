#pragma once

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace corvantis {

// The change signal of a model's bound properties: observers hear the name of a property that may have
// changed and read its getter again. An announcement made while the same property is being announced is
// dropped, so an observer that reads a getter which itself announces cannot recurse without end.
//
// Thread-safety: none; the owner's thread only (the main thread for the editor).
class PropertyAnnouncer final {
public:
    using Observer = std::function<void(const std::string& property)>;
    using ObserverId = int;

    PropertyAnnouncer() = default;
    PropertyAnnouncer(const PropertyAnnouncer&) = delete;
    PropertyAnnouncer& operator=(const PropertyAnnouncer&) = delete;

    // Adds an observer; it is called for every announcement until removed.
    ObserverId observe(Observer observer);
    // Removes an observer; an announcement under way no longer calls it.
    void remove(ObserverId id);

    // Calls every observer with `property`, unless that property is already being announced.
    void announce(const std::string& property);

private:
    struct Entry {
        ObserverId id;
        std::shared_ptr<Observer> observer;
    };
    std::vector<Entry> m_observers;
    std::set<std::string> m_announcing;
    ObserverId m_nextId = 1;
};

} // namespace corvantis
