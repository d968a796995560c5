#pragma once

#include "core/foundation/Log.h"
#include "platform/DefaultsStore.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace corvantis::test {

// Points the process's standard defaults at a fresh home for one test and puts the process log back the way it
// was afterwards.
class StandardDefaultsFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        file = DefaultsStore::fileFor(home.path(), "Corvantis");
        DefaultsStore::standard().open(file);
        DefaultsStore::standard().setArguments({});
    }
    void TearDown() override
    {
        DefaultsStore::standard().open({});
        DefaultsStore::standard().setArguments({});
        GetLog().SetFileLevel(m_fileLevel);
        GetLog().SetScreenLevel(m_screenLevel);
        GetLog().SetLogFolder("");
    }

    // Runs a Python snippet with the defaults file as sys.argv[1]; true when it exits with 0.
    bool python(const std::string& code) const
    {
        return runCommand({ "python3", "-c", code, file.string() }).exitCode == 0;
    }

    TempDir home;
    std::filesystem::path file;

private:
    int m_fileLevel = GetLog().GetFileLevel();
    int m_screenLevel = GetLog().GetScreenLevel();
};

} // namespace corvantis::test
