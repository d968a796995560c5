// The delegate with its real windows against a stand-in extension in the test's process: the bring-up runs over
// the layer fakes (activation and sessions) up to the running transparent proxy, the IPC client finds the
// stand-in's service through a manifest in a temporary program tree, and each test writes the tick data and
// reads what reached the windows, the profile file, the defaults file and the settings messages.

#include "app/CorvantisAppDelegate.h"
#include "app/ExtensionClient.h"
#include "app/ExtensionControl.h"
#include "app/ExtensionPolling.h"
#include "app/QtMainThreadExecutor.h"
#include "app/ui/ConnectionListModel.h"
#include "app/ui/ConnectionsView.h"
#include "app/ui/ExcludedPortsSheet.h"
#include "app/ui/LogListModel.h"
#include "app/ui/LogView.h"
#include "app/ui/MainWindow.h"
#include "app/ui/MessageBoxUI.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"
#include "core/foundation/Prefs.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/CorvantisAppUI.h"
#include "ipc/IPCExportedObject.h"
#include "ipc/IPCInterfaces.h"
#include "platform/DefaultsStore.h"
#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "platform/sysext/NEConfigurationStore.h"
#include "platform/sysext/SystemExtensionManager.h"
#include "platform/xpc/XpcListener.h"
#include "tests/support/FakeNEConfigurationStore.h"
#include "tests/support/FakeSystemExtensionManager.h"
#include "tests/support/FileText.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"

#include <QApplication>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace corvantis {
namespace {

using test::ReadFile;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

bool RunEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void RunEventsFor(std::chrono::milliseconds duration)
{
    RunEventsUntil([] { return false; }, duration);
}

// What the stand-in answers to one tick request.
struct Tick {
    std::string statistics;
    std::string log;
    std::string connections;
    std::optional<std::string> loop;
};

// The extension's side of the IPC as the application sees it: hello "3.12.2", settings recorded and accepted,
// tick data from the test's queue (empty values once it is empty), the token endpoint accepted. Replies run on
// the connection's queue.
class StandInExtension final : public IPCExtension {
public:
    struct Settings {
        PlistDict dictionary;
        std::string profile;
    };

    void helloWithVersion(const std::string&, StringReply reply) override { reply(kExpectedExtensionVersion); }

    void updateSettingWithSettings(const PlistDict& settings, const std::string& profile, StringReply reply) override
    {
        {
            MutexLock lock(m_mutex);
            m_settings.push_back({ settings, profile });
        }
        reply("");
    }

    void retriveTickDataWithReply(TickDataReply reply) override
    {
        Tick tick;
        {
            MutexLock lock(m_mutex);
            ++m_tickRequests;
            if (!m_ticks.empty()) {
                tick = std::move(m_ticks.front());
                m_ticks.pop_front();
            }
        }
        reply(tick.statistics, tick.log, tick.connections, PlistData(16, 1), PlistData(16, 2), tick.loop);
    }

    void setGssServerEndpointWithGssServerEndpoint(const XpcEndpoint&, BoolReply reply) override { reply(true); }

    void push(Tick tick)
    {
        MutexLock lock(m_mutex);
        m_ticks.push_back(std::move(tick));
    }
    int tickRequests() const
    {
        MutexLock lock(m_mutex);
        return m_tickRequests;
    }
    std::vector<Settings> settings() const
    {
        MutexLock lock(m_mutex);
        return m_settings;
    }

private:
    mutable Mutex m_mutex;
    std::deque<Tick> m_ticks GUARDED_BY(m_mutex);
    int m_tickRequests GUARDED_BY(m_mutex) = 0;
    std::vector<Settings> m_settings GUARDED_BY(m_mutex);
};

// One line of the connection list in the extension's form (CConnRecord::GetText).
std::string ConnLine(
    int id, const std::string& app, const std::string& target, const std::string& rule, bool opened, bool closed)
{
    return std::to_string(id) + "/" + app + "/" + target + "/" + rule + "/00:01/" + (opened ? "1" : "0") + "/"
        + (closed ? "1" : "0") + "/1.5 KB/1536/2 KB/2048\n";
}

// Log text in the extension's transfer form: one record per line.
std::string LogText(const std::string& prefix, int lines)
{
    std::string text;
    const std::string now = std::to_string(std::time(nullptr));
    for (int i = 0; i < lines; ++i)
        text += "0," + now + "," + prefix + " " + std::to_string(i) + "\n";
    return text;
}

class AppWindowsTest : public testing::Test {
protected:
    static constexpr const char* kServiceName = "corvantis-windows-test";
    static constexpr const char* kArgumentKey = "AppWindowsTestArgument";

