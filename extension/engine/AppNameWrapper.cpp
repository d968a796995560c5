#include "extension/engine/AppNameWrapper.h"

#include <string_view>
#include <utility>

namespace corvantis {

AppNameWrapper::AppNameWrapper(std::string revDns, std::string bsdName, std::string packetName,
    std::string packetShortName, std::string fullPath, int32_t pid)
    : m_revDns(std::move(revDns))
    , m_bsdName(std::move(bsdName))
    , m_packetName(std::move(packetName))
    , m_packetShortName(std::move(packetShortName))
    , m_fullPath(std::move(fullPath))
    , m_pid(pid)
{
}

CLogContext AppNameWrapper::getName() const
{
    CLogContext info;
    info.revDns = m_revDns;
    info.bsdName = m_bsdName;
    info.packetName = m_packetName;
    info.packetShortName = m_packetShortName;
    info.fullPath = m_fullPath;
    // Constructed from a 32-bit value, so narrowing loses nothing.
    info.pid = static_cast<int32_t>(m_pid);

    const std::string& best = info.BestName();
    if (best.empty())
        info.displayName = m_revDns.empty() ? "<unknown>" : m_revDns;
    else if (m_revDns.empty() || m_revDns == best)
        info.displayName = best;
    else
        info.displayName = best + ", " + m_revDns;
    return info;
}

std::string AppNameWrapper::ExecutableName(const std::string& fullPath)
{
    static constexpr std::string_view kDeletedMark = " (deleted)";
    std::string_view path = fullPath;
    if (path.size() > kDeletedMark.size() && path.ends_with(kDeletedMark))
        path.remove_suffix(kDeletedMark.size());
    const size_t slash = path.rfind('/');
    if (slash != std::string_view::npos)
        path.remove_prefix(slash + 1);
    return std::string(path);
}

} // namespace corvantis
