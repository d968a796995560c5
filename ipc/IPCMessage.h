#pragma once

#include "ipc/MessageSimpleRequest.h"
#include "ipc/MessageText.h"
#include "platform/PlistValue.h"
#include "platform/Result.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace corvantis {

// The provider message the application and the transparent proxy provider exchange: wake (`launchStub`), kill
// (`forceQuit`) and the provider's reply (`error`). Exactly one field is set in every message the system sends.
//
// Byte form, the stand-in for a keyed archive: a typed dictionary (docs/xpc_format.md) whose entry "root" holds
// the message's property-list form, a dictionary with the keys "launchStub", "error" and "forceQuit" for the
// fields that are present (MessageSimpleRequest as an empty dictionary, MessageText as {"text": ...}).
// A plain value type.
struct IPCMessage {
    std::optional<MessageSimpleRequest> launchStub;
    std::optional<MessageText> error;
    std::optional<MessageSimpleRequest> forceQuit;

    friend bool operator==(const IPCMessage&, const IPCMessage&) = default;

    // The property-list form; absent fields are left out.
    PlistValue propertyList() const;
    // Reads a property-list form. Fails when it is not a dictionary, when a present field is not a
    // dictionary, or when "error" lacks its string "text". Unknown keys are ignored.
    static Result<IPCMessage> fromPropertyList(const PlistValue& value);

    // The archive bytes of `message`; fails only when the text cannot be carried (see XpcFrameCodec::encode).
    static Result<std::vector<uint8_t>> encode(const IPCMessage& message);
    // Reads archive bytes: an error for bytes that are no archive or a root that is no message, nothing for an
    // archive without a root.
    static Result<std::optional<IPCMessage>> decode(const std::vector<uint8_t>& bytes);
};

} // namespace corvantis
