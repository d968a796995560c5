#include "supervisor/ConfigurationFile.h"

#include "platform/AtomicFile.h"
#include "platform/PlistXml.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>
#include <sys/random.h>
#include <system_error>

namespace corvantis {

namespace {

constexpr int64_t kFormatVersion = 1;

// Reads a whole file: its text, nothing when it does not exist, or the reason it cannot be read.
Result<std::optional<std::string>> readWhole(const std::filesystem::path& path)
{
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        if (ec)
            return Status::error(ec.value(), path.string() + ": " + ec.message());
        return std::optional<std::string> {};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Status::error(EACCES, path.string() + ": cannot be opened");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return Status::error(EIO, path.string() + ": read error");
    return std::optional<std::string> { std::move(text) };
}

// Typed lookups in one dictionary of the file; a missing key or a wrong type makes the file damaged.
class Reader {
public:
    Reader(const PlistDict& dict, std::string where)
        : m_dict(dict)
        , m_where(std::move(where))
    {
    }

    const PlistValue* find(const char* key) const
    {
        auto it = m_dict.find(key);
        return it == m_dict.end() ? nullptr : &it->second;
    }
    bool string(const char* key, std::string& out)
    {
        const PlistValue* v = find(key);
        if (!v || !v->string())
            return fail(key, "a string");
        out = *v->string();
        return true;
    }
    bool boolean(const char* key, bool& out)
    {
        const PlistValue* v = find(key);
        if (!v || !v->boolean())
            return fail(key, "a boolean");
        out = *v->boolean();
        return true;
    }
    // An optional dictionary: true with null `out` when absent.
    bool optionalDict(const char* key, const PlistDict*& out)
    {
        const PlistValue* v = find(key);
        out = v ? v->dict() : nullptr;
        return !v || out || fail(key, "a dictionary");
    }
    bool fail(const char* key, const char* what)
    {
        if (m_error.empty())
            m_error = m_where + ": \"" + key + "\" is not " + what;
        return false;
    }
    const std::string& error() const { return m_error; }

private:
    const PlistDict& m_dict;
    const std::string m_where;
    std::string m_error;
};

PlistValue encodeOne(const NEConfiguration& c)
{
    PlistDict d;
    d["Identifier"] = c.identifier;
    d["Kind"] = static_cast<int>(c.kind);
    d["LocalizedDescription"] = c.localizedDescription;
    d["Enabled"] = c.enabled;
    if (c.tunnelProtocol) {
        const NETunnelProviderProtocol& p = *c.tunnelProtocol;
        PlistDict providerConfiguration;
        for (const auto& [key, value] : p.providerConfiguration)
            providerConfiguration[key] = value;
        d["TunnelProtocol"] = PlistDict {
            { "Username", p.username },
            { "ServerAddress", p.serverAddress },
            { "ProviderBundleIdentifier", p.providerBundleIdentifier },
            { "ProviderConfiguration", std::move(providerConfiguration) },
            { "ExcludeLocalNetworks", p.excludeLocalNetworks },
            { "IncludeAllNetworks", p.includeAllNetworks },
            { "DisconnectOnSleep", p.disconnectOnSleep },
        };
    }
    if (c.dnsProtocol)
        d["DNSProtocol"] = PlistDict { { "ProviderBundleIdentifier", c.dnsProtocol->providerBundleIdentifier } };
    if (c.filterConfiguration)
        d["FilterConfiguration"] = PlistDict {
            { "FilterSockets", c.filterConfiguration->filterSockets },
            { "FilterPackets", c.filterConfiguration->filterPackets },
        };
    return d;
}

Result<NEConfiguration> decodeOne(const PlistValue& value, size_t index)
{
    const std::string where = "configuration " + std::to_string(index);
    if (!value.dict())
        return Status::error(EINVAL, where + " is not a dictionary");
    Reader r(*value.dict(), where);
    NEConfiguration c;
    const PlistValue* kind = r.find("Kind");
    if (!kind || !kind->integer() || *kind->integer() < 0 || *kind->integer() > 2) {
        r.fail("Kind", "a known kind (0, 1 or 2)");
        return Status::error(EINVAL, r.error());
    }
    c.kind = static_cast<NEConfigurationKind>(*kind->integer());
    const PlistDict* tunnel = nullptr;
    const PlistDict* dns = nullptr;
    const PlistDict* filter = nullptr;
    if (!r.string("Identifier", c.identifier) || !r.string("LocalizedDescription", c.localizedDescription)
        || !r.boolean("Enabled", c.enabled) || !r.optionalDict("TunnelProtocol", tunnel)
        || !r.optionalDict("DNSProtocol", dns) || !r.optionalDict("FilterConfiguration", filter))
        return Status::error(EINVAL, r.error());
    if (c.identifier.empty())
        return Status::error(EINVAL, where + " has an empty identifier");

    if (tunnel) {
        Reader t(*tunnel, where + " TunnelProtocol");
        NETunnelProviderProtocol p;
        const PlistDict* providerConfiguration = nullptr;
        if (!t.string("Username", p.username) || !t.string("ServerAddress", p.serverAddress)
            || !t.string("ProviderBundleIdentifier", p.providerBundleIdentifier)
            || !t.optionalDict("ProviderConfiguration", providerConfiguration)
            || !t.boolean("ExcludeLocalNetworks", p.excludeLocalNetworks)
            || !t.boolean("IncludeAllNetworks", p.includeAllNetworks)
            || !t.boolean("DisconnectOnSleep", p.disconnectOnSleep))
            return Status::error(EINVAL, t.error());
        if (providerConfiguration) {
            for (const auto& [key, entry] : *providerConfiguration) {
                if (!entry.string())
                    return Status::error(EINVAL, where + " ProviderConfiguration \"" + key + "\" is not a string");
                p.providerConfiguration[key] = *entry.string();
            }
        }
        c.tunnelProtocol = std::move(p);
    }
    if (dns) {
        Reader d(*dns, where + " DNSProtocol");
        NEDNSProxyProviderProtocol p;
        if (!d.string("ProviderBundleIdentifier", p.providerBundleIdentifier))
            return Status::error(EINVAL, d.error());
        c.dnsProtocol = std::move(p);
    }
    if (filter) {
        Reader f(*filter, where + " FilterConfiguration");
        NEFilterProviderConfiguration p;
        if (!f.boolean("FilterSockets", p.filterSockets) || !f.boolean("FilterPackets", p.filterPackets))
            return Status::error(EINVAL, f.error());
        c.filterConfiguration = p;
    }
    return c;
}

// The rules every stored list follows.
Status validate(const std::vector<NEConfiguration>& list)
{
    std::set<std::string> identifiers;
    int dnsProxies = 0;
    int filters = 0;
    for (const NEConfiguration& c : list) {
        if (c.identifier.empty())
            return Status::error(EINVAL, "a configuration has no identifier");
        if (!identifiers.insert(c.identifier).second)
            return Status::error(EINVAL, "the identifier " + c.identifier + " is used twice");
        switch (c.kind) {
        case NEConfigurationKind::TransparentProxy:
            break;
        case NEConfigurationKind::DnsProxy:
            ++dnsProxies;
            break;
        case NEConfigurationKind::ContentFilter:
            ++filters;
            break;
        default:
            return Status::error(EINVAL, "the configuration " + c.identifier + " has an unknown kind");
        }
    }
    if (dnsProxies > 1)
        return Status::error(EINVAL, "more than one DNS proxy configuration");
    if (filters > 1)
        return Status::error(EINVAL, "more than one content filter configuration");
    return {};
}

Result<std::vector<NEConfiguration>> parseFile(const std::string& text)
{
    auto plist = PlistXml::parse(text);
    if (!plist.ok())
        return plist.status();
    return ConfigurationFile::decode(plist.value());
}

} // namespace

ConfigurationFile::ConfigurationFile(std::filesystem::path file)
    : m_file(std::move(file))
{
}

Result<std::vector<NEConfiguration>> ConfigurationFile::load() const
{
    auto text = readWhole(m_file);
    if (!text.ok())
        return text.status();
    if (!text.value())
        return std::vector<NEConfiguration> {};
    auto list = parseFile(**text);
    if (!list.ok())
        return Status::error(list.status().errnum(), m_file.string() + ": " + list.status().message());
    return list;
}

Status ConfigurationFile::save(const std::vector<NEConfiguration>& configurations) const
{
    Status valid = validate(configurations);
    if (!valid.ok())
        return Status::error(valid.errnum(), "Cannot save the configurations: " + valid.message());
    auto xml = PlistXml::serialize(encode(configurations));
    if (!xml.ok())
        return Status::error(xml.status().errnum(), "Cannot save the configurations: " + xml.status().message());

    AtomicFile::FolderLock lock(m_file.parent_path());
    if (!lock.ok())
        return lock.status();
    // What is on disk now must be readable: replacing a damaged file would lose whatever it still holds.
    auto current = readWhole(m_file);
    if (!current.ok())
        return current.status();
    if (current.value()) {
        auto old = parseFile(**current);
        if (!old.ok())
            return Status::error(old.status().errnum(),
                m_file.string() + " is damaged and is left as it is (" + old.status().message()
                    + "); repair or remove it to save configurations again");
    }
    return AtomicFile::replace(m_file, xml.value(), 0600);
}

NEConfiguration ConfigurationFile::put(std::vector<NEConfiguration>& list, NEConfiguration configuration)
{
    auto same = std::find_if(list.begin(), list.end(), [&](const NEConfiguration& c) {
        return !configuration.identifier.empty() && c.identifier == configuration.identifier
            && c.kind == configuration.kind;
    });
    if (same == list.end() && configuration.kind != NEConfigurationKind::TransparentProxy)
        same = std::find_if(
            list.begin(), list.end(), [&](const NEConfiguration& c) { return c.kind == configuration.kind; });
    if (same != list.end()) {
        configuration.identifier = same->identifier;
        *same = configuration;
        return configuration;
    }
    // Identifiers are the store's to give: one the list does not know (or knows for another kind) is replaced,
    // so two entries never share one.
    configuration.identifier = newIdentifier();
    list.push_back(configuration);
    return configuration;
}

std::string ConfigurationFile::newIdentifier()
{
    uint8_t bytes[16];
    size_t done = 0;
    while (done < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + done, sizeof bytes - done, 0);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (errno != EINTR)
            std::abort(); // the kernel's random source does not fail once the system has booted
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40); // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80); // the standard variant
    std::string text;
    char hex[3];
    for (size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        std::snprintf(hex, sizeof hex, "%02X", bytes[i]);
        text += hex;
    }
    return text;
}

PlistValue ConfigurationFile::encode(const std::vector<NEConfiguration>& configurations)
{
    PlistArray list;
    for (const NEConfiguration& c : configurations)
        list.push_back(encodeOne(c));
    return PlistDict { { "Version", kFormatVersion }, { "Configurations", std::move(list) } };
}

Result<std::vector<NEConfiguration>> ConfigurationFile::decode(const PlistValue& plist)
{
    const PlistDict* root = plist.dict();
    if (!root)
        return Status::error(EINVAL, "not a dictionary");
    auto version = root->find("Version");
    if (version == root->end() || !version->second.integer() || *version->second.integer() != kFormatVersion)
        return Status::error(EINVAL, "unknown format version");
    auto entries = root->find("Configurations");
    if (entries == root->end() || !entries->second.array())
        return Status::error(EINVAL, "\"Configurations\" is not an array");
    std::vector<NEConfiguration> list;
    for (size_t i = 0; i < entries->second.array()->size(); ++i) {
        auto c = decodeOne((*entries->second.array())[i], i);
        if (!c.ok())
            return c.status();
        list.push_back(std::move(c.value()));
    }
    Status valid = validate(list);
    if (!valid.ok())
        return valid;
    return list;
}

} // namespace corvantis
