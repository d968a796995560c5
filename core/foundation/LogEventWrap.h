#pragma once

#include <string>

namespace corvantis {

class AppNameSource;

// The logging bridge of the programs' platform-side code (IPC layer, extension managers, flows): each call writes
// and commits one line of the process's log before it returns. With an `app` the line carries that
// application's name prefix; with none (nullptr, as every caller in the application passes) it has no prefix.
// Stateless; safe from any thread. `app` is only borrowed for the call.
class LogEventWrap final {
public:
    LogEventWrap() = delete;

    static void putLogErrorFromApp(const AppNameSource* app, const std::string& message); // level 1
    static void putLogVerboseFromApp(const AppNameSource* app, const std::string& message); // level 3
    static void putLogDebugFromApp(const AppNameSource* app, const std::string& message); // level 4
};

} // namespace corvantis
