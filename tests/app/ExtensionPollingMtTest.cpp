#include "app/AppProxyConnection.h"
#include "app/ExtensionPolling.h"
#include "app/ExtensionSettings.h"
#include "app/WorkThreads.h"

#include "core/foundation/AppSettings.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/DataCrypt.h"
#include "core/foundation/Log.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/ProfileData.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"
#include "tests/support/FakeMainThread.h"
#include "tests/support/LogLines.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

// The extension as the application's clients reach it: every request is recorded, and its reply runs later on
// the extension's own thread, as a real link's replies do. The clients it makes stay with it, as the pool
// keeps them.
class FakeExtension {
public:
    class Client final : public ExtensionClient {
    public:
        explicit Client(FakeExtension& extension)
            : m_extension(extension)
        {
        }
        void connect() override { }
        void closeConnection() override
        {
            std::lock_guard lock(m_extension.m_mutex);
            ++m_extension.m_closed;
            m_closed = true;
        }
        bool isConnected() const override { return true; }
        void helloWithVersion(const std::string&, StringReply reply) override
        {
            m_extension.m_queue.post([reply] { reply("3.12.2"); });
        }
        void updateSettingWithSettings(
            const PlistDict& settings, const std::string& profile, StringReply reply) override
        {
            std::string answer;
            {
                std::lock_guard lock(m_extension.m_mutex);
                m_extension.m_requests.push_back("settings");
                m_extension.m_settings.push_back(settings);
                m_extension.m_profiles.push_back(profile);
                answer = m_extension.m_settingsAnswer;
            }
            m_extension.m_queue.post([reply, answer] { reply(answer); });
        }
        void retriveTickDataWithReply(TickDataReply reply) override
        {
            TickValues tick;
            std::optional<std::string> loop;
            {
                std::lock_guard lock(m_extension.m_mutex);
                m_extension.m_requests.push_back("tick");
                if (!m_extension.m_ticks.empty()) {
                    tick = m_extension.m_ticks.front();
                    m_extension.m_ticks.pop_front();
                }
                if (!tick.loopApplication.empty())
                    loop = tick.loopApplication;
            }
            m_extension.m_queue.post(
                [reply, tick, loop] { reply(tick.statistics, tick.log, tick.connections, tick.up, tick.down, loop); });
        }
        void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint& endpoint, BoolReply reply) override
        {
            {
                std::lock_guard lock(m_extension.m_mutex);
                m_extension.m_requests.push_back("gss " + endpoint.name);
            }
            m_extension.m_queue.post([reply] { reply(true); });
        }

    private:
        FakeExtension& m_extension;
        bool m_closed = false;
    };

    // The client factory of the bring-up's pool.
    std::function<ExtensionClientPtr()> factory()
    {
        return [this] {
            auto client = std::make_shared<Client>(*this);
            std::lock_guard lock(m_mutex);
            m_clients.push_back(client);
            return client;
        };
    }

    void setSettingsAnswer(std::string answer)
    {
        std::lock_guard lock(m_mutex);
        m_settingsAnswer = std::move(answer);
    }
    void queueTick(TickValues tick)
    {
        std::lock_guard lock(m_mutex);
        m_ticks.push_back(std::move(tick));
    }
    std::vector<std::string> requests()
    {
        std::lock_guard lock(m_mutex);
        return m_requests;
    }
    std::vector<PlistDict> settings()
    {
        std::lock_guard lock(m_mutex);
        return m_settings;
    }
    std::vector<std::string> profiles()
    {
        std::lock_guard lock(m_mutex);
        return m_profiles;
    }
    size_t clientsMade()
    {
        std::lock_guard lock(m_mutex);
        return m_clients.size();
    }
    size_t closed()
    {
        std::lock_guard lock(m_mutex);
        return m_closed;
    }

private:
    std::mutex m_mutex;
    std::string m_settingsAnswer;
    std::deque<TickValues> m_ticks;
    std::vector<std::string> m_requests;
    std::vector<PlistDict> m_settings;
    std::vector<std::string> m_profiles;
    std::vector<ExtensionClientPtr> m_clients;
    size_t m_closed = 0;
    test::FakeMainThread m_queue; // last: its thread ends first
};

