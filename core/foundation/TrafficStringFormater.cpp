#include "core/foundation/TrafficStringFormater.h"

#include "core/foundation/StringUtils.h"

namespace corvantis {

namespace {

constexpr uint64_t kKilo = 1024;
constexpr uint64_t kMega = kKilo * 1024;
constexpr uint64_t kGiga = kMega * 1024;

} // namespace

std::string CTrafficStringFormater::GetShortText(bool byteUnit) const
{
    std::string text;
    const uint64_t v = m_bytes;
    if (v < kKilo) {
        StrFormat(text, "%llu", static_cast<unsigned long long>(v));
        if (byteUnit) {
            text += " B";
        }
        return text;
    }
    const char* unit = " KB";
    uint64_t n = v;
    if (v >= kGiga) {
        unit = " GB";
        n = v / kMega;
    } else if (v >= kMega) {
        unit = " MB";
        n = v / kKilo;
    }
    const unsigned long long whole = n / kKilo;
    const unsigned long long rest = n % kKilo;
    if (n < 10 * kKilo) {
        StrFormat(text, "%llu.%.2llu", whole, rest * 100 / kKilo);
    } else if (n < 100 * kKilo) {
        StrFormat(text, "%llu.%.1llu", whole, rest * 10 / kKilo);
    } else {
        StrFormat(text, "%llu", whole);
    }
    text += unit;
    return text;
}

std::string CTrafficStringFormater::GetFullText() const
{
    std::string text;
    StrFormat(text, "%llu bytes", static_cast<unsigned long long>(m_bytes));
    if (m_bytes > kKilo) {
        text += " (";
        text += GetShortText(false);
        text += ")";
    }
    return text;
}

} // namespace corvantis
