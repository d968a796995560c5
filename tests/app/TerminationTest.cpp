// Termination: the keep-running decision for every way out, the order in which the extension's providers are
// stopped (the real managers over a store of configurations in memory), and the delegate's terminate request
// with the question, the stored choice and the deferred end.

#include "app/Termination.h"
#include "app/AppProxyConnection.h"
#include "app/AppProxyManager.h"
#include "app/CorvantisAppDelegate.h"
#include "app/DataFilterManager.h"
#include "app/DnsProxyManager.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/FakeNEConfigurationStore.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

// ---- The decision ----

TEST(TerminationDecisionTest, EachWayOutAgainstEachSetting)
{
    // A fully running extension (session connected, DNS proxy on) and no choice made this run: the setting
    // decides, and only the user's own actions may ask.
    const struct {
        WayOut way;
        const char* name;
        StopDecision ask; // "KeepRunningOnClose" 0
        StopDecision keep; // 1
        StopDecision stop; // 2
    } cases[] = {
        { WayOut::QuitItem, "Quit item", StopDecision::Ask, StopDecision::Keep, StopDecision::Stop },
        { WayOut::CloseWindow, "close window", StopDecision::Ask, StopDecision::Keep, StopDecision::Stop },
        { WayOut::Signal, "signal", StopDecision::Keep, StopDecision::Keep, StopDecision::Stop },
        { WayOut::SessionEnd, "session end", StopDecision::Keep, StopDecision::Keep, StopDecision::Stop },
        { WayOut::PowerOff, "power-off", StopDecision::Keep, StopDecision::Keep, StopDecision::Stop },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TerminationFacts facts { false, false, true, true, true, true, kKeepRunningAsk };
        EXPECT_EQ(DecideExtensionStop(facts, c.way), c.ask);
        facts.keepRunningOnClose = kKeepRunningKeep;
        EXPECT_EQ(DecideExtensionStop(facts, c.way), c.keep);
        facts.keepRunningOnClose = kKeepRunningStop;
        EXPECT_EQ(DecideExtensionStop(facts, c.way), c.stop);
        EXPECT_EQ(MayAskKeepRunning(c.way), c.ask == StopDecision::Ask);
    }
}

TEST(TerminationDecisionTest, ChoicesOfThisRunAndAnIncompleteExtensionComeBeforeTheSetting)
{
    const TerminationFacts running { false, false, true, true, true, true, kKeepRunningKeep };
    const struct {
        const char* name;
        void (*change)(TerminationFacts&);
        StopDecision expected;
    } cases[] = {
        { "keep chosen beats stop chosen",
            [](TerminationFacts& f) {
                f.keepChosen = true;
                f.stopChosen = true;
                f.keepRunningOnClose = kKeepRunningStop;
            },
            StopDecision::Keep },
        { "keep chosen with nothing running",
            [](TerminationFacts& f) {
                f = { true, false, false, false, false, false, 0 };
            },
            StopDecision::Keep },
        { "stop chosen", [](TerminationFacts& f) { f.stopChosen = true; }, StopDecision::Stop },
        { "no session", [](TerminationFacts& f) { f.hasConnection = false; }, StopDecision::Stop },
        { "no DNS manager", [](TerminationFacts& f) { f.hasDnsManager = false; }, StopDecision::Stop },
        { "proxy not connected", [](TerminationFacts& f) { f.proxyConnected = false; }, StopDecision::Stop },
        // The content-filter mode: the DNS proxy never started, so quitting stops without asking.
        { "DNS proxy not started", [](TerminationFacts& f) { f.dnsStarted = false; }, StopDecision::Stop },
        { "a stored value out of range asks", [](TerminationFacts& f) { f.keepRunningOnClose = 7; },
            StopDecision::Ask },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TerminationFacts facts = running;
        c.change(facts);
        EXPECT_EQ(DecideExtensionStop(facts, WayOut::QuitItem), c.expected);
    }
}

