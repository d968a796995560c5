#include "ipc/IPCMessage.h"

#include "platform/xpc/XpcFrameCodec.h"

#include <cerrno>

namespace corvantis {

namespace {

constexpr const char* kRootKey = "root";

Status decodeError(const std::string& why)
{
    return Status::error(EINVAL, "The message cannot be read: " + why);
}

} // namespace

PlistValue IPCMessage::propertyList() const
{
    PlistDict form;
    if (launchStub)
        form.emplace("launchStub", PlistValue(PlistDict {}));
    if (error)
        form.emplace("error", PlistValue(PlistDict { { "text", PlistValue(error->text) } }));
    if (forceQuit)
        form.emplace("forceQuit", PlistValue(PlistDict {}));
    return PlistValue(std::move(form));
}

Result<IPCMessage> IPCMessage::fromPropertyList(const PlistValue& value)
{
    const PlistDict* form = value.dict();
    if (!form)
        return decodeError("the root is not a dictionary");
    IPCMessage message;
    for (const char* key : { "launchStub", "forceQuit" }) {
        auto it = form->find(key);
        if (it == form->end())
            continue;
        if (!it->second.dict())
            return decodeError(std::string("\"") + key + "\" is not a dictionary");
        (std::string(key) == "launchStub" ? message.launchStub : message.forceQuit) = MessageSimpleRequest {};
    }
    if (auto it = form->find("error"); it != form->end()) {
        const PlistDict* error = it->second.dict();
        if (!error)
            return decodeError("\"error\" is not a dictionary");
        auto text = error->find("text");
        if (text == error->end() || !text->second.string())
            return decodeError("\"error\" has no text");
        message.error = MessageText { *text->second.string() };
    }
    return message;
}

Result<std::vector<uint8_t>> IPCMessage::encode(const IPCMessage& message)
{
    return XpcFrameCodec::encode(XpcDict { { kRootKey, XpcObject::fromPlist(message.propertyList()) } });
}

Result<std::optional<IPCMessage>> IPCMessage::decode(const std::vector<uint8_t>& bytes)
{
    if (bytes.size() < XpcFrameCodec::kHeaderBytes)
        return decodeError("too short");
    const size_t length
        = (size_t { bytes[0] } << 24) | (size_t { bytes[1] } << 16) | (size_t { bytes[2] } << 8) | bytes[3];
    if (length != bytes.size() - XpcFrameCodec::kHeaderBytes)
        return decodeError("the length does not match");
    auto archive = XpcFrameCodec::decodePayload(std::span<const uint8_t>(bytes).subspan(XpcFrameCodec::kHeaderBytes));
    if (!archive.ok())
        return decodeError(archive.status().message());
    auto root = archive->find(kRootKey);
    if (root == archive->end())
        return std::optional<IPCMessage>();
    auto form = root->second.toPlist();
    if (!form)
        return decodeError("the root is not a property list");
    auto message = fromPropertyList(*form);
    if (!message.ok())
        return message.status();
    return std::optional<IPCMessage>(std::move(message.value()));
}

} // namespace corvantis
