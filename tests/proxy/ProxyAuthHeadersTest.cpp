#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/foundation/Base64.h"
#include "core/foundation/CoreHooks.h"
#include "core/proxy/NtlmAuth.h"
#include "core/proxy/NtlmMessages.h"
#include "core/proxy/ProxyAuthHeaders.h"

namespace corvantis {
namespace {

std::vector<uint8_t> decode(const std::string& text)
{
    CryptBuf out;
    const size_t n = Base64DecodeBuf(text, out);
    return std::vector<uint8_t>(CryptBufGetData(out), CryptBufGetData(out) + n);
}

std::string encode(const std::vector<uint8_t>& bytes)
{
    CryptBuf out;
    const size_t n = Base64EncodeBuf(bytes.data(), bytes.size(), out);
    return std::string(reinterpret_cast<const char*>(CryptBufGetData(out)), n);
}

TEST(BasicAuthHeader, EncodesUserColonPassword)
{
    struct Case {
        const char* user;
        const char* password;
        const char* line;
    };
    const Case cases[] = {
        { "alice", "secret", "Proxy-Authorization: Basic YWxpY2U6c2VjcmV0\r\n" },
        { "alice", "", "Proxy-Authorization: Basic YWxpY2U6\r\n" }, // the colon stays
        { "ab", "cd", "Proxy-Authorization: Basic YWI6Y2Q=\r\n" }, // 5 bytes: 8 characters, one "="
        { "\xC3\xA9", "\xFF", "Proxy-Authorization: Basic w6k6/w==\r\n" }, // bytes as stored
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user);
        EXPECT_EQ(MakeBasicAuthHeader(c.user, c.password), c.line);
    }
}

// A challenge offering NTLMv2, as a proxy sends it.
std::string v2Challenge()
{
    std::vector<uint8_t> m = { 'N', 'T', 'L', 'M', 'S', 'S', 'P', 0, 2, 0, 0, 0, 0, 0, 0, 0, 48, 0, 0, 0 };
    const uint32_t flags = ntlm::kNegotiateNtlm | ntlm::kNegotiateExtendedSessionSecurity | ntlm::kNegotiateUnicode;
    for (int s = 0; s < 32; s += 8)
        m.push_back(static_cast<uint8_t>(flags >> s));
    for (int i = 0; i < 8; ++i)
        m.push_back(static_cast<uint8_t>(i + 1));
    m.insert(m.end(), 8, 0); // reserved
    m.insert(m.end(), { 0, 0, 0, 0, 48, 0, 0, 0 }); // empty target information
    return encode(m);
}

std::vector<uint8_t> headerMessage(const std::string& header)
{
    const std::string prefix = "Proxy-Authorization: NTLM ";
    EXPECT_EQ(header.rfind(prefix, 0), 0u) << header;
    EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
    return decode(header.substr(prefix.size(), header.size() - prefix.size() - 2));
}

TEST(NtlmAuthState, NegotiateThenAuthenticate)
{
    CNtlmAuth auth;
    auth.SetCredentials("DOM\\alice", "secret");
    EXPECT_FALSE(auth.NeedsMorePasses());

    std::string header;
    ASSERT_TRUE(auth.MakeHeader(header, std::nullopt));
    EXPECT_TRUE(auth.NeedsMorePasses());
    std::vector<uint8_t> negotiate;
    BuildNegotiateMessage(negotiate);
    EXPECT_EQ(headerMessage(header), negotiate);

    const std::string challenge = v2Challenge();
    ASSERT_TRUE(auth.MakeHeader(header, std::string_view(challenge))) << auth.GetErrorText();
    EXPECT_FALSE(auth.NeedsMorePasses());
    const auto message = headerMessage(header);
    ASSERT_GE(message.size(), 64u);
    EXPECT_EQ(message[8], 3); // authenticate
}

TEST(NtlmAuthState, ChallengeWithoutCredentialsFailsAndKeepsTheOutput)
{
    struct Case {
        const char* name;
        bool setEmptyUser;
    };
    const Case cases[] = { { "never given", false }, { "empty user name", true } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CNtlmAuth auth;
        if (c.setEmptyUser)
            auth.SetCredentials("", "secret");
        std::string header;
        ASSERT_TRUE(auth.MakeHeader(header, std::nullopt)); // the negotiate message needs no credentials
        const std::string before = header;
        const std::string challenge = v2Challenge();
        EXPECT_FALSE(auth.MakeHeader(header, std::string_view(challenge)));
        EXPECT_EQ(header, before);
        EXPECT_TRUE(auth.NeedsMorePasses());
        EXPECT_NE(auth.GetErrorText().find("credentials"), std::string::npos) << auth.GetErrorText();
    }
}

TEST(NtlmAuthState, MalformedChallengeIsALocalFailure)
{
    CNtlmAuth auth;
    auth.SetCredentials("alice", "secret");
    std::string header = "untouched";
    EXPECT_FALSE(auth.MakeHeader(header, std::string_view("bm90IGFuIE5UTE0gbWVzc2FnZQ==")));
    EXPECT_EQ(header, "untouched");
    EXPECT_NE(auth.GetErrorText().find("challenge"), std::string::npos);
}

// Token sources standing in for the two programs' answers.
bool writesToken(const char* host, size_t* errorLength, char*, size_t* tokenLength, unsigned char* token)
{
    const std::string value = std::string("token-for-") + host;
    std::memcpy(token, value.data(), value.size());
    *tokenLength = value.size();
    *errorLength = 0;
    return true;
}

bool writesError(const char*, size_t* errorLength, char* error, size_t*, unsigned char*)
{
    const char text[] = "No valid token acquired for proxy.test";
    std::memcpy(error, text, sizeof text - 1);
    *errorLength = sizeof text - 1;
    return false;
}

// Writes a short text with its zero byte but leaves the length at the buffer's capacity.
bool writesTerminatedErrorOnly(const char*, size_t*, char* error, size_t*, unsigned char*)
{
    std::strcpy(error, "link lost");
    return false;
}

bool writesOverlongLengths(const char*, size_t* errorLength, char*, size_t* tokenLength, unsigned char* token)
{
    std::memset(token, 'x', kNegotiateBufferSize);
    *tokenLength = kNegotiateBufferSize + 100;
    *errorLength = kNegotiateBufferSize + 100;
    return true;
}

using TokenSourceFn = bool (*)(const char*, size_t*, char*, size_t*, unsigned char*);

// Registers `source` as the program's token source; null leaves the hook empty (the application's answer).
void useTokenSource(TokenSourceFn source)
{
    CoreHooks hooks;
    if (source != nullptr)
        hooks.gssGetTokenForProxyHost = source;
    SetCoreHooks(std::move(hooks));
}

class NegotiateHeader : public ::testing::Test {
protected:
    void TearDown() override { SetCoreHooks(CoreHooks {}); }
};

TEST_F(NegotiateHeader, TokenSourceAnswers)
{
    struct Case {
        const char* name;
        TokenSourceFn source;
        bool ok;
        std::string header;
        std::string error;
    };
    const Case cases[] = {
        { "token", &writesToken, true,
            "Proxy-Authorization: Negotiate " + encode({ 't', 'o', 'k', 'e', 'n', '-', 'f', 'o', 'r', '-', 'p', 'x' })
                + "\r\n",
            "" },
        { "error text", &writesError, false, "", "No valid token acquired for proxy.test" },
        { "text cut at its zero byte", &writesTerminatedErrorOnly, false, "", "link lost" },
        // The application's own entry writes nothing at all: a fixed text, never the buffer's bytes.
        { "nothing written", nullptr, false, "", "No Negotiate token is available for px." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        useTokenSource(c.source);
        std::string error = "old";
        std::string header;
        EXPECT_EQ(MakeNegotiateAuthHeader(error, header, "px"), c.ok);
        EXPECT_EQ(header, c.header);
        EXPECT_EQ(error, c.error);
    }
}

TEST_F(NegotiateHeader, LengthsBeyondTheBuffersAreCut)
{
    useTokenSource(&writesOverlongLengths);
    std::string error;
    std::string header;
    ASSERT_TRUE(MakeNegotiateAuthHeader(error, header, "px"));
    const std::string prefix = "Proxy-Authorization: Negotiate ";
    EXPECT_EQ(decode(header.substr(prefix.size())).size(), kNegotiateBufferSize);
    EXPECT_TRUE(error.empty());
}

} // namespace
} // namespace corvantis