    void SetUp() override
    {
        // The program tree whose manifest names the stand-in's service.
        const fs::path manifest = m_tree / "share/corvantis/SystemExtensions/CorvantisExtension/Info.plist";
        fs::create_directories(manifest.parent_path());
        fs::create_directories(m_tree / "bin");
        std::ofstream(manifest) << "<plist version=\"1.0\"><dict><key>NetworkExtension</key><dict>"
                                   "<key>NEMachServiceName</key><string>"
                                << kServiceName << "</string></dict></dict></plist>";
        std::ofstream(m_tree / "bin/Corvantis") << "";

        m_extension = std::make_shared<StandInExtension>();
        XpcListener::Options options;
        options.allowedUids = { ::geteuid() };
        auto listener = XpcListener::createForService(kServiceName, std::move(options));
        ASSERT_TRUE(listener.ok()) << listener.status().message();
        m_listener = listener.value();
        m_listener->setDelegate([extension = m_extension](const XpcConnectionPtr& connection) {
            connection->setExportedInterface(IPCInterfaces::interfaceWithProtocol(IPCProtocol::IPCExtension));
            connection->setExportedObject(IPCExportedObject::forIPCExtension(extension));
            connection->resume();
            return true;
        });
        ASSERT_TRUE(m_listener->resume().ok());

        SystemExtensionManager::setShared(m_manager);
        NEConfigurationStore::setShared(m_store);
        // The wake signal is answered with data.
        m_store->scriptReply(test::FakeNEConfigurationStore::Reply::Data, { 1 });
        SetAppUI(&m_app);

        // An entry stored earlier, as "SetIntOpt" writes it, and one given on the command line.
        ASSERT_EQ(SetPrefInt("", "ProcessForcedUdpFlowsOnly", 1), 0);
        DefaultsStore::standard().setArguments({ std::string("-") + kArgumentKey, "from-command-line" });

        m_previousExecutor = NotificationCenter::defaultCenter().mainThreadExecutor();
        NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>());
        CoreHooks hooks;
        AddMessageBoxUIHook(hooks);
        SetCoreHooks(hooks);

        CorvantisAppDelegate::Seams seams;
        seams.exit = [](int code) { ADD_FAILURE() << "exit " << code; };
        seams.terminate = [] { ADD_FAILURE() << "terminate"; };
        seams.singleInstance = { m_lockFolder.str(), 5s };
        seams.openFileLimit = OpenFileLimitCalls { [](rlimit& limits) {
                                                      limits = { 256, 4096 };
                                                      return 0;
                                                  },
            [](const rlimit&) { return 0; } };
        seams.makeMainWindow = &CreateMainWindow;
        seams.runExcludedPortsSheet = &RunExcludedPortsSheet;
        seams.makeExtensionClient = [program = m_tree / "bin/Corvantis"] { return MakeExtensionClient(program); };
        seams.isNetworkKnown = [] { return true; };
        seams.bringUpTiming.dialogDelay = 20ms;
        seams.bringUpTiming.networkPollInterval = 1ms;
        seams.bringUpTiming.restartDelay = 20ms;
        seams.startCore = [] { return -1; };
        seams.locationPasses = [](const fs::path&) { return true; };
        // Samples are due only when the test says so: the statistics thread never polls on its own.
        seams.isSampleDue = [this] { return m_sampleDue.exchange(false); };
        seams.statInterval = 2ms;
        m_delegate = std::make_unique<CorvantisAppDelegate>(std::move(seams));
        m_delegate->applicationWillFinishLaunching();
        m_delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(m_delegate->isLoaded());
        ASSERT_TRUE(RunEventsUntil([this] { return m_delegate->extensionControl().loadingState() == 2; }))
            << "the bring-up did not reach the running proxy";

