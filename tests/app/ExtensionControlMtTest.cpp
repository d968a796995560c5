#include "app/ExtensionControl.h"

#include "app/AppProxyConnection.h"
#include "app/AppProxyManager.h"
#include "app/DataFilterManager.h"
#include "app/DnsProxyManager.h"
#include "core/foundation/Log.h"
#include "platform/DispatchQueue.h"
#include "platform/NotificationCenter.h"
#include "platform/SystemLog.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/FakeNEConfigurationStore.h"
#include "tests/support/FakeSystemExtensionManager.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace corvantis::test {
namespace {

using namespace std::chrono_literals;
using Action = NetworkLoadDialog::Action;
using Reply = FakeNEConfigurationStore::Reply;
using StartOutcome = FakeNEConfigurationStore::StartOutcome;
using Kind = SystemExtensionRequestKind;

// The dialog's steps in the order the bring-up showed them, each with its button's action. The modal run is kept
// apart: its delayed start interleaves with the steps.
class RecordingDialog final : public NetworkLoadDialog {
public:
    struct Step {
        std::string name;
        std::string text;
        Action action;
    };

    bool doModal(Action cancelHandler) override
    {
        std::lock_guard lock(m_mutex);
        if (m_modal)
            return false;
        m_modal = true;
        ++m_modalRuns;
        m_cancel = std::move(cancelHandler);
        return true;
    }
    bool getModalInProgress() const override
    {
        std::lock_guard lock(m_mutex);
        return m_modal;
    }
    void finishModal() override
    {
        std::lock_guard lock(m_mutex);
        m_modal = false;
        m_steps.push_back({ "finishModal", {}, {} });
    }
    void updateContentToSysExtLoad(Action a) override { add("SysExtLoad", std::move(a)); }
    void updateContentToSysExtFail(Action a) override { add("SysExtFail", std::move(a)); }
    void updateContentToSysExtFailOnManagedDevice(Action a) override { add("SysExtFailOnManagedDevice", std::move(a)); }
    void updateContentToSysExtAllow(Action a) override { add("SysExtAllow", std::move(a)); }
    void updateContentToXPCConnection(Action a) override { add("XPCConnection", std::move(a)); }
    void updateContentToVpnCreation(Action a) override { add("VpnCreation", std::move(a)); }
    void updateContentToDnsProxyCreation(Action a) override { add("DnsProxyCreation", std::move(a)); }
    void updateContentToVpnStart(Action a) override { add("VpnStart", std::move(a)); }
    void updateContentToSendWakeSignal(Action a) override { add("SendWakeSignal", std::move(a)); }
    void updateContentToWakeSignalFailed(Action a) override { add("WakeSignalFailed", std::move(a)); }
    void updateContentToSysExtRemoveFailed() override { add("SysExtRemoveFailed", {}); }
    void updateContentToError(const std::string& error, Action a) override { add("Error", std::move(a), error); }

    std::vector<std::string> names() const
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> names;
        for (const Step& step : m_steps)
            names.push_back(step.name);
        return names;
    }
    size_t count(const std::string& name) const
    {
        std::vector<std::string> all = names();
        return static_cast<size_t>(std::count(all.begin(), all.end(), name));
    }
    // Waits until a step `name` was shown `times` times; returns the last one.
    Step waitFor(const std::string& name, size_t times = 1) const
    {
        EXPECT_TRUE(waitUntil([&] { return count(name) >= times; })) << "no step " << name;
        std::lock_guard lock(m_mutex);
        for (auto it = m_steps.rbegin(); it != m_steps.rend(); ++it)
            if (it->name == name)
                return *it;
        return {};
    }
    int modalRuns() const
    {
        std::lock_guard lock(m_mutex);
        return m_modalRuns;
    }
    Action cancelHandler() const
    {
        std::lock_guard lock(m_mutex);
        return m_cancel;
    }

private:
    void add(std::string name, Action action, std::string text = {})
    {
        std::lock_guard lock(m_mutex);
        m_steps.push_back({ std::move(name), std::move(text), std::move(action) });
    }

    mutable std::mutex m_mutex;
    std::vector<Step> m_steps;
    bool m_modal = false;
    int m_modalRuns = 0;
    Action m_cancel;
};

// The extension's service as the pooled clients reach it: hellos answer as scripted (the expected version once
// the script is used up), on the extension's own queue as a real link's replies do.
class FakeExtension {
public:
    class Client final : public ExtensionClient {
    public:
        explicit Client(FakeExtension& extension)
            : m_extension(extension)
        {
        }
        void connect() override { m_connected = true; }
        void closeConnection() override { m_connected = false; }
        bool isConnected() const override { return m_connected; }
        void helloWithVersion(const std::string& version, StringReply reply) override
        {
            m_extension.m_queue->async([this, version, reply] { reply(m_extension.answerHello(version)); });
        }
        void updateSettingWithSettings(const PlistDict&, const std::string&, StringReply) override { }
        void retriveTickDataWithReply(TickDataReply) override { }
        void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint&, BoolReply) override { }

