#pragma once

#include <cstdint>
#include <string>

namespace corvantis {

// Turns a byte count into the text every traffic display uses, in units of 1024 with the decimals truncated, so
// the same count reads the same everywhere. A plain value; not synchronised.
class CTrafficStringFormater {
public:
    CTrafficStringFormater() = default;
    explicit CTrafficStringFormater(uint64_t bytes)
        : m_bytes(bytes)
    {
    }
    CTrafficStringFormater(const CTrafficStringFormater&) = default;
    CTrafficStringFormater& operator=(const CTrafficStringFormater&) = default;
    virtual ~CTrafficStringFormater() = default;

    void SetValue(uint64_t bytes) { m_bytes = bytes; }

    // Below 1024: the count in decimal, followed by " B" when `byteUnit` is true. Otherwise the count scaled to
    // " KB", " MB" or " GB" with two decimals below 10, one below 100 and none from 100 on, all truncated:
    // 10239 gives "9.99 KB", 102400 gives "100 KB".
    std::string GetShortText(bool byteUnit) const;
    // "<count> bytes", followed by " (<short form>)" from 1025 bytes on.
    std::string GetFullText() const;

private:
    uint64_t m_bytes = 0;
};

} // namespace corvantis
