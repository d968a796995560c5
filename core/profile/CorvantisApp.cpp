#include "CorvantisApp.h"

#include "ProfileText.h"

#include <algorithm>

namespace corvantis {

CCorvantisApp* theApp = nullptr;

CCorvantisApp::~CCorvantisApp() = default;

bool CCorvantisApp::IsOwnHostName(const std::string& name) const
{
    if (name.empty())
        return false;
    const std::string lower = profile_text::ToLower(name);
    std::lock_guard<std::mutex> lock(networkLock);
    for (const std::string& own : ownNames) {
        if (lower == own || (lower.size() == own.size() + 1 && lower.back() == '.' && lower.starts_with(own)))
            return true;
    }
    return false;
}

bool CCorvantisApp::IsOwnIPv4(uint32_t address) const
{
    std::lock_guard<std::mutex> lock(networkLock);
    return std::find(ownIPv4.begin(), ownIPv4.end(), address) != ownIPv4.end();
}

bool CCorvantisApp::IsOwnIPv6(const IPv6Addr& address) const
{
    std::lock_guard<std::mutex> lock(networkLock);
    if (std::find(ownIPv6.begin(), ownIPv6.end(), address) != ownIPv6.end())
        return true;
    uint32_t ipv4;
    return GetEmbeddedIPv4(address, ipv4) && std::find(ownIPv4.begin(), ownIPv4.end(), ipv4) != ownIPv4.end();
}

void CCorvantisApp::SetOwnIdentity(
    std::vector<std::string> names, std::vector<uint32_t> ipv4, std::vector<IPv6Addr> ipv6)
{
    for (std::string& name : names)
        StrToLower(name);
    std::lock_guard<std::mutex> lock(networkLock);
    ownNames = std::move(names);
    ownIPv4 = std::move(ipv4);
    ownIPv6 = std::move(ipv6);
}

} // namespace corvantis
