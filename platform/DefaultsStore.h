#pragma once

#include "platform/Mutex.h"
#include "platform/PlistValue.h"
#include "platform/Result.h"

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace corvantis {

// A program's user defaults: named values kept in one XML property list (`<home>/Preferences/<program>.plist`),
// with an argument domain in front of it made of the "-Key value" pairs of the command line.
//
// Reads look in the argument domain first, then in the persistent domain (the file). Writes go to the
// persistent domain only; the argument domain is never saved. Each change is written through at once
// (or at the end of a Batch): under an exclusive lock of the Preferences folder (flock, so other processes and
// other stores on the same file wait), the file is read again, only the keys this store changed are applied
// to it, and the result is written to a temporary file (mode 0600) that replaces the old one by rename. Values
// that another writer stored meanwhile survive, and a reader never sees a half-written file. When the file
// changes on disk, the next read picks the new contents up.
//
// Thread-safe: every member takes the store's mutex.
class DefaultsStore final {
public:
    // A store with no file: values live in memory only (the state before a program configures its defaults).
    DefaultsStore() = default;
    // A store over `file` (created on the first write, with its folder).
    explicit DefaultsStore(std::filesystem::path file);
    DefaultsStore(const DefaultsStore&) = delete;
    DefaultsStore& operator=(const DefaultsStore&) = delete;

    // `<home>/Preferences/<program>.plist`.
    static std::filesystem::path fileFor(const std::filesystem::path& home, const std::string& program);

    // The process's standard defaults. Never destroyed (threads may still read settings at exit). Until a
    // program calls open() on it, it keeps values in memory only.
    static DefaultsStore& standard();

    // Points the store at `file` (empty path: memory only) and forgets all values and pending changes of the
    // previous file; the argument domain stays.
    void open(std::filesystem::path file);
    std::filesystem::path file() const;

    // Replaces the argument domain with the "-Key value" pairs of `args` (the program's arguments without its
    // name): every argument that starts with "-" and has a following argument names a key whose value is that
    // following argument, as a string. Anything else is skipped.
    void setArguments(const std::vector<std::string>& args);
    PlistDict argumentDomain() const;

    // The value of `key`: the argument domain first, then the persistent domain; nothing when neither has it.
    std::optional<PlistValue> object(const std::string& key) const;
    // The value at a key path "a.b.c": `a` looked up as object() does, then each further part inside the
    // dictionary found so far. Nothing when a part is missing or is not a dictionary.
    std::optional<PlistValue> objectForKeyPath(const std::string& keyPath) const;

    // Stores `value` under `key` in the persistent domain; nothing removes the key. Returns false (and
    // changes nothing) when the value cannot be written (PlistXml::isStorable) or the key is empty or not
    // storable text. A write failure of the file is reported by lastWriteStatus(); the value stays in memory.
    bool setObject(const std::string& key, std::optional<PlistValue> value);
    void removeObject(const std::string& key) { setObject(key, std::nullopt); }
    // Stores every entry of `entries` (the way the extension takes over the dictionary the application
    // sends). Other keys stay. Returns false and changes nothing when any entry cannot be stored.
    bool setEntries(const PlistDict& entries);

    // The persistent domain as it is now (file contents plus this store's changes).
    PlistDict persistentDomain() const;
    // Another program's persistent domain, read from `<name>.plist` beside this store's file; this store's
    // own contents when `name` is its own program name. Nothing when the domain does not exist or `name` is
    // not a plain file name.
    std::optional<PlistDict> persistentDomainForName(const std::string& name) const;
    // Everything a reader sees: the persistent domain with the argument domain over it.
    PlistDict dictionaryRepresentation() const;

    // Writes pending changes now (normally done after each change). Returns the outcome.
    Status synchronize();
    // The outcome of the last write of the file.
    Status lastWriteStatus() const;

    // While a Batch lives, changes made on this store are collected and written once when the last Batch
    // ends. Held by the thread that makes the changes; the store stays usable from other threads.
    class Batch final {
    public:
        explicit Batch(DefaultsStore& store);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        DefaultsStore& m_store;
    };

private:
    struct FileStamp {
        dev_t dev = 0;
        ino_t ino = 0;
        off_t size = -1;
        timespec mtime {};
        bool operator==(const FileStamp& o) const
        {
            return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec
                && mtime.tv_nsec == o.mtime.tv_nsec;
        }
    };

    void refreshLocked() const REQUIRES(m_mutex);
    Status writeLocked() REQUIRES(m_mutex);
    const PlistValue* findLocked(const std::string& key) const REQUIRES(m_mutex);

    mutable Mutex m_mutex;
    std::filesystem::path m_file GUARDED_BY(m_mutex);
    PlistDict m_arguments GUARDED_BY(m_mutex);
    mutable PlistDict m_persistent GUARDED_BY(m_mutex); // file contents + m_pending
    mutable std::optional<FileStamp> m_stamp GUARDED_BY(m_mutex); // of the file last read
    std::map<std::string, std::optional<PlistValue>> m_pending GUARDED_BY(m_mutex); // not yet written
    int m_batchDepth GUARDED_BY(m_mutex) = 0;
    Status m_lastWrite GUARDED_BY(m_mutex);
};

} // namespace corvantis
