#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>

#include "extension/engine/CorvantisAppProxy.h"

namespace corvantis::test {

// One throttle unit: the throttle's answer then counts the reports without making the tests wait.
constexpr auto kThrottleUnit = std::chrono::nanoseconds(1);

inline CCorvantisAppProxy::Timing EngineTestTiming()
{
    CCorvantisAppProxy::Timing timing;
    timing.throttle.unit = kThrottleUnit;
    return timing;
}

// The extension's object as the processors use it, with the length of its connection list readable.
class EngineTestApp final : public CCorvantisAppProxy {
public:
    EngineTestApp()
        : CCorvantisAppProxy(EngineTestTiming())
    {
    }

    size_t ListSize()
    {
        MutexLock lock(connListLock);
        return connList.size();
    }
};

} // namespace corvantis::test
