#include "app/LaunchOptions.h"

#include "core/foundation/Prefs.h"
#include "core/profile/ProfileData.h"
#include "core/profile/ProfileLoadStatus.h"
#include "core/profile/ProfileStorage.h"
#include "platform/DefaultsStore.h"
#include "platform/Mutex.h"
#include "platform/SystemLog.h"

#include <algorithm>
#include <charconv>
#include <filesystem>

namespace corvantis {

namespace {

Mutex g_flagsMutex;
LaunchFlags g_flags GUARDED_BY(g_flagsMutex);

LaunchOption Fail(std::string message)
{
    LaunchOption option;
    option.kind = LaunchOption::Kind::Fail;
    option.text = std::move(message);
    return option;
}

std::vector<std::string> SplitAt(const std::string& text, char separator)
{
    std::vector<std::string> pieces;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return pieces;
        start = end + 1;
    }
}

// A whole number in decimal with an optional sign, within 64 bits; nothing for anything else.
std::optional<int64_t> WholeNumber(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    if (text.empty() || text.front() == '+')
        return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// "SetIntOpt" and "SetStrOpt": "Key_Value", split at the first "_" only, so that values such as addresses keep
// theirs.
LaunchOption KeyValueOption(const std::string& name, const PlistValue& value, bool integer)
{
    const std::string* text = value.string();
    const std::string form = integer ? "Key_Number" : "Key_Text";
    if (!text)
        return Fail(name + " needs a value of the form " + form);
    const size_t split = text->find('_');
    if (split == std::string::npos || split == 0)
        return Fail(name + " needs a value of the form " + form + ", not \"" + *text + "\"");
    LaunchOption option;
    option.key = text->substr(0, split);
    const std::string rest = text->substr(split + 1);
    if (integer) {
        const std::optional<int64_t> number = WholeNumber(rest);
        if (!number)
            return Fail(name + ": \"" + rest + "\" is not a whole number");
        option.kind = LaunchOption::Kind::SetIntOption;
        option.intValue = *number;
    } else {
        option.kind = LaunchOption::Kind::SetStringOption;
        option.text = rest;
    }
    return option;
}

const PlistValue* Find(const PlistDict& arguments, const char* name)
{
    const auto it = arguments.find(name);
    return it == arguments.end() ? nullptr : &it->second;
}

LaunchDecision Exit(int code)
{
    return { LaunchDecision::Next::Exit, code };
}

// The preference write goes through at once; a failure to reach the file is the option's failure, since the
// process ends right after and the value would be lost.
LaunchDecision StoreOption(const LaunchOption& option)
{
    const bool stored = option.kind == LaunchOption::Kind::SetIntOption
        ? SetPrefInt("", option.key.c_str(), option.intValue) == 0
        : SetPrefString("", option.key.c_str(), option.text.c_str());
    if (!stored) {
        SystemLog("Could not store the option " + option.key);
        return Exit(1);
    }
    const Status written = DefaultsStore::standard().synchronize();
    if (!written.ok()) {
        SystemLog("Could not store the option " + option.key + ": " + written.message());
        return Exit(1);
    }
    return Exit(0);
}

} // namespace

LaunchOption ParseLaunchOptions(const PlistDict& arguments, const std::optional<PlistValue>& maxConnCount)
{
    LaunchOption option;
    if (arguments.empty())
        return option;
    if (const PlistValue* value = Find(arguments, "SetIntOpt"))
        return KeyValueOption("SetIntOpt", *value, true);
    if (const PlistValue* value = Find(arguments, "SetStrOpt"))
        return KeyValueOption("SetStrOpt", *value, false);
    if (Find(arguments, "DeactivateSysExt")) {
        option.kind = LaunchOption::Kind::Deactivate;
        return option;
    }
    if (const PlistValue* value = Find(arguments, "EncryptPasswords")) {
        if (!value->string())
            return Fail("Could not read file path");
        option.kind = LaunchOption::Kind::EncryptPasswords;
        option.text = *value->string();
        return option;
    }

    LaunchFlags& flags = option.flags;
    if (const PlistValue* value = Find(arguments, "ShowTiming"); value && value->string()) {
        for (const std::string& piece : SplitAt(*value->string(), '+')) {
            const std::optional<TimingItem> item = TimingItemFromKeyword(piece);
            if (item && std::find(flags.timing.begin(), flags.timing.end(), *item) == flags.timing.end())
                flags.timing.push_back(*item);
        }
    }
    if (const PlistValue* value = Find(arguments, "BaseFunctions"); value && value->string()) {
        const std::vector<std::string> pieces = SplitAt(*value->string(), '+');
        flags.tcpBaseFunctions = std::find(pieces.begin(), pieces.end(), "tcp") != pieces.end();
    }
    if (const PlistValue* value = Find(arguments, "MDNSMode"); value && value->string())
        flags.mdnsUms = *value->string() == "ums";
    if (maxConnCount) {
        const PlistValue::Type type = maxConnCount->type();
        if (type == PlistValue::Type::Integer || type == PlistValue::Type::Real || type == PlistValue::Type::Bool
            || type == PlistValue::Type::String)
            flags.maxConnCount = std::max(maxConnCount->integerValue(), kMinMaxConnCount);
    }
    return option;
}

int EncryptProfilePasswords(const std::string& path)
{
    const std::filesystem::path file(path);
    CProfileData profile;
    ProfileLoadStatus status = ReadProfileFile(profile, path);
    if (!LoadProfileWithPassword(profile, status, file.stem().string(), 0)) {
        SystemLog("Could not load profile");
        return 1;
    }
    if (profile.m_EncryptionMode == kEncryptionDisabled)
        profile.m_EncryptionMode = kEncryptionBasic;
    if (!SaveProfileToFile(profile, path, 0)) {
        SystemLog("Could not save profile");
        return 1;
    }
    SystemLog("OK");
    return 0;
}

LaunchDecision CarryOutLaunchOption(const LaunchOption& option)
{
    // The two switches that the core may also turn on for itself start off in every run.
    SetTimingOn(TimingItem::Connect, false);
    SetTimingOn(TimingItem::Ntlm, false);
    switch (option.kind) {
    case LaunchOption::Kind::SetIntOption:
    case LaunchOption::Kind::SetStringOption:
        return StoreOption(option);
    case LaunchOption::Kind::Deactivate:
        return { LaunchDecision::Next::Deactivate, 0 };
    case LaunchOption::Kind::EncryptPasswords:
        return Exit(EncryptProfilePasswords(option.text));
    case LaunchOption::Kind::Fail:
        SystemLog(option.text);
        return Exit(kBadOptionExitCode);
    case LaunchOption::Kind::Continue:
        break;
    }
    for (TimingItem item : option.flags.timing)
        SetTimingOn(item, true);
    MutexLock lock(g_flagsMutex);
    g_flags = option.flags;
    return {};
}

LaunchFlags AppliedLaunchFlags()
{
    MutexLock lock(g_flagsMutex);
    return g_flags;
}

std::vector<std::string> FileArguments(const std::vector<std::string>& arguments)
{
    std::vector<std::string> files;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (!argument.empty() && argument[0] == '-') {
            if (argument.size() >= 2)
                ++i; // its value
            continue;
        }
        files.push_back(argument);
    }
    return files;
}

} // namespace corvantis
