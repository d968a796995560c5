#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <optional>
#include <random>
#include <string>
#include <sys/socket.h>
#include <vector>

#include "extension/engine/DnsCodec.h"
#include "platform/Mutex.h"

namespace corvantis {

// Seconds of the machine's boot-time clock (CLOCK_BOOTTIME: monotonic, and counting while the machine sleeps).
uint64_t BootTimeSeconds();

// Until when an address learnt with `ttl` (seconds, as on the wire) stays valid, from `now`: with `exactTtl`
// now + max(ttl, 10); otherwise now + 600 for a TTL below 300, now + 2147483647 for a TTL of 2^29 or more, else
// now + 2 * ttl.
uint64_t ExpiryFromTtl(uint64_t now, uint32_t ttl, bool exactTtl);

// The engine's memory of host names and their addresses. Each name gets one record holding a placeholder ("fake")
// IPv4 address from the placeholder range (GetFakeAddressRange) and the matching placeholder IPv6 address
// (prefix::ffff:a.b.c.d), the real addresses learnt for it from DNS answers, each with its own expiry, and the last
// DNS request an application sent for it per address family. It answers which address to give an application that
// asks for a name (a valid real one when known, else the placeholder), which name an address belongs to, and what
// to send to resolve a name again. Records go only through expiry: a record whose real addresses and placeholders
// have all run out is swept (at most once per second of the clock) with its address entries, and the name gets new
// placeholders when it comes back. Placeholder allocation visits each host number of the range at most once.
//
// Thread-safety: one mutex guards the maps and every record. The public operations take it themselves, except
// FindRecord and the Pick functions, whose callers hold Mutex() (the resolver, which reads a record's fields in
// the same critical section).
class CDnsStorage final {
public:
    using Clock = std::function<uint64_t()>; // seconds; must never go backwards
    using IPv6Bytes = std::array<uint8_t, 16>;

    // The last DNS request an application sent for a name in one address family.
    struct dnsRequestData {
        std::vector<uint8_t> request;
        std::optional<sockaddr_storage> serverAddr; // the DNS server it was addressed to, when known
    };

    struct CDnsRecord {
        std::map<uint32_t, uint64_t> realIPv4; // address (network order) -> expiry
        std::map<IPv6Bytes, uint64_t> realIPv6; // address -> expiry
        uint64_t realExpiry = 0; // the latest expiry ever given to a real address, plus 300
        uint32_t fakeIPv4 = 0; // network order; 0 when the range had no free address
        IPv6Bytes fakeIPv6 {}; // all zero when fakeIPv4 is 0
        uint64_t fakeExpiry = 0; // until when the placeholders were last handed out, plus 600
        std::string name;
        std::map<uint16_t, dnsRequestData> requests; // by AF_INET / AF_INET6
    };
    using RecordPtr = std::shared_ptr<CDnsRecord>;

    // `clock` gives the seconds all lifetimes are measured in; tests pass their own.
    explicit CDnsStorage(Clock clock = BootTimeSeconds);
    CDnsStorage(const CDnsStorage&) = delete;
    CDnsStorage& operator=(const CDnsStorage&) = delete;

    // An address to give an application asking `name`: a valid real IPv4 address (picked at random) with its
    // remaining lifetime in `ttl`, else the placeholder with `ttl` 600 (which keeps the placeholder alive 600 s).
    // Returns 0 when there is no record (and `create` is false) or when the placeholder range had no free address.
    // When `request` is non-null and `requestLength` above 0, the bytes are kept, with `server` (nullable; a whole
    // sockaddr_in or sockaddr_in6), as the name's last IPv4 request.
    uint32_t AddressForNameIPv4(const std::string& name, bool create, const uint8_t* request, size_t requestLength,
        const sockaddr* server, uint64_t& ttl);
    // The same for IPv6; all zero where the IPv4 form returns 0.
    in6_addr AddressForNameIPv6(const std::string& name, bool create, const uint8_t* request, size_t requestLength,
        const sockaddr* server, uint64_t& ttl);

    // Records a real address of `name` (creating the record) with the lifetime ExpiryFromTtl gives. Addresses that
    // are zero or inside the placeholder range are ignored; returns whether the address was recorded.
    bool AddRealIPv4(uint32_t address, const std::string& name, uint32_t ttl, bool exactTtl);
    bool AddRealIPv6(const in6_addr& address, const std::string& name, uint32_t ttl, bool exactTtl);

    // Records every usable A and AAAA answer for `name`. With `shortTtl` each TTL is first brought into 10..60 s
    // and taken exactly. Nothing happens when there is no record and `create` is false.
    void AddAnswersToRecord(
        const std::string& name, bool create, const std::vector<DnsAnswerAddress>& answers, bool shortTtl);

    // The name of the record holding the address (placeholder or real), or "" when none does.
    std::string NameForIPv4(uint32_t address);
    std::string NameForIPv6(const in6_addr& address);

    // For callers that read a record's fields: hold this while calling FindRecord and the Pick functions and while
    // touching the record they return.
    corvantis::Mutex& Mutex() RETURN_CAPABILITY(m_mutex) { return m_mutex; }
    // The record of `name` (after an expiry sweep); a new one with fresh placeholders when `create` is set and none
    // exists; else null. Caller holds Mutex().
    RecordPtr FindRecord(const std::string& name, bool create) REQUIRES(m_mutex);
    // A valid real address of the record, picked at random, with its remaining lifetime; expired addresses met on
    // the way are dropped from the record. False when none is left. Caller holds Mutex().
    bool PickRealIPv4(CDnsRecord& record, uint32_t& address, uint64_t& ttl) REQUIRES(m_mutex);
    bool PickRealIPv6(CDnsRecord& record, IPv6Bytes& address, uint64_t& ttl) REQUIRES(m_mutex);

private:
    void sweep(uint64_t now) REQUIRES(m_mutex);
    static bool isExpired(const CDnsRecord& record, uint64_t now);
    uint32_t allocateFakeIPv4() REQUIRES(m_mutex);
    void reindexRecord(const RecordPtr& record, uint64_t now) REQUIRES(m_mutex);
    void storeRequest(CDnsRecord& record, uint16_t family, const uint8_t* request, size_t requestLength,
        const sockaddr* server) REQUIRES(m_mutex);
    void addRealIPv4Locked(CDnsRecord& record, uint32_t address, uint64_t expiry) REQUIRES(m_mutex);
    void addRealIPv6Locked(CDnsRecord& record, const IPv6Bytes& address, uint64_t expiry) REQUIRES(m_mutex);
    size_t drawIndex(size_t size) REQUIRES(m_mutex);
    template <typename Address>
    bool pickReal(std::map<Address, uint64_t>& addresses, Address& address, uint64_t& ttl) REQUIRES(m_mutex);

    const Clock m_clock;
    corvantis::Mutex m_mutex;
    std::map<std::string, RecordPtr> m_byName GUARDED_BY(m_mutex);
    std::map<IPv6Bytes, RecordPtr> m_byIPv6 GUARDED_BY(m_mutex);
    std::map<uint32_t, RecordPtr> m_byIPv4 GUARDED_BY(m_mutex);
    uint32_t m_lastFakeHost GUARDED_BY(m_mutex) = 10; // the first host number handed out is 11
    std::optional<uint64_t> m_lastSweep GUARDED_BY(m_mutex); // the clock second of the last sweep
    std::minstd_rand m_random GUARDED_BY(m_mutex);
};

} // namespace corvantis
