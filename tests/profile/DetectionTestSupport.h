#pragma once

#include "core/foundation/Log.h"
#include "core/profile/AutoDnsModeDetection.h"
#include "core/profile/CorvantisApp.h"
#include "tests/support/LogLines.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace corvantis::test {

// A probe whose answer the test sets. While held, calls block until released; the calls are counted.
class ScriptedProbe final {
public:
    void SetUnavailable(bool unavailable)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_unavailable = unavailable;
    }
    void Hold()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = true;
    }
    void Release()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_held = false;
        m_changed.notify_all();
    }
    int Calls() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    bool operator()()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_calls;
        m_changed.wait(lock, [this] { return !m_held; });
        return m_unavailable;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_unavailable = false;
    bool m_held = false;
    int m_calls = 0;
};

// The detection's pause between retries, run by the test: while closed, each pause waits for one Allow; open, a
// pause returns at once. Counts the pauses begun and keeps the interval asked for.
class PauseGate final {
public:
    void Close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = false;
    }
    void Open()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    void Allow()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_permits;
        m_changed.notify_all();
    }
    int Started() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_started;
    }
    std::chrono::steady_clock::duration LastInterval() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lastInterval;
    }
    void operator()(std::chrono::steady_clock::duration interval)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_started;
        m_lastInterval = interval;
        m_changed.wait(lock, [this] { return m_open || m_permits > 0; });
        if (!m_open)
            --m_permits;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_open = true;
    int m_permits = 0;
    int m_started = 0;
    std::chrono::steady_clock::duration m_lastInterval {};
};

// A detection without change notifications from the machine (the watcher cannot subscribe to a folder that does
// not exist), so that only the test's own changes start passes.
inline CAutoDnsModeDetection::Config UnwatchedConfig()
{
    CAutoDnsModeDetection::Config config;
    config.watcher = NetlinkWatcher::Config { { "/nonexistent/corvantis-test/resolv.conf" } };
    config.machineInfoPath = "/nonexistent";
    return config;
}

// A core object with the DNS mode detection. By default the probe and the pause are the test's (`probe`,
// `pause`), which are let go before the object stops its threads; `Real` keeps those of the config. Saving the
// profile is counted, not done.
class DetectingApp : public CCorvantisApp {
public:
    enum Scripted { Both, ProbeOnly, Neither };

    explicit DetectingApp(CAutoDnsModeDetection::Config config = UnwatchedConfig(), Scripted scripted = Both)
    {
        if (scripted != Neither)
            config.probe = [this] { return probe(); };
        if (scripted == Both)
            config.pause = [this](std::chrono::steady_clock::duration interval) { pause(interval); };
        EnableAutoDnsModeDetection(std::move(config));
    }
    ~DetectingApp() override
    {
        probe.Release();
        pause.Open();
        StopBackgroundThreads();
    }

    std::string GetProfilePassword(const std::string&, bool, const std::string&) override { return {}; }

    ScriptedProbe probe;
    PauseGate pause;
    std::atomic<int> saves { 0 };

protected:
    bool SaveActiveProfile() override
    {
        ++saves;
        return true;
    }
};

// A profile that asks for the automatic DNS mode detection, with the given resolve-through-proxy value.
inline CProfileData AutoProfile(bool viaProxy)
{
    CProfileData profile;
    profile.m_AutoModeDetection = true;
    profile.m_ViaProxy = viaProxy;
    return profile;
}

} // namespace corvantis::test
