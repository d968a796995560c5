#include "extension/engine/DnsCodec.h"

#include <cstring>
#include <netinet/in.h>

namespace corvantis {

namespace {

constexpr size_t kHeaderSize = 12;
constexpr size_t kNameTextSize = 256; // room for 255 bytes of text and a terminating zero
constexpr int kMaxNameSteps = 50; // labels and pointers of one name together; ends pointer loops
constexpr size_t kMaxCountedNameLength = 257;
constexpr uint16_t kFlagResponse = 0x8000;
constexpr uint16_t kFlagAuthenticData = 0x0020;

const char kDataTooShort[] = "data is too short";
const char kLongerThanNecessary[] = "data is longer than necessary";

struct DnsHeader {
    uint16_t id = 0;
    uint16_t flags = 0;
    uint16_t qdCount = 0;
    uint16_t anCount = 0;
    uint16_t nsCount = 0;
    uint16_t arCount = 0;
};

struct DnsQuestion {
    char name[kNameTextSize] = {};
    size_t nameLength = 0;
    uint16_t qtype = 0;
    uint16_t qclass = 0;
    uint16_t nameOffset = 0;
};

uint16_t read16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t read32(const uint8_t* p)
{
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16)
        | (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

void write16(uint8_t* p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

void write32(uint8_t* p, uint32_t value)
{
    write16(p, static_cast<uint16_t>(value >> 16));
    write16(p + 2, static_cast<uint16_t>(value));
}

DnsHeader readHeader(const uint8_t* data)
{
    DnsHeader h;
    h.id = read16(data);
    h.flags = read16(data + 2);
    h.qdCount = read16(data + 4);
    h.anCount = read16(data + 6);
    h.nsCount = read16(data + 8);
    h.arCount = read16(data + 10);
    return h;
}

// Reads the name that starts at `pos` into `text` (each label followed by a dot, zero-terminated). On success
// `pos` moves past the name as it stands at that place: past its final zero byte, or past the first compression
// pointer. Every byte is checked to lie inside data[0, length) before it is read; at most kMaxNameSteps labels
// and pointers are followed, so a pointer loop fails instead of spinning.
bool readName(const uint8_t* data, size_t length, size_t& pos, char (&text)[kNameTextSize], size_t& textLength,
    bool* compressed = nullptr)
{
    size_t cursor = pos;
    bool followedPointer = false;
    size_t room = kNameTextSize - 1;
    size_t counted = 0;
    size_t written = 0;
    int steps = 1;
    for (;;) {
        if (cursor >= length || counted >= kMaxCountedNameLength) {
            return false;
        }
        const uint8_t labelLength = data[cursor];
        if (labelLength >= 0xC0) {
            if (length - cursor < 2) {
                return false;
            }
            const size_t target = (static_cast<size_t>(labelLength & 0x3F) << 8) | data[cursor + 1];
            if (!followedPointer) {
                pos = cursor + 2;
                followedPointer = true;
            }
            cursor = target;
            if (++steps > kMaxNameSteps) {
                return false;
            }
            continue;
        }
        if (labelLength == 0) {
            if (!followedPointer) {
                pos = cursor + 1;
            }
            break;
        }
        if (length - cursor - 1 < labelLength) {
            return false;
        }
        if (room - 1 < labelLength) {
            return false;
        }
        std::memcpy(text + written, data + cursor + 1, labelLength);
        written += labelLength;
        text[written++] = '.';
        room -= static_cast<size_t>(labelLength) + 1;
        if (room < 1) {
            return false;
        }
        counted += static_cast<size_t>(labelLength) + 1;
        cursor += static_cast<size_t>(labelLength) + 1;
        if (++steps > kMaxNameSteps) {
            return false;
        }
    }
    text[written] = '\0';
    textLength = written;
    if (compressed != nullptr) {
        *compressed = followedPointer;
    }
    return true;
}

// The header check for the expected kind; on failure `error` holds the prefixed reason.
bool checkHeader(const uint8_t* data, size_t length, DnsMessageKind expected, DnsHeader& header, std::string& error)
{
    const char* reason = nullptr;
    if (length < kHeaderSize) {
        reason = kDataTooShort;
    } else {
        header = readHeader(data);
        if (expected == DnsMessageKind::Request && (header.flags & kFlagResponse) != 0) {
            reason = "response flag set but request expected";
        } else if (header.qdCount != 1) {
            reason = "QDCOUNT is not 1";
        } else if (expected == DnsMessageKind::Request && (header.anCount != 0 || header.nsCount != 0)) {
            reason = "One of ANCOUNT, NSCOUNT is non zero and request expected";
        }
    }
    if (reason == nullptr) {
        return true;
    }
    error = "DNS header check finished with error: ";
    error += reason;
    return false;
}

// Reads the question at offset 12; on success `pos` is the offset just after it.
bool readQuestion(const uint8_t* data, size_t length, DnsQuestion& question, size_t& pos, std::string& error)
{
    pos = kHeaderSize;
    question.nameOffset = static_cast<uint16_t>(pos);
    if (!readName(data, length, pos, question.name, question.nameLength)) {
        error = "name is not retrieved";
        return false;
    }
    if (question.nameLength > kNameTextSize) {
        error = "Name too long";
        return false;
    }
    if (length - pos < 4) {
        error = "Incorrect DNS Request";
        return false;
    }
    question.qtype = read16(data + pos);
    question.qclass = read16(data + pos + 2);
    pos += 4;
    if (question.qclass != kDnsClassIN) {
        error = "QCLASS should be 1";
        return false;
    }
    return true;
}

void fillInfo(const DnsHeader& header, const DnsQuestion& question, DnsMessageInfo& info)
{
    info.id = header.id;
    info.authenticData = (header.flags & kFlagAuthenticData) != 0;
    info.kind = (header.flags & kFlagResponse) != 0 ? DnsMessageKind::Response : DnsMessageKind::Request;
    info.otherRecords = static_cast<uint64_t>(header.anCount) + header.nsCount + header.arCount;
    info.name.assign(question.name, question.nameLength);
    info.nameLow = info.name;
    for (char& c : info.nameLow) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    switch (question.qtype) {
    case kDnsTypeA:
        info.family = AF_INET;
        break;
    case kDnsTypeAAAA:
        info.family = AF_INET6;
        break;
    default:
        info.family = 0;
        break;
    }
    info.qtype = question.qtype;
}

} // namespace

DnsParseResult ParseDnsRequest(const uint8_t* data, size_t length, DnsMessageInfo& info, std::string& error)
{
    error.clear();
    DnsHeader header;
    if (data == nullptr || !checkHeader(data, length, DnsMessageKind::Request, header, error)) {
        if (data == nullptr) {
            error = std::string("DNS header check finished with error: ") + kDataTooShort;
        }
        return DnsParseResult::HeaderRejected;
    }
    DnsQuestion question;
    size_t pos = 0;
    if (!readQuestion(data, length, question, pos, error)) {
        return DnsParseResult::QuestionRejected;
    }
    if (pos < length) {
        error = kLongerThanNecessary;
    }
    fillInfo(header, question, info);
    return DnsParseResult::Accepted;
}

DnsParseResult ParseDnsMessage(const uint8_t* data, size_t length, DnsMessageKind expected, DnsMessageInfo& info,
    std::vector<DnsAnswerAddress>& answers, std::string& error)
{
    error.clear();
    DnsHeader header;
    if (data == nullptr || !checkHeader(data, length, expected, header, error)) {
        if (data == nullptr) {
            error = std::string("DNS header check finished with error: ") + kDataTooShort;
        }
        return DnsParseResult::HeaderRejected;
    }
    DnsQuestion question;
    size_t pos = 0;
    if (!readQuestion(data, length, question, pos, error)) {
        return DnsParseResult::QuestionRejected;
    }
    fillInfo(header, question, info);

    if (info.kind == DnsMessageKind::Request) {
        if (pos < length && header.arCount == 0) {
            error = kLongerThanNecessary;
        }
        return DnsParseResult::Accepted;
    }

    std::vector<DnsAnswerAddress> found;
    for (uint16_t i = 0; i < header.anCount; ++i) {
        if (pos > length || length - pos < 10) {
            error = "buffer too small on answer reading";
            return DnsParseResult::QuestionRejected;
        }
        const size_t recordStart = pos;
        char name[kNameTextSize];
        size_t nameLength = 0;
        if (!readName(data, length, pos, name, nameLength)) {
            error = "name is not retrived";
            return DnsParseResult::QuestionRejected;
        }
        if (length - pos < 10) {
            error = kDataTooShort;
            return DnsParseResult::QuestionRejected;
        }
        const size_t typeOffset = pos;
        const uint16_t type = read16(data + pos);
        const uint32_t ttl = read32(data + pos + 4);
        const uint16_t rdLength = read16(data + pos + 8);
        pos += 10;
        if (length - pos < rdLength) {
            error = kDataTooShort;
            return DnsParseResult::QuestionRejected;
        }
        if (type == kDnsTypeAAAA && rdLength != 16) {
            error = "payload size mismatch (6)";
            return DnsParseResult::QuestionRejected;
        }
        if (type == kDnsTypeA && rdLength != 4) {
            error = "payload size mismatch (4)";
            return DnsParseResult::QuestionRejected;
        }
        if (type == kDnsTypeA || type == kDnsTypeAAAA) {
            DnsAnswerAddress answer;
            if (type == kDnsTypeA) {
                sockaddr_in in4 {};
                in4.sin_family = AF_INET;
                std::memcpy(&in4.sin_addr, data + pos, 4);
                std::memcpy(&answer.address, &in4, sizeof in4);
            } else {
                sockaddr_in6 in6 {};
                in6.sin6_family = AF_INET6;
                std::memcpy(&in6.sin6_addr, data + pos, 16);
                std::memcpy(&answer.address, &in6, sizeof in6);
            }
            answer.ttl = ttl;
            answer.nameOffset = recordStart;
            answer.typeOffset = typeOffset;
            found.push_back(answer);
        }
        pos += rdLength;
    }
    answers.insert(answers.end(), found.begin(), found.end());
    if (pos < length && header.nsCount == 0 && header.arCount == 0) {
        error = kLongerThanNecessary;
    }
    return DnsParseResult::Accepted;
}

namespace {

// The answer must follow the question directly: anything after the question (an EDNS option record above all,
// which dig and most stub resolvers send) would otherwise be read as the answer. Finds the end of the single
// question; false when there is not exactly one question with a readable, uncompressed name.
bool findQuestionEnd(const uint8_t* message, size_t length, size_t& questionEnd)
{
    const DnsHeader header = readHeader(message);
    if (header.qdCount != 1) {
        return false;
    }
    questionEnd = kHeaderSize;
    char name[kNameTextSize];
    size_t nameLength = 0;
    // A query's question has no earlier name to point at: a pointer there leads into the header, which is about
    // to change, or past the question, which is about to go. Such a question is not answered.
    bool compressed = false;
    if (!readName(message, length, questionEnd, name, nameLength, &compressed) || compressed
        || length - questionEnd < 4) {
        return false;
    }
    questionEnd += 4;
    return true;
}

// The request's header turned into a response's: QR set, AD cleared (the engine vouches for nothing it makes up),
// the other flags and the ID kept, `answers` answer records and no other records.
void writeResponseHeader(uint8_t* message, uint16_t answers)
{
    const DnsHeader header = readHeader(message);
    write16(message + 2, static_cast<uint16_t>((header.flags | kFlagResponse) & ~kFlagAuthenticData));
    write16(message + 6, answers);
    write16(message + 8, 0);
    write16(message + 10, 0);
}

} // namespace

bool AppendDnsAnswer(uint8_t* message, size_t& length, size_t capacity, const sockaddr* address, uint32_t ttl)
{
    if (message == nullptr || address == nullptr || length < kHeaderSize || length > capacity) {
        return false;
    }
    uint8_t addressBytes[16];
    size_t addressLength = 0;
    uint16_t type = 0;
    if (address->sa_family == AF_INET) {
        sockaddr_in in4 {};
        std::memcpy(&in4, address, sizeof in4);
        std::memcpy(addressBytes, &in4.sin_addr, 4);
        addressLength = 4;
        type = kDnsTypeA;
    } else if (address->sa_family == AF_INET6) {
        sockaddr_in6 in6 {};
        std::memcpy(&in6, address, sizeof in6);
        std::memcpy(addressBytes, &in6.sin6_addr, 16);
        addressLength = 16;
        type = kDnsTypeAAAA;
    } else {
        return false;
    }

    size_t questionEnd = 0;
    if (!findQuestionEnd(message, length, questionEnd)) {
        return false;
    }
    const size_t answerSize = 12 + addressLength;
    if (capacity - questionEnd < answerSize) {
        return false;
    }

    writeResponseHeader(message, 1);

    uint8_t* answer = message + questionEnd;
    answer[0] = 0xC0;
    answer[1] = static_cast<uint8_t>(kHeaderSize);
    write16(answer + 2, type);
    write16(answer + 4, kDnsClassIN);
    write32(answer + 6, ttl);
    write16(answer + 10, static_cast<uint16_t>(addressLength));
    std::memcpy(answer + 12, addressBytes, addressLength);
    length = questionEnd + answerSize;
    return true;
}

bool MakeDnsEmptyAnswer(uint8_t* message, size_t& length)
{
    if (message == nullptr || length < kHeaderSize) {
        return false;
    }
    size_t questionEnd = 0;
    if (!findQuestionEnd(message, length, questionEnd)) {
        return false;
    }
    writeResponseHeader(message, 0);
    length = questionEnd;
    return true;
}

} // namespace corvantis