// A core object whose password query has nobody to ask.
class TestCore final : public CCorvantisApp {
public:
    std::string GetProfilePassword(const std::string&, bool, const std::string&) override { return {}; }
};

// ---- The polling step ----

class TickPollerTest : public ::testing::Test {
protected:
    // Everything the poller reaches, recorded in one list in the order it happened.
    void record(std::string event)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::vector<std::string> events()
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

    TickPollerPtr makePoller(size_t linesTaken)
    {
        TickPoller::Sources sources;
        sources.newClient = m_extension.factory();
        sources.loadingState = [this] { return m_state.load(); };
        sources.updateLogList = [this] { record("log list"); };
        sources.checkStatus = [this] { record("check status"); };
        sources.cleanupClients = [this] { record("cleanup"); };
        sources.postToMain = [this](std::function<void()> task) { m_main.post(std::move(task)); };
        TickPoller::Sinks sinks;
        sinks.statisticText = [this](const std::string& text) { record("statistics " + text); };
        // Only the first tick counts its lines as the test says; later ones take none, so a drain stops.
        sinks.appendLog = [this, linesTaken](const std::string& text) {
            record("log " + text);
            return m_appended++ == 0 ? linesTaken : size_t { 0 };
        };
        sinks.connections = [this](const std::string& list) { record("connections " + list); };
        sinks.graph = [this](const PlistData& up, const PlistData& down) {
            auto total = [](const PlistData& bytes) {
                uint64_t sum = 0;
                for (uint64_t count : DecodeTrafficCounts(bytes))
                    sum += count;
                return std::to_string(sum);
            };
            record("graph " + total(up) + " " + total(down));
        };
        sinks.loopDetected = [this](const std::string& name) { record("loop " + name); };
        return std::make_shared<TickPoller>(std::move(sources), std::move(sinks));
    }

    static PlistData Counts(std::vector<uint64_t> counts)
    {
        PlistData bytes(counts.size() * sizeof(uint64_t));
        std::memcpy(bytes.data(), counts.data(), bytes.size());
        return bytes;
    }

    std::atomic<int> m_state { 2 };
    std::atomic<size_t> m_appended { 0 };
    std::mutex m_mutex;
    std::vector<std::string> m_events;
    test::FakeMainThread m_main;
    FakeExtension m_extension; // ends first: no reply posts to the main thread once it is gone
};

TEST_F(TickPollerTest, OutsideTheRunningStateOnlyTheWindowsAndTheStatusAreServed)
{
    for (int state : { 0, 1 }) {
        SCOPED_TRACE(state);
        m_state = state;
        auto poller = makePoller(0);
        m_main.runAndWait([&] { poller->poll(); });
        m_main.runAndWait([] {});
        EXPECT_EQ(m_extension.clientsMade(), 0u);
    }
    EXPECT_EQ(events(), (std::vector<std::string> { "log list", "check status", "log list", "check status" }));
}

TEST_F(TickPollerTest, ATickReachesEverySinkInOrderAndClosesItsClient)
{
    m_extension.queueTick({ "5 connections", "line\n", "row", Counts({ 1, 2 }), Counts({ 30 }), "curl" });
    auto poller = makePoller(1);
    m_main.runAndWait([&] { poller->poll(); });
    ASSERT_TRUE(test::waitUntil([&] { return events().size() >= 8; })) << ::testing::PrintToString(events());
    m_main.runAndWait([] {});
    EXPECT_EQ(events(),
        (std::vector<std::string> { "log list", "check status", "cleanup", "statistics 5 connections", "log line\n",
            "connections row", "graph 3 30", "loop curl" }));
    EXPECT_EQ(m_extension.requests(), std::vector<std::string> { "tick" });
    EXPECT_EQ(m_extension.clientsMade(), 1u);
    EXPECT_EQ(m_extension.closed(), 1u);
}

