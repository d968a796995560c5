#include "extension/daemon/ExtensionStartup.h"

#include "ipc/XPCClientForExtension.h"
#include "platform/DefaultsStore.h"
#include "platform/SystemLog.h"

#include <cerrno>

namespace corvantis {

namespace {

constexpr rlim_t kFileLimitCap = 5500;

std::string limitText(rlim_t value)
{
    // Unlimited is the largest signed 64-bit value, as the limit's own type shows it.
    return value == RLIM_INFINITY ? std::to_string(INT64_MAX) : std::to_string(value);
}

} // namespace

FileLimit ChooseFileLimit(FileLimit original)
{
    FileLimit chosen = original;
    if (chosen.soft < chosen.hard)
        chosen.soft = chosen.hard;
    if (chosen.soft == RLIM_INFINITY || chosen.soft > kFileLimitCap)
        chosen.soft = kFileLimitCap;
    return chosen;
}

FileLimit RaiseFileLimit(const FileLimitCalls& calls)
{
    auto read = calls.read ? calls.read : [] {
        rlimit limit {};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        return FileLimit { limit.rlim_cur, limit.rlim_max };
    };
    auto write = calls.write ? calls.write : [](const FileLimit& wanted) {
        const rlimit limit { wanted.soft, wanted.hard };
        // A refusal is not checked: the second line shows what is in force.
        (void)::setrlimit(RLIMIT_NOFILE, &limit);
    };
    const FileLimit original = read();
    SystemLog("Corvantis Extension - fileLimit original = " + limitText(original.soft) + " (" + limitText(original.hard)
        + ")");
    write(ChooseFileLimit(original));
    const FileLimit result = read();
    SystemLog(
        "Corvantis Extension - fileLimit result = " + limitText(result.soft) + " (" + limitText(result.hard) + ")");
    return result;
}

Result<std::string> ReadExtensionServiceName(const std::filesystem::path& program)
{
    // <tree>/libexec/corvantis/<program> → <tree>/share/corvantis/SystemExtensions/CorvantisExtension
    return XPCClientForExtension::readMachServiceName(program.parent_path().parent_path().parent_path() / "share"
        / "corvantis" / "SystemExtensions" / "CorvantisExtension" / "Info.plist");
}

XpcListener::Options DaemonServiceOptions(std::optional<uid_t> allowedUid)
{
    XpcListener::Options options;
    options.allowedUids = { 0 };
    if (allowedUid)
        options.allowedUids.insert(*allowedUid);
    options.socketMode = 0600;
    options.socketOwner = allowedUid.value_or(0);
    return options;
}

std::optional<uid_t> AllowedUidFromArguments()
{
    const PlistDict arguments = DefaultsStore::standard().argumentDomain();
    const auto entry = arguments.find("AllowedUid");
    if (entry == arguments.end())
        return std::nullopt;
    if (const int64_t* number = entry->second.integer(); number && *number >= 0 && *number <= UINT32_MAX - 1)
        return static_cast<uid_t>(*number);
    if (const std::string* text = entry->second.string()) {
        char* end = nullptr;
        errno = 0;
        const unsigned long long value = std::strtoull(text->c_str(), &end, 10);
        if (!text->empty() && *end == '\0' && errno == 0 && value < UINT32_MAX)
            return static_cast<uid_t>(value);
    }
    return std::nullopt;
}

} // namespace corvantis
