#include "core/foundation/DurationStringFormater.h"

#include "core/foundation/StringUtils.h"

namespace corvantis {

std::string CDurationStringFormater::GetText() const
{
    if (m_seconds <= 0) {
        return "<1 sec";
    }
    // 64-bit arithmetic: a 32-bit cut would turn durations beyond 68 years into nonsense or negative numbers.
    const long long t = m_seconds;
    const long long seconds = t % 60;
    const long long minutes = (t / 60) % 60;
    const long long hours = (t / 3600) % 24;
    const long long days = t / 86400;
    std::string text;
    if (days >= 1) {
        StrFormat(text, "%.2lld.%.2lld:%.2lld:%.2lld", days, hours, minutes, seconds);
    } else if (hours == 0) {
        StrFormat(text, "%.2lld:%.2lld", minutes, seconds);
    } else {
        StrFormat(text, "%.2lld:%.2lld:%.2lld", hours, minutes, seconds);
    }
    return text;
}

} // namespace corvantis