    private:
        FakeExtension& m_extension;
        std::atomic<bool> m_connected { false };
    };

    ExtensionClientPtr makeClient(bool onMain)
    {
        auto client = std::make_shared<Client>(*this);
        std::lock_guard lock(m_mutex);
        m_clients.push_back(client);
        m_madeOffMain = m_madeOffMain || !onMain;
        return client;
    }
    void scriptHellos(std::vector<std::string> answers, std::string thereafter = kExpectedExtensionVersion)
    {
        std::lock_guard lock(m_mutex);
        m_answers.assign(answers.begin(), answers.end());
        m_thereafter = std::move(thereafter);
    }
    std::vector<std::string> hellos() const
    {
        std::lock_guard lock(m_mutex);
        return m_hellos;
    }
    std::vector<std::shared_ptr<Client>> clients() const
    {
        std::lock_guard lock(m_mutex);
        return m_clients;
    }
    bool madeOffMain() const
    {
        std::lock_guard lock(m_mutex);
        return m_madeOffMain;
    }
    void drain()
    {
        m_queue->sync([] {});
    }

private:
    std::string answerHello(const std::string& version)
    {
        std::lock_guard lock(m_mutex);
        m_hellos.push_back(version);
        if (m_answers.empty())
            return m_thereafter;
        std::string answer = m_answers.front();
        m_answers.pop_front();
        return answer;
    }

    const DispatchQueuePtr m_queue = DispatchQueue::create("fake extension");
    mutable std::mutex m_mutex;
    std::deque<std::string> m_answers;
    std::string m_thereafter = kExpectedExtensionVersion;
    std::vector<std::string> m_hellos;
    std::vector<std::shared_ptr<Client>> m_clients;
    bool m_madeOffMain = false;
};

struct LogLine {
    bool isError = false;
    std::string text;
};

