#pragma once

#include <cstdint>
#include <string>

namespace corvantis {

// The identity of the application a log line is about. The same record, lower-cased, is the application identity
// that the rule lookup matches. A plain value: copied member by member, safe to pass between threads by copy.
struct CLogContext {
    std::string displayName; // display text prepared by whoever built the record; the log never reads it
    std::string revDns; // bundle identifier in reverse-DNS form
    std::string bsdName; // process name
    std::string packetName; // package name
    std::string packetShortName; // short package name
    std::string fullPath; // path of the executable
    int32_t pid = 0;

    // packetShortName if set, else packetName if set, else bsdName (which may be empty).
    const std::string& BestName() const;

    // The text a log line about this application starts with (before " - "), in the form a destination with
    // the given threshold shows: 3 adds the bundle identifier, 4 adds it and the process name, any other level
    // gives the short name (or "<unknown>").
    std::string PrefixFor(int threshold) const;

    bool operator==(const CLogContext&) const = default;
};

// A copy with every name lower-cased (ASCII only, as the rule lookup compares): the application identity that
// rules match.
CLogContext LowerCaseContext(const CLogContext& context);

// The name the extension's engine code gives the same record.
using AppNameInfo = CLogContext;

// Whatever can name the application a line is about. The extension's flow identity implements it; the logging
// bridge (LogEventWrap) asks it for the record when it writes a line for that application.
class AppNameSource {
public:
    virtual ~AppNameSource() = default;
    virtual CLogContext getName() const = 0;
};

} // namespace corvantis
