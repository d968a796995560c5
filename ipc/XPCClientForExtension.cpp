#include "ipc/XPCClientForExtension.h"

#include "ipc/IPCInterfaces.h"
#include "ipc/IPCRemoteObject.h"
#include "platform/PlistXml.h"
#include "platform/xpc/XpcLog.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace corvantis {

namespace {

constexpr const char* kMissingServiceName = "Mach service name is missing from the Info.plist";

[[noreturn]] void fatal(const std::string& text)
{
    std::fprintf(stderr, "Fatal error: %s\n", text.c_str());
    std::fflush(stderr);
    std::abort();
}

// The file URL of `path` as a URL prints it: "file://", the path with bytes outside the URL's path characters
// percent-encoded, and "/" after a folder.
std::string fileUrl(const std::filesystem::path& path, bool folder)
{
    static const std::string kPlain = "-._~/!$&'()*+,;=:@";
    std::string url = "file://";
    for (unsigned char c : path.string()) {
        if (std::isalnum(c) && c < 0x80) {
            url += static_cast<char>(c);
        } else if (kPlain.find(static_cast<char>(c)) != std::string::npos) {
            url += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            url += hex;
        }
    }
    if (folder && (url.empty() || url.back() != '/'))
        url += '/';
    return url;
}

Result<std::string> missing()
{
    return Status::error(ENOENT, kMissingServiceName);
}

} // namespace

Result<std::string> XPCClientForExtension::findMachServiceName(const std::filesystem::path& programPath)
{
    // <tree>/bin/<program> → <tree>/share/corvantis/SystemExtensions
    const std::filesystem::path folder
        = programPath.parent_path().parent_path() / "share" / "corvantis" / "SystemExtensions";
    std::error_code ec;
    std::vector<std::filesystem::path> entries;
    std::filesystem::directory_iterator it(folder, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (!name.empty() && name[0] != '.')
            entries.push_back(it->path());
    }
    if (ec)
        return Status::error(
            ec.value(), "Failed to get the contents of " + fileUrl(folder, true) + ": " + ec.message());
    if (entries.empty())
        return Status::error(ENOENT, "Failed to find any system extensions");
    // The system ships one extension; should there be several, the first by name is taken.
    std::sort(entries.begin(), entries.end());
    const std::filesystem::path& bundle = entries.front();
    if (!std::filesystem::is_directory(bundle, ec) || ::access(bundle.c_str(), R_OK | X_OK) != 0)
        return Status::error(ENOTDIR, "Failed to create a bundle with URL " + fileUrl(bundle, false));

    return readMachServiceName(bundle / "Info.plist");
}

Result<std::string> XPCClientForExtension::readMachServiceName(const std::filesystem::path& manifest)
{
    std::ifstream file(manifest, std::ios::binary);
    if (!file)
        return missing();
    std::ostringstream text;
    text << file.rdbuf();
    auto info = PlistXml::parse(text.str());
    if (!info.ok() || !info->dict())
        return missing();
    auto extension = info->dict()->find("NetworkExtension");
    if (extension == info->dict()->end() || !extension->second.dict())
        return missing();
    auto name = extension->second.dict()->find("NEMachServiceName");
    if (name == extension->second.dict()->end() || !name->second.string())
        return missing();
    return *name->second.string();
}

std::shared_ptr<XPCClientForExtension> XPCClientForExtension::create(Options options)
{
    std::filesystem::path program = options.programPath;
    if (program.empty()) {
        std::error_code ec;
        program = std::filesystem::read_symlink("/proc/self/exe", ec);
    }
    auto name = findMachServiceName(program);
    if (!name.ok()) {
        if (name.status().message() == kMissingServiceName)
            XpcLog::error(kMissingServiceName);
        fatal(name.status().message());
    }
    return std::make_shared<XPCClientForExtension>(PrivateTag {}, std::move(name.value()), std::move(options));
}

XPCClientForExtension::XPCClientForExtension(PrivateTag, std::string machServiceName, Options options)
    : m_machServiceName(std::move(machServiceName))
    , m_options(std::move(options))
    , m_requestQueue(DispatchQueue::create("XPC client to System Extension"))
{
}

bool XPCClientForExtension::isConnected() const
{
    MutexLock lock(m_mutex);
    return m_connection != nullptr;
}

