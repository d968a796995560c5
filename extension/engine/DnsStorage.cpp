#include "extension/engine/DnsStorage.h"

#include "core/foundation/FakeAddressRange.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <sys/random.h>

namespace corvantis {

namespace {

constexpr uint64_t kFakeLifetime = 600; // what a placeholder answer promises, and how long it is kept for that
constexpr uint64_t kRealGrace = 300; // a record outlives its last real address by this much
constexpr uint32_t kFirstFakeHost = 10; // host numbers below this are never handed out
constexpr uint32_t kShortTtlMin = 10;
constexpr uint32_t kShortTtlMax = 60;

CDnsStorage::IPv6Bytes toBytes(const in6_addr& address)
{
    CDnsStorage::IPv6Bytes bytes;
    std::memcpy(bytes.data(), address.s6_addr, bytes.size());
    return bytes;
}

in6_addr toIn6(const CDnsStorage::IPv6Bytes& bytes)
{
    in6_addr address {};
    std::memcpy(address.s6_addr, bytes.data(), bytes.size());
    return address;
}

bool isZero(const CDnsStorage::IPv6Bytes& bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; });
}

uint32_t seedFromSystem()
{
    uint32_t seed = 0;
    if (getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) {
        seed = static_cast<uint32_t>(std::time(nullptr));
    }
    // The generator's state must lie in 1 .. 2^31 - 2.
    seed %= std::minstd_rand::modulus;
    return seed == 0 ? 1 : seed;
}

} // namespace

uint64_t BootTimeSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<uint64_t>(now.tv_sec);
}

uint64_t ExpiryFromTtl(uint64_t now, uint32_t ttl, bool exactTtl)
{
    if (exactTtl) {
        return now + std::max<uint64_t>(ttl, 10);
    }
    if (ttl < 300) {
        return now + 600;
    }
    if (ttl >= 0x20000000u) {
        return now + 0x7fffffffu;
    }
    return now + 2 * static_cast<uint64_t>(ttl);
}

CDnsStorage::CDnsStorage(Clock clock)
    : m_clock(std::move(clock))
    , m_random(seedFromSystem())
{
}

bool CDnsStorage::isExpired(const CDnsRecord& record, uint64_t now)
{
    return record.realExpiry < now && record.fakeExpiry < now;
}

void CDnsStorage::sweep(uint64_t now)
{
    if (m_lastSweep == now) {
        return;
    }
    m_lastSweep = now;
    auto dead = [now](const RecordPtr& record) { return !record || isExpired(*record, now); };
    std::erase_if(m_byName, [&dead](const auto& entry) { return dead(entry.second); });
    std::erase_if(m_byIPv4, [&dead](const auto& entry) { return dead(entry.second); });
    std::erase_if(m_byIPv6, [&dead](const auto& entry) { return dead(entry.second); });
}

uint32_t CDnsStorage::allocateFakeIPv4()
{
    const FakeAddressRange range = GetFakeAddressRange();
    const uint32_t mask = range.hostMask;
    // A range too small to hold any host number from 10 up has nothing to give; the host number would otherwise
    // spill out of the range.
    if (mask < kFirstFakeHost) {
        return 0;
    }
    // Host numbers are handed out in ascending order, starting again at 10 after the highest; each candidate is
    // visited at most once per allocation, so a full range ends the search after one round.
    const uint64_t candidates = static_cast<uint64_t>(mask) - kFirstFakeHost + 1;
    for (uint64_t i = 0; i < candidates; ++i) {
        uint32_t host = (m_lastFakeHost + 1) & mask;
        if (host < kFirstFakeHost) {
            host = kFirstFakeHost;
        }
        m_lastFakeHost = host;
        const uint32_t candidate = range.base | htonl(host);
        if (m_byIPv4.find(candidate) == m_byIPv4.end()) {
            return candidate;
        }
    }
    return 0;
}

