#pragma once

#include "core/foundation/Log.h"
#include "core/foundation/LogContext.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/Host.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "platform/ProgramHome.h"
#include "tests/profile/FakeSteadyClock.h"
#include "tests/support/LogLines.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace corvantis::test {

// The extension's object with access to the list lock, so a test can keep the list busy.
class ListLockingAppProxy final : public CCorvantisAppProxy {
public:
    using CCorvantisAppProxy::CCorvantisAppProxy;
    Mutex& ListLock() { return connListLock; }
};

// The surroundings of the extension's object: a temporary extension home (CORVANTIS_EXTENSION_HOME), the
// process running as the extension, `theApp` pointing at the object, a monotonic clock the test moves, and the
// log's screen lines from level 3 collected.
class AppProxyFixture : public ::testing::Test {
public:
    AppProxyFixture()
        : app(MakeTiming())
    {
    }

    void SetUp() override
    {
        const char* old = std::getenv("CORVANTIS_EXTENSION_HOME");
        m_oldHome = old ? std::optional<std::string>(old) : std::nullopt;
        ::setenv("CORVANTIS_EXTENSION_HOME", home.str().c_str(), 1);
        m_oldProgram = currentProgram();
        setCurrentProgram(Program::Extension);
        m_oldScreenLevel = GetLog().GetScreenLevel();
        GetLog().SetScreenLevel(kLogVerbose);
        TakeLogLines();
        theApp = &app;
    }

    void TearDown() override
    {
        theApp = nullptr;
        app.StopBackgroundThreads();
        GetLog().SetScreenLevel(m_oldScreenLevel);
        TakeLogLines();
        setCurrentProgram(m_oldProgram);
        if (m_oldHome)
            ::setenv("CORVANTIS_EXTENSION_HOME", m_oldHome->c_str(), 1);
        else
            ::unsetenv("CORVANTIS_EXTENSION_HOME");
    }

    CCorvantisAppProxy::Timing MakeTiming()
    {
        CCorvantisAppProxy::Timing timing;
        timing.clock = clock.AsFunction();
        timing.wallClock = [this] { return wallNow; };
        return timing;
    }

    static std::vector<std::string> TakeLogLines() { return test::TakeScreenLines(); }

    static bool HasLineWith(const std::vector<std::string>& lines, const std::string& part)
    {
        for (const std::string& line : lines)
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }

    static CLogContext Identity(const std::string& name, const std::string& revDns = "org.example.app")
    {
        CLogContext identity;
        identity.displayName = name + ", " + revDns;
        identity.revDns = revDns;
        identity.bsdName = name;
        identity.fullPath = "/usr/bin/" + name;
        identity.pid = 4242;
        return identity;
    }

    std::shared_ptr<CConnRecord> Record(const CLogContext& identity, const std::string& host, uint16_t port)
    {
        return std::make_shared<CConnRecord>(identity, CHost(host, port, false), clock.AsFunction());
    }

    std::vector<std::string> Pending()
    {
        std::vector<std::string> names;
        while (auto name = app.PopLoopApp())
            names.push_back(*name);
        return names;
    }

    TempDir home;
    FakeSteadyClock clock;
    time_t wallNow = 1700000000;
    ListLockingAppProxy app;

private:
    std::optional<std::string> m_oldHome;
    Program m_oldProgram = Program::Application;
    int m_oldScreenLevel = 1;
};

} // namespace corvantis::test
