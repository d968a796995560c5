#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <unistd.h>

namespace corvantis::fuzz {

// A property every input must keep. A broken one aborts, which libFuzzer reports as a crash with the input that
// broke it (unlike assert, it holds in every build).
inline void check(bool condition)
{
    if (!condition)
        std::abort();
}

// A file of the fuzzer's own for targets that read from a path: made once, rewritten for each input, removed
// when the fuzzer ends normally.
class ScratchFile final {
public:
    explicit ScratchFile(const char* stem)
    {
        std::string name = std::string("/tmp/") + stem + "-XXXXXX";
        const int fd = mkstemp(name.data());
        check(fd >= 0);
        close(fd);
        m_path = name;
    }
    ~ScratchFile() { unlink(m_path.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Replaces the file's contents with `bytes`; returns its path.
    const std::string& write(std::string_view bytes)
    {
        std::FILE* file = std::fopen(m_path.c_str(), "wb");
        check(file != nullptr);
        check(std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size());
        check(std::fclose(file) == 0);
        return m_path;
    }

private:
    std::string m_path;
};

} // namespace corvantis::fuzz
