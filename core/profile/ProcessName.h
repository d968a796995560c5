#pragma once

#include <string>

#include <sys/types.h>

namespace corvantis {

// The short command name of a process (at most 15 bytes). Returns 0 and sets `name`; otherwise returns the
// errno of the failure (ESRCH when no process has that pid, EINVAL for a pid below 1) and leaves `name` as it
// was.
int GetProcessName(pid_t pid, std::string& name);

// The program name a process was started under: the part of its first argument behind the last "/" (the whole
// argument when it holds none). Returns 0 and sets `name`; returns -1 when the arguments cannot be read, when
// there are none (kernel threads, ended processes) or when the first one is empty or ends with "/", and then
// leaves `name` as it was.
int GetProcessNameFromArgs(pid_t pid, std::string& name);

} // namespace corvantis
