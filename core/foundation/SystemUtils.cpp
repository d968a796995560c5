#include "core/foundation/SystemUtils.h"

#include "platform/LocalAddresses.h"
#include "platform/ProgramHome.h"
#include "platform/SystemIdentity.h"

#include <cstdio>
#include <filesystem>
#include <nettle/sha1.h>
#include <optional>
#include <set>
#include <sys/stat.h>

namespace corvantis {

namespace {

namespace fs = std::filesystem;

char asciiLower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

std::string inHome(const char* folder)
{
    std::string home = GetHomeDir();
    return home.empty() ? std::string() : home + "/" + folder;
}

} // namespace

std::string GetHomeDir()
{
    return programHomeDir(currentProgram());
}

std::string GetLogsDir()
{
    return inHome("Logs");
}

std::string GetTrafficDir()
{
    return inHome("Traffic");
}

std::string GetProfilesDir()
{
    return inHome("Profiles");
}

std::vector<std::string> ListFolder(
    const std::string& folder, const std::string& extension, const std::string& excluded)
{
    std::error_code ec;
    fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
    if (ec)
        return {};
    const std::string ending = "." + extension;
    std::set<std::string> names;
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        fs::path name = it->path().filename();
        if (!extension.empty() && name.extension().string() != ending)
            continue;
        std::string text = name.string();
        if (!excluded.empty() && equalNoCase(text, excluded))
            continue;
        // Only the final ending goes: "a.ppx.ppx" is the profile "a.ppx", whose file is that very name.
        if (!extension.empty())
            text.erase(text.size() - ending.size());
        names.insert(text);
    }
    return { names.begin(), names.end() };
}

std::string GetNameFromPath(const std::string& path)
{
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {};
    std::string name = path.substr(slash + 1);
    std::size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

std::int64_t GetFolderSize(const std::string& folder, std::uint64_t& count)
{
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec)
        return 0;
    std::vector<std::string> entries;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            break;
        entries.push_back(it->path().filename().string());
    }
    count = entries.size();
    std::int64_t total = 0;
    for (const std::string& entry : entries) {
        struct stat info { };
        if (::lstat((folder + "/" + entry).c_str(), &info) == 0)
            total += static_cast<std::int64_t>(info.st_size);
    }
    return total;
}

std::string MakeUserGuid(const std::string& machineId, std::uint32_t uid)
{
    if (machineId.empty())
        return {};
    const std::string name = machineId + ":" + std::to_string(uid);
    sha1_ctx context;
    sha1_init(&context);
    sha1_update(&context, name.size(), reinterpret_cast<const std::uint8_t*>(name.data()));
    std::uint8_t digest[SHA1_DIGEST_SIZE];
    sha1_digest(&context, sizeof digest, digest);
    digest[6] = static_cast<std::uint8_t>((digest[6] & 0x0F) | 0x50); // version 5: name-based, SHA-1
    digest[8] = static_cast<std::uint8_t>((digest[8] & 0x3F) | 0x80); // the RFC 4122 variant

    std::string text;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", digest[i]);
        text += hex;
    }
    return text;
}

std::string GetUserAttribute(std::uint32_t uid, const std::string& attribute)
{
    std::optional<UserAccount> account = lookupUser(uid);
    if (!account)
        return {};
    if (attribute == kODAttributeTypeGUID)
        return MakeUserGuid(machineId(), uid);
    if (attribute == kODAttributeTypeRecordName)
        return account->name;
    if (attribute == kODAttributeTypeFullName)
        return account->realName;
    if (attribute == kODAttributeTypeNFSHomeDirectory)
        return account->home;
    if (attribute == kODAttributeTypeUserShell)
        return account->shell;
    if (attribute == kODAttributeTypeUniqueID)
        return std::to_string(account->uid);
    if (attribute == kODAttributeTypePrimaryGroupID)
        return std::to_string(account->gid);
    return {};
}

std::vector<std::string> GetLocalIPs()
{
    return localAddressTexts();
}

} // namespace corvantis
