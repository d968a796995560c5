#pragma once

#include <functional>
#include <string>
#include <sys/types.h>

namespace corvantis {

// The two programs that share the core library. Each keeps its files under a home folder of its own.
enum class Program { Application, Extension };

// Which program this process is. Each program's main sets it once, before other threads start; until then
// the process counts as the application. Safe to read from any thread.
void setCurrentProgram(Program program);
Program currentProgram();

// "Corvantis" or "CorvantisExtension".
const char* programName(Program program);

// The home folder of `program` as this process sees it (the process's environment and effective user):
//  application: $CORVANTIS_HOME, else $XDG_DATA_HOME/Corvantis, else ~/.local/share/Corvantis;
//  extension:   $CORVANTIS_EXTENSION_HOME, else /var/lib/corvantis-extension when running as root,
//               else $XDG_DATA_HOME/CorvantisExtension, else ~/.local/share/CorvantisExtension.
// Empty variables count as unset, and so does an XDG_DATA_HOME that is not absolute (as the XDG rules say).
// Returns an empty text when no home can be found. Creates nothing.
std::string programHomeDir(Program program);

// The same rules over a given environment and effective user id; `getEnv` returns null for an unset variable.
std::string programHomeDir(Program program, const std::function<const char*(const char*)>& getEnv, uid_t euid);

} // namespace corvantis
