#pragma once

#include "core/profile/ProfileData.h"
#include "core/profile/ProfileFile.h"
#include "core/profile/ProfileStorage.h"
#include "tests/peers/FileServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace corvantis::test {

// A folder of profile files served over HTTP on a free loopback port (tests/peers/FileServer.h). The server is
// stopped by its pid when the object goes; the constructor throws when it does not start.
class ProfileServer final {
public:
    ProfileServer()
        : m_server(startFileServer(m_folder.path()))
        , m_base("http://127.0.0.1:" + std::to_string(m_server->port()) + "/")
    {
    }

    // The folder's URL, with its closing "/".
    const std::string& Base() const { return m_base; }
    std::string Url(const std::string& file) const { return m_base + file; }

    // Serves `profile` as the file `fileName`.
    void Put(const std::string& fileName, const CProfileData& profile)
    {
        std::string error;
        ASSERT_TRUE(SaveProfileToFile(profile, (m_folder / fileName).string(), kProfileSilent, &error)) << error;
    }
    // Serves `text` as the file `fileName`.
    void PutText(const std::string& fileName, const std::string& text) { std::ofstream(m_folder / fileName) << text; }

private:
    TempDir m_folder;
    PeerProcessPtr m_server;
    std::string m_base;
};

} // namespace corvantis::test
