#pragma once

#include "ipc/GssIPCProtcol.h"
#include "ipc/IPCExportedObject.h"
#include "ipc/IPCInterfaces.h"
#include "tests/ipc/XpcTestSupport.h"

#include <memory>
#include <string>
#include <vector>

namespace corvantis::test {

// A GSS token service stand-in on an anonymous listener of this process. How it answers token requests:
//  Answer: at once with `ok`, `text` (or, when `echoHost`, the host name it was asked for) and `token`;
//  Hold:   never, keeping the reply blocks (releaseHeld() answers them later);
//  Refuse: the listener refuses every connection, which the client sees as a link that closes at once.
class StubGssService final {
public:
    enum class Mode { Answer, Hold, Refuse };

    struct Object final : GssIPCProtcol {
        void helloWithVersion(const std::string& version, StringReply reply) override { reply("stub " + version); }
        void retriveTokenWithProxyHostname(const std::string& host, TokenReply reply) override
        {
            bool answerOk = false;
            std::string answer;
            PlistData answerToken;
            {
                MutexLock lock(mutex);
                hosts.push_back(host);
                if (mode == Mode::Hold) {
                    held.push_back(std::move(reply));
                    return;
                }
                answerOk = ok;
                answer = echoHost ? host : text;
                answerToken = token;
            }
            reply(answerOk, answer, answerToken);
        }

        Mutex mutex;
        Mode mode GUARDED_BY(mutex) = Mode::Answer;
        bool ok GUARDED_BY(mutex) = true;
        bool echoHost GUARDED_BY(mutex) = false;
        std::string text GUARDED_BY(mutex);
        PlistData token GUARDED_BY(mutex);
        std::vector<std::string> hosts GUARDED_BY(mutex);
        std::vector<TokenReply> held GUARDED_BY(mutex);
    };

    explicit StubGssService(Mode mode = Mode::Answer)
    {
        {
            MutexLock lock(m_object->mutex);
            m_object->mode = mode;
        }
        auto created = XpcListener::createAnonymous(ownUidOnly());
        if (!created.ok())
            throw std::runtime_error(created.status().message());
        m_listener = created.value();
        m_listener->setDelegate([object = m_object, mode](const XpcConnectionPtr& connection) {
            if (mode == Mode::Refuse)
                return false;
            connection->setExportedInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::GssIPCProtcol));
            connection->setExportedObject(IPCExportedObject::forGssIPCProtcol(object));
            connection->resume();
            return true;
        });
        if (!m_listener->resume().ok())
            throw std::runtime_error("cannot resume the stub listener");
    }
    ~StubGssService() { m_listener->invalidate(); }
    StubGssService(const StubGssService&) = delete;
    StubGssService& operator=(const StubGssService&) = delete;

    XpcEndpoint endpoint() const { return *m_listener->endpoint(); }

    void answer(bool ok, std::string text, PlistData token = {}, bool echoHost = false)
    {
        MutexLock lock(m_object->mutex);
        m_object->ok = ok;
        m_object->text = std::move(text);
        m_object->token = std::move(token);
        m_object->echoHost = echoHost;
    }
    // Hold or Answer from now on (a refusing listener stays refusing).
    void setMode(Mode mode)
    {
        MutexLock lock(m_object->mutex);
        m_object->mode = mode;
    }
    std::vector<std::string> hosts() const
    {
        MutexLock lock(m_object->mutex);
        return m_object->hosts;
    }
    size_t heldCount() const
    {
        MutexLock lock(m_object->mutex);
        return m_object->held.size();
    }
    // Answers every held request with (ok, text, token).
    void releaseHeld(bool ok, const std::string& text, const PlistData& token)
    {
        std::vector<GssIPCProtcol::TokenReply> held;
        {
            MutexLock lock(m_object->mutex);
            held = std::exchange(m_object->held, {});
        }
        for (auto& reply : held)
            reply(ok, text, token);
    }

private:
    std::shared_ptr<Object> m_object = std::make_shared<Object>();
    XpcListenerPtr m_listener;
};

} // namespace corvantis::test