// The control over scripted fakes: the extension manager and the configuration store installed process-wide, a
// test main thread, a recording dialog and a fake extension-> Waits are a few milliseconds.
class ExtensionControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        NotificationCenter::defaultCenter().setMainThreadExecutor(mainThread);
        SystemExtensionManager::setShared(extensionManager);
        NEConfigurationStore::setShared(store);
        SetSystemLogSink([this](const std::string& line) {
            std::lock_guard lock(m_systemMutex);
            m_systemLines.push_back(line);
        });
        GetLog().SetScreenLevel(kLogDebug);
        lines();
        m_lines.clear();

        timing.dialogDelay = 5ms;
        timing.networkPasses = 3;
        timing.networkPollsPerPass = 2;
        timing.networkPollInterval = 1ms;
        timing.restartDelay = 20ms;
    }
    void TearDown() override
    {
        control.reset();
        extension->drain();
        store->drain();
        mainThread->runAndWait([] {});
        SetSystemLogSink(nullptr);
        NEConfigurationStore::setShared(nullptr);
        SystemExtensionManager::setShared(nullptr);
        NotificationCenter::defaultCenter().setMainThreadExecutor(nullptr);
        GetLog().SetScreenLevel(kLogError);
        lines();
    }

    ExtensionControl::Options options()
    {
        ExtensionControl::Options o;
        o.dialog = dialog;
        o.makeClient = [this] { return extension->makeClient(mainThread->isMainThread()); };
        o.isNetworkKnown = [this] {
            std::lock_guard lock(m_networkMutex);
            m_networkPollsOffMain = m_networkPollsOffMain && !mainThread->isMainThread();
            return ++m_networkPolls > m_unknownPolls;
        };
        o.sendSettings = [this](bool restart, ExtensionControl::SettingsResult result) {
            settingsRestart = restart;
            ++settingsCalls;
            const bool ok = settingsOk;
            // The answer comes on another thread, as the extension's reply does.
            DispatchQueue::asyncGlobal([result, ok] { result(ok); });
        };
        o.useDataFilter = [this] { return useDataFilter.load(); };
        o.quit = [this] {
            quitOnMain = mainThread->isMainThread();
            ++quits;
        };
        o.exit = [this](int code) { exitCode = code; };
        o.isClosing = [this] { return closing.load(); };
        o.nowSeconds = [this] { return now.load(); };
        o.mainExecutor = mainThread;
        o.loginName = "alice";
        o.timing = timing;
        return o;
    }
    void makeControl()
    {
        control = std::make_unique<ExtensionControl>(options());
        control->createManagers();
    }
    // The network stays unknown for the first `polls` polls.
    void networkUnknownFor(int polls)
    {
        std::lock_guard lock(m_networkMutex);
        m_unknownPolls = polls;
    }
    int networkPolls()
    {
        std::lock_guard lock(m_networkMutex);
        return m_networkPolls;
    }
    bool networkPolledOffMainOnly()
    {
        std::lock_guard lock(m_networkMutex);
        return m_networkPollsOffMain;
    }
    // The provider answers the next `count` wake signals.
    void answerWakes(int count)
    {
        for (int i = 0; i < count; ++i)
            store->scriptReply(Reply::Data, { 1 });
    }
    // An enabled transparent proxy configuration stored earlier, with its session in `status`.
    std::string putProxy(NEVPNStatus status = NEVPNStatus::Disconnected)
    {
        NEConfiguration configuration;
        configuration.kind = NEConfigurationKind::TransparentProxy;
        configuration.localizedDescription = "Corvantis Data";
        configuration.enabled = true;
        return store->put(configuration, status);
    }
    void onMain(std::function<void()> task) { mainThread->runAndWait(std::move(task)); }
    size_t requests(Kind kind) const
    {
        size_t n = 0;
        for (const auto& request : extensionManager->submitted())
            n += request.kind == kind;
        return n;
    }

    // Every log line so far (screen queue), oldest first.
    const std::vector<LogLine>& lines()
    {
        bool isError = false;
        uint64_t time = 0;
        std::string text;
        while (GetLog().PopLogRecord(false, isError, time, text))
            m_lines.push_back({ isError, text });
        return m_lines;
    }
    size_t countLines(const std::string& text)
    {
        const std::vector<LogLine>& all = lines();
        return static_cast<size_t>(
            std::count_if(all.begin(), all.end(), [&](const LogLine& line) { return line.text == text; }));
    }
    bool waitForLine(const std::string& text, size_t times = 1)
    {
        return waitUntil([&] { return countLines(text) >= times; });
    }
    // Whether `expected` appear in the log in this order (other lines between them).
    bool inOrder(const std::vector<std::string>& expected)
    {
        size_t next = 0;
        for (const LogLine& line : lines())
            if (next < expected.size() && line.text == expected[next])
                ++next;
        return next == expected.size();
    }
    std::vector<std::string> systemLines()
    {
        std::lock_guard lock(m_systemMutex);
        return m_systemLines;
    }

    // A new set of fakes for the next case of a table.
    void fresh()
    {
        TearDown();
        mainThread = std::make_shared<FakeMainThread>();
        extensionManager = std::make_shared<FakeSystemExtensionManager>();
        store = std::make_shared<FakeNEConfigurationStore>();
        dialog = std::make_shared<RecordingDialog>();
        extension = std::make_unique<FakeExtension>();
        settingsOk = true;
        settingsRestart = true;
        settingsCalls = 0;
        useDataFilter = false;
        closing = false;
        quits = 0;
        quitOnMain = false;
        exitCode = -1;
        now = 1000;
        {
            std::lock_guard lock(m_networkMutex);
            m_networkPolls = 0;
            m_unknownPolls = 0;
            m_networkPollsOffMain = true;
        }
        {
            std::lock_guard lock(m_systemMutex);
            m_systemLines.clear();
        }
        SetUp();
    }

    std::shared_ptr<FakeMainThread> mainThread = std::make_shared<FakeMainThread>();
    std::shared_ptr<FakeSystemExtensionManager> extensionManager = std::make_shared<FakeSystemExtensionManager>();
    std::shared_ptr<FakeNEConfigurationStore> store = std::make_shared<FakeNEConfigurationStore>();
    std::shared_ptr<RecordingDialog> dialog = std::make_shared<RecordingDialog>();
    std::unique_ptr<FakeExtension> extension = std::make_unique<FakeExtension>();
    ExtensionControl::Timing timing;
    std::atomic<bool> settingsOk { true };
    std::atomic<bool> settingsRestart { true };
    std::atomic<int> settingsCalls { 0 };
    std::atomic<bool> useDataFilter { false };
    std::atomic<bool> closing { false };
    std::atomic<int> quits { 0 };
    std::atomic<bool> quitOnMain { false };
    std::atomic<int> exitCode { -1 };
    std::atomic<int64_t> now { 1000 };
    std::unique_ptr<ExtensionControl> control;