CDnsStorage::RecordPtr CDnsStorage::FindRecord(const std::string& name, bool create)
{
    sweep(m_clock());
    auto it = m_byName.find(name);
    if (it != m_byName.end()) {
        return it->second;
    }
    if (!create) {
        return nullptr;
    }
    auto record = std::make_shared<CDnsRecord>();
    record->name = name;
    record->fakeIPv4 = allocateFakeIPv4();
    if (record->fakeIPv4 != 0) {
        record->fakeIPv6 = toBytes(MapIPv4ToIPv6(record->fakeIPv4, true));
        m_byIPv4[record->fakeIPv4] = record;
        m_byIPv6[record->fakeIPv6] = record;
    }
    m_byName[name] = record;
    return record;
}

size_t CDnsStorage::drawIndex(size_t size)
{
    std::uniform_int_distribution<size_t> pick(0, size - 1);
    return pick(m_random);
}

// Draws live addresses at random, dropping expired ones as they are met, until one is live or none is left.
template <typename Address>
bool CDnsStorage::pickReal(std::map<Address, uint64_t>& addresses, Address& address, uint64_t& ttl)
{
    const uint64_t now = m_clock();
    while (!addresses.empty()) {
        auto it = std::next(addresses.begin(), static_cast<std::ptrdiff_t>(drawIndex(addresses.size())));
        if (it->second >= now) {
            address = it->first;
            ttl = it->second - now;
            return true;
        }
        addresses.erase(it);
    }
    return false;
}

bool CDnsStorage::PickRealIPv4(CDnsRecord& record, uint32_t& address, uint64_t& ttl)
{
    return pickReal(record.realIPv4, address, ttl);
}

bool CDnsStorage::PickRealIPv6(CDnsRecord& record, IPv6Bytes& address, uint64_t& ttl)
{
    return pickReal(record.realIPv6, address, ttl);
}

