#include "app/SystemExtensionLoader.h"

#include "core/foundation/IPCHelper.h"
#include "core/foundation/LogEventWrap.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"

namespace corvantis {

namespace {

// The failure text by which the system says that the device's management does not allow the extension.
constexpr const char* kManagedDeviceError = "OSSystemExtensionErrorDomain error 10";

constexpr int64_t kCodeCompleted = 0;
constexpr int64_t kCodeNeedsApproval = 2;
constexpr int64_t kCodeReplacing = 3;
constexpr int64_t kCodeFailed = 11;
constexpr int64_t kCodeManagedDevice = 12;

} // namespace

SystemExtensionRequest::SystemExtensionRequest(Handler handler)
    : m_handler(std::move(handler))
{
}

SystemExtensionReplacementAction SystemExtensionRequest::actionForReplacingExtension(
    const std::string& existingVersion, const std::string& newVersion)
{
    LogEventWrap::putLogVerboseFromApp(
        nullptr, "Replacing Corvantis System Extension version " + existingVersion + " with version " + newVersion);
    m_handler(kCodeReplacing);
    return SystemExtensionReplacementAction::Replace;
}

void SystemExtensionRequest::requestNeedsUserApproval()
{
    LogEventWrap::putLogErrorFromApp(nullptr, "Corvantis System Extension requires user approval");
    m_handler(kCodeNeedsApproval);
}

void SystemExtensionRequest::didFinishWithResult(SystemExtensionRequestResult result)
{
    const std::string number = std::to_string(static_cast<int>(result));
    if (result != SystemExtensionRequestResult::Completed) {
        // The caller keeps waiting (its dialog offers a retry): nothing it could do now would help.
        LogEventWrap::putLogErrorFromApp(nullptr, "Unexpected result " + number + " for system extension request");
        return;
    }
    LogEventWrap::putLogVerboseFromApp(nullptr, "Good result '" + number + "' for system extension request");
    m_handler(kCodeCompleted);
}

void SystemExtensionRequest::didFailWithError(const std::string& localizedDescription)
{
    const std::string text = "Corvantis System Extension request failed: " + localizedDescription;
    LogEventWrap::putLogErrorFromApp(nullptr, text);
    SystemLog(text);
    if (localizedDescription.find(kManagedDeviceError) == std::string::npos) {
        m_handler(kCodeFailed);
        return;
    }
    LogEventWrap::putLogErrorFromApp(nullptr,
        "You use Managed Device that managed by your company and you need to contact your system administrator and "
        "allow the System Extension of Corvantis.");
    m_handler(kCodeManagedDevice);
}

void SystemExtensionRequest::foundProperties(const std::vector<SystemExtensionProperties>& properties)
{
    const auto count = static_cast<int64_t>(properties.size());
    LogEventWrap::putLogVerboseFromApp(nullptr, "Properties found: " + std::to_string(count));
    m_handler(count);
}

SystemExtensionLoader::SystemExtensionLoader()
    : m_extensionId(kExtensionBundleIdentifier)
{
}

void SystemExtensionLoader::loadExtensionWithHandler(Handler handler)
{
    LogEventWrap::putLogDebugFromApp(nullptr, "Init system extension start request");
    submit(SystemExtensionRequestKind::Activation, std::move(handler));
}

void SystemExtensionLoader::stopExtensionWithHandler(Handler handler)
{
    LogEventWrap::putLogDebugFromApp(nullptr, "Init system extension start request");
    submit(SystemExtensionRequestKind::Deactivation, std::move(handler));
}

void SystemExtensionLoader::propertiesOfExtensionWithHandler(Handler handler)
{
    LogEventWrap::putLogDebugFromApp(nullptr, "Init system extension properties request");
    submit(SystemExtensionRequestKind::Properties, std::move(handler));
}

void SystemExtensionLoader::submit(SystemExtensionRequestKind kind, Handler handler)
{
    auto request = std::make_shared<SystemExtensionRequest>([handler = std::move(handler)](int64_t code) {
        if (handler)
            handler(code);
    });
    m_sysExtRequest = request;
    if (auto manager = SystemExtensionManager::shared()) {
        manager->submitRequest(kind, m_extensionId, request);
        return;
    }
    // Without a manager the request fails as a refused one would, with its answer on the main thread.
    NotificationCenter::defaultCenter().mainThreadExecutor()->post(
        [request] { request->didFailWithError("The system extension manager cannot be reached."); });
}

} // namespace corvantis