private:
    std::mutex m_networkMutex;
    int m_networkPolls = 0;
    int m_unknownPolls = 0;
    bool m_networkPollsOffMain = true;
    std::mutex m_systemMutex;
    std::vector<std::string> m_systemLines;
    std::vector<LogLine> m_lines;
};

const std::vector<std::string> kToDnsProxy
    = { "SysExtLoad", "VpnCreation", "SendWakeSignal", "XPCConnection", "DnsProxyCreation" };

TEST_F(ExtensionControlTest, ManagersStartAtStateZeroWithTheExpectedVersion)
{
    makeControl();
    EXPECT_EQ(control->loadingState(), 0);
    EXPECT_EQ(control->startCounter(), 0);
    ASSERT_TRUE(control->appProxyManager() && control->dnsManager() && control->dataFilterManager());
    EXPECT_EQ(control->appProxyManager()->appVersion, "3.12.2");
    EXPECT_EQ(control->dnsManager()->appVersion, "3.12.2");
    EXPECT_EQ(control->dataFilterManager()->appVersion, "3.12.2");
    EXPECT_EQ(control->connection(), nullptr);
}

TEST_F(ExtensionControlTest, TheWholeChainBringsTheProxyUpThroughTheDnsProxy)
{
    answerWakes(1);
    store->scriptStart(StartOutcome::Connect);
    makeControl();
    control->tryToRunVPN();
    EXPECT_EQ(control->startCounter(), 1);
    EXPECT_EQ(control->loadingState(), 1);

    dialog->waitFor("VpnStart");
    ASSERT_TRUE(waitUntil([&] { return control->connection() && control->connection()->isConnected(); }));
    onMain([&] { control->vpnProxyStatusChanged(); });

    std::vector<std::string> steps = kToDnsProxy;
    steps.insert(steps.end(), { "VpnStart", "finishModal" });
    EXPECT_EQ(dialog->names(), steps);
    EXPECT_EQ(control->loadingState(), 2);
    EXPECT_EQ(store->startCount(), 1u);
    EXPECT_EQ(store->stored(NEConfigurationKind::DnsProxy).size(), 1u);
    EXPECT_EQ(settingsCalls, 1);
    EXPECT_FALSE(settingsRestart);
    EXPECT_EQ(extension->hellos(), std::vector<std::string> { "3.12.2" });
    // The hello's client was taken from the pool on the main thread and closed after its answer.
    onMain([&] { EXPECT_EQ(control->xpcConnectionCount(), 1u); });
    ASSERT_EQ(extension->clients().size(), 1u);
    EXPECT_FALSE(extension->clients()[0]->isConnected());
    EXPECT_FALSE(extension->madeOffMain());
    EXPECT_TRUE(inOrder({ "Network Extension initialization start", "System Extension start",
        "Transparent Proxy initialization start", "Network Extension XPC connection start",
        "The XPC hello message was received from Network Extension 3.12.2",
        "Network Extension settings transferred with the result: OK", "Transparent Proxy started" }));
}

// Each answer of the activation and where the chain then stands.
TEST_F(ExtensionControlTest, EachActivationAnswerLeadsToItsStep)
{
    struct Case {
        const char* name;
        std::vector<SystemExtensionEvent> events;
        const char* nextStep; // nullptr: the chain waits at the activation
    };
    const Case cases[] = {
        { "completed", { SystemExtensionEvent::finish() }, "VpnCreation" },
        { "approval", { SystemExtensionEvent::needsApproval() }, "SysExtAllow" },
        { "failure", { SystemExtensionEvent::fail("broken") }, "SysExtFail" },
        { "managed device", { SystemExtensionEvent::fail("OSSystemExtensionErrorDomain error 10") },
            "SysExtFailOnManagedDevice" },
        { "replacing, no end yet", { SystemExtensionEvent::replace("3.12.1", "3.12.2") }, nullptr },
        { "finished after a reboot",
            { SystemExtensionEvent::finish(SystemExtensionRequestResult::WillCompleteAfterReboot) }, nullptr },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        extensionManager->script(c.events);
        makeControl();
        control->tryToRunVPN();
        ASSERT_TRUE(waitUntil([&] { return requests(Kind::Activation) == 1; }));
        onMain([] {}); // the answers are main-thread tasks posted with the request
        if (c.nextStep) {
            dialog->waitFor(c.nextStep);
            EXPECT_EQ(dialog->names().at(1), c.nextStep);
        } else {
            EXPECT_EQ(dialog->names(), std::vector<std::string> { "SysExtLoad" });
        }
    }
}

