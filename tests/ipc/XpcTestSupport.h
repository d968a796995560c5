#pragma once

#include "platform/Mutex.h"
#include "platform/xpc/XpcConnection.h"
#include "platform/xpc/XpcListener.h"
#include "platform/xpc/XpcLog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvantis::test {

// A runtime folder for one test, as the real one is made: mkdtemp under /tmp, mode 0755, named by
// CORVANTIS_RUNTIME_DIR while the object lives (the previous value comes back afterwards).
class RuntimeDir final {
public:
    RuntimeDir()
    {
        std::string templ = "/tmp/cvx-XXXXXX";
        if (!::mkdtemp(templ.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = templ;
        ::chmod(m_path.c_str(), 0755);
        if (const char* old = std::getenv("CORVANTIS_RUNTIME_DIR"))
            m_previous = old;
        ::setenv("CORVANTIS_RUNTIME_DIR", m_path.c_str(), 1);
    }
    ~RuntimeDir()
    {
        if (m_previous)
            ::setenv("CORVANTIS_RUNTIME_DIR", m_previous->c_str(), 1);
        else
            ::unsetenv("CORVANTIS_RUNTIME_DIR");
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    RuntimeDir(const RuntimeDir&) = delete;
    RuntimeDir& operator=(const RuntimeDir&) = delete;

    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    std::optional<std::string> m_previous;
};

// The IPC layer's log lines while the object lives.
class XpcLogCapture final {
public:
    XpcLogCapture()
    {
        m_previous = XpcLog::setSink([this](XpcLog::Level, const std::string& text) {
            MutexLock lock(m_mutex);
            m_lines.push_back(text);
        });
    }
    ~XpcLogCapture() { XpcLog::setSink(m_previous); }
    XpcLogCapture(const XpcLogCapture&) = delete;
    XpcLogCapture& operator=(const XpcLogCapture&) = delete;

    std::vector<std::string> lines() const
    {
        MutexLock lock(m_mutex);
        return m_lines;
    }
    // Whether a line holding `part` was written.
    bool contains(const std::string& part) const
    {
        for (const std::string& line : lines())
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
    std::string joined() const
    {
        std::string all;
        for (const std::string& line : lines())
            all += line + "\n";
        return all;
    }

private:
    mutable Mutex m_mutex;
    std::vector<std::string> m_lines GUARDED_BY(m_mutex);
    XpcLog::Sink m_previous;
};

// Polls `done` until it holds or `limit` passes; returns what it gave last. The limit is generous: it only
// bounds a failing test.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A value that one thread sets once and another waits for.
template <typename T> class Latch final {
public:
    void set(T value)
    {
        MutexLock lock(m_mutex);
        if (!m_value)
            m_value = std::move(value);
        ++m_count;
        m_cond.signalAll();
    }
    std::optional<T> wait(std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        MutexLock lock(m_mutex);
        m_cond.waitFor(m_mutex, limit, [this] {
            m_mutex.assertHeld();
            return m_value.has_value();
        });
        return m_value;
    }
    std::optional<T> peek() const
    {
        MutexLock lock(m_mutex);
        return m_value;
    }
    int count() const
    {
        MutexLock lock(m_mutex);
        return m_count;
    }

private:
    mutable Mutex m_mutex;
    CondVar m_cond;
    std::optional<T> m_value GUARDED_BY(m_mutex);
    int m_count GUARDED_BY(m_mutex) = 0;
};

// The interface the layer's own tests speak.
inline XpcInterfacePtr echoInterface()
{
    using T = XpcObject::Type;
    return std::make_shared<const XpcInterface>("Echo",
        std::vector<XpcSelector> {
            { "echo:reply:", { { T::String } }, std::vector<XpcValueType> { { T::String } } },
            { "values:reply:", {}, std::vector<XpcValueType> { { T::String }, { T::Data }, { T::String, true } } },
            { "hold:reply:", { { T::String } }, std::vector<XpcValueType> { { T::String } } },
            { "note:", { { T::Integer } }, std::nullopt },
            { "endpoint:reply:", { { T::Endpoint } }, std::vector<XpcValueType> { { T::Integer } } },
            { "settings:reply:", { { T::Dict, false, true } }, std::vector<XpcValueType> { { T::Integer } } },
        });
}

// Serves echoInterface(): "echo:" answers its text, "values:" three values with the last absent, "hold:"
// keeps its reply for the test, "note:" records the number, "endpoint:" answers the endpoint's owner uid.
class XpcEchoObject final : public XpcExportedObject {
public:
    void handleCall(const XpcSelector& selector, const XpcArray& arguments, XpcReplySender reply) override
    {
        {
            MutexLock lock(m_mutex);
            ++m_inside;
            if (m_inside > 1)
                m_overlapped = true;
            m_calls.push_back(selector.name);
        }
        if (m_slowCalls)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (selector.name == "echo:reply:") {
            reply(XpcArray { arguments[0] });
        } else if (selector.name == "values:reply:") {
            reply(XpcArray { XpcObject("text"), XpcObject(PlistData { 1, 2 }), XpcObject() });
        } else if (selector.name == "hold:reply:") {
            MutexLock lock(m_mutex);
            m_held.push_back(std::move(reply));
        } else if (selector.name == "note:") {
            MutexLock lock(m_mutex);
            m_notes.push_back(*arguments[0].integer());
        } else if (selector.name == "endpoint:reply:") {
            const auto& owner = arguments[0].endpoint()->owner;
            reply(XpcArray { XpcObject(static_cast<long long>(owner ? *owner : -1)) });
        } else if (selector.name == "settings:reply:") {
            reply(XpcArray { XpcObject(static_cast<long long>(arguments[0].dict()->size())) });
        }
        MutexLock lock(m_mutex);
        --m_inside;
    }

    std::vector<XpcReplySender> takeHeld()
    {
        MutexLock lock(m_mutex);
        return std::exchange(m_held, {});
    }
    size_t heldCount() const
    {
        MutexLock lock(m_mutex);
        return m_held.size();
    }
    std::vector<int64_t> notes() const
    {
        MutexLock lock(m_mutex);
        return m_notes;
    }
    std::vector<std::string> calls() const
    {
        MutexLock lock(m_mutex);
        return m_calls;
    }
    bool overlapped() const
    {
        MutexLock lock(m_mutex);
        return m_overlapped;
    }
    void setSlowCalls(bool slow) { m_slowCalls = slow; }

private:
    mutable Mutex m_mutex;
    int m_inside GUARDED_BY(m_mutex) = 0;
    bool m_overlapped GUARDED_BY(m_mutex) = false;
    std::vector<std::string> m_calls GUARDED_BY(m_mutex);
    std::vector<XpcReplySender> m_held GUARDED_BY(m_mutex);
    std::vector<int64_t> m_notes GUARDED_BY(m_mutex);
    std::atomic<bool> m_slowCalls { false };
};

// A listener serving XpcEchoObject on every connection it admits. The connections it accepted are counted and
// reachable for dropLinks(), not kept. Its end stops the listener and ends the links it accepted, so nothing of
// it is called after the test.
class XpcEchoServer final {
public:
    struct State {
        std::shared_ptr<XpcEchoObject> object = std::make_shared<XpcEchoObject>();
        std::atomic<int> accepted { 0 };
        std::atomic<int> invalidated { 0 };
        Mutex mutex;
        std::vector<std::weak_ptr<XpcConnection>> connections GUARDED_BY(mutex);
    };

    XpcEchoServer() = default;
    ~XpcEchoServer()
    {
        if (listener)
            listener->invalidate();
        dropLinks();
    }
    XpcEchoServer(const XpcEchoServer&) = delete;
    XpcEchoServer& operator=(const XpcEchoServer&) = delete;

    void start(Result<XpcListenerPtr> created)
    {
        ASSERT_TRUE(created.ok()) << created.status().message();
        listener = created.value();
        listener->setDelegate([state = m_state](const XpcConnectionPtr& connection) {
            connection->setExportedInterface(echoInterface());
            connection->setExportedObject(state->object);
            connection->setInvalidationHandler([state] { ++state->invalidated; });
            connection->resume();
            ++state->accepted;
            MutexLock lock(state->mutex);
            state->connections.push_back(connection);
            return true;
        });
        ASSERT_TRUE(listener->resume().ok());
    }

    // Ends every link the server accepted so far, from the server's side.
    void dropLinks()
    {
        std::vector<std::weak_ptr<XpcConnection>> links;
        {
            MutexLock lock(m_state->mutex);
            links = m_state->connections;
        }
        for (auto& weak : links)
            if (auto connection = weak.lock())
                connection->invalidate();
    }

    XpcEchoObject& object() { return *m_state->object; }
    int accepted() const { return m_state->accepted.load(); }
    int invalidated() const { return m_state->invalidated.load(); }

    XpcListenerPtr listener;

private:
    std::shared_ptr<State> m_state = std::make_shared<State>();
};

inline XpcListener::Options ownUidOnly()
{
    XpcListener::Options options;
    options.allowedUids = { ::geteuid() };
    return options;
}

// A client connection with the echo interface and handlers that count, resumed.
struct XpcEchoClient {
    XpcConnectionPtr connection;
    std::shared_ptr<std::atomic<int>> interruptions = std::make_shared<std::atomic<int>>(0);
    std::shared_ptr<Latch<std::thread::id>> invalidation = std::make_shared<Latch<std::thread::id>>();

    explicit XpcEchoClient(XpcConnectionPtr c)
        : connection(std::move(c))
    {
        connection->setRemoteObjectInterface(echoInterface());
        connection->setInterruptionHandler([n = interruptions] { ++*n; });
        connection->setInvalidationHandler([l = invalidation] { l->set(std::this_thread::get_id()); });
        connection->resume();
    }
    // Outstanding replies, which may point into the test's frame, are dropped with the connection.
    ~XpcEchoClient() { connection->invalidate(); }
    XpcEchoClient(const XpcEchoClient&) = delete;
    XpcEchoClient& operator=(const XpcEchoClient&) = delete;

    // Sends "echo:" and waits for the answer (nothing when none comes within `limit`).
    std::optional<std::string> echo(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(20))
    {
        auto answer = std::make_shared<Latch<std::string>>();
        connection->sendMessage("echo:reply:", XpcArray { XpcObject(text) },
            [answer](XpcArray values) { answer->set(*values[0].string()); });
        return answer->wait(limit);
    }
};

} // namespace corvantis::test
