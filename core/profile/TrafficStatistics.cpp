#include "core/profile/TrafficStatistics.h"

namespace corvantis {

namespace {

int64_t ToTicks(std::chrono::steady_clock::time_point time)
{
    return time.time_since_epoch().count();
}

uint64_t WholeSeconds(std::chrono::steady_clock::time_point time)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
    return seconds > 0 ? static_cast<uint64_t>(seconds) : 0;
}

} // namespace

CTrafficStatistics::CTrafficStatistics(Clock clock, std::chrono::milliseconds sampleInterval)
    : m_Clock(std::move(clock))
    , m_SampleInterval(sampleInterval)
    , m_StartTime(time(nullptr))
    , m_LastSample(ToTicks(Now()))
{
    ClearHistory();
}

std::chrono::steady_clock::time_point CTrafficStatistics::Now() const
{
    return m_Clock ? m_Clock() : std::chrono::steady_clock::now();
}

void CTrafficStatistics::RollSecondLocked()
{
    const uint64_t now = WholeSeconds(Now());
    if (now == m_CurrentSecond)
        return;
    // A second without traffic is not stored: idle time costs nothing.
    if (m_SentThisSecond != 0 || m_ReceivedThisSecond != 0)
        m_History.push_back(Sample { m_CurrentSecond, m_SentThisSecond, m_ReceivedThisSecond });
    m_SentThisSecond = 0;
    m_ReceivedThisSecond = 0;
    m_CurrentSecond = now;
    DropOldSamplesLocked(now);
}

void CTrafficStatistics::DropOldSamplesLocked(uint64_t now)
{
    while (!m_History.empty() && now >= m_History.front().second && now - m_History.front().second >= kHistorySeconds)
        m_History.pop_front();
}

void CTrafficStatistics::AddSent(uint64_t bytes)
{
    MutexLock lock(m_Lock);
    RollSecondLocked();
    m_SentThisSecond += bytes;
    m_TotalSent += bytes;
}

void CTrafficStatistics::AddReceived(uint64_t bytes)
{
    MutexLock lock(m_Lock);
    RollSecondLocked();
    m_ReceivedThisSecond += bytes;
    m_TotalReceived += bytes;
}

CTrafficStatistics::Series CTrafficStatistics::GetSeries()
{
    Series series { std::vector<uint64_t>(kSeriesLength, 0), std::vector<uint64_t>(kSeriesLength, 0) };
    MutexLock lock(m_Lock);
    RollSecondLocked();
    for (const Sample& sample : m_History) {
        if (sample.second > m_CurrentSecond)
            continue;
        const uint64_t age = m_CurrentSecond - sample.second;
        if (age < kSeriesLength) {
            series[kSeriesUp][kSeriesLength - 1 - age] = sample.sent;
            series[kSeriesDown][kSeriesLength - 1 - age] = sample.received;
        }
    }
    return series;
}

// Takes the mutex: additions may run at the same time, and a total must never be seen half cleared.
void CTrafficStatistics::Clear()
{
    {
        MutexLock lock(m_Lock);
        m_TotalSent = 0;
        m_TotalReceived = 0;
    }
    m_TotalConnections.store(0, std::memory_order_relaxed);
    m_FailedConnections.store(0, std::memory_order_relaxed);
    m_StartTime.store(time(nullptr), std::memory_order_relaxed);
}

void CTrafficStatistics::ClearHistory()
{
    MutexLock lock(m_Lock);
    m_History = {};
    m_CurrentSecond = 0;
    m_SentThisSecond = 0;
    m_ReceivedThisSecond = 0;
}

bool CTrafficStatistics::IsIntervalPassed() const
{
    const auto last = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(m_LastSample.load(std::memory_order_relaxed)));
    return std::chrono::duration_cast<std::chrono::milliseconds>(Now() - last) >= m_SampleInterval;
}

bool CTrafficStatistics::IsSampleDue()
{
    const auto now = Now();
    int64_t last = m_LastSample.load(std::memory_order_relaxed);
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        now - std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(last)));
    if (elapsed < m_SampleInterval)
        return false;
    // Of several threads asking at once, one starts the next interval and is told the sample is due.
    return m_LastSample.compare_exchange_strong(last, ToTicks(now), std::memory_order_relaxed);
}

uint64_t CTrafficStatistics::GetTotalSent() const
{
    MutexLock lock(m_Lock);
    return m_TotalSent;
}

uint64_t CTrafficStatistics::GetTotalReceived() const
{
    MutexLock lock(m_Lock);
    return m_TotalReceived;
}

size_t CTrafficStatistics::GetHistoryLength() const
{
    MutexLock lock(m_Lock);
    return m_History.size();
}

void CTrafficStatistics::AddCountAndBytes(uint64_t bytes)
{
    m_TestWriteCount.fetch_add(1, std::memory_order_relaxed);
    m_TestWriteBytes.fetch_add(bytes, std::memory_order_relaxed);
}

std::pair<uint64_t, uint64_t> CTrafficStatistics::TakeCountAndBytes()
{
    const uint64_t count = m_TestWriteCount.exchange(0, std::memory_order_relaxed);
    const uint64_t bytes = m_TestWriteBytes.exchange(0, std::memory_order_relaxed);
    return { count, bytes };
}

} // namespace corvantis
