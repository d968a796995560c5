#pragma once

#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace corvantis::test {

inline std::vector<uint8_t> fromHex(const std::string& hex)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::string toHex(const uint8_t* data, size_t count)
{
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < count; ++i) {
        hex += digits[data[i] >> 4];
        hex += digits[data[i] & 0xF];
    }
    return hex;
}

inline std::string toHex(const std::vector<uint8_t>& bytes)
{
    return toHex(bytes.data(), bytes.size());
}

inline std::vector<uint8_t> randomBytes(size_t count, uint32_t seed)
{
    std::mt19937 gen(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes)
        b = static_cast<uint8_t>(gen());
    return bytes;
}

// Runs the openssl command line over `input` ("openssl enc <arguments...> -in ... -out ...") and returns what
// it wrote. Throws when openssl fails, so a broken oracle cannot pass for a match.
inline std::vector<uint8_t> runOpensslEnc(const std::vector<std::string>& arguments, const std::vector<uint8_t>& input)
{
    TempDir dir;
    const auto in = dir / "in.bin";
    const auto out = dir / "out.bin";
    {
        std::ofstream file(in, std::ios::binary);
        file.write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    }
    std::vector<std::string> command = { "openssl", "enc" };
    command.insert(command.end(), arguments.begin(), arguments.end());
    command.insert(command.end(), { "-in", in.string(), "-out", out.string() });
    const CommandResult openssl = runCommand(command);
    if (openssl.exitCode != 0)
        throw std::runtime_error("openssl failed: " + openssl.err);
    std::ifstream file(out, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace corvantis::test
