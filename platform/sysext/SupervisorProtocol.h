#pragma once

#include "platform/Result.h"
#include "platform/sysext/NEConfigurationStore.h"
#include "platform/sysext/SystemExtensionManager.h"
#include "platform/xpc/XpcInterface.h"
#include "platform/xpc/XpcObject.h"

#include <string>
#include <vector>

namespace corvantis {

// The supervisor's socket, "corvantis-supervisor" in the runtime folder. It is open to everyone (0666): the
// supervisor checks each caller by its peer credentials and answers by the caller's uid.
inline constexpr const char* kSupervisorServiceName = "corvantis-supervisor";

// Calls from the programs to the supervisor.
//
// A request (activation, deactivation, properties) carries an id the client chose; the supervisor answers it
// with calls on the client's exported object (below) that name the same id. A request is answered by one
// finished or failed call, except an activation waiting for approval that a newer one of the same user
// replaced: that one is never answered.
inline constexpr const char* kSubmitRequestSelector = "submitRequest:ofKind:forExtension:";
// Configurations of a kind → (configurations, error text). Configurations are dictionaries (ConfigurationToXpc).
inline constexpr const char* kLoadConfigurationsSelector = "loadConfigurationsOfKind:reply:";
// A configuration → (the configuration as stored, or absent; error text).
inline constexpr const char* kSaveConfigurationSelector = "saveConfiguration:reply:";
// A transparent proxy's identifier → (error text, absent when the start was asked for).
inline constexpr const char* kStartSessionSelector = "startSession:reply:";
// A transparent proxy's identifier → (done).
inline constexpr const char* kStopSessionSelector = "stopSession:reply:";
// → (identifier → state of every known session). Also makes the caller one that hears state changes.
inline constexpr const char* kSessionStatusesSelector = "sessionStatusesWithReply:";
// (identifier, message) → (sent, the provider's reply data or absent).
inline constexpr const char* kSessionMessageSelector = "sendProviderMessageToSession:message:reply:";
// A uid to add to the allow list (root only) → (done, error text). The supervisor rereads its allow list and
// completes the activations of the newly allowed users that wait.
inline constexpr const char* kAllowUserSelector = "allowUser:reply:";

// Calls from the supervisor to a client's exported object: a request's events and session state changes.
inline constexpr const char* kRequestNeedsApprovalSelector = "requestNeedsUserApproval:";
// (request id, existing version, new version) → (SystemExtensionReplacementAction).
inline constexpr const char* kRequestReplacingSelector = "request:actionForReplacingExtension:withExtension:reply:";
inline constexpr const char* kRequestFinishedSelector = "request:didFinishWithResult:";
inline constexpr const char* kRequestFailedSelector = "request:didFailWithError:";
// (request id, array of property dictionaries).
inline constexpr const char* kRequestFoundPropertiesSelector = "request:foundProperties:";
// (identifier, state) to every connected client, whoever owns the configuration.
inline constexpr const char* kSessionStatusChangedSelector = "session:didChangeStatus:";

// What the programs may call on the supervisor.
XpcInterfacePtr SupervisorInterface();
// What the supervisor calls on a client.
XpcInterfacePtr SupervisorClientInterface();

// The failure's text when another non-root user's extension runs.
inline constexpr const char* kExtensionRunsForAnotherUser = "The network extension is running for another user.";

// Configurations and properties as message values. The decoders check every field's type; a dictionary that
// does not fit fails with the reason.
XpcObject ConfigurationToXpc(const NEConfiguration& configuration);
Result<NEConfiguration> ConfigurationFromXpc(const XpcObject& value);
XpcObject PropertiesToXpc(const SystemExtensionProperties& properties);
Result<SystemExtensionProperties> PropertiesFromXpc(const XpcObject& value);

} // namespace corvantis
