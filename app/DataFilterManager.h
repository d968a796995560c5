#pragma once

#include <functional>
#include <string>

namespace corvantis {

// Switches the system's content filter configuration ("Corvantis DNS Reader"), through which the extension reads
// the machine's DNS answers instead of a DNS proxy, on and off.
//
// Thread-safety: immutable after construction. Handlers run on the configuration layer's completion queue, not on
// the main thread; the object may be destroyed while an operation runs.
class DataFilterManager final {
public:
    using Handler = std::function<void(bool ok)>;

    explicit DataFilterManager(std::string appVersion);
    DataFilterManager(const DataFilterManager&) = delete;
    DataFilterManager& operator=(const DataFilterManager&) = delete;

    // Stores the filter enabled when it is not; reports success at once when it is. A provider configuration
    // stored already is kept as it is.
    void runDataFilterSessionWithHandler(Handler handler);
    // Stores the filter disabled when it is enabled; reports success at once when it is not.
    void stopDataFilterVpnWithHandler(Handler handler);
    // Whether the filter is enabled as last loaded or changed in this process; reads no preferences.
    bool isStarted() const;

    const std::string appVersion;
};

} // namespace corvantis
