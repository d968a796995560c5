#include "app/ExtensionPolling.h"

#include "core/foundation/Log.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "platform/NotificationCenter.h"

#include <cstring>
#include <ctime>
#include <utility>

namespace corvantis {

namespace {

int64_t BootTimeSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return now.tv_sec;
}

LoopPrompt::Options WithDefaults(LoopPrompt::Options options)
{
    if (!options.clock)
        options.clock = BootTimeSeconds;
    if (!options.messageBox) {
        options.messageBox = [](const std::string& message, const std::string& caption, int flags) {
            return MessageBox(message, caption, flags);
        };
    }
    if (!options.createRule) {
        options.createRule = [](const std::string& application) {
            if (CCorvantisAppUI* app = GetAppUI())
                app->CreateLoopPreventionRule(application, false, false);
        };
    }
    return options;
}

TickPoller::Sources WithDefaults(TickPoller::Sources sources)
{
    if (!sources.postToMain) {
        sources.postToMain = [](std::function<void()> task) {
            NotificationCenter::defaultCenter().mainThreadExecutor()->post(std::move(task));
        };
    }
    return sources;
}

} // namespace

std::string LoopPromptText(const std::string& application)
{
    return "Corvantis has detected that " + application
        + " application has likely caused an infinite connection loop.\n\nDo you want to exclude this application "
          "from Corvantis processing?";
}

LoopPrompt::LoopPrompt()
    : LoopPrompt(Options())
{
}

LoopPrompt::LoopPrompt(Options options)
    : m_options(WithDefaults(std::move(options)))
{
}

bool LoopPrompt::shouldAsk(const std::string& application)
{
    const int64_t now = m_options.clock();
    MutexLock lock(m_mutex);
    if (m_lastPrompt && now - *m_lastPrompt > m_options.forgetAfterSeconds)
        m_excluded.clear();
    return m_excluded.count(application) == 0;
}

bool LoopPrompt::report(const std::string& application)
{
    if (application.empty() || !shouldAsk(application))
        return false;
    {
        MutexLock lock(m_mutex);
        m_lastPrompt = m_options.clock();
    }
    // The box waits for the main thread, so no lock of ours may be held while it is up.
    const long answer = m_options.messageBox(LoopPromptText(application), kLoopDetectedCaption, kMbYesNo);
    if (answer == kMbAnswerYes) {
        {
            MutexLock lock(m_mutex);
            m_excluded.insert(application);
        }
        m_options.createRule(application);
    } else if (m_options.declined) {
        m_options.declined();
    }
    return true;
}

std::vector<uint64_t> DecodeTrafficCounts(const PlistData& bytes)
{
    std::vector<uint64_t> counts(bytes.size() / sizeof(uint64_t));
    if (!counts.empty())
        std::memcpy(counts.data(), bytes.data(), counts.size() * sizeof(uint64_t));
    return counts;
}

TickPoller::TickPoller(Sources sources, Sinks sinks)
    : m_sources(WithDefaults(std::move(sources)))
    , m_sinks(std::move(sinks))
{
}

void TickPoller::poll()
{
    if (m_sources.updateLogList)
        m_sources.updateLogList();
    if (m_sources.checkStatus)
        m_sources.checkStatus();
    if (!m_sources.loadingState || m_sources.loadingState() != 2 || !m_sources.newClient)
        return;
    if (ExtensionClientPtr client = m_sources.newClient()) {
        // The pool owns the client until its reply or its sweep; the reply must not keep it alive by itself.
        std::weak_ptr<ExtensionClient> weakClient = client;
        std::weak_ptr<TickPoller> weakSelf = weak_from_this();
        auto post = m_sources.postToMain;
        client->retriveTickDataWithReply(
            [weakClient, weakSelf, post](std::string statistics, std::string log, std::string connections, PlistData up,
                PlistData down, std::optional<std::string> loop) {
                if (ExtensionClientPtr replied = weakClient.lock())
                    replied->closeConnection();
                TickValues values { std::move(statistics), std::move(log), std::move(connections), std::move(up),
                    std::move(down), std::move(loop).value_or(std::string()) };
                post([weakSelf, values = std::move(values)] {
                    if (TickPollerPtr self = weakSelf.lock())
                        self->deliver(values);
                });
            });
    }
    if (m_sources.cleanupClients)
        m_sources.cleanupClients();
}

void TickPoller::deliver(const TickValues& values)
{
    if (m_sinks.statisticText)
        m_sinks.statisticText(values.statistics);
    const size_t taken = m_sinks.appendLog ? m_sinks.appendLog(values.log) : PutLogText(values.log.c_str());
    if (taken >= kBacklogLines) {
        std::weak_ptr<TickPoller> weakSelf = weak_from_this();
        m_sources.postToMain([weakSelf] {
            if (TickPollerPtr self = weakSelf.lock())
                self->poll();
        });
    }
    if (m_sinks.connections)
        m_sinks.connections(values.connections);
    if (m_sinks.graph)
        m_sinks.graph(values.up, values.down);
    if (m_sinks.loopDetected && !values.loopApplication.empty())
        m_sinks.loopDetected(values.loopApplication);
}

} // namespace corvantis
