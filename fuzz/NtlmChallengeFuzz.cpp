// libFuzzer target for the NTLM challenge a proxy sends in its 407 reply: the bytes are the decoded challenge
// message, and also, as text, the Base64 token of the header. A challenge is accepted only when every payload
// it names lies inside it, and an accepted one always yields an authenticate message whose payloads lie inside
// that message.

#include "core/foundation/Base64.h"
#include "core/proxy/NtlmAuth.h"
#include "core/proxy/NtlmMessages.h"
#include "fuzz/FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace corvantis;
using fuzz::check;

namespace {

uint16_t u16(const std::vector<uint8_t>& m, size_t at)
{
    return static_cast<uint16_t>(m[at] | (m[at + 1] << 8));
}

uint32_t u32(const std::vector<uint8_t>& m, size_t at)
{
    return u16(m, at) | (static_cast<uint32_t>(u16(m, at + 2)) << 16);
}

// Every security buffer of the authenticate message (LM, NT, domain, user, workstation, session key) points inside
// the message.
void checkAuthenticate(const std::vector<uint8_t>& message)
{
    check(message.size() >= ntlm::kAuthenticatePayloadOffset);
    check(std::memcmp(message.data(), "NTLMSSP\0", 8) == 0);
    check(u32(message, 8) == 3);
    for (size_t field = 12; field <= 52; field += 8) {
        const size_t length = u16(message, field);
        const size_t offset = u32(message, field + 4);
        check(offset <= message.size() && length <= message.size() - offset);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    ntlm::Challenge challenge;
    const bool accepted = ntlm::ParseChallengeMessage(data, size, challenge);
    if (accepted) {
        check(size >= ntlm::kChallengeMinSize);
        check(challenge.targetName.size() <= size && challenge.targetInfo.size() <= size);
    }

    const ntlm::ClientEntropy entropy { { 1, 2, 3, 4, 5, 6, 7, 8 }, 0x01d0000000000000ull };
    for (const char* user : { "DOMAIN\\user", "user@realm.example", "user" }) {
        std::vector<uint8_t> message;
        std::string error;
        const bool built = BuildAuthenticateMessage(user, "password", data, size, entropy, message, error);
        check(built == accepted);
        if (built)
            checkAuthenticate(message);
        else
            check(!error.empty() && message.empty());
    }

    // The same bytes as the header's Base64 token; and the challenge itself sent as Base64, as a proxy does.
    const std::string user = "user";
    const std::string password = "password";
    std::string out;
    bool more = true;
    std::string error;
    const std::string token(reinterpret_cast<const char*>(data), size);
    if (!NtlmMakeMessage(token, out, more, &user, &password, error))
        check(!error.empty());
    CryptBuf encoded;
    const size_t length = Base64EncodeBuf(data, size, encoded);
    const std::string base64
        = length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(CryptBufGetData(encoded)), length);
    out.clear();
    error.clear();
    check(NtlmMakeMessage(base64, out, more, &user, &password, error) == accepted);
    return 0;
}