TEST_F(TickPollerTest, ALogBacklogOfAHundredLinesAsksForTheNextTickAtOnce)
{
    struct Case {
        size_t linesTaken;
        size_t ticks;
    } cases[] = { { 99, 1 }, { 100, 2 }, { 150, 2 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.linesTaken);
        m_appended = 0;
        auto poller = makePoller(c.linesTaken);
        // The poller's client factory is the fixture's extension; count its ticks before and after.
        const size_t before = m_extension.requests().size();
        m_extension.queueTick({ "s", "many lines", "", {}, {}, "" });
        m_main.runAndWait([&] { poller->poll(); });
        ASSERT_TRUE(test::waitUntil([&] { return m_appended.load() >= c.ticks; }));
        // Give a wrongly extra poll the chance to show: the main thread and the replies run dry.
        for (int i = 0; i < 3; ++i)
            m_main.runAndWait([] {});
        EXPECT_EQ(m_extension.requests().size() - before, c.ticks);
        EXPECT_EQ(m_appended.load(), c.ticks);
    }
}

TEST_F(TickPollerTest, AReplyAfterThePollerIsGoneDeliversNothing)
{
    m_extension.queueTick({ "s", "l", "c", {}, {}, "x" });
    auto poller = makePoller(0);
    m_main.runAndWait([&] {
        poller->poll();
        poller.reset(); // before the reply can be handled on this thread
    });
    ASSERT_TRUE(test::waitUntil([&] { return m_extension.closed() == 1; }));
    m_main.runAndWait([] {});
    EXPECT_EQ(events(), (std::vector<std::string> { "log list", "check status", "cleanup" }));
}

// ---- The settings message ----

class SettingsSenderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CAppSettings settings = m_core.GetSettings();
        settings.TrafficLogEnabled = true;
        m_core.SetSettings(settings);
        test::TakeScreenLines();
    }

    ExtensionSettingsSenderPtr makeSender()
    {
        ExtensionSettingsSender::Options options;
        options.newClient = m_extension.factory();
        options.connection = [this] { return m_connection; };
        options.gssEndpoint = [this] { return m_endpoint; };
        options.core = [this]() -> CCorvantisApp* { return &m_core; };
        options.saveSettings = [this](const CAppSettings& settings) {
            std::lock_guard lock(m_mutex);
            m_saved.push_back(settings.TrafficLogEnabled);
            return true;
        };
        options.messageBox = [this](const std::string& message, const std::string& caption, int) {
            std::lock_guard lock(m_mutex);
            m_boxes.push_back(caption + "|" + message);
            return 0L;
        };
        options.restart = [this](const std::shared_ptr<AppProxyConnection>& connection) {
            EXPECT_EQ(connection, m_connection);
            ++m_restarts;
        };
        return std::make_shared<ExtensionSettingsSender>(std::move(options));
    }

    // Sends and waits for the result.
    std::optional<bool> send(ExtensionSettingsSender& sender, bool restart)
    {
        std::promise<bool> result;
        sender.writeGlobalSettingsToExtension(restart, [&](bool ok) { result.set_value(ok); });
        auto future = result.get_future();
        if (future.wait_for(test::kPatience) != std::future_status::ready)
            return std::nullopt;
        return future.get();
    }

    std::vector<std::string> boxes()
    {
        std::lock_guard lock(m_mutex);
        return m_boxes;
    }

    test::TempDir m_home;
    TestCore m_core;
    test::ProgramHomeScope m_scope { Program::Application, m_home.path(), &m_core, kLogDebug };
    std::shared_ptr<AppProxyConnection> m_connection;
    std::optional<XpcEndpoint> m_endpoint;
    std::atomic<int> m_restarts { 0 };
    std::mutex m_mutex;
    std::vector<bool> m_saved;
    std::vector<std::string> m_boxes;
    FakeExtension m_extension; // ends first: its replies reach the members above
};

TEST_F(SettingsSenderTest, TheExtensionsAnswerDecidesTheResultAndTheRestart)
{
    struct Case {
        const char* name;
        std::string answer;
        bool restart;
        bool ok;
        int restarts;
    } cases[] = {
        { "applied, restart asked", "", true, true, 1 },
        { "applied, no restart", "", false, true, 0 },
        { "refused with restart asked", "Corvantis core cannot be initialized", true, false, 0 },
        { "refused", "bad", false, false, 0 },
    };
    auto sender = makeSender();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_restarts = 0;
        m_extension.setSettingsAnswer(c.answer);
        const size_t closedBefore = m_extension.closed();
        EXPECT_EQ(send(*sender, c.restart), std::optional<bool>(c.ok));
        EXPECT_EQ(m_restarts.load(), c.restarts);
        EXPECT_EQ(m_extension.closed(), closedBefore + 1); // the settings client, closed before the result
        const auto lines = test::TakeScreenLines();
        const std::string refused = "Settings in Extension module cannot be updated: " + c.answer;
        EXPECT_EQ(std::count(lines.begin(), lines.end(), refused), c.ok ? 0 : 1) << ::testing::PrintToString(lines);
    }
    EXPECT_TRUE(boxes().empty());
}

