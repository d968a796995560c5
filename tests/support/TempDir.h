#pragma once

#include <filesystem>
#include <string>

namespace corvantis::test {

// A fresh folder under the system's temporary folder, removed with everything in it on destruction.
class TempDir final {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::string str() const { return m_path.string(); }
    // Path of `name` inside the folder (not created).
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

} // namespace corvantis::test