TEST(TerminationDecisionTest, TheAnswerAndItsCheckBox)
{
    const struct {
        long answer;
        bool dontAskAgain;
        KeepRunningAnswer expected;
    } cases[] = {
        { kMbAnswerYes, false, { false, kKeepRunningAsk } }, { kMbAnswerYes, true, { false, kKeepRunningKeep } },
        { 0, false, { true, kKeepRunningAsk } }, { 0, true, { true, kKeepRunningStop } },
        { 1, true, { true, kKeepRunningStop } }, // anything but Yes is No
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.answer) + (c.dontAskAgain ? " ticked" : ""));
        EXPECT_EQ(ReadKeepRunningAnswer(c.answer, c.dontAskAgain), c.expected);
    }
    EXPECT_EQ(kKeepRunningQuestionFlags & kMbYesNo, kMbYesNo);
}

// ---- The providers over a store in memory ----

// The three providers of a running extension over a fresh fake store: the transparent proxy's session
// connected, the DNS proxy and (when asked) the content filter enabled.
class RunningProviders {
public:
    RunningProviders()
    {
        m_oldExecutor = NotificationCenter::defaultCenter().mainThreadExecutor();
        NotificationCenter::defaultCenter().setMainThreadExecutor(mainThread);
        NEConfigurationStore::setShared(store);
    }
    ~RunningProviders()
    {
        store->drain();
        NEConfigurationStore::setShared(nullptr);
        mainThread->runAndWait([] {});
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_oldExecutor);
    }
    RunningProviders(const RunningProviders&) = delete;
    RunningProviders& operator=(const RunningProviders&) = delete;

    // Starts what `filter`, `dns` and `proxy` ask for; the managers exist in any case.
    void start(bool filter, bool dns, bool proxy)
    {
        if (proxy) {
            std::promise<AppProxyConnectionPtr> made;
            auto future = made.get_future();
            providers.manager->createAndrunAppProxyVpn(
                [&made](AppProxyConnectionPtr connection, std::optional<std::string>) { made.set_value(connection); },
                [](bool, bool, const std::string&) {});
            ASSERT_EQ(future.wait_until(test::deadlineIn(test::kPatience)), std::future_status::ready);
            providers.connection = future.get();
            ASSERT_TRUE(providers.connection);
            ASSERT_TRUE(providers.connection->startVPN());
            ASSERT_TRUE(test::waitUntil([&] { return providers.connection->isConnected(); }));
        }
        // The managers' states are the process's: one not asked for is switched off, as an earlier test may have
        // left it on.
        {
            std::promise<bool> done;
            auto handler = [&done](bool ok, std::optional<std::string>) { done.set_value(ok); };
            if (dns)
                providers.dns->runDnsProxySessionWithHandler(handler);
            else
                providers.dns->stopDnsProxyVpnWithHandler(handler);
            ASSERT_TRUE(done.get_future().get());
        }
        {
            std::promise<bool> done;
            auto handler = [&done](bool ok) { done.set_value(ok); };
            if (filter)
                providers.dataFilter->runDataFilterSessionWithHandler(handler);
            else
                providers.dataFilter->stopDataFilterVpnWithHandler(handler);
            ASSERT_TRUE(done.get_future().get());
        }
        store->drain();
        m_savesBefore = store->saves().size();
    }

    // The kinds of the configurations saved since start(), with whether each was stored enabled.
    std::vector<std::pair<NEConfigurationKind, bool>> savesSinceStart() const
    {
        std::vector<std::pair<NEConfigurationKind, bool>> kinds;
        const std::vector<NEConfiguration> saves = store->saves();
        for (size_t i = m_savesBefore; i < saves.size(); ++i)
            kinds.emplace_back(saves[i].kind, saves[i].enabled);
        return kinds;
    }

    std::shared_ptr<test::FakeMainThread> mainThread = std::make_shared<test::FakeMainThread>();
    std::shared_ptr<test::FakeNEConfigurationStore> store = std::make_shared<test::FakeNEConfigurationStore>();
    ExtensionStopper::Providers providers { std::make_shared<DataFilterManager>("3.12.2"),
        std::make_shared<DnsProxyManager>("3.12.2"), nullptr, std::make_shared<AppProxyManager>("3.12.2") };

private:
    std::shared_ptr<MainThreadExecutor> m_oldExecutor;
    size_t m_savesBefore = 0;
};

// What one run of the stopper did.
struct StopRun {
    int completions = 0;
    bool ok = false;
    int closes = 0;
    bool completedOnCaller = false;
};

