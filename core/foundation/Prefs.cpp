#include "core/foundation/Prefs.h"

#include "platform/AtomicFile.h"
#include "platform/DefaultsStore.h"
#include "platform/PlistXml.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <syslog.h>

namespace corvantis {

namespace {

std::string plainKey(const char* section, const char* key)
{
    return std::string(section ? section : "") + key;
}

std::string keyPath(const char* section, const char* key)
{
    return (section && *section) ? std::string(section) + "." + key : std::string(key);
}

std::optional<PlistValue> lookInDict(const PlistDict& dict, const std::string& path)
{
    const PlistDict* current = &dict;
    size_t start = 0;
    for (;;) {
        size_t dot = path.find('.', start);
        auto it = current->find(path.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (it == current->end())
            return std::nullopt;
        if (dot == std::string::npos)
            return it->second;
        current = it->second.dict();
        if (!current)
            return std::nullopt;
        start = dot + 1;
    }
}

std::optional<std::string> textAt(const char* domain, const char* section, const char* key)
{
    if (auto v = GetPrefObject(domain, section, key))
        return v->textValue();
    return std::nullopt;
}

} // namespace

std::optional<PlistValue> GetPrefObject(const char* domain, const char* section, const char* key)
{
    if (!key)
        return std::nullopt;
    const std::string path = keyPath(section, key);
    DefaultsStore& store = DefaultsStore::standard();
    if (domain && *domain) {
        auto dict = store.persistentDomainForName(domain);
        return dict ? lookInDict(*dict, path) : std::nullopt;
    }
    return store.objectForKeyPath(path);
}

int SetPrefObject(const char* key, std::optional<PlistValue> object)
{
    if (!key)
        return -1;
    return DefaultsStore::standard().setObject(key, std::move(object)) ? 0 : -1;
}

std::string GetPrefString(const char* domain, const char* section, const char* key, const char* defaultValue)
{
    if (key) {
        const std::string plain = plainKey(section, key);
        if (auto text = textAt(domain, nullptr, plain.c_str()))
            return *text;
        if (auto text = textAt(domain, section, key))
            return *text;
    }
    return defaultValue ? defaultValue : "";
}

bool SetPrefString(const char* section, const char* key, const char* value)
{
    // Text the defaults cannot hold is refused instead of erasing what is stored.
    if (!key || !value || !PlistXml::isStorableText(value))
        return false;
    return DefaultsStore::standard().setObject(plainKey(section, key), PlistValue(value));
}

int64_t GetPrefInt(const char*, const char* section, const char* key, int64_t defaultValue)
{
    if (!key)
        return defaultValue;
    const std::string plain = plainKey(section, key);
    if (auto v = GetPrefObject(nullptr, nullptr, plain.c_str()))
        return v->integerValue();
    if (auto v = GetPrefObject(nullptr, section, key))
        return v->integerValue();
    return defaultValue;
}

int SetPrefInt(const char* section, const char* key, int64_t value)
{
    if (!key)
        return -1;
    return DefaultsStore::standard().setObject(plainKey(section, key), PlistValue(value)) ? 0 : -1;
}

int SetPlistFileInt(const char* path, const char* key, int64_t value)
{
    auto fail = [&](const std::string& why) {
        syslog(LOG_ERR, "%s",
            ("Cannot set " + std::string(key ? key : "") + " in " + (path ? path : "") + ": " + why).c_str());
        return -1;
    };
    if (!path || !*path || !key)
        return fail("no file or key");
    const std::filesystem::path file(path);
    AtomicFile::FolderLock lock(file.parent_path());
    if (!lock.ok())
        return fail(lock.status().message());

    PlistDict dict;
    mode_t mode = 0600;
    struct stat st { };
    if (::stat(path, &st) == 0) {
        mode = st.st_mode & 07777;
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        if (!in)
            return fail("cannot be read");
        if (!text.str().empty()) { // an empty file holds nothing to keep
            auto parsed = PlistXml::parse(text.str());
            if (!parsed)
                return fail(parsed.status().message());
            if (!parsed->dict())
                return fail("not a dictionary");
            dict = std::move(*parsed->dict());
        }
    } else if (errno != ENOENT) {
        return fail("cannot be read");
    }
    dict[key] = PlistValue(value);
    auto xml = PlistXml::serialize(PlistValue(std::move(dict)));
    if (!xml)
        return fail(xml.status().message());
    if (Status written = AtomicFile::replace(file, *xml, mode); !written.ok())
        return fail(written.message());
    return 1;
}

std::optional<std::string> ReadCachedProfilePassword(const std::string& profile)
{
    auto profiles = DefaultsStore::standard().object("Profiles");
    if (!profiles || !profiles->dict())
        return std::nullopt;
    auto it = profiles->dict()->find(profile);
    if (it == profiles->dict()->end() || !it->second.string())
        return std::nullopt;
    return *it->second.string();
}

bool WriteCachedProfilePassword(const std::string& text, const std::string& profile)
{
    DefaultsStore& store = DefaultsStore::standard();
    auto profiles = store.object("Profiles");
    PlistDict dict = (profiles && profiles->dict()) ? *profiles->dict() : PlistDict {};
    dict[profile] = PlistValue(text);
    return store.setObject("Profiles", PlistValue(std::move(dict)));
}

} // namespace corvantis
