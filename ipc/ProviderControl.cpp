#include "ipc/ProviderControl.h"

namespace corvantis {

namespace {

using T = XpcObject::Type;

} // namespace

XpcInterfacePtr ProviderControlInterface()
{
    static const XpcInterfacePtr interface = std::make_shared<const XpcInterface>("ProviderControl",
        std::vector<XpcSelector> {
            { kStartProviderSelector, { { T::Integer } },
                std::vector<XpcValueType> { { T::Bool }, { T::Integer }, { T::String } } },
            { kStopProviderSelector, { { T::Integer }, { T::Integer } }, std::vector<XpcValueType> { { T::Bool } } },
            { kSendProviderMessageSelector, { { T::Data } }, std::vector<XpcValueType> { { T::Data, true } } },
            { kProviderStatusSelector, { { T::Integer } }, std::vector<XpcValueType> { { T::Integer } } },
            { kFollowProviderStatusSelector, { { T::Integer }, { T::Integer } },
                std::vector<XpcValueType> { { T::Integer } } },
        });
    return interface;
}

std::string ProviderControlServiceName(const std::string& serviceName)
{
    return serviceName + ".control";
}

ProviderControlClient::ProviderControlClient(const std::string& serviceName)
    : m_connection(XpcConnection::createForService(ProviderControlServiceName(serviceName)))
{
    m_connection->setRemoteObjectInterface(ProviderControlInterface());
    m_connection->resume();
}

ProviderControlClient::~ProviderControlClient()
{
    m_connection->invalidate();
}

void ProviderControlClient::start(int kind, std::function<void(std::optional<FlowError>)> reply)
{
    m_connection->sendMessage(kStartProviderSelector, { XpcObject(kind) }, [reply](XpcArray values) {
        const bool ok = values.size() == 3 && values[0].boolean() && *values[0].boolean();
        if (ok)
            return reply(std::nullopt);
        FlowError error;
        if (values.size() == 3 && values[1].integer() && values[2].string()) {
            error.code = *values[1].integer();
            error.description = *values[2].string();
        }
        reply(error);
    });
}

void ProviderControlClient::stop(int kind, int reason, std::function<void()> reply)
{
    m_connection->sendMessage(
        kStopProviderSelector, { XpcObject(kind), XpcObject(reason) }, [reply](XpcArray) { reply(); });
}

void ProviderControlClient::sendProviderMessage(
    const std::vector<uint8_t>& message, std::function<void(std::optional<std::vector<uint8_t>>)> reply)
{
    m_connection->sendMessage(
        kSendProviderMessageSelector, { XpcObject(PlistData(message)) }, [reply](XpcArray values) {
            if (!values.empty() && values[0].data())
                return reply(*values[0].data());
            reply(std::nullopt);
        });
}

void ProviderControlClient::status(int kind, std::function<void(int)> reply)
{
    m_connection->sendMessage(kProviderStatusSelector, { XpcObject(kind) }, [reply](XpcArray values) {
        reply(!values.empty() && values[0].integer() ? static_cast<int>(*values[0].integer()) : 0);
    });
}

void ProviderControlClient::followStatus(int kind, int known, std::function<void(int)> reply)
{
    m_connection->sendMessage(
        kFollowProviderStatusSelector, { XpcObject(kind), XpcObject(known) }, [reply](XpcArray values) {
            reply(!values.empty() && values[0].integer() ? static_cast<int>(*values[0].integer()) : 0);
        });
}

} // namespace corvantis