StopRun RunStopper(const ExtensionStopper::Providers& providers)
{
    auto run = std::make_shared<StopRun>();
    auto mutex = std::make_shared<std::mutex>();
    std::promise<void> finished;
    auto future = finished.get_future();
    const std::thread::id caller = std::this_thread::get_id();
    ExtensionStopper::start(
        providers,
        [run, mutex] {
            std::lock_guard lock(*mutex);
            ++run->closes;
        },
        [run, mutex, caller, &finished](bool ok) {
            std::lock_guard lock(*mutex);
            if (++run->completions == 1)
                finished.set_value();
            run->ok = ok;
            run->completedOnCaller = std::this_thread::get_id() == caller;
        });
    EXPECT_EQ(future.wait_until(test::deadlineIn(test::kPatience)), std::future_status::ready);
    std::lock_guard lock(*mutex);
    return *run;
}

TEST(ExtensionStopperTest, StopsFilterThenDnsThenProxyAndSkipsAFailingOneAfterOneAttempt)
{
    using Kind = NEConfigurationKind;
    const struct {
        const char* name;
        bool filter;
        bool dns;
        bool proxy;
        int failingSaves; // the first stop saves that fail
        std::vector<std::pair<Kind, bool>> saves;
        size_t tunnelStops;
    } cases[] = {
        { "all three", true, true, true, 0,
            { { Kind::ContentFilter, false }, { Kind::DnsProxy, false }, { Kind::TransparentProxy, false } }, 1 },
        { "the filter cannot be stopped", true, true, true, 1,
            { { Kind::ContentFilter, false }, { Kind::DnsProxy, false }, { Kind::TransparentProxy, false } }, 1 },
        { "neither filter nor DNS proxy can be stopped", true, true, true, 2,
            { { Kind::ContentFilter, false }, { Kind::DnsProxy, false }, { Kind::TransparentProxy, false } }, 1 },
        { "the DNS proxy alone", false, true, false, 0, { { Kind::DnsProxy, false } }, 0 },
        { "the DNS proxy alone, failing", false, true, false, 1, { { Kind::DnsProxy, false } }, 0 },
        { "filter and proxy, no DNS proxy", true, false, true, 0,
            { { Kind::ContentFilter, false }, { Kind::TransparentProxy, false } }, 1 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RunningProviders running;
        running.start(c.filter, c.dns, c.proxy);
        for (int i = 0; i < c.failingSaves; ++i)
            running.store->failNextSave("disk full");
        const StopRun run = RunStopper(running.providers);
        running.store->drain();
        EXPECT_EQ(run.completions, 1);
        EXPECT_TRUE(run.ok);
        EXPECT_FALSE(run.completedOnCaller);
        EXPECT_EQ(static_cast<size_t>(run.closes), c.saves.size() + 1); // once per step
        EXPECT_EQ(running.savesSinceStart(), c.saves);
        EXPECT_EQ(running.store->stopCount(), c.tunnelStops);
    }
}

TEST(ExtensionStopperTest, NothingRunningCompletesAtOnceOnTheCaller)
{
    RunningProviders running;
    running.start(false, false, false);
    const struct {
        const char* name;
        ExtensionStopper::Providers providers;
    } cases[] = {
        { "no providers", {} },
        { "providers that never started", running.providers },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const StopRun run = RunStopper(c.providers);
        EXPECT_EQ(run.completions, 1);
        EXPECT_TRUE(run.completedOnCaller);
        EXPECT_EQ(run.closes, 1);
    }
    running.store->drain();
    EXPECT_TRUE(running.savesSinceStart().empty());
}

TEST(ExtensionStopperTest, AConnectedSessionWithoutItsManagerIsLeftAlone)
{
    RunningProviders running;
    running.start(false, true, true);
    ExtensionStopper::Providers providers = running.providers;
    providers.manager.reset();
    const StopRun run = RunStopper(providers);
    running.store->drain();
    EXPECT_EQ(run.completions, 1);
    EXPECT_EQ(running.savesSinceStart(),
        (std::vector<std::pair<NEConfigurationKind, bool>> { { NEConfigurationKind::DnsProxy, false } }));
    EXPECT_EQ(running.store->stopCount(), 0u);
    EXPECT_TRUE(providers.connection->isConnected());
}

// ---- The delegate's terminate request ----

// A delegate over running providers, a core object with its own home and a question that answers from a
// script. Its terminate seam counts the ends the delegate asks for. The delegate's requests run on the fake
// main thread, where the stop's end comes back; it is made and destroyed on the test's thread.
class DelegateTermination : public ::testing::Test {
protected:
    std::unique_ptr<CorvantisAppDelegate> makeDelegate()
    {
        CorvantisAppDelegate::Seams seams;
        seams.exit = [this](int code) { exits.push_back(code); };
        seams.terminate = [this] { ++terminations; };
        seams.extensionProviders = [this] { return running.providers; };
        seams.questionBox = [this](const std::string& message, const std::string& caption, int flags, const char* title,
                                bool* suppress) {
            questions.push_back(caption + "|" + message + "|" + std::to_string(flags) + "|" + (title ? title : ""));
            const std::pair<long, bool> answer = answers.empty() ? std::make_pair(0L, false) : answers.front();
            if (!answers.empty())
                answers.erase(answers.begin());
            if (suppress)
                *suppress = answer.second;
            return answer.first;
        };
        return std::make_unique<CorvantisAppDelegate>(std::move(seams));
    }

    std::optional<int64_t> storedKeepRunning() const
    {
        DefaultsStore file(scope.defaultsFile());
        const std::optional<PlistValue> value = file.object("KeepRunningOnClose");
        if (!value || !value->integer())
            return std::nullopt;
        return *value->integer();
    }

    void setKeepRunning(int value)
    {
        CAppSettings settings = app.GetSettings();
        settings.KeepRunningOnClose = value;
        app.SetSettings(settings);
    }

    // Runs the fake main thread's queue until the delegate asked to end or the patience ran out.
    bool waitForTermination(int count)
    {
        return test::waitUntil([&] {
            running.mainThread->runAndWait([] {});
            return terminations >= count;
        });
    }

    test::TempDir home;
    CCorvantisAppUI app;
    test::ProgramHomeScope scope { Program::Application, home.path(), &app };
    RunningProviders running;
    std::vector<std::pair<long, bool>> answers;
    std::vector<std::string> questions;
    std::atomic<int> terminations { 0 };
    std::vector<int> exits;
};

const std::string kQuestionLine = std::string(kKeepRunningQuestion) + "||152|Don't ask again";

TEST_F(DelegateTermination, YesWithDontAskAgainStoresOneAndTheNextQuitKeepsWithoutAsking)
{
    ASSERT_NO_FATAL_FAILURE(running.start(false, true, true));
    auto delegate = makeDelegate();
    answers = { { kMbAnswerYes, true } };
    running.mainThread->runAndWait([&] { delegate->quit(); });
    EXPECT_EQ(questions, std::vector<std::string> { kQuestionLine });
    EXPECT_EQ(terminations, 1); // at once: the extension keeps running
    EXPECT_FALSE(delegate->isTerminating());
    EXPECT_EQ(app.GetSettings().KeepRunningOnClose, kKeepRunningKeep);
    EXPECT_EQ(storedKeepRunning(), 1);

    // The next run reads the stored choice: nothing asked, the extension kept.
    auto next = makeDelegate();
    running.mainThread->runAndWait([&] { next->quit(); });
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_EQ(terminations, 2);
    running.store->drain();
    EXPECT_TRUE(running.savesSinceStart().empty());
    EXPECT_TRUE(running.providers.connection->isConnected());
    delegate.reset();
    next.reset();
}

TEST_F(DelegateTermination, NoStopsTheProvidersThenEndsOnce)
{
    const struct {
        const char* name;
        bool dontAskAgain;
        std::optional<int64_t> stored;
    } cases[] = {
        { "asked again next time", false, std::nullopt },
        { "stored", true, 2 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setKeepRunning(kKeepRunningAsk);
        ASSERT_NO_FATAL_FAILURE(running.start(false, true, true));
        questions.clear();
        terminations = 0;
        answers = { { 0, c.dontAskAgain } };
        auto delegate = makeDelegate();
        // A second request while the providers stop is dropped: the stop's end asks again by itself.
        running.mainThread->runAndWait([&] {
            delegate->requestTerminate(WayOut::CloseWindow);
            EXPECT_TRUE(delegate->isTerminating());
            EXPECT_FALSE(delegate->isClosing());
            delegate->requestTerminate(WayOut::QuitItem);
        });
        EXPECT_EQ(questions, std::vector<std::string> { kQuestionLine });
        ASSERT_TRUE(waitForTermination(1));
        EXPECT_TRUE(delegate->isClosing());
        running.store->drain();
        EXPECT_EQ(running.savesSinceStart(),
            (std::vector<std::pair<NEConfigurationKind, bool>> {
                { NEConfigurationKind::DnsProxy, false }, { NEConfigurationKind::TransparentProxy, false } }));
        EXPECT_EQ(terminations, 1);
        EXPECT_EQ(storedKeepRunning().value_or(0), c.stored.value_or(0));
        delegate.reset();
    }
}

TEST_F(DelegateTermination, WithoutAnExtensionEveryWayOutEndsOnceWithoutAsking)
{
    ASSERT_NO_FATAL_FAILURE(running.start(false, false, false));
    for (const WayOut way : { WayOut::QuitItem, WayOut::CloseWindow, WayOut::Signal, WayOut::SessionEnd }) {
        terminations = 0;
        auto delegate = makeDelegate();
        running.mainThread->runAndWait([&] { delegate->requestTerminate(way); });
        ASSERT_TRUE(waitForTermination(1));
        EXPECT_TRUE(delegate->isClosing());
        EXPECT_EQ(terminations, 1);
        delegate.reset();
    }
    EXPECT_TRUE(questions.empty());
}

TEST_F(DelegateTermination, WaysOutThatMayNotAskKeepTheExtensionAndSaveNoChoice)
{
    ASSERT_NO_FATAL_FAILURE(running.start(false, true, true));
    for (const WayOut way : { WayOut::Signal, WayOut::SessionEnd }) {
        terminations = 0;
        auto delegate = makeDelegate();
        running.mainThread->runAndWait([&] { delegate->requestTerminate(way); });
        EXPECT_TRUE(questions.empty());
        EXPECT_EQ(terminations, 1);
        EXPECT_FALSE(delegate->isTerminating());
        EXPECT_EQ(storedKeepRunning().value_or(0), 0);
        delegate.reset();
    }
    running.store->drain();
    EXPECT_TRUE(running.savesSinceStart().empty());
}

TEST_F(DelegateTermination, ContentFilterModeStopsWithoutAskingEvenWhenKeepingIsStored)
{
    // The DNS proxy never started: the filter stands in for it.
    setKeepRunning(kKeepRunningKeep);
    ASSERT_NO_FATAL_FAILURE(running.start(true, false, true));
    auto delegate = makeDelegate();
    running.mainThread->runAndWait([&] { delegate->quit(); });
    ASSERT_TRUE(waitForTermination(1));
    EXPECT_TRUE(questions.empty());
    running.store->drain();
    EXPECT_EQ(running.savesSinceStart(),
        (std::vector<std::pair<NEConfigurationKind, bool>> {
            { NEConfigurationKind::ContentFilter, false }, { NEConfigurationKind::TransparentProxy, false } }));
    delegate.reset();
}

TEST_F(DelegateTermination, ChoicesOfThisRunAndThePowerOff)
{
    ASSERT_NO_FATAL_FAILURE(running.start(false, true, true));
    setKeepRunning(kKeepRunningStop);
    {
        auto delegate = makeDelegate();
        running.mainThread->runAndWait([&] { delegate->keepVPNAndExit(); });
        EXPECT_EQ(terminations, 1);
        EXPECT_FALSE(delegate->isTerminating());
        delegate.reset();
    }
    running.store->drain();
    EXPECT_TRUE(running.savesSinceStart().empty());

    // The power-off decides as the setting says (stop here), starts stopping and ends the process at once.
    setKeepRunning(kKeepRunningAsk);
    terminations = 0;
    auto delegate = makeDelegate();
    running.mainThread->runAndWait([&] {
        delegate->rebootNotifyRecieved(Notification { kWillPowerOffNotification, nullptr, {} });
    });
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(exits, std::vector<int> { 0 });
    EXPECT_FALSE(delegate->isTerminating()); // the setting asks, so the power-off keeps the extension
    running.mainThread->runAndWait([&] { delegate->stopVPNAndExit(); });
    EXPECT_TRUE(questions.empty());
    ASSERT_TRUE(waitForTermination(1));
    running.store->drain();
    EXPECT_EQ(running.savesSinceStart().size(), 2u);
    delegate.reset();
}

} // namespace
} // namespace corvantis