// A failed step leaves the dialog at an error whose button starts the chain again.
TEST_F(ExtensionControlTest, FailedStepsShowTheirErrorWithRetry)
{
    struct Case {
        const char* name;
        std::function<void()> arrange;
        std::string errorStart;
        std::string errorPart;
        const char* stepBefore;
    };
    const Case cases[] = {
        { "no connection", [this] { store->failNextSave("disk full"); }, "Network error: ", "disk full",
            "VpnCreation" },
        { "settings refused", [this] { settingsOk = false; }, "Could not apply Network Extension settings.", "",
            "XPCConnection" },
        { "DNS proxy not saved",
            [this] {
                putProxy();
                store->failNextSave("dns down");
            },
            "DNS error: ", "dns down", "DnsProxyCreation" },
        { "start refused", [this] { store->scriptStart(StartOutcome::Refuse, "no tunnel"); },
            "Start signal to the AppProxy cannot be sent", "", "VpnStart" },
        { "start refused on the content filter path",
            [this] {
                useDataFilter = true;
                store->scriptStart(StartOutcome::Refuse, "no tunnel");
            },
            "Start signal to the AppProxy cannot be sent", "", "XPCConnection" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        answerWakes(1);
        c.arrange();
        makeControl();
        control->tryToRunVPN();
        RecordingDialog::Step error = dialog->waitFor("Error");
        EXPECT_EQ(error.text.rfind(c.errorStart, 0), 0u) << error.text;
        EXPECT_NE(error.text.find(c.errorPart), std::string::npos) << error.text;
        std::vector<std::string> names = dialog->names();
        ASSERT_GE(names.size(), 2u);
        EXPECT_EQ(names[names.size() - 2], c.stepBefore);

        ASSERT_TRUE(error.action);
        onMain(error.action);
        EXPECT_TRUE(waitUntil([&] { return control->startCounter() == 2; }));
        EXPECT_TRUE(waitUntil([&] { return requests(Kind::Activation) == 2; }));
    }
}

TEST_F(ExtensionControlTest, SettingsOutcomeIsLogged)
{
    settingsOk = false;
    answerWakes(1);
    makeControl();
    control->tryToRunVPN();
    dialog->waitFor("Error");
    EXPECT_EQ(countLines("Network Extension settings transferred with the result: Fail"), 1u);
    EXPECT_EQ(dialog->count("DnsProxyCreation"), 0u);
}

// A proxy that runs already is taken as started, on both paths; nothing is started a second time.
TEST_F(ExtensionControlTest, AnAlreadyConnectedProxyIsTakenAsStarted)
{
    for (bool filter : { false, true }) {
        SCOPED_TRACE(filter ? "content filter" : "DNS proxy");
        fresh();
        useDataFilter = filter;
        putProxy(NEVPNStatus::Connected);
        answerWakes(1);
        makeControl();
        control->tryToRunVPN();
        ASSERT_TRUE(waitForLine("Transparent Proxy already started"));
        EXPECT_TRUE(waitUntil([&] { return control->loadingState() == 2; }));
        EXPECT_EQ(store->startCount(), 0u);
        if (filter) {
            EXPECT_EQ(store->stored(NEConfigurationKind::ContentFilter).size(), 1u);
            EXPECT_EQ(dialog->count("DnsProxyCreation"), 0u);
        } else {
            EXPECT_EQ(dialog->names().back(), "finishModal");
        }
    }
}

TEST_F(ExtensionControlTest, TheContentFilterPathStartsTheProxyWithoutADnsProxy)
{
    useDataFilter = true;
    answerWakes(1);
    store->scriptStart(StartOutcome::Connect);
    makeControl();
    control->tryToRunVPN();
    ASSERT_TRUE(waitUntil([&] { return store->startCount() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return control->connection()->isConnected(); }));
    onMain([&] { control->vpnProxyStatusChanged(); });
    EXPECT_EQ(control->loadingState(), 2);
    EXPECT_EQ(store->stored(NEConfigurationKind::ContentFilter).size(), 1u);
    EXPECT_TRUE(store->stored(NEConfigurationKind::DnsProxy).empty());
    EXPECT_EQ(dialog->names(),
        (std::vector<std::string> { "SysExtLoad", "VpnCreation", "SendWakeSignal", "XPCConnection", "finishModal" }));
}

// Unanswered wake signals restart the chain after the delay until it started 20 times; then the dialog offers
// reinstalling, which deactivates the extension and starts again.
TEST_F(ExtensionControlTest, FailedWakeSignalsRestartUpToTwentyTimesThenOfferReinstalling)
{
    makeControl();
    const auto started = std::chrono::steady_clock::now();
    control->tryToRunVPN();
    RecordingDialog::Step failed = dialog->waitFor("WakeSignalFailed");
    EXPECT_GE(std::chrono::steady_clock::now() - started, 19 * timing.restartDelay);
    EXPECT_EQ(control->startCounter(), 20);
    EXPECT_EQ(requests(Kind::Activation), 20u);
    EXPECT_EQ(dialog->count("SendWakeSignal"), 20u);
    EXPECT_EQ(dialog->count("XPCConnection"), 0u);
    std::this_thread::sleep_for(3 * timing.restartDelay);
    EXPECT_EQ(control->startCounter(), 20) << "a restart after the bound";

    answerWakes(1);
    ASSERT_TRUE(failed.action);
    onMain(failed.action);
    ASSERT_TRUE(waitUntil([&] { return requests(Kind::Deactivation) == 1; }));
    dialog->waitFor("XPCConnection");
    EXPECT_EQ(control->startCounter(), 21);
}

// A hello with another version, or none ("<nil>": the socket could not be reached), reinstalls the extension->
TEST_F(ExtensionControlTest, AWrongOrMissingHelloReinstallsTheExtension)
{
    struct Case {
        std::string answer;
        bool deactivationFails;
    };
    const Case cases[] = { { "3.12.3", false }, { "<nil>", false }, { "3.12.3", true } };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer + (c.deactivationFails ? ", deactivation fails" : ""));
        fresh();
        extension->scriptHellos({ c.answer });
        extensionManager->script({ SystemExtensionEvent::finish() });
        if (c.deactivationFails)
            extensionManager->script({ SystemExtensionEvent::fail("busy") });
        answerWakes(2);
        makeControl();
        control->tryToRunVPN();

        RecordingDialog::Step error = dialog->waitFor("Error");
        EXPECT_EQ(error.text, "Wrong Network Extension version.");
        const std::string wrong = "Wrong Network Extension version " + c.answer + " - trying to restart";
        ASSERT_TRUE(waitForLine(wrong));
        for (const LogLine& line : lines()) {
            if (line.text == wrong) {
                EXPECT_TRUE(line.isError);
            }
        }
        if (c.deactivationFails) {
            dialog->waitFor("SysExtRemoveFailed");
            EXPECT_EQ(control->startCounter(), 1);
            continue;
        }
        dialog->waitFor("DnsProxyCreation");
        EXPECT_EQ(control->startCounter(), 2);
        std::vector<Kind> kinds;
        for (const auto& request : extensionManager->submitted())
            kinds.push_back(request.kind);
        EXPECT_EQ(kinds, (std::vector<Kind> { Kind::Activation, Kind::Deactivation, Kind::Activation }));
        EXPECT_EQ(extension->hellos().size(), 2u);
    }
}

