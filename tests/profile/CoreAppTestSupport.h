#pragma once

#include "core/profile/CorvantisApp.h"
#include "tests/support/Wait.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

namespace corvantis::test {

// A core object whose later-built parts are seams a test fills: the profile store (SaveActiveProfile) and the
// start of the DNS mode detection (LaunchAutoDnsModeDetection). The detection's wait and background threads
// are reachable for tests that play the detection thread.
class CoreTestApp : public CCorvantisApp {
public:
    explicit CoreTestApp(CConnectThrottle::Timing timing = {})
        : CCorvantisApp(timing)
    {
    }
    ~CoreTestApp() override { StopBackgroundThreads(); }

    std::string GetProfilePassword(const std::string&, bool, const std::string&) override { return {}; }

    // What the seams answer, and how often they were called.
    std::atomic<bool> saveResult { true };
    std::atomic<int> saves { 0 };
    std::atomic<bool> launchResult { false };
    std::atomic<int> launches { 0 };
    // Runs inside LaunchAutoDnsModeDetection when set (before it answers launchResult).
    std::function<void(CoreTestApp&)> onLaunch;

    using CCorvantisApp::IsStopRequested;
    using CCorvantisApp::StartBackgroundThread;
    using CCorvantisApp::WaitForNetworkChange;
    using CCorvantisApp::WaitResult;

    // Takes a pending change mark without waiting.
    bool TakeNetworkChange()
    {
        return WaitForNetworkChange(std::chrono::steady_clock::duration::zero()) == WaitResult::Changed;
    }

protected:
    bool SaveActiveProfile() override
    {
        ++saves;
        return saveResult.load();
    }
    bool LaunchAutoDnsModeDetection() override
    {
        ++launches;
        if (onLaunch)
            onLaunch(*this);
        return launchResult.load();
    }
};

} // namespace corvantis::test
