#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/socket.h>
#include <vector>

// Reading and writing of DNS messages in their UDP wire form (no length prefix). The codec is pure: it touches
// only the buffers and records passed to it, never allocates while reading a name, and checks every length, label
// and compression pointer against the message before using it. Safe to call from any thread.

namespace corvantis {

constexpr uint16_t kDnsTypeA = 1;
constexpr uint16_t kDnsTypeAAAA = 28;
constexpr uint16_t kDnsClassIN = 1;

// What a message is (the QR bit); the numbers are those the engine's callers pass around.
enum class DnsMessageKind : int32_t {
    Request = 3,
    Response = 4,
};

enum class DnsParseResult : int {
    HeaderRejected = 2, // too short, or counts/flags not acceptable for the expected kind
    QuestionRejected = 3, // the question (or, for a response, an answer record) could not be read
    Accepted = 4, // done; the error text may still hold a warning
};

// What callers learn about a message.
struct DnsMessageInfo {
    uint16_t id = 0;
    bool authenticData = false; // the AD bit (0x0020) was set
    DnsMessageKind kind = DnsMessageKind::Request;
    uint64_t otherRecords = 0; // ANCOUNT + NSCOUNT + ARCOUNT
    std::string name; // the question's name: each label followed by a dot ("ab.cd."); the root name is ""
    std::string nameLow; // the same with A-Z turned into a-z; no other byte changes
    uint8_t family = 0; // AF_INET for QTYPE A, AF_INET6 for QTYPE AAAA, else 0
    uint16_t qtype = 0;
};

// One A or AAAA record of a response.
struct DnsAnswerAddress {
    sockaddr_storage address {}; // sockaddr_in or sockaddr_in6 with port 0 and the record's address
    uint32_t ttl = 0; // as on the wire
    uint64_t nameOffset = 0; // offset of the record's first byte (its name) in the message
    uint64_t typeOffset = 0; // offset of the record's TYPE field in the message
};

// Parses an application's DNS query: exactly one question of class IN and no answer or authority records
// (additional records, such as an EDNS option record, are allowed). `info` is filled only on Accepted. `error` is
// cleared first, then holds the reason on a rejection, or the warning "data is longer than necessary" when bytes
// follow the question. Reads only data[0, length).
DnsParseResult ParseDnsRequest(const uint8_t* data, size_t length, DnsMessageInfo& info, std::string& error);

// Parses a message of the expected kind. For a response every answer record is read; the A and AAAA ones are
// appended to `answers` (in message order) only when the whole answer section was read; other types are skipped.
// Authority and additional records are not read. `info` is filled once the question was read, so also when an
// answer record is rejected. `error` is cleared first, then set as for ParseDnsRequest.
DnsParseResult ParseDnsMessage(const uint8_t* data, size_t length, DnsMessageKind expected, DnsMessageInfo& info,
    std::vector<DnsAnswerAddress>& answers, std::string& error);

// Turns the request message[0, length) into a response carrying one answer for its question: the QR bit set, the
// AD bit cleared (the engine vouches for nothing it makes up), the other flags and the ID kept; one answer record
// (name pointing at the question, class IN, the given TTL, type A for an AF_INET address and AAAA for an AF_INET6
// one) placed right after the question; whatever followed the question in the request (an EDNS option record, for
// instance) is dropped and ANCOUNT, NSCOUNT and ARCOUNT become 1, 0 and 0. `address` must point at a whole
// sockaddr_in or sockaddr_in6 as its family says. Returns true and moves `length` past the answer when the answer
// fits within `capacity`; returns false, leaving the message untouched, when it does not, when the address is of
// another family, or when the message holds no single question with a readable, uncompressed name.
bool AppendDnsAnswer(uint8_t* message, size_t& length, size_t capacity, const sockaddr* address, uint32_t ttl);

// Turns the request message[0, length) into a response that says the name has no record of the asked type: the
// header as AppendDnsAnswer sets it but with no answer record, and the message cut right after the question.
// Returns false, leaving the message untouched, for a message AppendDnsAnswer would not answer.
bool MakeDnsEmptyAnswer(uint8_t* message, size_t& length);

} // namespace corvantis
