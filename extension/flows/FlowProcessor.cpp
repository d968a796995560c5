#include "extension/flows/FlowProcessor.h"

#include "extension/engine/CorvantisCoreWrapper.h"
#include "platform/SystemLog.h"
#include "platform/netext/AuditToken.h"

#include <filesystem>

namespace corvantis {

FlowProcessor::FlowProcessor(const FlowMetaData& metaData)
    : m_creationTime(std::chrono::steady_clock::now())
{
    const std::optional<AuditToken> token
        = metaData.sourceAppAuditToken ? AuditToken::FromBytes(*metaData.sourceAppAuditToken) : std::nullopt;
    if (!token) {
        m_appNameWrapper = std::make_shared<AppNameWrapper>(metaData.sourceAppSigningIdentifier, "", "", "", "", -1);
        return;
    }
    m_pid = token->pid;
    m_uid = token->auid;
    std::string bsdName = CorvantisCoreWrapper::getProcessNameForPid(m_pid);
    SystemLog("PID = " + std::to_string(m_pid) + ", AUID = " + std::to_string(m_uid) + " Name = " + bsdName);
    std::string codePath;
    std::string bundleName;
    std::string bundleShortName;
    // The code is looked up only while the token's process still runs: a pid handed to another process since
    // would name the wrong program. A path the source read while it identified the process is that process's.
    const std::optional<std::string> path
        = metaData.sourceAppCodePath.empty() ? token->CodePath() : std::optional(metaData.sourceAppCodePath);
    if (path) {
        codePath = *path;
        bundleName = std::filesystem::path(*path).filename().string();
        bundleShortName = std::filesystem::path(bundleName).stem().string();
    }
    m_appNameWrapper = std::make_shared<AppNameWrapper>(metaData.sourceAppSigningIdentifier, std::move(bsdName),
        std::move(bundleName), std::move(bundleShortName), std::move(codePath), m_pid);
}

} // namespace corvantis
