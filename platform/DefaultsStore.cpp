#include "platform/DefaultsStore.h"

#include "platform/AtomicFile.h"
#include "platform/PlistXml.h"
#include "platform/UniqueFd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace corvantis {

namespace {

constexpr off_t kMaxFileSize = 64 * 1024 * 1024;

enum class ReadOutcome { Missing, Read, Unusable };

struct FileRead {
    ReadOutcome outcome = ReadOutcome::Missing;
    PlistDict dict;
    struct stat st { };
};

// Reads and parses a defaults file. The stamp comes from the descriptor that was read, so it always belongs to
// the contents returned even when the file is replaced meanwhile.
FileRead readDefaultsFile(const std::filesystem::path& file)
{
    FileRead r;
    UniqueFd fd(retryOnEintr([&] { return ::open(file.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) {
        r.outcome = errno == ENOENT ? ReadOutcome::Missing : ReadOutcome::Unusable;
        return r;
    }
    r.outcome = ReadOutcome::Unusable;
    if (::fstat(fd.get(), &r.st) != 0 || !S_ISREG(r.st.st_mode) || r.st.st_size > kMaxFileSize)
        return r;
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = retryOnEintr([&] { return ::read(fd.get(), buf, sizeof buf); });
        if (n < 0)
            return r;
        if (n == 0)
            break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxFileSize))
            return r;
    }
    auto parsed = PlistXml::parse(text);
    if (!parsed || !parsed->dict())
        return r;
    r.dict = std::move(*parsed->dict());
    r.outcome = ReadOutcome::Read;
    return r;
}

bool isPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

void applyChanges(PlistDict& dict, const std::map<std::string, std::optional<PlistValue>>& changes)
{
    for (const auto& [key, value] : changes) {
        if (value)
            dict[key] = *value;
        else
            dict.erase(key);
    }
}

} // namespace

DefaultsStore::DefaultsStore(std::filesystem::path file)
    : m_file(std::move(file))
{
}

std::filesystem::path DefaultsStore::fileFor(const std::filesystem::path& home, const std::string& program)
{
    return home / "Preferences" / (program + ".plist");
}

DefaultsStore& DefaultsStore::standard()
{
    static DefaultsStore* store = new DefaultsStore();
    return *store;
}

void DefaultsStore::open(std::filesystem::path file)
{
    MutexLock lock(m_mutex);
    m_file = std::move(file);
    m_persistent.clear();
    m_pending.clear();
    m_stamp.reset();
    m_lastWrite = Status();
}

std::filesystem::path DefaultsStore::file() const
{
    MutexLock lock(m_mutex);
    return m_file;
}

void DefaultsStore::setArguments(const std::vector<std::string>& args)
{
    PlistDict domain;
    for (size_t i = 0; i + 1 < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.size() < 2 || a[0] != '-')
            continue;
        domain[a.substr(1)] = PlistValue(args[i + 1]);
        ++i;
    }
    MutexLock lock(m_mutex);
    m_arguments = std::move(domain);
}

PlistDict DefaultsStore::argumentDomain() const
{
    MutexLock lock(m_mutex);
    return m_arguments;
}

void DefaultsStore::refreshLocked() const
{
    if (m_file.empty())
        return;
    struct stat st { };
    FileStamp now;
    if (::stat(m_file.c_str(), &st) == 0)
        now = FileStamp { st.st_dev, st.st_ino, st.st_size, st.st_mtim };
    if (m_stamp && *m_stamp == now)
        return;
    FileRead r = readDefaultsFile(m_file);
    if (r.outcome == ReadOutcome::Read) {
        m_persistent = std::move(r.dict);
        m_stamp = FileStamp { r.st.st_dev, r.st.st_ino, r.st.st_size, r.st.st_mtim };
    } else {
        m_persistent.clear();
        m_stamp = r.outcome == ReadOutcome::Missing
            ? FileStamp {}
            : FileStamp { r.st.st_dev, r.st.st_ino, r.st.st_size, r.st.st_mtim };
    }
    applyChanges(m_persistent, m_pending);
}

const PlistValue* DefaultsStore::findLocked(const std::string& key) const
{
    if (auto it = m_arguments.find(key); it != m_arguments.end())
        return &it->second;
    refreshLocked();
    if (auto it = m_persistent.find(key); it != m_persistent.end())
        return &it->second;
    return nullptr;
}

std::optional<PlistValue> DefaultsStore::object(const std::string& key) const
{
    MutexLock lock(m_mutex);
    const PlistValue* v = findLocked(key);
    return v ? std::optional<PlistValue>(*v) : std::nullopt;
}

