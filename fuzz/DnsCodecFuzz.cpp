// libFuzzer target for the DNS codec: any bytes, read as a request and as a message of either kind, must be
// handled without reading out of bounds; an answer built onto an accepted request must read back as a response
// carrying exactly that answer; the addresses of a parsed response feed the placeholder table.

#include "core/foundation/FakeAddressRange.h"
#include "extension/engine/DnsCodec.h"
#include "extension/engine/DnsStorage.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <vector>

using namespace corvantis;

namespace {

void check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

void buildAnswer(const uint8_t* data, size_t size, const sockaddr* address, size_t addressLength)
{
    // The request sits in a buffer of its exact size plus a little room, so a write past the room is caught.
    const size_t room = size % 64;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[size + room]);
    std::memcpy(buffer.get(), data, size);
    size_t length = size;
    if (!AppendDnsAnswer(buffer.get(), length, size + room, address, 7)) {
        check(length == size);
        check(std::memcmp(buffer.get(), data, size) == 0);
        return;
    }
    check(length <= size + room);
    DnsMessageInfo info;
    std::vector<DnsAnswerAddress> answers;
    std::string error;
    const DnsParseResult result = ParseDnsMessage(buffer.get(), length, DnsMessageKind::Response, info, answers, error);
    check(result == DnsParseResult::Accepted);
    check(error.empty());
    check(info.kind == DnsMessageKind::Response);
    check(!info.authenticData);
    check(answers.size() == 1);
    check(answers[0].ttl == 7);
    check(answers[0].address.ss_family == address->sa_family);
    check(std::memcmp(&answers[0].address, address, addressLength) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static CDnsStorage* table = [] {
        SetAddressRange("10.0.0.0", 8, 0x175a00fd);
        return new CDnsStorage();
    }();

    DnsMessageInfo info;
    std::string error;
    const DnsParseResult request = ParseDnsRequest(data, size, info, error);
    check(request == DnsParseResult::HeaderRejected || request == DnsParseResult::QuestionRejected
        || request == DnsParseResult::Accepted);
    if (request == DnsParseResult::Accepted) {
        check(info.name.size() <= 255);
        sockaddr_in in4 {};
        in4.sin_family = AF_INET;
        in4.sin_addr.s_addr = htonl(0x0A000B0B);
        buildAnswer(data, size, reinterpret_cast<const sockaddr*>(&in4), sizeof in4);
        sockaddr_in6 in6 {};
        in6.sin6_family = AF_INET6;
        in6.sin6_addr.s6_addr[15] = 1;
        buildAnswer(data, size, reinterpret_cast<const sockaddr*>(&in6), sizeof in6);
    }

    for (DnsMessageKind kind : { DnsMessageKind::Request, DnsMessageKind::Response }) {
        std::vector<DnsAnswerAddress> answers;
        const DnsParseResult result = ParseDnsMessage(data, size, kind, info, answers, error);
        if (result != DnsParseResult::Accepted) {
            check(answers.empty());
            continue;
        }
        for (const DnsAnswerAddress& answer : answers) {
            check(answer.typeOffset + 10 <= size);
            check(answer.nameOffset < answer.typeOffset);
        }
        if (!answers.empty()) {
            table->AddAnswersToRecord(info.nameLow, true, answers, kind == DnsMessageKind::Response);
        }
    }
    return 0;
}
