#include "core/proxy/NtlmAuth.h"

#include "core/foundation/Base64.h"
#include "core/proxy/NtlmMessages.h"

#include <vector>

namespace corvantis {

CNtlmAuth::CNtlmAuth(std::string scheme)
    : m_Scheme(std::move(scheme))
{
}

CNtlmAuth::~CNtlmAuth() = default;

void CNtlmAuth::SetCredentials(const std::string& user, const std::string& password)
{
    m_UserName = user;
    m_Password = password;
    if (!user.empty())
        m_NoCredentials = false;
}

bool CNtlmAuth::MakeHeader(std::string& out, const std::optional<std::string_view>& challenge)
{
    std::string message;
    bool more = m_More;
    m_ErrorText.clear();
    const bool made = m_NoCredentials
        ? NtlmMakeMessage(challenge, message, more, nullptr, nullptr, m_ErrorText)
        : NtlmMakeMessage(challenge, message, more, &m_UserName, &m_Password, m_ErrorText);
    if (!made)
        return false;
    out = "Proxy-Authorization: " + m_Scheme + " " + message + "\r\n";
    m_More = more;
    return true;
}

bool NtlmMakeMessage(const std::optional<std::string_view>& challenge, std::string& out, bool& more,
    const std::string* user, const std::string* password, std::string& error)
{
    std::vector<uint8_t> message;
    if (challenge) {
        if (user == nullptr || password == nullptr) {
            error = "the proxy asks for NTLM credentials, but none are configured.";
            return false;
        }
        CryptBuf decoded;
        const size_t length = Base64DecodeBuf(*challenge, decoded);
        if (!BuildAuthenticateMessage(*user, *password, CryptBufGetData(decoded), length, message, error))
            return false;
    } else {
        BuildNegotiateMessage(message);
    }
    if (message.empty()) {
        error = "no NTLM message was made.";
        return false;
    }
    CryptBuf encoded;
    const size_t textLength = Base64EncodeBuf(message.data(), message.size(), encoded);
    out.assign(reinterpret_cast<const char*>(CryptBufGetData(encoded)), textLength);
    more = !challenge.has_value();
    return true;
}

} // namespace corvantis
