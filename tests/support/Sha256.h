#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvantis::test {

// The SHA-256 digest of `data` in lower-case hex.
std::string Sha256Hex(const std::vector<uint8_t>& data);

} // namespace corvantis::test