TEST_F(SettingsSenderTest, TheEndpointTravelsOnAClientOfItsOwn)
{
    m_endpoint = XpcEndpoint { "corvantis-gss-test", std::nullopt };
    auto sender = makeSender();
    EXPECT_EQ(send(*sender, false), std::optional<bool>(true));
    ASSERT_TRUE(test::waitUntil([&] { return m_extension.closed() == 2; }));
    EXPECT_EQ(m_extension.requests(), (std::vector<std::string> { "gss corvantis-gss-test", "settings" }));
    EXPECT_EQ(m_extension.clientsMade(), 2u);
    std::vector<std::string> lines;
    ASSERT_TRUE(test::waitUntil([&] {
        for (auto& line : test::TakeScreenLines())
            lines.push_back(line);
        return std::count(lines.begin(), lines.end(), "GSS connection updated") == 1;
    })) << ::testing::PrintToString(lines);

    m_endpoint.reset();
    EXPECT_EQ(send(*sender, false), std::optional<bool>(true));
    EXPECT_EQ(m_extension.requests().back(), "settings");
    EXPECT_EQ(m_extension.clientsMade(), 3u);
}

TEST_F(SettingsSenderTest, TheDictionaryIsEverythingTheDefaultsShowPlusTheDumpSwitch)
{
    DefaultsStore& defaults = DefaultsStore::standard();
    ASSERT_TRUE(defaults.setObject("Name_5", PlistValue(7)));
    ASSERT_TRUE(defaults.setObject("MaxConnCount", PlistValue(2000)));
    defaults.setArguments({ "-MaxConnCount", "3000", "-ShowTiming", "uiupd" });
    auto sender = makeSender();
    EXPECT_EQ(send(*sender, false), std::optional<bool>(true));
    defaults.setArguments({});

    const auto sent = m_extension.settings();
    ASSERT_EQ(sent.size(), 1u);
    const PlistDict& dict = sent[0];
    auto integer = [&](const char* key) -> std::optional<int64_t> {
        auto it = dict.find(key);
        if (it == dict.end() || !it->second.integer())
            return std::nullopt;
        return *it->second.integer();
    };
    auto string = [&](const char* key) -> std::optional<std::string> {
        auto it = dict.find(key);
        if (it == dict.end() || !it->second.string())
            return std::nullopt;
        return *it->second.string();
    };
    EXPECT_EQ(integer("Name_5"), 7);
    EXPECT_EQ(string("MaxConnCount"), "3000"); // the command line wins
    EXPECT_EQ(string("ShowTiming"), "uiupd");
    EXPECT_EQ(integer("TrafficDump"), 1);
    // The switch travels only with the message; the defaults file never holds it.
    EXPECT_EQ(defaults.persistentDomain().count("TrafficDump"), 0u);
    EXPECT_FALSE(defaults.object("TrafficDump"));

    CAppSettings settings = m_core.GetSettings();
    settings.TrafficLogEnabled = false;
    m_core.SetSettings(settings);
    EXPECT_EQ(*sender->settingsDictionary().at("TrafficDump").integer(), 0);
}

TEST_F(SettingsSenderTest, TheProfileGoesWithPasswordsUnderTheBuiltInKey)
{
    CProfileData profile;
    profile.m_EncryptionMode = kEncryptionMaster;
    profile.m_MasterPassword = "master secret";
    CProxy proxy;
    proxy.m_Id = 101;
    proxy.SetHostName("proxy.example");
    proxy.m_Port = 1080;
    proxy.m_AuthEnabled = true;
    proxy.m_UserName = "user";
    proxy.m_Password = "pass word";
    profile.m_Proxies.push_back(proxy);
    m_core.SetProfile(profile, false);

    auto sender = makeSender();
    EXPECT_EQ(send(*sender, false), std::optional<bool>(true));
    const auto profiles = m_extension.profiles();
    ASSERT_EQ(profiles.size(), 1u);
    const std::string& text = profiles[0];
    EXPECT_NE(text.find("mode=\"basic\""), std::string::npos) << text;
    EXPECT_EQ(text.find("<Hash>"), std::string::npos) << text;
    EXPECT_EQ(text.find("master secret"), std::string::npos);
    std::smatch stored;
    ASSERT_TRUE(std::regex_search(text, stored, std::regex("<Password>([^<]*)</Password>"))) << text;
    std::string password;
    std::string error;
    EXPECT_EQ(CDataCrypt(CDataCrypt::kModeBasic, "").DecryptString(stored[1], password, error), 1) << error;
    EXPECT_EQ(password, "pass word");

    CProfileData active;
    m_core.GetProfile(active, false);
    EXPECT_EQ(active.m_EncryptionMode, kEncryptionMaster); // only the copy changed
}

