#include "core/foundation/FakeAddressRange.h"

#include "platform/Mutex.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <vector>

namespace corvantis {

namespace {

// Readers take the current range with one acquire load and no reference counting: these tests run for every
// connection and DNS answer. Published ranges are never freed, so a reader can never hold a dangling pointer;
// an equal range is reused instead of stored again, which bounds the store by the distinct ranges ever set
// (in practice the 256 subnet numbers of the settings).
class RangeStore {
public:
    const FakeAddressRange* current() const { return m_current.load(std::memory_order_acquire); }

    void publish(const FakeAddressRange& range)
    {
        MutexLock lock(m_mutex);
        auto it = std::find_if(m_published.begin(), m_published.end(),
            [&range](const std::unique_ptr<const FakeAddressRange>& r) { return *r == range; });
        const FakeAddressRange* value = nullptr;
        if (it != m_published.end()) {
            value = it->get();
        } else {
            m_published.push_back(std::make_unique<const FakeAddressRange>(range));
            value = m_published.back().get();
        }
        m_current.store(value, std::memory_order_release);
    }

private:
    static const FakeAddressRange kInitial;
    Mutex m_mutex;
    std::vector<std::unique_ptr<const FakeAddressRange>> m_published GUARDED_BY(m_mutex);
    std::atomic<const FakeAddressRange*> m_current { &kInitial };
};

const FakeAddressRange RangeStore::kInitial {};

RangeStore& store()
{
    // Never destroyed: threads that outlive main may still test addresses during exit.
    static RangeStore* instance = new RangeStore();
    return *instance;
}

uint32_t wordAt(const in6_addr& address, int index)
{
    uint32_t word = 0;
    std::memcpy(&word, address.s6_addr + 4 * index, sizeof word);
    return word;
}

uint32_t mappedMarker()
{
    const unsigned char bytes[4] = { 0x00, 0x00, 0xFF, 0xFF };
    uint32_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

bool isIPv4InRange(const FakeAddressRange& range, uint32_t address)
{
    if (address == 0 || address == htonl(1)) {
        return false;
    }
    return (address & range.networkMask) == range.base;
}

} // namespace

uint32_t SetAddressRange(const char* text, int prefixLength, uint32_t ipv6Prefix)
{
    const uint32_t parsed = text != nullptr ? inet_addr(text) : INADDR_NONE;
    const int length = std::clamp(prefixLength, 0, 32);
    FakeAddressRange range;
    range.base = parsed == INADDR_NONE ? 0 : parsed;
    if (length == 0) {
        range.hostMask = 0xFFFFFFFFu;
    } else if (length == 32) {
        range.hostMask = 0;
    } else {
        range.hostMask = (1u << (32 - length)) - 1;
    }
    range.networkMask = htonl(~range.hostMask);
    range.ipv6Prefix = ipv6Prefix;
    store().publish(range);
    return parsed;
}

FakeAddressRange GetFakeAddressRange()
{
    return *store().current();
}

bool IsIPv4InFakeRange(uint32_t address)
{
    return isIPv4InRange(*store().current(), address);
}

bool IsIPv6InFakeRange(const in6_addr& address)
{
    const FakeAddressRange& range = *store().current();
    const uint32_t w0 = wordAt(address, 0);
    const uint32_t w1 = wordAt(address, 1);
    const uint32_t w2 = wordAt(address, 2);
    const uint32_t w3 = wordAt(address, 3);
    if (w0 == 0 && w1 == 0 && (w2 == 0 || w2 == mappedMarker())) {
        return isIPv4InRange(range, w3);
    }
    return w0 == range.ipv6Prefix && isIPv4InRange(range, w3);
}

bool IsAddressInRange(const sockaddr* address)
{
    if (address == nullptr) {
        return false;
    }
    if (address->sa_family == AF_INET6) {
        sockaddr_in6 in6 {};
        std::memcpy(&in6, address, sizeof in6);
        return IsIPv6InFakeRange(in6.sin6_addr);
    }
    if (address->sa_family == AF_INET) {
        sockaddr_in in4 {};
        std::memcpy(&in4, address, sizeof in4);
        return IsIPv4InFakeRange(in4.sin_addr.s_addr);
    }
    return false;
}

in6_addr MapIPv4ToIPv6(uint32_t ipv4, bool usePrefix)
{
    in6_addr out {};
    const uint32_t prefix = usePrefix ? store().current()->ipv6Prefix : 0;
    const uint32_t marker = mappedMarker();
    std::memcpy(out.s6_addr, &prefix, 4);
    std::memcpy(out.s6_addr + 8, &marker, 4);
    std::memcpy(out.s6_addr + 12, &ipv4, 4);
    return out;
}

uint32_t GetIPv4FromIPv6(const in6_addr& address)
{
    const uint32_t w0 = wordAt(address, 0);
    const uint32_t w1 = wordAt(address, 1);
    const uint32_t w2 = wordAt(address, 2);
    const uint32_t w3 = wordAt(address, 3);
    if (w0 != 0 || w1 != 0) {
        return 0;
    }
    if (w2 == mappedMarker()) {
        return w3;
    }
    if (w2 == 0 && w3 != 0 && w3 != htonl(1)) {
        return w3;
    }
    return 0;
}

} // namespace corvantis
