#include "extension/flows/FlowProcessor.h"

#include "extension/engine/CorvantisCoreWrapper.h"
#include "platform/SystemLog.h"
#include "platform/netext/AuditToken.h"

namespace corvantis {

namespace {

std::string lastPathComponent(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string withoutExtension(const std::string& name)
{
    const auto dot = name.find_last_of('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

} // namespace

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
    // would name the wrong program.
    if (const std::optional<std::string> path = token->CodePath()) {
        m_codePath = *path;
        m_bundleName = lastPathComponent(*path);
        m_bundleShortName = withoutExtension(m_bundleName);
    }
    m_appNameWrapper = std::make_shared<AppNameWrapper>(
        m_appIdentifier, m_bsdName, m_bundleName, m_bundleShortName, m_codePath, m_pid);
}

} // namespace corvantis
