#include "supervisor/TreeCheck.h"

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <vector>

namespace corvantis {

namespace {

Status errnoStatus(int err, const std::filesystem::path& path)
{
    return Status::error(err, path.string() + ": " + std::generic_category().message(err));
}

// "/", "/a", "/a/b", ... of an absolute path, in that order.
std::vector<std::filesystem::path> prefixes(const std::filesystem::path& absolute)
{
    std::vector<std::filesystem::path> out;
    std::filesystem::path current;
    for (const auto& part : absolute) {
        if (part.empty())
            continue; // the empty element a trailing separator yields
        current /= part;
        out.push_back(current);
    }
    return out;
}

// One path, as lstat sees it. A link's own mode bits are always 0777 and mean nothing; only who owns it does.
Status checkEntry(const std::filesystem::path& path, uid_t trustedUid)
{
    struct stat st { };
    if (::lstat(path.c_str(), &st) != 0)
        return errnoStatus(errno, path);
    if (st.st_uid != 0 && st.st_uid != trustedUid)
        return Status::error(EPERM, path.string() + " is owned by uid " + std::to_string(st.st_uid));
    if (S_ISLNK(st.st_mode))
        return {};
    if (st.st_mode & S_IWOTH)
        return Status::error(EPERM, path.string() + " is writable by others");
    if (st.st_mode & S_IWGRP)
        return Status::error(EPERM, path.string() + " is writable by its group");
    return {};
}

} // namespace

Status TreeCheck::check(const std::filesystem::path& path, uid_t trustedUid)
{
    if (path.empty())
        return Status::error(ENOENT, "no path to check");
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    if (ec)
        return errnoStatus(ec.value(), path);

    // The path as written: each link on the way must belong to a trusted owner, since whoever owns a link may
    // point it elsewhere at any time.
    for (const auto& prefix : prefixes(absolute)) {
        Status st = checkEntry(prefix, trustedUid);
        if (!st.ok())
            return st;
    }
    // The path the links lead to, from "/" down: the folders that really hold the file.
    const std::filesystem::path real = std::filesystem::canonical(absolute, ec);
    if (ec)
        return errnoStatus(ec.value(), path);
    if (real == absolute)
        return {};
    for (const auto& prefix : prefixes(real)) {
        Status st = checkEntry(prefix, trustedUid);
        if (!st.ok())
            return st;
    }
    return {};
}

} // namespace corvantis