void CDnsStorage::storeRequest(
    CDnsRecord& record, uint16_t family, const uint8_t* request, size_t requestLength, const sockaddr* server)
{
    if (request == nullptr || requestLength == 0) {
        return;
    }
    dnsRequestData data;
    data.request.assign(request, request + requestLength);
    if (server != nullptr && (server->sa_family == AF_INET || server->sa_family == AF_INET6)) {
        sockaddr_storage storage {};
        std::memcpy(&storage, server, server->sa_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
        data.serverAddr = storage;
    }
    record.requests[family] = std::move(data);
}

uint32_t CDnsStorage::AddressForNameIPv4(const std::string& name, bool create, const uint8_t* request,
    size_t requestLength, const sockaddr* server, uint64_t& ttl)
{
    MutexLock lock(m_mutex);
    RecordPtr record = FindRecord(name, create);
    if (!record) {
        return 0;
    }
    storeRequest(*record, AF_INET, request, requestLength, server);
    uint32_t real = 0;
    if (PickRealIPv4(*record, real, ttl)) {
        return real;
    }
    ttl = kFakeLifetime;
    record->fakeExpiry = m_clock() + kFakeLifetime;
    return record->fakeIPv4;
}

in6_addr CDnsStorage::AddressForNameIPv6(const std::string& name, bool create, const uint8_t* request,
    size_t requestLength, const sockaddr* server, uint64_t& ttl)
{
    MutexLock lock(m_mutex);
    RecordPtr record = FindRecord(name, create);
    if (!record) {
        return in6_addr {};
    }
    storeRequest(*record, AF_INET6, request, requestLength, server);
    IPv6Bytes real {};
    if (PickRealIPv6(*record, real, ttl)) {
        return toIn6(real);
    }
    ttl = kFakeLifetime;
    record->fakeExpiry = m_clock() + kFakeLifetime;
    return toIn6(record->fakeIPv6);
}

void CDnsStorage::addRealIPv4Locked(CDnsRecord& record, uint32_t address, uint64_t expiry)
{
    record.realIPv4[address] = expiry;
    record.realExpiry = std::max(record.realExpiry, expiry + kRealGrace);
}

void CDnsStorage::addRealIPv6Locked(CDnsRecord& record, const IPv6Bytes& address, uint64_t expiry)
{
    record.realIPv6[address] = expiry;
    record.realExpiry = std::max(record.realExpiry, expiry + kRealGrace);
}

void CDnsStorage::reindexRecord(const RecordPtr& record, uint64_t now)
{
    for (auto it = record->realIPv4.begin(); it != record->realIPv4.end();) {
        if (it->second >= now) {
            m_byIPv4[it->first] = record;
            ++it;
        } else {
            it = record->realIPv4.erase(it);
        }
    }
    for (auto it = record->realIPv6.begin(); it != record->realIPv6.end();) {
        if (it->second >= now) {
            m_byIPv6[it->first] = record;
            ++it;
        } else {
            it = record->realIPv6.erase(it);
        }
    }
}

bool CDnsStorage::AddRealIPv4(uint32_t address, const std::string& name, uint32_t ttl, bool exactTtl)
{
    if (address == 0 || IsIPv4InFakeRange(address)) {
        return false;
    }
    MutexLock lock(m_mutex);
    RecordPtr record = FindRecord(name, true);
    if (!record) {
        return false;
    }
    const uint64_t now = m_clock();
    addRealIPv4Locked(*record, address, ExpiryFromTtl(now, ttl, exactTtl));
    reindexRecord(record, now);
    return true;
}

bool CDnsStorage::AddRealIPv6(const in6_addr& address, const std::string& name, uint32_t ttl, bool exactTtl)
{
    const IPv6Bytes bytes = toBytes(address);
    if (isZero(bytes) || IsIPv6InFakeRange(address)) {
        return false;
    }
    MutexLock lock(m_mutex);
    RecordPtr record = FindRecord(name, true);
    if (!record) {
        return false;
    }
    const uint64_t now = m_clock();
    addRealIPv6Locked(*record, bytes, ExpiryFromTtl(now, ttl, exactTtl));
    reindexRecord(record, now);
    return true;
}

void CDnsStorage::AddAnswersToRecord(
    const std::string& name, bool create, const std::vector<DnsAnswerAddress>& answers, bool shortTtl)
{
    MutexLock lock(m_mutex);
    RecordPtr record = FindRecord(name, create);
    if (!record) {
        return;
    }
    const uint64_t now = m_clock();
    for (const DnsAnswerAddress& answer : answers) {
        const uint32_t ttl = shortTtl ? std::clamp(answer.ttl, kShortTtlMin, kShortTtlMax) : answer.ttl;
        if (answer.address.ss_family == AF_INET) {
            sockaddr_in in4 {};
            std::memcpy(&in4, &answer.address, sizeof in4);
            const uint32_t address = in4.sin_addr.s_addr;
            if (address != 0 && !IsIPv4InFakeRange(address)) {
                addRealIPv4Locked(*record, address, ExpiryFromTtl(now, ttl, shortTtl));
            }
        } else if (answer.address.ss_family == AF_INET6) {
            sockaddr_in6 in6 {};
            std::memcpy(&in6, &answer.address, sizeof in6);
            const IPv6Bytes bytes = toBytes(in6.sin6_addr);
            if (!isZero(bytes) && !IsIPv6InFakeRange(in6.sin6_addr)) {
                addRealIPv6Locked(*record, bytes, ExpiryFromTtl(now, ttl, shortTtl));
            }
        }
    }
    reindexRecord(record, now);
}

std::string CDnsStorage::NameForIPv4(uint32_t address)
{
    MutexLock lock(m_mutex);
    sweep(m_clock());
    auto it = m_byIPv4.find(address);
    return it != m_byIPv4.end() && it->second ? it->second->name : std::string();
}

std::string CDnsStorage::NameForIPv6(const in6_addr& address)
{
    MutexLock lock(m_mutex);
    sweep(m_clock());
    auto it = m_byIPv6.find(toBytes(address));
    return it != m_byIPv6.end() && it->second ? it->second->name : std::string();
}

} // namespace corvantis
