#include "platform/LocalAddresses.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <memory>
#include <netinet/in.h>

namespace corvantis {

std::vector<std::string> localAddressTexts()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return {};
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, freeifaddrs);

    std::vector<std::string> texts;
    for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
        if (!entry->ifa_addr)
            continue;
        char text[INET6_ADDRSTRLEN] = {};
        const void* address = nullptr;
        int family = entry->ifa_addr->sa_family;
        if (family == AF_INET)
            address = &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr;
        else if (family == AF_INET6)
            address = &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr;
        else
            continue;
        if (inet_ntop(family, address, text, sizeof text) && text[0] != '\0')
            texts.emplace_back(text);
    }
    return texts;
}

} // namespace corvantis
