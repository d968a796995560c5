#pragma once

#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/ProfileStorage.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace corvantis::test {

// A folder of profile files served by `python3 -m http.server` on a loopback port the system picks. The server
// is stopped by its pid when the object goes.
class ProfileServer final {
public:
    // Starts the server; check Started() before use.
    ProfileServer()
    {
        using namespace std::chrono_literals;
        m_server = std::make_unique<ChildProcess>(std::vector<std::string> {
            "python3", "-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "--directory", m_folder.str() });
        const std::optional<std::string> banner = m_server->readLine(30s);
        std::smatch match;
        if (banner && std::regex_search(*banner, match, std::regex("port ([0-9]+)")))
            m_base = "http://127.0.0.1:" + match[1].str() + "/";
    }

    bool Started() const { return !m_base.empty(); }
    // The folder's URL, with its closing "/".
    const std::string& Base() const { return m_base; }
    std::string Url(const std::string& file) const { return m_base + file; }

    // Serves `profile` as the file `fileName`.
    void Put(const std::string& fileName, const CProfileData& profile)
    {
        std::string error;
        ASSERT_TRUE(SaveProfileToFile(profile, (m_folder / fileName).string(), kProfileSilent, &error)) << error;
    }

private:
    TempDir m_folder;
    std::unique_ptr<ChildProcess> m_server;
    std::string m_base;
};

} // namespace corvantis::test
