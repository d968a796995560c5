#include "platform/sysext/SupervisorProtocol.h"

#include <cerrno>

namespace corvantis {

namespace {

using T = XpcObject::Type;

Status Malformed(const std::string& what)
{
    return Status::error(EINVAL, "malformed " + what);
}

// Reads the field `key` of `dict` into `out` when present; a present field of another type is an error.
template <typename V> bool ReadField(const XpcDict& dict, const std::string& key, V& out, std::string& why)
{
    const auto it = dict.find(key);
    if (it == dict.end())
        return true;
    if constexpr (std::is_same_v<V, std::string>) {
        if (const std::string* s = it->second.string()) {
            out = *s;
            return true;
        }
    } else if constexpr (std::is_same_v<V, bool>) {
        if (const bool* b = it->second.boolean()) {
            out = *b;
            return true;
        }
    } else {
        static_assert(std::is_same_v<V, int64_t>);
        if (const int64_t* n = it->second.integer()) {
            out = *n;
            return true;
        }
    }
    why = key;
    return false;
}

// The dictionary in field `key`, null when absent; `why` is set when the field holds something else.
const XpcDict* DictField(const XpcDict& dict, const std::string& key, std::string& why)
{
    const auto it = dict.find(key);
    if (it == dict.end())
        return nullptr;
    if (!it->second.dict())
        why = key;
    return it->second.dict();
}

} // namespace

XpcInterfacePtr SupervisorInterface()
{
    static const XpcInterfacePtr interface = std::make_shared<const XpcInterface>("Supervisor",
        std::vector<XpcSelector> {
            { kSubmitRequestSelector, { { T::Integer }, { T::Integer }, { T::String } }, std::nullopt },
            { kLoadConfigurationsSelector, { { T::Integer } },
                std::vector<XpcValueType> { { T::Array, false, true }, { T::String, true } } },
            { kSaveConfigurationSelector, { { T::Dict, false, true } },
                std::vector<XpcValueType> { { T::Dict, true, true }, { T::String, true } } },
            { kStartSessionSelector, { { T::String } }, std::vector<XpcValueType> { { T::String, true } } },
            { kStopSessionSelector, { { T::String } }, std::vector<XpcValueType> { { T::Bool } } },
            { kSessionStatusesSelector, {}, std::vector<XpcValueType> { { T::Dict, false, true } } },
            { kSessionMessageSelector, { { T::String }, { T::Data } },
                std::vector<XpcValueType> { { T::Bool }, { T::Data, true } } },
            { kAllowUserSelector, { { T::Integer } }, std::vector<XpcValueType> { { T::Bool }, { T::String } } },
        });
    return interface;
}

XpcInterfacePtr SupervisorClientInterface()
{
    static const XpcInterfacePtr interface = std::make_shared<const XpcInterface>("SupervisorClient",
        std::vector<XpcSelector> {
            { kRequestNeedsApprovalSelector, { { T::Integer } }, std::nullopt },
            { kRequestReplacingSelector, { { T::Integer }, { T::String }, { T::String } },
                std::vector<XpcValueType> { { T::Integer } } },
            { kRequestFinishedSelector, { { T::Integer }, { T::Integer } }, std::nullopt },
            { kRequestFailedSelector, { { T::Integer }, { T::String } }, std::nullopt },
            { kRequestFoundPropertiesSelector, { { T::Integer }, { T::Array, false, true } }, std::nullopt },
            { kSessionStatusChangedSelector, { { T::String }, { T::Integer } }, std::nullopt },
        });
    return interface;
}

XpcObject ConfigurationToXpc(const NEConfiguration& configuration)
{
    XpcDict dict;
    dict["identifier"] = XpcObject(configuration.identifier);
    dict["kind"] = XpcObject(static_cast<int>(configuration.kind));
    dict["localizedDescription"] = XpcObject(configuration.localizedDescription);
    dict["enabled"] = XpcObject(configuration.enabled);
    if (const auto& tunnel = configuration.tunnelProtocol) {
        XpcDict providerConfiguration;
        for (const auto& [key, value] : tunnel->providerConfiguration)
            providerConfiguration[key] = XpcObject(value);
        dict["tunnelProtocol"] = XpcObject(XpcDict {
            { "username", XpcObject(tunnel->username) },
            { "serverAddress", XpcObject(tunnel->serverAddress) },
            { "providerBundleIdentifier", XpcObject(tunnel->providerBundleIdentifier) },
            { "providerConfiguration", XpcObject(std::move(providerConfiguration)) },
            { "excludeLocalNetworks", XpcObject(tunnel->excludeLocalNetworks) },
            { "includeAllNetworks", XpcObject(tunnel->includeAllNetworks) },
            { "disconnectOnSleep", XpcObject(tunnel->disconnectOnSleep) },
        });
    }
    if (const auto& dns = configuration.dnsProtocol)
        dict["dnsProtocol"]
            = XpcObject(XpcDict { { "providerBundleIdentifier", XpcObject(dns->providerBundleIdentifier) } });
    if (const auto& filter = configuration.filterConfiguration)
        dict["filterConfiguration"] = XpcObject(XpcDict {
            { "filterSockets", XpcObject(filter->filterSockets) },
            { "filterPackets", XpcObject(filter->filterPackets) },
        });
    return XpcObject(std::move(dict));
}

Result<NEConfiguration> ConfigurationFromXpc(const XpcObject& value)
{
    const XpcDict* dict = value.dict();
    if (!dict)
        return Malformed("configuration: not a dictionary");
    NEConfiguration configuration;
    std::string why;
    int64_t kind = 0;
    if (!ReadField(*dict, "identifier", configuration.identifier, why) || !ReadField(*dict, "kind", kind, why)
        || !ReadField(*dict, "localizedDescription", configuration.localizedDescription, why)
        || !ReadField(*dict, "enabled", configuration.enabled, why))
        return Malformed("configuration field " + why);
    if (kind < 0 || kind > 2)
        return Malformed("configuration kind " + std::to_string(kind));
    configuration.kind = static_cast<NEConfigurationKind>(kind);
    if (const XpcDict* tunnel = DictField(*dict, "tunnelProtocol", why)) {
        NETunnelProviderProtocol protocol;
        if (!ReadField(*tunnel, "username", protocol.username, why)
            || !ReadField(*tunnel, "serverAddress", protocol.serverAddress, why)
            || !ReadField(*tunnel, "providerBundleIdentifier", protocol.providerBundleIdentifier, why)
            || !ReadField(*tunnel, "excludeLocalNetworks", protocol.excludeLocalNetworks, why)
            || !ReadField(*tunnel, "includeAllNetworks", protocol.includeAllNetworks, why)
            || !ReadField(*tunnel, "disconnectOnSleep", protocol.disconnectOnSleep, why))
            return Malformed("tunnel protocol field " + why);
        if (const XpcDict* entries = DictField(*tunnel, "providerConfiguration", why)) {
            for (const auto& [key, entry] : *entries) {
                if (!entry.string())
                    return Malformed("provider configuration entry " + key);
                protocol.providerConfiguration[key] = *entry.string();
            }
        }
        configuration.tunnelProtocol = std::move(protocol);
    }
    if (const XpcDict* dns = DictField(*dict, "dnsProtocol", why)) {
        NEDNSProxyProviderProtocol protocol;
        if (!ReadField(*dns, "providerBundleIdentifier", protocol.providerBundleIdentifier, why))
            return Malformed("DNS protocol field " + why);
        configuration.dnsProtocol = std::move(protocol);
    }
    if (const XpcDict* filter = DictField(*dict, "filterConfiguration", why)) {
        NEFilterProviderConfiguration settings;
        if (!ReadField(*filter, "filterSockets", settings.filterSockets, why)
            || !ReadField(*filter, "filterPackets", settings.filterPackets, why))
            return Malformed("filter configuration field " + why);
        configuration.filterConfiguration = settings;
    }
    if (!why.empty())
        return Malformed("configuration field " + why);
    return configuration;
}

XpcObject PropertiesToXpc(const SystemExtensionProperties& properties)
{
    return XpcObject(XpcDict {
        { "bundleIdentifier", XpcObject(properties.bundleIdentifier) },
        { "bundleShortVersion", XpcObject(properties.bundleShortVersion) },
        { "isEnabled", XpcObject(properties.isEnabled) },
        { "isAwaitingUserApproval", XpcObject(properties.isAwaitingUserApproval) },
    });
}

Result<SystemExtensionProperties> PropertiesFromXpc(const XpcObject& value)
{
    const XpcDict* dict = value.dict();
    if (!dict)
        return Malformed("extension properties: not a dictionary");
    SystemExtensionProperties properties;
    std::string why;
    if (!ReadField(*dict, "bundleIdentifier", properties.bundleIdentifier, why)
        || !ReadField(*dict, "bundleShortVersion", properties.bundleShortVersion, why)
        || !ReadField(*dict, "isEnabled", properties.isEnabled, why)
        || !ReadField(*dict, "isAwaitingUserApproval", properties.isAwaitingUserApproval, why))
        return Malformed("extension properties field " + why);
    return properties;
}

} // namespace corvantis
