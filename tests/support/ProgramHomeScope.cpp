#include "tests/support/ProgramHomeScope.h"

#include <cstdlib>

#include "core/foundation/Log.h"
#include "core/profile/CorvantisApp.h"
#include "platform/DefaultsStore.h"
#include "tests/support/LogLines.h"

namespace corvantis::test {

namespace {

// The arguments setArguments() turns into `domain` again.
std::vector<std::string> argumentsOf(const PlistDict& domain)
{
    std::vector<std::string> arguments;
    for (const auto& [key, value] : domain) {
        if (const std::string* text = value.string()) {
            arguments.push_back("-" + key);
            arguments.push_back(*text);
        }
    }
    return arguments;
}

} // namespace

ScopedEnv::ScopedEnv(std::string name, const std::string& value)
    : m_name(std::move(name))
{
    if (const char* old = std::getenv(m_name.c_str()))
        m_old = old;
    ::setenv(m_name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv()
{
    if (m_old)
        ::setenv(m_name.c_str(), m_old->c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

ProgramHomeScope::ProgramHomeScope(
    Program program, const std::filesystem::path& home, CCorvantisApp* app, std::optional<int> screenLevel)
    : m_homeVariable(program == Program::Extension ? "CORVANTIS_EXTENSION_HOME" : "CORVANTIS_HOME", home.string())
    , m_defaultsFile(DefaultsStore::fileFor(home, programName(program)))
    , m_oldProgram(currentProgram())
    , m_oldApp(theApp)
    , m_oldScreenLevel(GetLog().GetScreenLevel())
    , m_oldFileLevel(GetLog().GetFileLevel())
    , m_oldLogFolder(GetLog().GetLogFolder())
    , m_oldDefaultsFile(DefaultsStore::standard().file())
    , m_oldArguments(argumentsOf(DefaultsStore::standard().argumentDomain()))
{
    setCurrentProgram(program);
    DefaultsStore::standard().open(m_defaultsFile);
    DefaultsStore::standard().setArguments({});
    if (screenLevel)
        GetLog().SetScreenLevel(*screenLevel);
    TakeScreenLines();
    theApp = app;
}

ProgramHomeScope::~ProgramHomeScope()
{
    theApp = m_oldApp;
    GetLog().SetScreenLevel(m_oldScreenLevel);
    GetLog().SetFileLevel(m_oldFileLevel);
    GetLog().SetLogFolder(m_oldLogFolder);
    TakeScreenLines();
    DefaultsStore::standard().open(m_oldDefaultsFile);
    DefaultsStore::standard().setArguments(m_oldArguments);
    setCurrentProgram(m_oldProgram);
}

} // namespace corvantis::test
