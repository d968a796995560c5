#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace corvantis {

// Turns a short text (in practice a password) into a printable encrypted string and back.
//
// The encrypted string is Base64 (standard alphabet, "=" padding, no line breaks) of:
//   byte 0: format, always 0; byte 1: the low byte of the mode; byte 2: n, the number of 16-byte blocks;
//   then 16 * n bytes of AES-256-CBC (zero IV) over: FF FF FF FF, the text as UTF-16LE units, a 0 unit, and zero
//   filler up to the end of block n (n is at least 2).
// Stored profiles and remembered passwords hold this form, so it must never change.
//
// An object is made for one mode and one key text and then encrypts and decrypts any number of strings. Failures
// are values: a result plus one of a fixed set of messages, which callers show inside their own messages.
// Thread safety: an object belongs to the thread that uses it; objects on different threads are independent.
class CDataCrypt {
public:
    // Crypt modes: the built-in key, or a key derived from the user's account identity or a master password.
    static constexpr uint32_t kModeBasic = 0;
    static constexpr uint32_t kModeAccount = 1;
    static constexpr uint32_t kModeMaster = 2;

    static constexpr size_t kKeySize = 32;
    using Key = std::array<uint8_t, kKeySize>;

    // Mode 0, or an empty password, uses the default key. Otherwise the base key is XORed, cycling over its 32
    // bytes, with the password's UTF-16LE bytes; a password that is not valid UTF-8 leaves the base key as it is.
    // Any mode is accepted here; only 0, 1 and 2 can encrypt.
    CDataCrypt(uint32_t mode, const std::string& password);
    virtual ~CDataCrypt() = default;
    CDataCrypt(const CDataCrypt&) = default;
    CDataCrypt& operator=(const CDataCrypt&) = default;

    // Encrypts UTF-8 text (at most 256 bytes). On success stores the encrypted string in `encrypted` and returns
    // true, leaving `error` alone; on failure stores the message in `error`, leaves `encrypted` alone and returns
    // false. Messages: "String is too large.", "Unknown mode.", "General convertion error." (not UTF-8, or a NUL
    // inside the text, which the stored form cannot carry), "Too many blocks.".
    bool EncryptString(const std::string& text, std::string& encrypted, std::string& error) const;

    // Decrypts an encrypted string. Returns 1 with the UTF-8 text in `text`; 0 with "Wrong password." when the
    // key does not fit; -1 with another message ("Encrypted string is too large.", "Unknown format.",
    // "Incorrect format.", "Unsupported format.", "Incorrect number of blocks.", "Too many blocks.",
    // "General convertion error."). A string that carries fewer blocks than its header claims is refused with
    // "Incorrect number of blocks.". `text` is written only on success, `error` only on failure.
    int DecryptString(const std::string& encrypted, std::string& text, std::string& error) const;

    uint32_t mode() const { return m_Mode; }
    // The AES-256 key this object uses.
    const Key& key() const { return m_Key; }

    // The two built-in keys: the base key that a password modifies, and the key of mode 0 and of an empty
    // password. Strings stored by one build decrypt only in builds with the same values.
    static const Key kBaseKey;
    static const Key kDefaultKey;

private:
    uint32_t m_Mode;
    Key m_Key;
};

} // namespace corvantis