// After 20 reinstalls in a row the chain stops at the version error; its retry counts anew.
TEST_F(ExtensionControlTest, TheTwentyFirstReinstallIsNotAttempted)
{
    extension->scriptHellos({}, "<nil>");
    answerWakes(40);
    makeControl();
    control->tryToRunVPN();
    ASSERT_TRUE(waitForLine("Wrong Network Extension version <nil> - not restarting after 20 restarts"));
    onMain([] {});
    EXPECT_EQ(requests(Kind::Deactivation), 20u);
    EXPECT_EQ(countLines("Wrong Network Extension version <nil> - trying to restart"), 20u);
    EXPECT_EQ(extension->hellos().size(), 21u);
    RecordingDialog::Step error = dialog->waitFor("Error", 21);
    EXPECT_EQ(error.text, "Wrong Network Extension version.");

    // One more "<nil>", then the right answer: the retry reinstalls once more and comes through.
    extension->scriptHellos({ "<nil>" });
    ASSERT_TRUE(error.action);
    onMain(error.action);
    dialog->waitFor("DnsProxyCreation");
    EXPECT_EQ(requests(Kind::Deactivation), 21u);
}

TEST_F(ExtensionControlTest, ApprovalShowsTheAdministratorTextAndItsButtonLogsItAndRetries)
{
    EXPECT_EQ(SysExtApprovalText("alice"),
        "Please ask your administrator to allow Corvantis for this user (corvantis-supervisor allow alice).");

    extensionManager->script({ SystemExtensionEvent::needsApproval() });
    makeControl();
    control->tryToRunVPN();
    RecordingDialog::Step allow = dialog->waitFor("SysExtAllow");
    lines();
    ASSERT_TRUE(allow.action);
    onMain(allow.action);
    const std::string text = SysExtApprovalText("alice");
    ASSERT_TRUE(waitForLine(text));
    for (const LogLine& line : lines()) {
        if (line.text == text) {
            EXPECT_TRUE(line.isError);
        }
    }
    EXPECT_TRUE(waitUntil([&] { return requests(Kind::Activation) == 2; }));
    EXPECT_EQ(control->startCounter(), 2);
}

