#pragma once

#include "core/foundation/Log.h"
#include "platform/DefaultsStore.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace corvantis::test {

// Points the process's standard defaults at a fresh application home for one test and puts them and the
// process log back the way they were afterwards (a ProgramHomeScope).
class StandardDefaultsFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_scope.emplace(Program::Application, home.path());
        file = m_scope->defaultsFile();
    }
    void TearDown() override { m_scope.reset(); }

    // Runs a Python snippet with the defaults file as sys.argv[1]; true when it exits with 0.
    bool python(const std::string& code) const
    {
        return runCommand({ "python3", "-c", code, file.string() }).exitCode == 0;
    }

    TempDir home;
    std::filesystem::path file;

private:
    std::optional<ProgramHomeScope> m_scope;
};

} // namespace corvantis::test
