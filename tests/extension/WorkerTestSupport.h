#pragma once

#include "extension/daemon/CorvantisWorker.h"
#include "ipc/IPCMessage.h"
#include "platform/DefaultsStore.h"
#include "platform/xpc/XpcFrameCodec.h"
#include "tests/extension/FlowTestSupport.h"

#include <future>

namespace corvantis::test {

inline std::vector<uint8_t> Archived(const IPCMessage& message)
{
    auto bytes = IPCMessage::encode(message);
    EXPECT_TRUE(bytes.ok());
    return bytes.ok() ? bytes.value() : std::vector<uint8_t>();
}

// The text of a provider reply; "<none>" for bytes that hold no reply text.
inline std::string ReplyText(const std::vector<uint8_t>& reply)
{
    auto decoded = IPCMessage::decode(reply);
    if (!decoded.ok() || !decoded.value() || !decoded.value()->error)
        return "<none>";
    return decoded.value()->error->text;
}

// The worker of a test over the extension's one object in a temporary home.
class WorkerTest : public WrapperTest {
protected:
    std::string Ask(CorvantisWorker& worker, const std::vector<uint8_t>& message)
    {
        std::promise<std::vector<uint8_t>> reply;
        worker.processAppMessage(message, [&](const std::vector<uint8_t>& bytes) { reply.set_value(bytes); });
        auto future = reply.get_future();
        if (future.wait_for(std::chrono::seconds(20)) != std::future_status::ready)
            return "<no reply>";
        return ReplyText(future.get());
    }
};

} // namespace corvantis::test
