#pragma once

// The numbers and words of the profile document that its writer and its reader share. Internal to
// ProfileFileWriter.cpp and ProfileFileReader.cpp.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace corvantis::profile_file {

// A proxy with this option bit authenticates without stored credentials: the document keeps none for it.
constexpr uint32_t kOptionNtlmNoCredentials = 0x8;

constexpr int kOldestVersion = 100;
constexpr int kNewestVersion = 104;
constexpr int kOwnProductId = 2;
// Documents of this product from a version at or above this one may hold settings this build does not know.
constexpr int kNewerProductVersion = 301;

// Proxy and chain ids: 32-bit, and below the top value so that ids counted up from the highest stay positive.
constexpr int64_t kMinId = INT32_MIN;
constexpr int64_t kMaxId = INT32_MAX - 1;

constexpr const char* kProxyTypeWords[] = { "SOCKS5", "SOCKS4", "HTTPS", "HTTP" };
constexpr const char* kEncryptionWords[] = { "disabled", "basic", "account", "master" };
constexpr const char* kRuleActionWords[] = { "Block", "Direct", "Proxy", "Chain" };

} // namespace corvantis::profile_file
