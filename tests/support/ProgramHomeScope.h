#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProgramHome.h"

namespace corvantis {

class CCorvantisApp;

namespace test {

// Sets the environment variable `name` to `value` for the object's lifetime, then puts back its old value, or
// its absence. Process-wide: for the test's own thread, before other threads start.
class ScopedEnv final {
public:
    ScopedEnv(std::string name, const std::string& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    std::optional<std::string> m_old;
};

// The surroundings of a test of one program's core, set for the object's lifetime and then put back as they
// were: the process runs as `program`, whose home folder is `home` (through CORVANTIS_HOME or
// CORVANTIS_EXTENSION_HOME); the standard defaults store reads and writes that home's preferences file, with
// no arguments; `theApp` is `app` (may be null); the log's screen threshold is `screenLevel` when given, and
// its file threshold and folder are restored too. The screen queue is emptied at both ends, so a test reads
// only its own lines. Everything here is process-wide: one scope at a time, made and ended on the test's thread
// while no thread of the test runs.
class ProgramHomeScope final {
public:
    ProgramHomeScope(Program program, const std::filesystem::path& home, CCorvantisApp* app = nullptr,
        std::optional<int> screenLevel = std::nullopt);
    ~ProgramHomeScope();
    ProgramHomeScope(const ProgramHomeScope&) = delete;
    ProgramHomeScope& operator=(const ProgramHomeScope&) = delete;

    // The file the standard defaults store uses meanwhile.
    const std::filesystem::path& defaultsFile() const { return m_defaultsFile; }

private:
    ScopedEnv m_homeVariable;
    std::filesystem::path m_defaultsFile;
    Program m_oldProgram;
    CCorvantisApp* m_oldApp;
    int m_oldScreenLevel;
    int m_oldFileLevel;
    std::string m_oldLogFolder;
    std::filesystem::path m_oldDefaultsFile;
    std::vector<std::string> m_oldArguments;
};

} // namespace test
} // namespace corvantis