TEST_F(SettingsSenderTest, AProfileThatCannotBeWrittenIsNotSentAndTheUserIsTold)
{
    CProfileData profile;
    CProxy proxy;
    proxy.m_Id = 101;
    proxy.SetHostName("odd.example");
    proxy.m_Type = 99; // no profile file has a word for it
    profile.m_Proxies.push_back(proxy);
    m_core.SetProfile(profile, false);
    m_endpoint = XpcEndpoint { "corvantis-gss-test", std::nullopt };

    auto sender = makeSender();
    EXPECT_EQ(send(*sender, true), std::optional<bool>(false));
    EXPECT_EQ(m_extension.clientsMade(), 0u);
    EXPECT_EQ(m_restarts.load(), 0);
    const auto shown = boxes();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].rfind(std::string(kProfileNotSentMessage) + "Cannot write profile:", 0), 0u) << shown[0];
    EXPECT_NE(shown[0].find("odd.example"), std::string::npos) << shown[0];
}

TEST_F(SettingsSenderTest, StoringSendsOnlyWhileTheProxyConnectionExists)
{
    auto sender = makeSender();
    sender->writeGlobalSettings(true);
    EXPECT_EQ(m_saved, std::vector<bool> { true });
    EXPECT_EQ(m_extension.clientsMade(), 0u);

    // The core's call reaches the sender through its hook; a non-zero argument asks for the restart.
    m_connection = std::make_shared<AppProxyConnection>(nullptr, AppProxyConnection::LogHandler());
    RegisterWriteGlobalSettingsHook(sender);
    CorvantisAppServices::writeGlobalSettings(1);
    ASSERT_TRUE(test::waitUntil([&] { return m_restarts.load() == 1; }));
    EXPECT_EQ(m_saved, (std::vector<bool> { true, true }));
    EXPECT_EQ(m_extension.requests(), std::vector<std::string> { "settings" });
    CorvantisAppServices::writeGlobalSettings(0);
    ASSERT_TRUE(test::waitUntil([&] { return m_extension.closed() == 2; }));
    EXPECT_EQ(m_restarts.load(), 1);
    SetCoreHooks({});
}

// ---- The work threads ----