TEST_F(ExtensionControlTest, TheDialogShowsAfterItsDelayAndItsCancelQuitsOnTheMainThread)
{
    extensionManager->script({ SystemExtensionEvent::hold() });
    makeControl();
    control->tryToRunVPN();
    ASSERT_TRUE(waitUntil([&] { return dialog->modalRuns() == 1; }));
    Action cancel = dialog->cancelHandler();
    ASSERT_TRUE(cancel);
    onMain(cancel);
    ASSERT_TRUE(waitUntil([&] { return quits == 1; }));
    EXPECT_TRUE(quitOnMain);
    // A second start while the dialog runs does not open it again.
    extensionManager->script({ SystemExtensionEvent::hold() });
    control->tryToRunVPN();
    std::this_thread::sleep_for(4 * timing.dialogDelay);
    EXPECT_EQ(dialog->modalRuns(), 1);
}

TEST_F(ExtensionControlTest, NoDialogWhenTheProxyRunsBeforeItsDelay)
{
    timing.dialogDelay = 300ms;
    putProxy(NEVPNStatus::Connected);
    answerWakes(1);
    makeControl();
    control->tryToRunVPN();
    ASSERT_TRUE(waitUntil([&] { return control->loadingState() == 2; }));
    std::this_thread::sleep_for(2 * timing.dialogDelay);
    EXPECT_EQ(dialog->modalRuns(), 0);
}