void XPCClientForExtension::connect()
{
    if (isConnected())
        return;
    m_requestQueue->sync([this] {
        if (isConnected())
            return;
        auto connection = XpcConnection::createForService(m_machServiceName);
        auto ended = [weak = weak_from_this(), which = std::weak_ptr<XpcConnection>(connection)] {
            if (auto self = weak.lock())
                self->connectionEnded(which);
        };
        connection->setInterruptionHandler(ended);
        connection->setInvalidationHandler(ended);
        connection->setRemoteObjectInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCExtension));
        {
            MutexLock lock(m_mutex);
            m_connection = connection;
        }
        // A request left unanswered on an earlier connection does not block this one.
        m_isInProgress = false;
        connection->resume();
    });
}

void XPCClientForExtension::closeConnection()
{
    if (!isConnected())
        return;
    m_requestQueue->sync([this] {
        XpcConnectionPtr connection;
        {
            MutexLock lock(m_mutex);
            connection = std::move(m_connection);
            m_connection = nullptr;
        }
        if (connection)
            connection->invalidate();
    });
}

void XPCClientForExtension::connectionEnded(const std::weak_ptr<XpcConnection>& which)
{
    // Only the handler's own connection is dropped: a late handler of an earlier connection must not end the
    // one connect() made after it.
    auto connection = which.lock();
    if (!connection || !isConnected())
        return;
    m_requestQueue->sync([this, &connection] {
        {
            MutexLock lock(m_mutex);
            if (m_connection != connection)
                return;
            m_connection = nullptr;
        }
        connection->invalidate();
    });
}

std::function<void()> XPCClientForExtension::clearInProgress()
{
    return [weak = weak_from_this()] {
        if (auto self = weak.lock())
            self->m_requestQueue->async([self] { self->m_isInProgress = false; });
    };
}

void XPCClientForExtension::request(std::function<void(IPCExtension& proxy)> send, std::function<void(Failure)> fail)
{
    m_requestQueue->async([self = shared_from_this(), send = std::move(send), fail = std::move(fail)] {
        XpcConnectionPtr connection;
        {
            MutexLock lock(self->m_mutex);
            connection = self->m_connection;
        }
        if (!connection)
            return fail(Failure::NotConnected);
        if (self->m_isInProgress)
            return fail(Failure::Busy);
        auto proxy = self->m_options.proxyCast ? self->m_options.proxyCast(connection)
                                               : IPCRemoteObject::proxyAs<IPCExtension>(connection);
        if (!proxy)
            return fail(Failure::ProtocolError);
        self->m_isInProgress = true;
        send(*proxy);
    });
}

void XPCClientForExtension::helloWithVersion(const std::string& version, StringReply reply)
{
    request(
        [version, reply, clear = clearInProgress()](IPCExtension& proxy) {
            proxy.helloWithVersion(version, [reply, clear](std::string answer) {
                clear();
                if (reply)
                    reply(std::move(answer));
            });
        },
        [reply](Failure) {
            if (reply)
                DispatchQueue::asyncGlobal([reply] { reply("<nil>"); });
        });
}

void XPCClientForExtension::updateSettingWithSettings(
    const PlistDict& settings, const std::string& profile, StringReply reply)
{
    request(
        [settings, profile, reply, clear = clearInProgress()](IPCExtension& proxy) {
            proxy.updateSettingWithSettings(settings, profile, [reply, clear](std::string status) {
                clear();
                if (reply)
                    reply(std::move(status));
            });
        },
        [reply](Failure failure) {
            if (!reply)
                return;
            const char* text = failure == Failure::NotConnected ? "XPC connection lost"
                : failure == Failure::Busy                      ? "Other XPC task is in progress"
                                                                : "XPC protocol error";
            DispatchQueue::asyncGlobal([reply, text] { reply(text); });
        });
}

void XPCClientForExtension::retriveTickDataWithReply(TickDataReply reply)
{
    request(
        [reply, clear = clearInProgress()](IPCExtension& proxy) {
            proxy.retriveTickDataWithReply(
                [reply, clear](std::string statistics, std::string log, std::string connections, PlistData up,
                    PlistData down, std::optional<std::string> loop) {
                    clear();
                    if (reply)
                        reply(std::move(statistics), std::move(log), std::move(connections), std::move(up),
                            std::move(down), std::move(loop));
                });
        },
        [](Failure) {});
}

void XPCClientForExtension::setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply)
{
    request(
        [endpoint, reply, clear = clearInProgress()](IPCExtension& proxy) {
            proxy.setGssServerEndpointWithGssServerEndpoint(endpoint, [reply, clear](bool ok) {
                clear();
                if (reply)
                    reply(ok);
            });
        },
        [](Failure) {});
}

} // namespace corvantis
