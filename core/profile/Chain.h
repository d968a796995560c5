#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvantis {

// One hop of a chain: a proxy by id, which may be switched off without being removed.
struct CChainEntry {
    int32_t m_ProxyId = 0;
    bool m_Enabled = true;

    bool operator==(const CChainEntry&) const = default;
};

// A proxy chain: its proxies are passed in the order of the entries. A plain value.
class CChain {
public:
    CChain() = default;
    CChain(const std::string& name, int32_t id)
        : m_Name(name)
        , m_Id(id)
    {
    }

    std::string m_Name;
    std::vector<CChainEntry> m_Entries;
    int32_t m_Id = 0; // unique among the profile's chains
};

} // namespace corvantis
