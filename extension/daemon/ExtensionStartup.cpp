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

namespace {

// The number of the command-line option `key`: nothing when absent; an error when it is no number in
// [0, max] (decimal, or hexadecimal after "0x").
Result<std::optional<uint64_t>> ArgumentNumber(const PlistDict& arguments, const std::string& key, uint64_t max)
{
    const auto entry = arguments.find(key);
    if (entry == arguments.end())
        return std::optional<uint64_t>();
    const Status invalid = Status::error(EINVAL, "-" + key + " must be a number from 0 to " + std::to_string(max));
    if (const int64_t* number = entry->second.integer()) {
        if (*number < 0 || static_cast<uint64_t>(*number) > max)
            return invalid;
        return std::optional<uint64_t>(static_cast<uint64_t>(*number));
    }
    const std::string* text = entry->second.string();
    if (!text || text->empty() || (*text)[0] == '-' || (*text)[0] == '+')
        return invalid;
    const bool hex = text->size() > 2 && (*text)[0] == '0' && ((*text)[1] == 'x' || (*text)[1] == 'X');
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text->c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    if (*end != '\0' || errno != 0 || value > max)
        return invalid;
    return std::optional<uint64_t>(value);
}

} // namespace

std::optional<uid_t> AllowedUidFromArguments()
{
    const auto uid = ArgumentNumber(DefaultsStore::standard().argumentDomain(), "AllowedUid", UINT32_MAX - 1);
    if (!uid.ok() || !uid.value())
        return std::nullopt;
    return static_cast<uid_t>(*uid.value());
}

Result<SystemCaptureOptions> CaptureOptionsFromArguments()
{
    const PlistDict arguments = DefaultsStore::standard().argumentDomain();
    SystemCaptureOptions options;
    struct Numbered {
        const char* key;
        uint64_t max;
        std::function<void(uint64_t)> set;
    };
    const Numbered numbered[] = {
        { "SocketMark", UINT32_MAX, [&](uint64_t value) { options.capture.ownMark = static_cast<uint32_t>(value); } },
        { "TproxyMark", UINT32_MAX,
            [&](uint64_t value) {
                options.capture.tproxyMark = static_cast<uint32_t>(value);
                options.routes.tproxyMark = static_cast<uint32_t>(value);
            } },
        { "RouteTable", UINT32_MAX, [&](uint64_t value) { options.routes.table = static_cast<uint32_t>(value); } },
        { "RouteProtocol", UINT8_MAX, [&](uint64_t value) { options.routes.protocol = static_cast<uint8_t>(value); } },
        { "FlowListen", UINT16_MAX, [&](uint64_t value) { options.listenPort = static_cast<uint16_t>(value); } },
    };
    for (const Numbered& option : numbered) {
        const auto value = ArgumentNumber(arguments, option.key, option.max);
        if (!value.ok())
            return value.status();
        if (value.value())
            option.set(*value.value());
    }
    // Marks and tables the kernel gives a meaning of its own would capture everything or nothing.
    if (options.capture.ownMark == 0 || options.capture.tproxyMark == 0
        || options.capture.ownMark == options.capture.tproxyMark)
        return Status::error(EINVAL, "-SocketMark and -TproxyMark must be two different numbers other than 0");
    if (options.routes.table == 0 || (options.routes.table >= 253 && options.routes.table <= 255))
        return Status::error(EINVAL, "-RouteTable must not be 0 or one of the kernel's tables 253, 254, 255");
    if (options.routes.protocol <= 4)
        return Status::error(EINVAL, "-RouteProtocol must be above 4, the numbers the kernel uses itself");
    if (const auto mode = arguments.find("FlowCapture"); mode != arguments.end()) {
        const std::string* text = mode->second.string();
        if (!text || *text != "external")
            return Status::error(EINVAL, "-FlowCapture knows only \"external\"");
        options.external = true;
    }
    return options;
}

} // namespace corvantis
