#pragma once

#include "core/foundation/CoreHooks.h"
#include "platform/PlistValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantis {

// The command-line options the application reads before its windows exist: "-Name value" pairs of the argument
// domain. Some do one job and end the process ("SetIntOpt", "SetStrOpt", "EncryptPasswords"), one stops the
// launch ("DeactivateSysExt"), the others switch process-wide flags.

// The lowest maximum connection count; a lower "MaxConnCount" is raised to it.
inline constexpr int64_t kMinMaxConnCount = 1500;
// The exit code of a malformed one-shot option (a value that cannot be taken apart or read).
inline constexpr int kBadOptionExitCode = 2;

// The flags of the options that let the launch go on.
struct LaunchFlags {
    std::vector<TimingItem> timing; // "ShowTiming": the items switched on, in the order given
    bool tcpBaseFunctions = false; // "BaseFunctions" with the piece "tcp": TCP-only base functions
    bool mdnsUms = false; // "MDNSMode" "ums"
    int64_t maxConnCount = kMinMaxConnCount; // "MaxConnCount", never below kMinMaxConnCount
};

// What the options ask for.
struct LaunchOption {
    enum class Kind {
        Continue, // launch with `flags`
        SetIntOption, // store `intValue` under `key` (empty section), exit 0
        SetStringOption, // store `text` under `key`, exit 0
        Deactivate, // remove the extension; the launch sequence does not run
        EncryptPasswords, // encrypt the passwords of the profile file `text`, exit 0 or 1
        Fail, // log `text` and exit with kBadOptionExitCode
    };
    Kind kind = Kind::Continue;
    std::string key;
    int64_t intValue = 0;
    std::string text;
    LaunchFlags flags;
};

// Reads the options from `arguments` (the argument domain) and `maxConnCount` (the "MaxConnCount" value of
// the standard defaults, command line or stored). The first of "SetIntOpt", "SetStrOpt", "DeactivateSysExt"
// and "EncryptPasswords" present decides; without any of them the launch continues with the flags of
// "ShowTiming", "BaseFunctions", "MDNSMode" and "MaxConnCount". An empty argument domain continues with the
// default flags. "SetIntOpt" and "SetStrOpt" take "Key_Value", split at the first "_", so the value may hold
// "_"; a missing "_", an empty key or (for "SetIntOpt") a value that is not a whole 64-bit number fails.
// Pure: reads nothing else and changes nothing.
LaunchOption ParseLaunchOptions(const PlistDict& arguments, const std::optional<PlistValue>& maxConnCount);

// What the launch does after the options were carried out.
struct LaunchDecision {
    enum class Next { Continue, Exit, Deactivate };
    Next next = Next::Continue;
    int exitCode = 0; // with Exit
};

// Carries `option` out: writes the preference (and waits for the file), encrypts the profile, or switches the
// process-wide flags (timing items through SetTimingOn, after "connect" and "ntlm" were switched off; the others
// for AppliedLaunchFlags). Messages go to the system log (standard error). Does not exit: the caller does, with
// the returned code. Runs on the main thread before the launch (EncryptPasswords may ask for the master
// password).
LaunchDecision CarryOutLaunchOption(const LaunchOption& option);

// Loads the profile file at `path` (asking for its master password when it needs one), switches its password
// encryption on (basic, unless it already has a mode) and writes it back to the same file. Logs "OK" and returns
// 0, or logs "Could not load profile" / "Could not save profile" and returns 1. `theApp` must be set.
int EncryptProfilePasswords(const std::string& path);

// The flags the last Continue put in force (defaults before). Thread-safe.
LaunchFlags AppliedLaunchFlags();

// The program's arguments that are not part of a "-Name value" pair (the argument domain's rule): the files
// given to open, in order.
std::vector<std::string> FileArguments(const std::vector<std::string>& arguments);

} // namespace corvantis
