#include "app/ExtensionClient.h"

#include "ipc/XPCClientForExtension.h"

namespace corvantis {

namespace {

class XpcExtensionClient final : public ExtensionClient {
public:
    explicit XpcExtensionClient(const std::filesystem::path& programPath)
        : m_client(XPCClientForExtension::create({ programPath, {} }))
    {
    }

    void connect() override { m_client->connect(); }
    void closeConnection() override { m_client->closeConnection(); }
    bool isConnected() const override { return m_client->isConnected(); }

    void helloWithVersion(const std::string& version, StringReply reply) override
    {
        m_client->helloWithVersion(version, std::move(reply));
    }
    void updateSettingWithSettings(const PlistDict& settings, const std::string& profile, StringReply reply) override
    {
        m_client->updateSettingWithSettings(settings, profile, std::move(reply));
    }
    void retriveTickDataWithReply(TickDataReply reply) override
    {
        m_client->retriveTickDataWithReply(std::move(reply));
    }
    void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) override
    {
        m_client->setGssServerEndpointWithGssServerEndpoint(endpoint, std::move(reply));
    }

private:
    const std::shared_ptr<XPCClientForExtension> m_client;
};

} // namespace

ExtensionClientPtr MakeExtensionClient(const std::filesystem::path& programPath)
{
    return std::make_shared<XpcExtensionClient>(programPath);
}

} // namespace corvantis
