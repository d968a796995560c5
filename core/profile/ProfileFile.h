#pragma once

#include "core/profile/ProfileLoadStatus.h"

#include <cstdint>
#include <string>

namespace corvantis {

class CProfileData;
class CXmlReader;
class CXmlWriter;

// The profile document "CorvantisProfile": the same XML text is a profile file, the profile the application
// hands to the extension, and a profile fetched from a URL.

// Flag bit of the write (and of the profile save and load operations): no message boxes, no questions.
inline constexpr unsigned kProfileSilent = 0x1;

// Builds the document of `profile` in `writer` and closes the writer, which writes its file when it has one.
// Passwords are stored as the profile's encryption mode says (plain, or encrypted with the key text held in
// the profile's master-password field). Returns false, and leaves an existing file untouched, when the
// master-password check value or any proxy password cannot be encrypted, when the profile holds a value the
// document has no word for, or when the file cannot be written. The reason is shown to the user unless `flags`
// has kProfileSilent, and is stored in `error` when given.
bool WriteProfileXml(const CProfileData& profile, CXmlWriter& writer, unsigned flags, std::string* error = nullptr);

// Fills `profile`, which the caller default-constructs, from the document loaded in `reader` (positioned before
// its root). Returns code 0 with the version and edition warnings as the message, or code 1 with the reason; after
// a failure the profile may be partly filled and must be discarded. Passwords stay as stored (decrypting them is
// the loader's step). Shows nothing itself. The rule list always ends with the rule "Default", and the options to
// process services and other users' applications are always on after a read. Elements that are absent leave
// the profile's defaults (a rule without `Action` connects directly). A document that is not well-formed, which
// the reader could load only by repairing it, is refused with code 1 however much of it is left.
ProfileLoadStatus ReadProfileXml(CProfileData& profile, CXmlReader& reader);

// The document as UTF-8 text, written silently; false (with the reason in `error` when given) when WriteProfileXml
// fails. The copy the application hands to the extension is made with encryption mode "basic", which the
// extension can read without the master password or the user's identity.
bool ProfileToXmlString(const CProfileData& profile, std::string& text, std::string* error = nullptr);

// The crypt mode (of CDataCrypt) that protects the passwords of a profile in encryption mode `encryptionMode`.
// False for "disabled" (passwords are stored as typed) and for a value that is no encryption mode.
bool GetProfileCryptMode(int encryptionMode, uint32_t& cryptMode);
// "disabled", "basic", "account" or "master"; nullptr for a value that is no encryption mode.
const char* GetEncryptionModeName(int encryptionMode);

} // namespace corvantis
