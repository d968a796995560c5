#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace corvantis {

namespace {

Status errnoStatus(int err, const std::string& what)
{
    return Status::error(err, what + ": " + std::generic_category().message(err));
}

} // namespace

Status AtomicFile::replace(
    const std::filesystem::path& path, const std::string& contents, mode_t mode, struct stat* written)
{
    std::string tmpl = path.string() + ".XXXXXX";
    UniqueFd tmp(::mkostemp(tmpl.data(), O_CLOEXEC));
    if (!tmp)
        return errnoStatus(errno, "create a temporary file beside " + path.string());
    Status st;
    for (size_t done = 0; st.ok() && done < contents.size();) {
        ssize_t n = retryOnEintr([&] { return ::write(tmp.get(), contents.data() + done, contents.size() - done); });
        if (n < 0)
            st = errnoStatus(errno, "write " + tmpl);
        else
            done += static_cast<size_t>(n);
    }
    if (st.ok() && ::fchmod(tmp.get(), mode) != 0)
        st = errnoStatus(errno, "chmod " + tmpl);
    if (st.ok() && ::fsync(tmp.get()) != 0)
        st = errnoStatus(errno, "fsync " + tmpl);
    struct stat info { };
    if (st.ok() && ::fstat(tmp.get(), &info) != 0)
        st = errnoStatus(errno, "fstat " + tmpl);
    if (st.ok() && ::rename(tmpl.c_str(), path.c_str()) != 0)
        st = errnoStatus(errno, "rename to " + path.string());
    if (!st.ok()) {
        ::unlink(tmpl.c_str());
        return st;
    }
    // Make the rename itself durable.
    UniqueFd dir(
        ::open(path.parent_path().empty() ? "." : path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir)
        ::fsync(dir.get());
    if (written)
        *written = info;
    return {};
}

AtomicFile::FolderLock::FolderLock(const std::filesystem::path& folder)
    : m_fd(
        retryOnEintr([&] { return ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }))
{
    if (!m_fd) {
        m_status = errnoStatus(errno, "open " + folder.string());
        return;
    }
    if (retryOnEintr([&] { return ::flock(m_fd.get(), LOCK_EX); }) != 0) {
        m_status = errnoStatus(errno, "lock " + folder.string());
        m_fd.reset();
    }
}

} // namespace corvantis
