#include "extension/flows/FlowProcessor.h"

#include "extension/engine/CorvantisCoreWrapper.h"
#include "platform/SystemLog.h"
#include "platform/netext/AuditToken.h"

#include <filesystem>

namespace corvantis {

FlowProcessor::FlowProcessor(const FlowMetaData& metaData)
    : m_creationTime(std::chrono::steady_clock::now())
    , m_appIdentifier(metaData.sourceAppSigningIdentifier)
{
    const std::optional<AuditToken> token
        = metaData.sourceAppAuditToken ? AuditToken::FromBytes(*metaData.sourceAppAuditToken) : std::nullopt;
    if (!token) {
        m_appNameWrapper = std::make_shared<AppNameWrapper>(m_appIdentifier, "", "", "", "", -1);
        return;
    }
    m_pid = token->pid;
    m_uid = token->auid;
    m_bsdName = CorvantisCoreWrapper::getProcessNameForPid(m_pid);
    SystemLog("PID = " + std::to_string(m_pid) + ", AUID = " + std::to_string(m_uid) + " Name = " + m_bsdName);
    // The code is looked up only while the token's process still runs: a pid handed to another process since
    // would name the wrong program. A path the source read while it identified the process is that process's.
    const std::optional<std::string> path
        = metaData.sourceAppCodePath.empty() ? token->CodePath() : std::optional(metaData.sourceAppCodePath);
    if (path) {
        m_codePath = *path;
        m_bundleName = std::filesystem::path(*path).filename().string();
        m_bundleShortName = std::filesystem::path(m_bundleName).stem().string();
    }
    m_appNameWrapper = std::make_shared<AppNameWrapper>(
        m_appIdentifier, m_bsdName, m_bundleName, m_bundleShortName, m_codePath, m_pid);
}

} // namespace corvantis
