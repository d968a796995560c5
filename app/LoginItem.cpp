#include "app/LoginItem.h"

#include "app/WorkThreads.h"
#include "platform/AtomicFile.h"
#include "platform/UniqueFd.h"
#include "platform/Utf8.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace corvantis {

namespace fs = std::filesystem;

namespace {

// A desktop entry is a few hundred bytes; anything far larger is not one.
constexpr size_t kMaxEntryBytes = 64 * 1024;

std::string errnoText(int err)
{
    return std::strerror(err);
}

// The whole file at `path` when it is a readable regular file of UTF-8 text within the size limit.
std::optional<std::string> readEntryFile(const fs::path& path)
{
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid())
        return std::nullopt;
    struct stat st { };
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<size_t>(st.st_size) > kMaxEntryBytes)
        return std::nullopt;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > kMaxEntryBytes)
            return std::nullopt;
    }
    if (!isValidUtf8(text))
        return std::nullopt;
    return text;
}

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r'))
        text.remove_suffix(1);
    return text;
}

// The value of `key` in the "Desktop Entry" group of `text` (empty when absent), or nothing when the text does
// not begin with that group, as every desktop entry must.
std::optional<std::string> desktopEntryValue(const std::string& text, const std::string& key)
{
    std::istringstream lines(text);
    std::string line;
    bool inMainGroup = false;
    bool seenGroup = false;
    std::string value;
    while (std::getline(lines, line)) {
        const std::string_view content = trimmed(line);
        if (content.empty() || content.front() == '#')
            continue;
        if (content.front() == '[') {
            if (!seenGroup && content != "[Desktop Entry]")
                return std::nullopt;
            // Only the first group is the entry's own; later groups are its actions.
            inMainGroup = !seenGroup;
            seenGroup = true;
            continue;
        }
        if (!seenGroup)
            return std::nullopt;
        const size_t equals = content.find('=');
        if (!inMainGroup || equals == std::string_view::npos)
            continue;
        if (trimmed(content.substr(0, equals)) == key)
            value = std::string(trimmed(content.substr(equals + 1)));
    }
    if (!seenGroup)
        return std::nullopt;
    return value;
}

bool isPlainFileName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos
        && name.find('\0') == std::string::npos;
}

LoginItemError makeError(std::string reason, const fs::path& url, std::string description = {})
{
    return LoginItemError { EINVAL, std::move(reason), std::move(description), url };
}

} // namespace

fs::path AutostartFolder()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && config[0] == '/')
        return fs::path(config) / "autostart";
    const char* home = std::getenv("HOME");
    return fs::path(home ? home : "") / ".config" / "autostart";
}

bool SetLoginItemEnabled(
    const fs::path& entry, const std::string& identifier, bool enabled, const fs::path& autostart, std::string* detail)
{
    if (!isPlainFileName(identifier)) {
        if (detail)
            *detail = "\"" + identifier + "\" is no login item identifier";
        return false;
    }
    const fs::path target = autostart / (identifier + ".desktop");
    if (!enabled) {
        if (::unlink(target.c_str()) == 0 || errno == ENOENT)
            return true;
        if (detail)
            *detail = "cannot remove " + target.string() + ": " + errnoText(errno);
        return false;
    }
    const std::optional<std::string> contents = readEntryFile(entry);
    if (!contents) {
        if (detail)
            *detail = "cannot read " + entry.string();
        return false;
    }
    std::error_code error;
    fs::create_directories(autostart, error);
    if (error) {
        if (detail)
            *detail = "cannot create " + autostart.string() + ": " + error.message();
        return false;
    }
    // Through a temporary file, so that the session never reads a half-written entry.
    const Status written = AtomicFile::replace(target, *contents, 0644);
    if (!written.ok()) {
        if (detail)
            *detail = "cannot write " + target.string() + ": " + written.message();
        return false;
    }
    return true;
}

LoginItemInstaller::LoginItemInstaller(Options options)
    : m_options(std::move(options))
{
    if (m_options.programTree.empty()) {
        const fs::path executable = OwnExecutablePath();
        if (!executable.empty())
            m_options.programTree = executable.parent_path().parent_path();
    }
    if (m_options.autostart.empty())
        m_options.autostart = AutostartFolder();
}

std::optional<bool> LoginItemInstaller::installLoginItemWithName(const std::string& name, LoginItemError* error)
{
    return installLoginItemWithURL(m_options.programTree / kLoginItemsFolder / name, error);
}

std::optional<bool> LoginItemInstaller::installLoginItemWithURL(const fs::path& url, LoginItemError* error)
{
    const auto refuse = [&](LoginItemError failure) -> std::optional<bool> {
        if (error)
            *error = std::move(failure);
        return std::nullopt;
    };
    const std::optional<std::string> contents = readEntryFile(url);
    const std::optional<std::string> identifier
        = contents ? desktopEntryValue(*contents, kLoginItemIdentifierKey) : std::nullopt;
    if (!identifier)
        return refuse(makeError("failed to load bundle", url));
    if (identifier->empty())
        return refuse(makeError("bundle has no identifier", url));
    const std::string expected = url.stem().string();
    if (*identifier != expected)
        return refuse(makeError("bundle identifier does not match file name", url,
            "expected bundle identifier \"" + expected + "\" for login item \"" + url.string() + "\", got \""
                + *identifier + "\""));

    // Switched off first so that a changed entry replaces the old one; a failure there is only reported.
    std::string detail;
    if (!SetLoginItemEnabled(url, *identifier, false, m_options.autostart, &detail) && error)
        *error = makeError("SMLoginItemSetEnabled() failed", url, detail);
    if (!SetLoginItemEnabled(url, *identifier, true, m_options.autostart, &detail))
        return refuse(makeError("SMLoginItemSetEnabled() failed", url, detail));
    return true;
}

} // namespace corvantis