class WorkThreadsTest : public ::testing::Test {
protected:
    void record(std::string event)
    {
        std::lock_guard lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    std::vector<std::string> events()
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    // Options whose every step is recorded; the center delivers on the calling thread.
    WorkThreads::Options options(int startResult, bool passes)
    {
        for (const char* name : { "PushToFront", kProfileUpdatedNotification, kGlobalUpdatedNotification, "Log" })
            m_center->addObserver(name, [this](const Notification& n) { record(n.name); });
        WorkThreads::Options o;
        o.startCore = [this, startResult] {
            record("start");
            return startResult;
        };
        o.terminate = [this] { record("terminate"); };
        o.executablePath = [] { return std::filesystem::path("/somewhere/Corvantis"); };
        o.locationPasses = [passes](const std::filesystem::path&) { return passes; };
        o.reportWrongLocation = [this](bool translocated, bool fromDiskImage, const char* path) {
            record(std::string("refused ") + (translocated ? "1" : "0") + (fromDiskImage ? "1" : "0") + " " + path);
        };
        o.createManagers = [this] { record("managers"); };
        o.tryToRunVPN = [this] { record("bring-up"); };
        o.isSampleDue = [] { return false; };
        o.center = m_center.get();
        return o;
    }

    std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::unique_ptr<NotificationCenter> m_center = std::make_unique<NotificationCenter>();
};

TEST_F(WorkThreadsTest, TheMainWorkThreadStartsTheCoreThenChecksThePlaceThenBringsTheExtensionUp)
{
    struct Case {
        const char* name;
        int startResult;
        bool passes;
        std::vector<std::string> events;
    } cases[] = {
        { "started, in its tree", 0, true,
            { "start", "PushToFront", "ProfileUpdated", "GlobalUpdated", "managers", "bring-up" } },
        { "started without a window", -1, true,
            { "start", "ProfileUpdated", "GlobalUpdated", "managers", "bring-up" } },
        { "start failed", 1, true, { "start", "terminate" } },
        { "start failed badly", 2, false, { "start", "terminate" } },
        { "elsewhere", 0, false, { "start", "PushToFront", "refused 00 /somewhere/Corvantis", "terminate" } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        {
            std::lock_guard lock(m_mutex);
            m_events.clear();
        }
        m_center = std::make_unique<NotificationCenter>(); // without the observers of the case before
        WorkThreads threads(options(c.startResult, c.passes));
        threads.start();
        threads.stop();
        EXPECT_EQ(events(), c.events);
    }
}

TEST_F(WorkThreadsTest, TheStatisticsThreadAsksTheMainThreadForAStepWhenASampleIsDue)
{
    auto main = std::make_shared<test::FakeMainThread>();
    m_center->setMainThreadExecutor(main);
    SetTimingOn(TimingItem::Uiupd, true);
    const int screenLevel = GetLog().GetScreenLevel();
    GetLog().SetScreenLevel(kLogVerbose);
    test::TakeScreenLines();

    std::atomic<int> samples { 0 };
    std::atomic<int> onMain { 0 };
    int delegate = 0;
    auto o = options(-1, true);
    o.isSampleDue = [&] { return samples.fetch_add(1) % 2 == 1; }; // every other wake-up
    o.statInterval = 1ms;
    o.sender = &delegate;
    m_center->addObserver("Log", [&](const Notification& n) {
        if (main->isMainThread() && n.object == &delegate)
            ++onMain;
    });
    {
        WorkThreads threads(std::move(o));
        threads.start();
        ASSERT_TRUE(test::waitUntil([&] { return onMain.load() >= 3; }));
    }
    const auto lines = test::TakeScreenLines();
    SetTimingOn(TimingItem::Uiupd, false);
    GetLog().SetScreenLevel(screenLevel);
    const auto timing = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
        return std::regex_match(line, std::regex(R"(statWorkThread:\d+ T=\d+ S=\d+)"));
    });
    EXPECT_EQ(timing, onMain.load()) << ::testing::PrintToString(lines);
    m_center->setMainThreadExecutor(nullptr);
}

TEST_F(WorkThreadsTest, StopOnTheMainThreadGivesUpTheLogItsThreadWaitsFor)
{
    auto main = std::make_shared<test::FakeMainThread>();
    m_center->setMainThreadExecutor(main);
    std::atomic<int> samples { 0 };
    auto o = options(-1, true);
    o.isSampleDue = [&] { return ++samples > 0; };
    o.statInterval = 1ms;
    auto threads = std::make_unique<WorkThreads>(std::move(o));
    main->runAndWait([&] {
        threads->start();
        // The main thread is busy here, so the thread's first "Log" waits in its queue.
        ASSERT_TRUE(test::waitUntil([&] { return samples.load() >= 1; }));
        threads.reset();
    });
    main->runAndWait([] {}); // the queued "Log" runs now, after the stop
    EXPECT_EQ(samples.load(), 1);
    const auto seen = events();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "Log"), 0) << ::testing::PrintToString(seen);
    m_center->setMainThreadExecutor(nullptr);
}

TEST_F(WorkThreadsTest, StopEndsTheStatisticsThreadWithoutWaitingForItsPeriod)
{
    auto o = options(-1, true);
    o.statInterval = std::chrono::hours(1);
    WorkThreads threads(std::move(o));
    threads.start();
    ASSERT_TRUE(test::waitUntil([&] { return events().size() >= 5; })); // the main work thread is done
    const auto begin = std::chrono::steady_clock::now();
    threads.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
}

} // namespace
} // namespace corvantis
