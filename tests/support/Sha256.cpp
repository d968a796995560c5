#include "tests/support/Sha256.h"

#include <nettle/sha2.h>

#include <cstdio>

namespace corvantis::test {

std::string Sha256Hex(const std::vector<uint8_t>& data)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, data.size(), data.data());
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, sizeof digest, digest);
    std::string hex;
    char pair[3];
    for (uint8_t byte : digest) {
        std::snprintf(pair, sizeof pair, "%02x", byte);
        hex += pair;
    }
    return hex;
}

} // namespace corvantis::test
