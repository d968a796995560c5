#pragma once

#include <functional>
#include <string>

namespace corvantis {

// Where the IPC layer and the IPC classes above it write their lines: the stand-in for the system log. By
// default each line goes to standard error as "Corvantis XPC: " + text; a program may route the lines into its
// own log, and tests capture them.
//
// Thread-safety: every function may be called from any thread. A sink runs on the thread that logs, must not
// log itself and must not block for long.
class XpcLog final {
public:
    XpcLog() = delete;

    enum class Level { Error, Default, Debug };
    using Sink = std::function<void(Level level, const std::string& text)>;

    static void write(Level level, const std::string& text);
    static void error(const std::string& text) { write(Level::Error, text); }
    static void info(const std::string& text) { write(Level::Default, text); }

    // Replaces the sink; an empty one restores the default. Returns the sink it replaced (empty for the
    // default) once no call of it runs any more, so whatever it refers to may go at once.
    static Sink setSink(Sink sink);
};

} // namespace corvantis
