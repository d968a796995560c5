#pragma once

#include <functional>
#include <string>

namespace corvantis {

// The system log of the programs' platform-side code (flows, providers, supervisor): one line per call on
// standard error, which the service manager keeps, prefixed with the time and the program's pid. Separate from
// the process log the user reads in the application.
//
// Thread-safety: safe from any thread; lines are never interleaved.
void SystemLog(const std::string& line);

// Tests: every line also goes to `sink` while it is set (nullptr removes it). The sink runs on the logging
// thread, under the log's lock: it must not log itself.
void SetSystemLogSink(std::function<void(const std::string& line)> sink);

} // namespace corvantis