        m_window = dynamic_cast<MainWindow*>(m_delegate->window());
        ASSERT_TRUE(m_window);
        m_window->bringToFront();
        ASSERT_TRUE(
            RunEventsUntil([this] { return m_window->windowHandle() && m_window->windowHandle()->isExposed(); }));
    }

    void TearDown() override
    {
        m_boxes.reset();
        m_delegate.reset();
        if (m_listener)
            m_listener->invalidate();
        SetCoreHooks({});
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_previousExecutor);
        NEConfigurationStore::setShared(nullptr);
        SystemExtensionManager::setShared(nullptr);
        SetAppUI(nullptr);
    }

    // Writes `tick`, makes one sample due and waits until the stand-in has answered it and the values reached
    // the main thread (the statistics text is the marker).
    void Deliver(Tick tick)
    {
        static int serial = 0;
        tick.statistics = "statistics " + std::to_string(++serial);
        const std::string marker = tick.statistics;
        m_extension->push(std::move(tick));
        m_sampleDue = true;
        ASSERT_TRUE(RunEventsUntil([&] { return m_delegate->statisticText() == marker; }));
    }

    // Runs one polling step with nothing new from the extension.
    void PollOnce() { Deliver({}); }

    ConnectionListModel& Connections() { return *qobject_cast<ConnectionsView*>(m_window->connectionsView())->model(); }
    LogListModel& LogRows() { return *qobject_cast<LogView*>(m_window->logView())->model(); }

    bool LogWindowHas(const std::string& text)
    {
        LogListModel& rows = LogRows();
        for (int row = 0; row < rows.logRowCount(); ++row)
            if (rows.lineText(row).toStdString().find(text) != std::string::npos)
                return true;
        return false;
    }

    test::TempDir m_home;
    test::TempDir m_runtime;
    test::TempDir m_tree;
    test::TempDir m_lockFolder;
    test::ScopedEnv m_runtimeEnv { "CORVANTIS_RUNTIME_DIR", m_runtime.str() };
    CCorvantisAppUI m_app;
    test::ProgramHomeScope m_scope { Program::Application, m_home.path(), &m_app };
    std::shared_ptr<test::FakeSystemExtensionManager> m_manager = std::make_shared<test::FakeSystemExtensionManager>();
    std::shared_ptr<test::FakeNEConfigurationStore> m_store = std::make_shared<test::FakeNEConfigurationStore>();
    std::shared_ptr<StandInExtension> m_extension;
    XpcListenerPtr m_listener;
    std::shared_ptr<MainThreadExecutor> m_previousExecutor;
    std::unique_ptr<MessageBoxScript> m_boxes = std::make_unique<MessageBoxScript>();
    std::atomic<bool> m_sampleDue { false };
    std::unique_ptr<CorvantisAppDelegate> m_delegate;
    MainWindow* m_window = nullptr;
};

TEST_F(AppWindowsTest, AConnectionOfTheTickDataComesAndGoesInTheConnectionsWindow)
{
    m_delegate->setConnectionsShown(true);
    const std::string shown = ConnLine(7, "curl", "example.test:443", "Via proxy : Proxy", true, false);
    const std::string refused = ConnLine(9, "wget", "blocked.test:80", "Blocked : Block", false, true);
    Deliver({ "", "", shown + refused, std::nullopt });

    ConnectionListModel& model = Connections();
    ASSERT_EQ(model.rowCount(), 2);
    const struct {
        int row;
        const char* application;
        const char* target;
        const char* rule;
        QColor colour;
    } rows[] = {
        { 0, "curl", "example.test:443", "Via proxy : Proxy", QColor() },
        { 1, "wget", "blocked.test:80", "Blocked : Block", ConnectionListModel::rowColor(false, true) },
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.application);
        EXPECT_EQ(model.data(model.index(r.row, ConnectionListModel::kApplication)).toString(), r.application);
        EXPECT_EQ(model.data(model.index(r.row, ConnectionListModel::kTarget)).toString(), r.target);
        EXPECT_EQ(model.data(model.index(r.row, ConnectionListModel::kRule)).toString(), r.rule);
        const QVariant colour = model.data(model.index(r.row, ConnectionListModel::kApplication), Qt::ForegroundRole);
        if (r.colour.isValid())
            EXPECT_EQ(colour.value<QColor>(), r.colour);
        else
            EXPECT_FALSE(colour.isValid() && colour.value<QColor>().isValid());
    }

    // The next tick no longer lists the refused connection.
    Deliver({ "", "", shown, std::nullopt });
    ASSERT_EQ(model.rowCount(), 1);
    EXPECT_EQ(model.item(0).id, 7u);
}

