#include "core/profile/ProcessName.h"

#include "platform/ProcessInfo.h"

namespace corvantis {

int GetProcessName(pid_t pid, std::string& name)
{
    Result<std::string> comm = readProcessName(pid);
    if (!comm)
        return comm.status().errnum();
    name = std::move(*comm);
    return 0;
}

int GetProcessNameFromArgs(pid_t pid, std::string& name)
{
    Result<std::vector<std::string>> args = readProcessCmdline(pid);
    if (!args || args->empty())
        return -1;
    const std::string& first = args->front();
    const std::string base = first.substr(first.find_last_of('/') + 1);
    if (base.empty())
        return -1;
    name = base;
    return 0;
}

} // namespace corvantis
