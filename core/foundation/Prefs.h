#pragma once

#include "platform/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvantis {

// Values in the process's standard defaults (DefaultsStore::standard()), addressed by a section and a key.
// A value is written under the section and the key run together ("Settings" + "LogLevelFile" is stored as
// "SettingsLogLevelFile"; a null or empty section gives the key alone). Reading tries that plain key, then the
// key path section "." key (the key inside a dictionary stored under the section name), then the default.
// Thread-safe.

// The object at the key path section "." key (the key alone without a section): in the persistent domain named
// `domain` when one is given (nothing when it does not exist), else in the standard defaults (argument domain
// first). Nothing for a null key.
std::optional<PlistValue> GetPrefObject(const char* domain, const char* section, const char* key);
// Stores `object` under `key` (nothing removes the key). Returns 0, or -1 for a null key or a value the
// defaults cannot hold.
int SetPrefObject(const char* key, std::optional<PlistValue> object);

// The text of the plain key, else of the key path, in `domain` (see GetPrefObject), else `defaultValue` (a
// null default gives ""). Numbers read as their decimal text; data, arrays and dictionaries are passed over.
std::string GetPrefString(const char* domain, const char* section, const char* key, const char* defaultValue);
// Stores `value` as a string under section + key. Returns false, keeping the stored value, for a null key or
// value, or text that is not UTF-8 (or holds control characters a property list cannot carry).
bool SetPrefString(const char* section, const char* key, const char* value);
// As GetPrefString in the standard defaults (`domain` is not used), giving the found object's integer value
// (PlistValue::integerValue) or `defaultValue`.
int64_t GetPrefInt(const char* domain, const char* section, const char* key, int64_t defaultValue);
// Stores `value` as a number under section + key. Returns 0, or -1 for a null key.
int SetPrefInt(const char* section, const char* key, int64_t value);

// Sets `key` to the number `value` in the XML property-list file at `path`, keeping its other entries, and
// writes the file atomically (a new file gets mode 0600, an existing one keeps its mode) under a lock of its
// folder. A missing file starts as an empty dictionary. Returns 1 on success, -1 when the file exists but is
// not a property-list dictionary this code can read (it is left untouched), or when writing fails; the reason
// goes to the system log.
int SetPlistFileInt(const char* path, const char* key, int64_t value);

// The per-profile password cache in the standard defaults (dictionary "Profiles", profile name to text), for
// the application to register as its CoreHooks password-cache members.
std::optional<std::string> ReadCachedProfilePassword(const std::string& profile);
// Stores `text` for `profile`, creating the dictionary when missing. Returns false when it cannot be stored.
bool WriteCachedProfilePassword(const std::string& text, const std::string& profile);

} // namespace corvantis
