#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvantis {

// The state of one NTLM exchange with a proxy, from the negotiate message to the authenticate message, as
// "Proxy-Authorization: NTLM ..." header lines. Lives for one exchange on one thread.
class CNtlmAuth final {
public:
    // `scheme` is the name written before the message in the header ("NTLM").
    explicit CNtlmAuth(std::string scheme = "NTLM");
    ~CNtlmAuth();
    CNtlmAuth(const CNtlmAuth&) = delete;
    CNtlmAuth& operator=(const CNtlmAuth&) = delete;

    // Stores both texts (UTF-8). A non-empty user name gives the exchange credentials; an empty one leaves the
    // state as it was.
    void SetCredentials(const std::string& user, const std::string& password);

    // Builds the next header line into `out`: the negotiate message without a challenge, the authenticate
    // message for the Base64 `challenge`. On failure returns false, leaves `out` as it was and explains why in
    // GetErrorText().
    bool MakeHeader(std::string& out, const std::optional<std::string_view>& challenge);

    // True after the negotiate message: the proxy's challenge is still to come.
    bool NeedsMorePasses() const { return m_More; }
    const std::string& GetScheme() const { return m_Scheme; }
    // Why the last MakeHeader failed; empty otherwise.
    const std::string& GetErrorText() const { return m_ErrorText; }

private:
    std::string m_Scheme;
    bool m_NoCredentials = true;
    std::string m_UserName;
    std::string m_Password;
    bool m_More = false;
    std::string m_ErrorText;
};

// Builds one NTLM message as Base64 text into `out`: without a challenge the negotiate message (`more` becomes
// true), with a Base64 challenge the authenticate message for `user` and `password` (`more` becomes false). An
// authenticate message needs credentials: a challenge without them fails. On failure returns false with the
// reason in `error`; `out` and `more` are then unchanged.
bool NtlmMakeMessage(const std::optional<std::string_view>& challenge, std::string& out, bool& more,
    const std::string* user, const std::string* password, std::string& error);

} // namespace corvantis
