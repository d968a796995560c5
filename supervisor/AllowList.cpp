#include "supervisor/AllowList.h"

#include "platform/AtomicFile.h"

#include <cerrno>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace corvantis {

namespace {

// A decimal uid below the invalid uid, with nothing around it.
std::optional<uid_t> parseUid(const std::string& text)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value >= static_cast<uid_t>(-1))
        return std::nullopt;
    return static_cast<uid_t>(value);
}

} // namespace

AllowList::AllowList(std::filesystem::path file)
    : m_file(std::move(file))
{
}

Result<std::set<uid_t>> AllowList::readFile() const
{
    std::ifstream in(m_file);
    if (!in) {
        // ifstream keeps no errno of its own; ask the file system why.
        std::error_code ec;
        if (!std::filesystem::exists(m_file, ec) && !ec)
            return std::set<uid_t> {};
        return Status::error(ec ? ec.value() : EACCES, m_file.string() + ": cannot be read");
    }
    std::set<uid_t> uids;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.empty())
            continue;
        const auto uid = parseUid(line);
        if (!uid)
            return Status::error(
                EINVAL, m_file.string() + ": line " + std::to_string(number) + " is not a uid: " + line);
        if (*uid != 0)
            uids.insert(*uid);
    }
    if (in.bad())
        return Status::error(EIO, m_file.string() + ": read error");
    return uids;
}

Status AllowList::reload()
{
    auto uids = readFile();
    if (!uids.ok())
        return uids.status();
    MutexLock lock(m_mutex);
    m_uids = std::move(uids.value());
    return {};
}

Result<uid_t> AllowList::add(const std::string& text)
{
    auto uid = resolveUser(text);
    if (!uid.ok())
        return uid.status();
    if (uid.value() == 0)
        return uid;

    // The lock and the fresh read keep another process's additions, made since our last read, in the file.
    AtomicFile::FolderLock folderLock(m_file.parent_path());
    if (!folderLock.ok())
        return folderLock.status();
    auto onDisk = readFile();
    if (!onDisk.ok())
        return onDisk.status();
    std::set<uid_t> uids = std::move(onDisk.value());
    if (uids.insert(uid.value()).second) {
        std::ostringstream text;
        for (uid_t u : uids)
            text << u << '\n';
        Status st = AtomicFile::replace(m_file, text.str(), 0600);
        if (!st.ok())
            return st;
    }
    MutexLock lock(m_mutex);
    m_uids = std::move(uids);
    return uid;
}

bool AllowList::contains(uid_t uid) const
{
    if (uid == 0)
        return true;
    MutexLock lock(m_mutex);
    return m_uids.count(uid) != 0;
}

std::vector<uid_t> AllowList::uids() const
{
    MutexLock lock(m_mutex);
    return { m_uids.begin(), m_uids.end() };
}

Result<uid_t> AllowList::resolveUser(const std::string& text)
{
    if (text.empty())
        return Status::error(EINVAL, "No user name given");
    if (auto uid = parseUid(text))
        return *uid;

    long hint = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(hint > 0 ? static_cast<size_t>(hint) : 4096);
    for (;;) {
        struct passwd entry { };
        struct passwd* found = nullptr;
        const int err = ::getpwnam_r(text.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (err == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (found)
            return found->pw_uid;
        // getpwnam_r reports an unknown name as success with no entry, though some sources answer ENOENT.
        if (err == 0 || err == ENOENT || err == ESRCH || err == EBADF || err == EPERM)
            return Status::error(ENOENT, "No such user: " + text);
        return Status::error(err, "Cannot look up user " + text + ": " + std::generic_category().message(err));
    }
}

} // namespace corvantis
