#pragma once

#include "platform/Result.h"
#include "platform/netext/SystemCapture.h"
#include "platform/xpc/XpcListener.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/resource.h>
#include <sys/types.h>

namespace corvantis {

// The extension process's start-up steps that can be tested on their own.

// An open-file limit: the soft and the hard value (RLIM_INFINITY for unlimited).
struct FileLimit {
    rlim_t soft = 0;
    rlim_t hard = 0;
    bool operator==(const FileLimit&) const = default;
};

// The limit the extension asks for: the soft value raised to the hard one, then held at 5500 when that is
// unlimited or above.
FileLimit ChooseFileLimit(FileLimit original);

// Reads the process's open-file limit, asks for ChooseFileLimit of it and reads back what is in force, writing
// "Corvantis Extension - fileLimit original = S (H)" and "... result = S (H)" to the system log. `read` and
// `write` stand for getrlimit and setrlimit (tests report a hard limit Linux never reports).
struct FileLimitCalls {
    std::function<FileLimit()> read;
    std::function<void(const FileLimit&)> write;
};
FileLimit RaiseFileLimit(const FileLimitCalls& calls = {});

// The service name of the extension's manifest, share/corvantis/SystemExtensions/CorvantisExtension/Info.plist
// of the tree the executable `program` (in libexec/corvantis/) belongs to; the error text
// "Mach service name is missing from the Info.plist" when the manifest or the entry is missing.
Result<std::string> ReadExtensionServiceName(const std::filesystem::path& program);

// The one user besides root whom the daemon's services admit: "-AllowedUid" of the command line alone (a
// number); nothing when absent or not a number.
std::optional<uid_t> AllowedUidFromArguments();

// How the daemon captures the machine's flows, from its command line alone (a stored or received key of these
// names changes nothing): "-SocketMark", "-TproxyMark", "-RouteTable", "-RouteProtocol" (decimal or 0x
// hexadecimal numbers), "-FlowCapture external" with "-FlowListen PORT" (the caller captures: the TCP listener on
// PORT, no table or routes of ours). An option that is present but not a fitting number, or an unknown capture
// mode, is an error naming it.
Result<SystemCaptureOptions> CaptureOptionsFromArguments();

// The listener options of the daemon's services: root and `allowedUid` admitted, the socket 0600 and owned by
// that user (root when there is none).
XpcListener::Options DaemonServiceOptions(std::optional<uid_t> allowedUid);

} // namespace corvantis
