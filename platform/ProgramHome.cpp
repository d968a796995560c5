#include "platform/ProgramHome.h"

#include "platform/SystemIdentity.h"

#include <atomic>
#include <cstdlib>
#include <unistd.h>

namespace corvantis {

namespace {

std::atomic<Program> g_program { Program::Application };

// The variable's value without trailing slashes ("/" stays "/"); empty when unset.
std::string envPath(const char* value)
{
    std::string path = value ? std::string(value) : std::string();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// The home folder of the user, from $HOME or else the password database.
std::string userHome(const std::function<const char*(const char*)>& getEnv, uid_t uid)
{
    std::string home = envPath(getEnv("HOME"));
    if (!home.empty())
        return home;
    std::optional<UserAccount> account = lookupUser(uid);
    return account ? account->home : std::string();
}

std::string dataHome(const std::function<const char*(const char*)>& getEnv, uid_t uid)
{
    std::string xdg = envPath(getEnv("XDG_DATA_HOME"));
    if (!xdg.empty() && xdg.front() == '/')
        return xdg;
    std::string home = userHome(getEnv, uid);
    return home.empty() ? std::string() : home + "/.local/share";
}

} // namespace

void setCurrentProgram(Program program)
{
    g_program.store(program, std::memory_order_release);
}

Program currentProgram()
{
    return g_program.load(std::memory_order_acquire);
}

const char* programName(Program program)
{
    return program == Program::Extension ? "CorvantisExtension" : "Corvantis";
}

std::string programHomeDir(Program program, const std::function<const char*(const char*)>& getEnv, uid_t euid)
{
    const char* override = program == Program::Extension ? "CORVANTIS_EXTENSION_HOME" : "CORVANTIS_HOME";
    std::string home = envPath(getEnv(override));
    if (!home.empty())
        return home;
    if (program == Program::Extension && euid == 0)
        return "/var/lib/corvantis-extension";
    std::string data = dataHome(getEnv, euid);
    return data.empty() ? std::string() : data + "/" + programName(program);
}

std::string programHomeDir(Program program)
{
    return programHomeDir(
        program, [](const char* name) { return std::getenv(name); }, geteuid());
}

} // namespace corvantis