// The network wait: passes of polls, a line after each pass without the network, and the activation whatever
// the outcome. On the main thread the wait runs elsewhere.
TEST_F(ExtensionControlTest, TheNetworkWaitPollsInPassesAndGoesOnAfterTheLast)
{
    struct Case {
        const char* name;
        int unknownPolls;
        size_t waitLines;
        bool notInitialized;
    };
    const Case cases[] = {
        { "known at once", 0, 0, false },
        { "known in the third pass", 5, 2, false },
        { "never known", 1000, 3, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        networkUnknownFor(c.unknownPolls);
        extensionManager->script({ SystemExtensionEvent::hold() });
        makeControl();
        onMain([&] { control->tryToRunVPN(); });
        ASSERT_TRUE(waitUntil([&] { return requests(Kind::Activation) == 1; }));
        EXPECT_EQ(countLines("Wait for network initialization"), c.waitLines);
        EXPECT_EQ(countLines("Network not fully initialized"), c.notInitialized ? 1u : 0u);
        EXPECT_EQ(networkPolls(), std::min(c.unknownPolls + 1, 6));
        EXPECT_TRUE(networkPolledOffMainOnly());
    }
}

// Three status changes to a disconnected proxy that should run give one restart, after the delay.
TEST_F(ExtensionControlTest, StatusMismatchesStartOneDelayedRestart)
{
    timing.restartDelay = 100ms;
    answerWakes(1);
    store->scriptStart(StartOutcome::Disconnect);
    makeControl();
    control->tryToRunVPN();
    dialog->waitFor("VpnStart");
    ASSERT_TRUE(waitUntil([&] {
        auto connection = control->connection();
        return connection->isExpectedToBeStarted() && connection->isDisconnected();
    }));
    extensionManager->script({ SystemExtensionEvent::hold() });

    const auto notified = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i)
        onMain([&] { control->vpnProxyStatusChanged(); });
    EXPECT_EQ(countLines("Transparent Proxy status changed to disconnected"), 3u);
    EXPECT_EQ(countLines("Transparent Proxy status mismatch"), 3u);
    ASSERT_TRUE(waitUntil([&] { return control->startCounter() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - notified, timing.restartDelay);
    std::this_thread::sleep_for(2 * timing.restartDelay);
    EXPECT_EQ(control->startCounter(), 2);
    EXPECT_EQ(requests(Kind::Activation), 2u);
}

TEST_F(ExtensionControlTest, StatusChangesWithoutAConnectionDoNothing)
{
    makeControl();
    onMain([&] { control->vpnProxyStatusChanged(); });
    EXPECT_EQ(control->loadingState(), 0);
    EXPECT_TRUE(dialog->names().empty());
}

// The periodic check restarts a proxy that should run and does not, at most once a second, and logs the first
// of every ten such restarts as an error.
TEST_F(ExtensionControlTest, ThePeriodicCheckRestartsOncePerSecondAndLogsEveryTenthAsAnError)
{
    const std::string id = putProxy(NEVPNStatus::Connected);
    answerWakes(1);
    makeControl();
    control->tryToRunVPN();
    ASSERT_TRUE(waitUntil([&] { return control->loadingState() == 2; }));
    const std::string line = "The Transparent proxy extension status mismatch - restarting...";

    // Puts the proxy back to running (as its notification would) and then drops it.
    auto runningThenDropped = [&] {
        store->setStatus(id, NEVPNStatus::Connected);
        store->drain();
        onMain([&] { control->vpnProxyStatusChanged(); });
        store->setStatus(id, NEVPNStatus::Disconnected);
        store->drain();
    };
    for (int round = 0; round < 11; ++round) {
        extensionManager->script({ SystemExtensionEvent::hold() });
        runningThenDropped();
        ++now;
        onMain([&] { control->checkVpnStatus(); });
        ASSERT_EQ(control->startCounter(), round + 2);
        // Within the same second the check does nothing, even with the proxy expected again.
        runningThenDropped();
        onMain([&] { control->checkVpnStatus(); });
        ASSERT_EQ(control->startCounter(), round + 2);
    }
    std::vector<bool> errors;
    for (const LogLine& logged : lines())
        if (logged.text == line)
            errors.push_back(logged.isError);
    std::vector<bool> expected(11, false);
    expected[0] = expected[10] = true;
    EXPECT_EQ(errors, expected);

    // Closing windows keep the check quiet.
    closing = true;
    runningThenDropped();
    ++now;
    onMain([&] { control->checkVpnStatus(); });
    EXPECT_EQ(control->startCounter(), 12);
}

TEST_F(ExtensionControlTest, PooledClientsAgeOutAfterTenSeconds)
{
    makeControl();
    now = 1000;
    ExtensionClientPtr old;
    onMain([&] { old = control->getNewXpcConnection(); });
    now = 1002;
    // From another thread the client is still made and pooled on the main thread.
    ExtensionClientPtr young = control->getNewXpcConnection();
    ASSERT_TRUE(old && young);
    EXPECT_FALSE(extension->madeOffMain());
    EXPECT_TRUE(old->isConnected() && young->isConnected());

    now = 1011; // 11 and 9 seconds old
    lines();
    onMain([&] {
        control->cleanupXpcConnections(false);
        EXPECT_EQ(control->xpcConnectionCount(), 1u);
    });
    EXPECT_FALSE(old->isConnected());
    EXPECT_TRUE(young->isConnected());
    EXPECT_EQ(countLines("XPC connection reach the timeout"), 1u);

    onMain([&] {
        control->stopVpn();
        EXPECT_EQ(control->xpcConnectionCount(), 0u);
    });
    EXPECT_FALSE(young->isConnected());
    EXPECT_EQ(countLines("XPC connection reach the timeout"), 1u);
}

TEST_F(ExtensionControlTest, RemovalWritesItsOutcomeAndEndsTheProcessWithZero)
{
    struct Case {
        SystemExtensionEvent event;
        std::string line;
    };
    const Case cases[] = {
        { SystemExtensionEvent::finish(), "System Extension deactivated" },
        { SystemExtensionEvent::fail("busy"), "System Extension not deactivated with error 11" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        fresh();
        extensionManager->script({ c.event });
        makeControl();
        control->removeSystemExtensionAndWait();
        ASSERT_TRUE(waitUntil([&] { return exitCode == 0; }));
        EXPECT_EQ(requests(Kind::Deactivation), 1u);
        std::vector<std::string> logged = systemLines();
        EXPECT_NE(std::find(logged.begin(), logged.end(), c.line), logged.end());
    }
}

TEST_F(ExtensionControlTest, PropertiesThenActivationOnce)
{
    extensionManager->script({ SystemExtensionEvent::properties(1), SystemExtensionEvent::finish() });
    extensionManager->script({ SystemExtensionEvent::hold() });
    makeControl();
    control->getPropertiesOfSystemExtensionAndStart();
    ASSERT_TRUE(waitUntil([&] { return requests(Kind::Activation) == 1; }));
    onMain([] {});
    onMain([] {});
    EXPECT_EQ(requests(Kind::Activation), 1u);
    EXPECT_EQ(requests(Kind::Properties), 1u);
}

// Destroying the control while chains wait, sleep and have answers in flight neither hangs nor runs them later.
TEST_F(ExtensionControlTest, DestructionStopsWaitingChains)
{
    timing.networkPasses = 1000000;
    timing.networkPollInterval = 50ms;
    networkUnknownFor(1 << 30);
    makeControl();
    onMain([&] { control->tryToRunVPN(); });
    onMain([&] { control->tryToRunVPN(); });
    ASSERT_TRUE(waitUntil([&] { return networkPolls() >= 2; }));
    const auto started = std::chrono::steady_clock::now();
    control.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(requests(Kind::Activation), 0u);
}

} // namespace
} // namespace corvantis::test
