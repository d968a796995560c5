#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace corvantis {

// Free functions about the program's folders, the file system, user accounts and the machine's addresses.
// They keep no state, may run on any thread, and report failure only by an empty result.

// Names of user attributes that GetUserAttribute answers.
inline constexpr const char* kODAttributeTypeGUID = "dsAttrTypeStandard:GeneratedUID";
inline constexpr const char* kODAttributeTypeRecordName = "dsAttrTypeStandard:RecordName";
inline constexpr const char* kODAttributeTypeFullName = "dsAttrTypeStandard:RealName";
inline constexpr const char* kODAttributeTypeNFSHomeDirectory = "dsAttrTypeStandard:NFSHomeDirectory";
inline constexpr const char* kODAttributeTypeUserShell = "dsAttrTypeStandard:UserShell";
inline constexpr const char* kODAttributeTypeUniqueID = "dsAttrTypeStandard:UniqueID";
inline constexpr const char* kODAttributeTypePrimaryGroupID = "dsAttrTypeStandard:PrimaryGroupID";

// The running program's home folder (see setCurrentProgram and programHomeDir in ProgramHome.h), and the
// "Logs", "Traffic" and "Profiles" folders inside it. Empty when there is no home. Nothing is created.
std::string GetHomeDir();
std::string GetLogsDir();
std::string GetTrafficDir();
std::string GetProfilesDir();

// The names of everything at any depth below `folder` (subfolder parts dropped), sorted by bytes without
// duplicates. With a non-empty `extension` only names ending in "." + extension (case counts) are taken, and
// that ending is cut off; a name equal to `excluded` without regard to ASCII case is left out. Subfolders reached
// through symbolic links and unreadable subfolders are not entered. Empty when the folder cannot be read.
std::vector<std::string> ListFolder(
    const std::string& folder, const std::string& extension, const std::string& excluded);

// The last element of a path or URL without its extension: "dir/sub/office.ppx" gives "office". Empty when the
// text has no "/".
std::string GetNameFromPath(const std::string& path);

// The sum of the sizes of the entries directly inside `folder` (hidden ones too; a subfolder counts its own
// entry, a symbolic link itself), and their number in `count`. 0 with `count` untouched when the folder cannot
// be read.
std::int64_t GetFolderSize(const std::string& folder, std::uint64_t& count);

// The value of one attribute (kODAttributeType...) of the account with user id `uid`; empty when there is no
// such account or attribute.
std::string GetUserAttribute(std::uint32_t uid, const std::string& attribute);

// The user's GUID on this machine: the name-based (SHA-1, version 5) UUID of machineId + ":" + the decimal uid,
// upper-case 8-4-4-4-12. Empty when `machineId` is empty.
std::string MakeUserGuid(const std::string& machineId, std::uint32_t uid);

// The addresses of the machine's interfaces as texts, IPv4 and IPv6 together.
std::vector<std::string> GetLocalIPs();

} // namespace corvantis
