#include "core/proxy/ProxyAuthHeaders.h"

#include "core/foundation/Base64.h"
#include "core/foundation/CoreHooks.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace corvantis {

std::string MakeBasicAuthHeader(const std::string& user, const std::string& password)
{
    const std::string credentials = user + ":" + password;
    CryptBuf encoded;
    const size_t length = Base64EncodeBuf(credentials.data(), credentials.size(), encoded);
    return "Proxy-Authorization: Basic " + std::string(reinterpret_cast<const char*>(CryptBufGetData(encoded)), length)
        + "\r\n";
}

bool MakeNegotiateAuthHeader(std::string& error, std::string& header, const std::string& hostName)
{
    // Zero-filled, so that whatever the source leaves unwritten reads as the end of the text instead of old
    // memory.
    std::vector<uint8_t> token(kNegotiateBufferSize, 0);
    std::vector<char> errorBuffer(kNegotiateBufferSize, 0);
    size_t tokenLength = kNegotiateBufferSize;
    size_t errorLength = kNegotiateBufferSize;
    const bool ok
        = GssGetTokenForProxyHost(hostName.c_str(), &errorLength, errorBuffer.data(), &tokenLength, token.data());

    const size_t errorBytes = std::min<size_t>(errorLength, errorBuffer.size());
    const size_t textEnd = std::find(errorBuffer.begin(), errorBuffer.begin() + errorBytes, '\0') - errorBuffer.begin();
    error.assign(errorBuffer.data(), textEnd);
    if (!ok) {
        if (error.empty())
            error = "No Negotiate token is available for " + hostName + ".";
        return false;
    }
    token.resize(std::min<size_t>(tokenLength, token.size()));
    std::vector<uint8_t> encoded;
    Base64Encode(token, encoded);
    header = "Proxy-Authorization: Negotiate " + std::string(encoded.begin(), encoded.end()) + "\r\n";
    return true;
}

} // namespace corvantis
