#pragma once

#include "core/foundation/Log.h"
#include "core/foundation/LogContext.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/Host.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "platform/ProgramHome.h"
#include "tests/support/FakeSteadyClock.h"
#include "tests/support/LogLines.h"
#include "tests/support/ProgramHomeScope.h"
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

// The surroundings of the extension's object: the extension's home in a temporary folder, with `theApp`
// pointing at the object and the log's screen lines from level 3 collected (a ProgramHomeScope), and a
// monotonic clock the test moves.
class AppProxyFixture : public ::testing::Test {
public:
    AppProxyFixture()
        : app(MakeTiming())
    {
    }

    void SetUp() override { m_scope.emplace(Program::Extension, home.path(), &app, kLogVerbose); }

    void TearDown() override
    {
        app.StopBackgroundThreads();
        m_scope.reset();
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
    std::optional<ProgramHomeScope> m_scope;
};

} // namespace corvantis::test
