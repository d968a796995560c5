#pragma once

#include <cstdint>
#include <string>

namespace corvantis {

// Turns a duration in whole seconds into the text of the connection list and the connection log lines. A plain
// value; not synchronised.
class CDurationStringFormater {
public:
    explicit CDurationStringFormater(int64_t seconds = 0)
        : m_seconds(seconds)
    {
    }

    void SetValue(int64_t seconds) { m_seconds = seconds; }

    // "<1 sec" for 0 (and for a negative value, which no clock should give); "MM:SS" below an hour, "HH:MM:SS"
    // below a day, "DD.HH:MM:SS" from a day on (days use more digits when needed).
    std::string GetText() const;

private:
    int64_t m_seconds;
};

} // namespace corvantis