std::optional<PlistValue> DefaultsStore::objectForKeyPath(const std::string& keyPath) const
{
    MutexLock lock(m_mutex);
    size_t dot = keyPath.find('.');
    const PlistValue* v = findLocked(keyPath.substr(0, dot));
    while (v && dot != std::string::npos) {
        size_t start = dot + 1;
        dot = keyPath.find('.', start);
        const PlistDict* d = v->dict();
        if (!d)
            return std::nullopt;
        auto it = d->find(keyPath.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        v = it == d->end() ? nullptr : &it->second;
    }
    return v ? std::optional<PlistValue>(*v) : std::nullopt;
}

bool DefaultsStore::setObject(const std::string& key, std::optional<PlistValue> value)
{
    PlistDict one;
    if (value) {
        one.emplace(key, std::move(*value));
        return setEntries(one);
    }
    if (key.empty() || !PlistXml::isStorableText(key))
        return false;
    MutexLock lock(m_mutex);
    refreshLocked();
    m_pending[key] = std::nullopt;
    m_persistent.erase(key);
    if (m_batchDepth == 0)
        m_lastWrite = writeLocked();
    return true;
}

bool DefaultsStore::setEntries(const PlistDict& entries)
{
    for (const auto& [key, value] : entries) {
        if (key.empty() || !PlistXml::isStorableText(key) || !PlistXml::isStorable(value))
            return false;
    }
    MutexLock lock(m_mutex);
    refreshLocked();
    for (const auto& [key, value] : entries) {
        m_pending[key] = value;
        m_persistent[key] = value;
    }
    if (m_batchDepth == 0)
        m_lastWrite = writeLocked();
    return true;
}

PlistDict DefaultsStore::persistentDomain() const
{
    MutexLock lock(m_mutex);
    refreshLocked();
    return m_persistent;
}

std::optional<PlistDict> DefaultsStore::persistentDomainForName(const std::string& name) const
{
    if (!isPlainFileName(name))
        return std::nullopt;
    MutexLock lock(m_mutex);
    if (m_file.empty())
        return std::nullopt;
    if (m_file.filename() == name + ".plist") {
        refreshLocked();
        return m_persistent;
    }
    FileRead r = readDefaultsFile(m_file.parent_path() / (name + ".plist"));
    if (r.outcome != ReadOutcome::Read)
        return std::nullopt;
    return std::move(r.dict);
}

PlistDict DefaultsStore::dictionaryRepresentation() const
{
    MutexLock lock(m_mutex);
    refreshLocked();
    PlistDict all = m_persistent;
    for (const auto& [key, value] : m_arguments)
        all[key] = value;
    return all;
}

Status DefaultsStore::synchronize()
{
    MutexLock lock(m_mutex);
    m_lastWrite = writeLocked();
    return m_lastWrite;
}

Status DefaultsStore::lastWriteStatus() const
{
    MutexLock lock(m_mutex);
    return m_lastWrite;
}

Status DefaultsStore::writeLocked()
{
    if (m_file.empty() || m_pending.empty())
        return {};
    const std::filesystem::path dir = m_file.parent_path();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec)
        return Status::error(ec.value(), "cannot create " + dir.string() + ": " + ec.message());

    AtomicFile::FolderLock folderLock(dir);
    if (!folderLock.ok())
        return folderLock.status();

    FileRead current = readDefaultsFile(m_file);
    if (current.outcome == ReadOutcome::Unusable) {
        // Keep what cannot be read beside the new file rather than overwrite it.
        std::filesystem::path aside = m_file;
        aside += ".unreadable";
        ::rename(m_file.c_str(), aside.c_str());
        current.dict.clear();
    }
    PlistDict merged = std::move(current.dict);
    applyChanges(merged, m_pending);

    auto xml = PlistXml::serialize(PlistValue(merged));
    if (!xml)
        return xml.status();

    struct stat written { };
    if (Status st = AtomicFile::replace(m_file, *xml, 0600, &written); !st.ok())
        return st;

    m_persistent = std::move(merged);
    m_stamp = FileStamp { written.st_dev, written.st_ino, written.st_size, written.st_mtim };
    m_pending.clear();
    return {};
}

DefaultsStore::Batch::Batch(DefaultsStore& store)
    : m_store(store)
{
    MutexLock lock(m_store.m_mutex);
    ++m_store.m_batchDepth;
}

DefaultsStore::Batch::~Batch()
{
    MutexLock lock(m_store.m_mutex);
    if (--m_store.m_batchDepth == 0)
        m_store.m_lastWrite = m_store.writeLocked();
}

} // namespace corvantis