TEST_F(AppWindowsTest, TheExtensionsLogLinesReachTheLogWindow)
{
    Deliver({ "", LogText("stand-in says", 2), "", std::nullopt });
    // The log window takes the queued lines at the start of the next step.
    PollOnce();
    EXPECT_TRUE(LogWindowHas("stand-in says 0"));
    EXPECT_TRUE(LogWindowHas("stand-in says 1"));
}

TEST_F(AppWindowsTest, ALogBacklogBringsAnotherTickRequestAtOnce)
{
    const struct {
        int lines;
        int requests; // tick requests for one due sample
    } cases[] = { { 99, 1 }, { 100, 2 }, { 150, 2 } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines);
        const int before = m_extension->tickRequests();
        Deliver({ "", LogText("backlog", c.lines), "", std::nullopt });
        ASSERT_TRUE(RunEventsUntil([&] { return m_extension->tickRequests() - before >= c.requests; }, 5s));
        // Nothing more follows: the extra request's answer holds no log text.
        RunEventsFor(200ms);
        EXPECT_EQ(m_extension->tickRequests() - before, c.requests);
    }
}

TEST_F(AppWindowsTest, YesToTheLoopPromptPutsTheRuleIntoTheProfileFile)
{
    const size_t settingsBefore = m_extension->settings().size();
    m_boxes->push(kMbAnswerYes);
    Deliver({ "", "", "", std::string("loopy-app") });
    ASSERT_TRUE(RunEventsUntil([&] { return !m_boxes->requests().empty(); }));
    ASSERT_EQ(m_boxes->requests().size(), 1u);
    EXPECT_EQ(m_boxes->requests()[0].caption, "Loop Detected");
    EXPECT_EQ(m_boxes->requests()[0].message,
        "Corvantis has detected that loopy-app application has likely caused an infinite connection loop.\n\nDo you "
        "want to exclude this application from Corvantis processing?");
    EXPECT_EQ(m_boxes->requests()[0].flags, kMbYesNo);

    const auto profileFileHasRule = [&] {
        std::error_code ec;
        for (const auto& entry : fs::recursive_directory_iterator(m_home.path(), ec))
            if (entry.path().extension() == ".ppx"
                && ReadFile(entry.path()).find("loopy-app [auto-created]") != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(RunEventsUntil(profileFileHasRule)) << "no profile file under " << m_home.str() << " holds the rule";
    // The changed profile goes to the extension as well.
    EXPECT_TRUE(RunEventsUntil([&] {
        const auto settings = m_extension->settings();
        return settings.size() > settingsBefore
            && settings.back().profile.find("loopy-app [auto-created]") != std::string::npos;
    }));

    // The same application reported again soon after is not asked about.
    Deliver({ "", "", "", std::string("loopy-app") });
    EXPECT_EQ(m_boxes->requests().size(), 1u);
}

TEST_F(AppWindowsTest, TheSettingsMessageCarriesStoredAndCommandLineEntries)
{
    const auto settings = m_extension->settings();
    ASSERT_FALSE(settings.empty());
    const PlistDict& dictionary = settings.front().dictionary;
    const auto stored = dictionary.find("ProcessForcedUdpFlowsOnly");
    ASSERT_NE(stored, dictionary.end());
    ASSERT_TRUE(stored->second.integer());
    EXPECT_EQ(*stored->second.integer(), 1);
    const auto given = dictionary.find(kArgumentKey);
    ASSERT_NE(given, dictionary.end());
    ASSERT_TRUE(given->second.string());
    EXPECT_EQ(*given->second.string(), "from-command-line");
    EXPECT_TRUE(dictionary.count("TrafficDump"));
    EXPECT_NE(settings.front().profile.find("<"), std::string::npos) << "the profile travels as profile text";
}

TEST_F(AppWindowsTest, PortsSavedInTheSheetReachTheDefaultsFileAndTheExtension)
{
    CAppSettings initial = m_app.GetSettings();
    initial.ExcludedUdpPorts = "";
    initial.ExcludedTcpPorts = "22";
    m_app.SetSettings(initial);

    const struct {
        const char* name;
        const char* udp;
        const char* tcp;
        bool save;
        const char* error; // the box's message, or null
    } cases[] = {
        { "cancelled", "53", "80", false, nullptr }, { "bad UDP text", "1-5", "80", true, "Invalid character found" },
        { "bad TCP port", "53", "70000", true, "port number is too big" },
        { "saved", "53", "80, 443;8080", true, nullptr }, // last: this one changes the settings
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t boxesBefore = m_boxes->requests().size();
        const size_t settingsBefore = m_extension->settings().size();
        const auto tcpBefore = DefaultsStore(m_scope.defaultsFile()).object("SettingsExcludedTcpPorts");
        std::string shownTcp;
        bool driven = false;
        QTimer driver;
        QObject::connect(&driver, &QTimer::timeout, [&] {
            auto* sheet = qobject_cast<ExcludedPortsSheet*>(QApplication::activeModalWidget());
            if (!sheet || driven)
                return;
            driven = true;
            shownTcp = sheet->tcpPorts();
            sheet->udpField()->setPlainText(QString::fromUtf8(c.udp));
            sheet->tcpField()->setPlainText(QString::fromUtf8(c.tcp));
            (c.save ? sheet->saveButton() : sheet->cancelButton())->click();
        });
        driver.start(5);
        m_delegate->showExcludedPorts();
        driver.stop();
        ASSERT_TRUE(driven);
        EXPECT_EQ(shownTcp, "22");

        const DefaultsStore onDisk(m_scope.defaultsFile());
        if (c.error) {
            ASSERT_EQ(m_boxes->requests().size(), boxesBefore + 1);
            EXPECT_EQ(m_boxes->requests().back().message, c.error);
            EXPECT_EQ(m_boxes->requests().back().caption, "Cannot save ports");
        } else {
            EXPECT_EQ(m_boxes->requests().size(), boxesBefore);
        }
        if (std::string(c.name) != "saved") {
            EXPECT_EQ(m_app.GetSettings().ExcludedTcpPorts, "22");
            EXPECT_EQ(onDisk.object("SettingsExcludedTcpPorts"), tcpBefore);
            continue;
        }
        const auto udp = onDisk.object("SettingsExcludedUdpPorts");
        const auto tcp = onDisk.object("SettingsExcludedTcpPorts");
        ASSERT_TRUE(udp && udp->string());
        ASSERT_TRUE(tcp && tcp->string());
        EXPECT_EQ(*udp->string(), "53");
        EXPECT_EQ(*tcp->string(), "80, 443;8080");
        ASSERT_TRUE(RunEventsUntil([&] { return m_extension->settings().size() > settingsBefore; }));
        const PlistDict sent = m_extension->settings()[settingsBefore].dictionary;
        ASSERT_TRUE(sent.count("SettingsExcludedUdpPorts") && sent.count("SettingsExcludedTcpPorts"));
        ASSERT_TRUE(sent.at("SettingsExcludedTcpPorts").string());
        EXPECT_EQ(*sent.at("SettingsExcludedTcpPorts").string(), "80, 443;8080");
        ASSERT_TRUE(sent.at("SettingsExcludedUdpPorts").string());
        EXPECT_EQ(*sent.at("SettingsExcludedUdpPorts").string(), "53");
    }
}

} // namespace
} // namespace corvantis
