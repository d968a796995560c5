// libFuzzer target for Base64 and for the stored form of passwords: the bytes are a Password or Hash text of a
// profile, a remembered password, or a Base64 token from a proxy. Decoding never fails and never writes past its
// buffer; a stored text that decrypts encrypts again into a text that decrypts to the same password; and any
// text that can be encrypted comes back unchanged.

#include "core/foundation/Base64.h"
#include "core/foundation/DataCrypt.h"
#include "fuzz/FuzzCheck.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace corvantis;
using fuzz::check;

namespace {

std::vector<uint8_t> decode(std::string_view text)
{
    CryptBuf buffer;
    const size_t length = Base64DecodeBuf(text, buffer);
    check(length <= text.size() / 4 * 3 + 2);
    check(buffer.size > length && CryptBufGetData(buffer)[length] == 0);
    const uint8_t* bytes = CryptBufGetData(buffer);
    return std::vector<uint8_t>(bytes, bytes + length);
}

std::string encode(const std::vector<uint8_t>& bytes)
{
    CryptBuf buffer;
    const size_t length = Base64EncodeBuf(bytes.data(), bytes.size(), buffer);
    check(length == (bytes.size() + 2) / 3 * 4);
    std::string text = length == 0 ? std::string() : std::string(reinterpret_cast<const char*>(buffer.data), length);
    std::vector<uint8_t> other;
    Base64Encode(bytes, other);
    check(std::string(other.begin(), other.end()) == text);
    return text;
}

void base64(std::string_view text)
{
    // Decoding and encoding again is stable after one round (the first may drop bits of a short last group).
    const std::vector<uint8_t> bytes = decode(text);
    const std::string again = encode(bytes);
    check(decode(again) == bytes);
    const std::vector<uint8_t> raw(text.begin(), text.end());
    check(decode(encode(raw)) == raw);
}

void storedPassword(const std::string& text)
{
    const CDataCrypt crypts[] = { CDataCrypt(CDataCrypt::kModeBasic, ""),
        CDataCrypt(CDataCrypt::kModeAccount, "0B1C2D3E-4F50-5162-7384-95A6B7C8D9EA"),
        CDataCrypt(CDataCrypt::kModeMaster, "correct horse") };
    for (const CDataCrypt& crypt : crypts) {
        std::string plain = "unchanged";
        std::string error;
        const int result = crypt.DecryptString(text, plain, error);
        check(result >= -1 && result <= 1);
        if (result == 1) {
            check(error.empty());
            std::string stored;
            if (crypt.EncryptString(plain, stored, error)) {
                std::string back;
                check(crypt.DecryptString(stored, back, error) == 1 && back == plain);
            }
        } else {
            check(!error.empty() && plain == "unchanged");
        }

        std::string stored;
        error.clear();
        if (crypt.EncryptString(text, stored, error)) {
            std::string back;
            check(crypt.DecryptString(stored, back, error) == 1 && back == text);
        } else {
            check(!error.empty());
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    base64(text);
    storedPassword(text);
    return 0;
}
