// The application end to end with the real extension: the supervisor of the build tree starts the extension the
// application asks for, and a program run as another user reaches a web server through the SOCKS5 server the
// profile names. The application is either the delegate with its real windows offscreen in this process, or the
// built program started as a child. The binary runs wholly inside network and mount namespaces of its own
// (tests/support/in-netns): the supervisor, the extension, the application and their abstract sockets share them,
// and the extension's capture rules stay there.

#include "app/AppUI.h"
#include "app/CorvantisAppDelegate.h"
#include "app/ExtensionClient.h"
#include "app/QtMainThreadExecutor.h"
#include "app/WorkThreads.h"
#include "app/ui/ConnectionListModel.h"
#include "app/ui/ConnectionsView.h"
#include "app/ui/ExcludedPortsSheet.h"
#include "app/ui/LogListModel.h"
#include "app/ui/LogView.h"
#include "app/ui/MainWindow.h"
#include "core/profile/ConnRecord.h"
#include "core/profile/CorvantisAppUI.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"
#include "platform/sysext/NEConfigurationStore.h"
#include "tests/peers/PeerProcess.h"
#include "tests/peers/ProxyPeers.h"
#include "tests/support/FileText.h"
#include "tests/support/Loopback.h"
#include "tests/support/PlistPrint.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <QApplication>
#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantis::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const fs::path kBuildTree = CORVANTIS_BUILD_DIR;
const fs::path kProgram = kBuildTree / "bin" / "Corvantis";
const fs::path kExtension = kBuildTree / "libexec" / "corvantis" / "CorvantisExtension";
const fs::path kSupervisor = kBuildTree / "libexec" / "corvantis" / "corvantis-supervisor";
// The page the web server gives; curl must bring back exactly this.
const char* const kPage = "a page served through the extension\n";
const char* const kProfileName = "EndToEnd";

// The text of every log file in `folder` (the current one and the rotated ones).
std::string LogFilesIn(const fs::path& folder)
{
    std::string text;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        text += ReadFile(entry.path());
    return text;
}

// Runs the Qt event loop until `done` holds or `limit` has passed; whether it held. Everything the application
// does on its main thread happens in here.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = kPatience)
{
    QTimer tick;
    tick.start(5);
    const Deadline deadline = deadlineIn(limit);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The state letter and the parent's pid of process `pid`, from /proc; nothing when it is gone.
struct ProcessStat {
    char state = 0;
    pid_t parent = -1;
};
std::optional<ProcessStat> StatOf(pid_t pid)
{
    // "pid (comm) state ppid ...": the name may hold blanks and parentheses, so read after the last ')'.
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream rest(stat.substr(close + 1));
    ProcessStat fields;
    rest >> fields.state >> fields.parent;
    return fields;
}

// Whether process `pid` has ended (a zombie nobody reaped yet counts as ended).
bool Ended(pid_t pid)
{
    const std::optional<ProcessStat> stat = StatOf(pid);
    return !stat || stat->state == 'Z';
}

// The pid of the extension that `supervisor` runs, -1 when it runs none (or several). Other tests may run their
// own supervisors and extensions at the same time: only this supervisor's children count.
pid_t ExtensionPidOf(pid_t supervisor)
{
    std::vector<pid_t> ours;
    for (pid_t pid : ProcessesOf(kExtension))
        if (const std::optional<ProcessStat> stat = StatOf(pid); stat && stat->parent == supervisor)
            ours.push_back(pid);
    return ours.size() == 1 ? ours.front() : -1;
}

// A folder made with mkdtemp under /tmp, open to everyone's reading as the real runtime folder is; removed at the
// end.
class OpenFolder final {
public:
    OpenFolder()
    {
        std::string pattern = "/tmp/corvantis-e2e-XXXXXX";
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
        ::chmod(m_path.c_str(), 0755);
    }
    ~OpenFolder()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    OpenFolder(const OpenFolder&) = delete;
    OpenFolder& operator=(const OpenFolder&) = delete;
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// The profile: curl goes through the SOCKS5 server at 127.0.0.1:`socksPort`, everything else directly.
std::string ProfileXml(uint16_t socksPort)
{
    return std::string(
               "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
               "<CorvantisProfile version=\"101\" platform=\"MacOSX\" product_id=\"2\" product_minver=\"200\">\n"
               "  <Options>\n"
               "    <Resolve>\n"
               "      <AutoModeDetection enabled=\"false\"/>\n"
               "      <ViaProxy enabled=\"false\"/>\n"
               "    </Resolve>\n"
               "    <Encryption mode=\"disabled\"/>\n"
               "    <HttpProxiesSupport enabled=\"false\"/>\n"
               "    <HandleDirectConnections enabled=\"false\"/>\n"
               "    <ConnectionLoopDetection enabled=\"true\"/>\n"
               "    <ProcessServices enabled=\"true\"/>\n"
               "    <ProcessOtherUsers enabled=\"true\"/>\n"
               "    <BlockUDP443 enabled=\"false\"/>\n"
               "  </Options>\n"
               "  <ProxyList>\n"
               "    <Proxy id=\"100\" type=\"SOCKS5\">\n"
               "      <Address>127.0.0.1</Address>\n"
               "      <Port>")
        + std::to_string(socksPort)
        + "</Port>\n"
          "      <Options>0</Options>\n"
          "    </Proxy>\n"
          "  </ProxyList>\n"
          "  <ChainList/>\n"
          "  <RuleList>\n"
          "    <Rule enabled=\"true\">\n"
          "      <Name>Curl</Name>\n"
          "      <Applications>curl</Applications>\n"
          "      <Action type=\"Proxy\">100</Action>\n"
          "    </Rule>\n"
          "    <Rule enabled=\"true\">\n"
          "      <Name>Default</Name>\n"
          "      <Action type=\"Direct\"/>\n"
          "    </Rule>\n"
          "  </RuleList>\n"
          "</CorvantisProfile>\n";
}

// Every line the log window has taken since the object was made, kept here as well: the window drops its oldest
// rows beyond its limit.
class LogWindowLines final {
public:
    explicit LogWindowLines(LogListModel& model)
    {
        QObject::connect(&model, &QAbstractItemModel::rowsInserted, &m_context,
            [this, &model](const QModelIndex&, int first, int last) {
                for (int row = first; row <= last; ++row)
                    if (row < model.logRowCount())
                        m_lines.push_back(model.lineText(row).toStdString());
            });
    }

    size_t count(const std::string& text) const
    {
        return static_cast<size_t>(std::count_if(m_lines.begin(), m_lines.end(),
            [&](const std::string& line) { return line.find(text) != std::string::npos; }));
    }
    bool has(const std::string& text) const { return count(text) > 0; }
    std::string all() const
    {
        std::string text;
        for (const std::string& line : m_lines)
            text += line + "\n";
        return text;
    }

private:
    QObject m_context; // ends the connection with the object
    std::vector<std::string> m_lines;
};

// The scene both tests share: the supervisor of the build tree with its own state and runtime folders, a web
// server and a SOCKS5 server on loopback, and an application home whose active profile sends curl through the
// SOCKS5 server.
class AppEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK("the application end to end");
        m_runtimeVariable = std::make_unique<ScopedEnv>("CORVANTIS_RUNTIME_DIR", m_runtime.path().string());
        ASSERT_TRUE(startSupervisor()) << supervisorLog();

        m_origin = PeerProcess::start([](uint16_t port, const fs::path& dir) {
            PeerCommand command;
            command.name = "origin";
            command.files = { { "page.html", kPage } };
            command.argv = { "python3", "-m", "http.server", std::to_string(port), "--bind", "127.0.0.1", "--directory",
                dir.string() };
            return command;
        });
        m_socks = startMicrosocks();

        fs::create_directories(m_home.path() / "Profiles");
        std::ofstream(m_home.path() / "Profiles" / (std::string(kProfileName) + ".ppx")) << ProfileXml(m_socks->port());
    }
    void TearDown() override
    {
        const pid_t extension = m_supervisor > 0 ? ExtensionPidOf(m_supervisor) : -1;
        if (m_supervisor > 0) {
            EXPECT_EQ(stopSupervisor(), 0) << supervisorLog();
        }
        // The supervisor ends the extension on its way out.
        if (extension > 0) {
            EXPECT_TRUE(waitUntil([&] { return Ended(extension); })) << "extension " << extension;
        }
    }

    // The extension this test's supervisor runs.
    pid_t extensionPid() const { return ExtensionPidOf(m_supervisor); }

    fs::path appHome() const { return m_home.path(); }
    fs::path extensionHome() const { return m_state.path() / "extension"; }
    std::string pageUrl() const { return "http://127.0.0.1:" + std::to_string(originPort()) + "/page.html"; }
    uint16_t socksPort() const { return m_socks->port(); }
    uint16_t originPort() const { return m_origin->port(); }
    std::string supervisorLog() const { return ReadFile(m_state.path() / "supervisor.log"); }
    // Where the built program's standard output and error go.
    fs::path programOutput() const { return appHome() / "program.out"; }

    // Starts the built program on the test's home, offscreen. A default route (in the test's own namespace) lets
    // the program's network wait end at once.
    pid_t startProgram() const
    {
        runCommand({ "ip", "route", "replace", "default", "dev", "lo" });
        const int fd = ::open(programOutput().c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
        SpawnOptions options;
        options.argv = { kProgram.string() };
        options.env = { { "CORVANTIS_HOME", appHome().string() }, { "QT_QPA_PLATFORM", "offscreen" } };
        options.out = fd;
        options.err = fd;
        const pid_t program = spawnChild(options);
        ::close(fd);
        return program;
    }

    // The settings the application starts with: the active profile, and every log line of both programs (the
    // extension takes the application's levels with its settings) in the log window and the application's file.
    static void WriteStartSettings(DefaultsStore& defaults)
    {
        defaults.setObject("SettingsActiveProfile", PlistValue(std::string(kProfileName)));
        defaults.setObject("SettingsLogLevelScreen", PlistValue(int64_t { 4 }));
        defaults.setObject("SettingsLogLevelFile", PlistValue(int64_t { 4 }));
        (void)defaults.synchronize();
    }

    // curl run as nobody fetches the page, while the event loop runs; what it printed.
    std::string curlAsNobody()
    {
        TempDir folder;
        const fs::path out = folder / "curl.out";
        const int fd = ::open(out.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
        SpawnOptions options;
        options.argv = { "setpriv", "--reuid", "nobody", "--regid", "nogroup", "--clear-groups", "curl", "-s", "-m",
            "20", pageUrl() };
        options.out = fd;
        const pid_t pid = spawnChild(options);
        ::close(fd);
        PumpUntil([&] { return hasExited(pid); }, 60s);
        stopChild(pid, false);
        return ReadFile(out);
    }

private:
    bool startSupervisor()
    {
        const fs::path log = m_state.path() / "supervisor.log";
        const int fd = ::open(log.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
        SpawnOptions options;
        options.argv = { kSupervisor.string() };
        options.env = { { "CORVANTIS_RUNTIME_DIR", m_runtime.path().string() },
            { "CORVANTIS_SUPERVISOR_STATE_DIR", (m_state.path() / "state").string() },
            { "CORVANTIS_EXTENSION_HOME", extensionHome().string() } };
        options.out = fd;
        options.err = fd;
        m_supervisor = spawnChild(options);
        ::close(fd);
        return waitUntil(
                   [&] {
                       return canConnectLocal((m_runtime.path() / "corvantis-supervisor").string())
                           || hasExited(m_supervisor);
                   },
                   deadlineIn(60s))
            && !hasExited(m_supervisor);
    }
    // SIGTERM; the supervisor's exit code.
    int stopSupervisor()
    {
        const int code = stopChild(m_supervisor, false, 60s);
        m_supervisor = -1;
        return code;
    }

    OpenFolder m_runtime;
    OpenFolder m_state;
    TempDir m_home;
    std::unique_ptr<ScopedEnv> m_runtimeVariable;
    pid_t m_supervisor = -1;
    PeerProcessPtr m_origin;
    PeerProcessPtr m_socks;
};

// Seams that keep the delegate inside the test: nothing ends the process, no box waits for an answer, the
// single-instance lock lives in the application's home.
CorvantisAppDelegate::Seams TestSeams(const fs::path& home)
{
    CorvantisAppDelegate::Seams seams;
    seams.exit = [](int code) { ADD_FAILURE() << "the application asked to exit with " << code; };
    seams.messageBox = [](const std::string& message, const std::string&, int) {
        ADD_FAILURE() << "message box: " << message;
        return 0L;
    };
    seams.terminate = [] { ADD_FAILURE() << "the application asked to terminate"; };
    seams.singleInstance = { home.string(), 5s };
    seams.makeMainWindow = &CreateMainWindow;
    seams.runExcludedPortsSheet = &RunExcludedPortsSheet;
    return seams;
}

bool IsProxiedCurlRow(const CConnListItem& item, uint16_t originPort, uint16_t socksPort)
{
    return item.application == "curl" && item.target == "127.0.0.1:" + std::to_string(originPort)
        && item.proxy == "Curl : 127.0.0.1:" + std::to_string(socksPort) + " SOCKS5";
}

TEST_F(AppEndToEnd, BringsTheExtensionUpShowsCurlsConnectionAndRecoversFromTheExtensionsDeath)
{
    ProgramHomeScope scope(Program::Application, appHome(), &InstallAppUI());
    WriteStartSettings(DefaultsStore::standard());
    NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>());
    // As the program does before its first profile is installed.
    InstallAppUI().EnableAutoDnsModeDetection({});

    CorvantisAppDelegate::Seams seams = TestSeams(appHome());
    seams.makeExtensionClient = [] { return MakeExtensionClient(kProgram); };
    // The place checked is the build tree's program, where this binary would have to be.
    seams.locationPasses = [](const fs::path&) { return IsInProgramTree(kProgram); };
    seams.bringUpTiming.dialogDelay = 50ms;
    seams.bringUpTiming.networkPasses = 2;
    seams.bringUpTiming.networkPollsPerPass = 5;
    seams.bringUpTiming.networkPollInterval = 10ms;
    seams.bringUpTiming.restartDelay = 200ms;
    seams.isSampleDue = [] { return true; };
    seams.statInterval = 100ms;
    CorvantisAppDelegate delegate(std::move(seams));
    delegate.applicationWillFinishLaunching();
    delegate.applicationDidFinishLaunching();

    auto* window = dynamic_cast<MainWindow*>(delegate.window());
    ASSERT_NE(window, nullptr);
    auto* logView = qobject_cast<LogView*>(window->logView());
    auto* connections = qobject_cast<ConnectionsView*>(window->connectionsView());
    ASSERT_NE(logView, nullptr);
    ASSERT_NE(connections, nullptr);
    LogWindowLines log(*logView->model());
    delegate.setConnectionsShown(true);

    ASSERT_TRUE(PumpUntil([&] { return log.has("Transparent Proxy started"); }, 120s)) << log.all() << supervisorLog();
    EXPECT_TRUE(log.has("The XPC hello message was received from Network Extension 3.12.2")) << log.all();
    EXPECT_TRUE(log.has("Network Extension settings transferred with the result: OK")) << log.all();
    const pid_t first = extensionPid();
    ASSERT_GT(first, 0) << supervisorLog();

    // curl, run as another user, is sent through the SOCKS5 server, and the connections window shows it with its
    // rule while the extension still lists it.
    const std::string through = "open through proxy 127.0.0.1:" + std::to_string(socksPort()) + " SOCKS5";
    EXPECT_EQ(curlAsNobody(), kPage) << log.all();
    bool rowSeen = false;
    EXPECT_TRUE(PumpUntil([&] {
        ConnectionListModel& model = *connections->model();
        for (int row = 0; row < model.rowCount(); ++row)
            rowSeen = rowSeen || IsProxiedCurlRow(model.item(row), originPort(), socksPort());
        return rowSeen && log.has(through);
    })) << "row seen: "
        << rowSeen << "\n"
        << log.all();

    // Killed, the extension takes the proxy's session down with it; the application notices and brings a new
    // extension up, which proxies the next fetch.
    const size_t startsBefore = log.count("Transparent Proxy started");
    const size_t proxiedBefore = log.count(through);
    ASSERT_EQ(::kill(first, SIGKILL), 0);
    EXPECT_TRUE(PumpUntil([&] { return log.has("Transparent Proxy status changed to disconnected"); }, 60s))
        << log.all();
    ASSERT_TRUE(PumpUntil([&] { return log.count("Transparent Proxy started") > startsBefore; }, 120s))
        << log.all() << supervisorLog();
    const pid_t second = extensionPid();
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
    EXPECT_EQ(curlAsNobody(), kPage) << log.all();
    EXPECT_TRUE(PumpUntil([&] { return log.count(through) > proxiedBefore; })) << log.all();

    delegate.stopWorkThreads();
}

// Drives the excluded-ports sheet once it runs: types the two texts and presses Save.
void SaveInTheSheet(const std::string& udp, const std::string& tcp)
{
    auto* poll = new QTimer();
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, udp, tcp] {
        auto* sheet = qobject_cast<ExcludedPortsSheet*>(QApplication::activeModalWidget());
        if (!sheet)
            return;
        poll->stop();
        poll->deleteLater();
        sheet->udpField()->setPlainText(QString::fromStdString(udp));
        sheet->tcpField()->setPlainText(QString::fromStdString(tcp));
        sheet->saveButton()->click();
    });
    poll->start();
}

TEST_F(AppEndToEnd, PortsSavedInTheSheetReachTheExtensionStartedByTheProgram)
{
    {
        ProgramHomeScope scope(Program::Application, appHome(), &InstallAppUI());
        WriteStartSettings(DefaultsStore::standard());
        CorvantisAppDelegate delegate(TestSeams(appHome()));
        // The settings only: no launch, so no work thread and no bring-up in this process.
        delegate.applicationWillFinishLaunching();
        SaveInTheSheet("5353", "8443; 9443");
        delegate.showExcludedPorts();
    }
    const DefaultsStore saved(DefaultsStore::fileFor(appHome(), "Corvantis"));
    EXPECT_EQ(saved.object("SettingsExcludedTcpPorts"), PlistValue(std::string("8443; 9443")));
    EXPECT_EQ(saved.object("SettingsExcludedUdpPorts"), PlistValue(std::string("5353")));

    // The built program on that home brings the extension up and sends it the ports: the extension stores them
    // with its settings, and its transparent proxy leaves them out of the capture.
    const fs::path output = programOutput();
    const pid_t program = startProgram();
    const auto chain = [](const char* name) {
        return runCommand({ "nft", "list", "chain", "inet", "corvantis", name }).out;
    };
    const auto excluded = [&] {
        return chain("proxy_tcp").find("dport { 8443, 9443 } return") != std::string::npos
            && chain("proxy_udp").find("dport 5353 return") != std::string::npos;
    };
    EXPECT_TRUE(waitUntil([&] { return excluded() || hasExited(program); }, deadlineIn(120s)))
        << chain("proxy_tcp") << chain("proxy_udp") << "\nprogram:\n"
        << LogFilesIn(appHome() / "Logs") << ReadFile(output) << "\nsupervisor:\n"
        << supervisorLog();
    const DefaultsStore stored(DefaultsStore::fileFor(extensionHome(), "CorvantisExtension"));
    EXPECT_EQ(stored.object("SettingsExcludedTcpPorts"), PlistValue(std::string("8443; 9443")));
    EXPECT_EQ(stored.object("SettingsExcludedUdpPorts"), PlistValue(std::string("5353")));
    // The extension's own log file (the file level of the settings is on) holds the transparent proxy's count.
    EXPECT_TRUE(waitUntil([&] {
        return LogFilesIn(extensionHome() / "Logs").find("udp: 5353 tcp: 8443  9443") != std::string::npos;
    })) << LogFilesIn(extensionHome() / "Logs");
    EXPECT_NE(LogFilesIn(extensionHome() / "Logs").find("Current settings count "), std::string::npos);
    EXPECT_FALSE(hasExited(program)) << ReadFile(output);
    stopChild(program, false, 30s);
}

// The configurations of `kind` as the supervisor keeps them.
std::vector<NEConfiguration> StoredConfigurations(NEConfigurationKind kind)
{
    auto done = std::make_shared<std::promise<std::vector<NEConfiguration>>>();
    NEConfigurationStore::shared()->load(
        kind, [done](std::vector<NEConfiguration> stored, std::optional<std::string>) { done->set_value(stored); });
    auto future = done->get_future();
    if (future.wait_for(30s) != std::future_status::ready)
        return {};
    return future.get();
}

// The state of the first transparent proxy's session, Invalid when there is none.
NEVPNStatus ProxySession()
{
    const auto proxies = StoredConfigurations(NEConfigurationKind::TransparentProxy);
    return proxies.empty() ? NEVPNStatus::Invalid : NEConfigurationStore::shared()->status(proxies.front().identifier);
}

// The built program, asked to end by SIGTERM, follows the stored "KeepRunningOnClose" without asking: 2 stops the
// extension's providers (the session disconnected, every configuration disabled), 1 leaves the extension
// running with its session connected after the program has gone, and so does 0 (ask), as nobody may be there to
// answer.
class AppQuitEndToEnd : public AppEndToEnd, public ::testing::WithParamInterface<int64_t> { };

TEST_P(AppQuitEndToEnd, TheStoredChoiceDecidesWhatSigtermLeavesRunning)
{
    const bool stops = GetParam() == 2;
    {
        DefaultsStore defaults(DefaultsStore::fileFor(appHome(), "Corvantis"));
        WriteStartSettings(defaults);
        defaults.setObject("KeepRunningOnClose", PlistValue(GetParam()));
        ASSERT_TRUE(defaults.synchronize().ok());
    }
    const fs::path output = programOutput();
    const pid_t program = startProgram();
    const auto details = [&] {
        return "\nprogram:\n" + LogFilesIn(appHome() / "Logs") + ReadFile(output) + "\nsupervisor:\n" + supervisorLog();
    };
    ASSERT_TRUE(
        waitUntil([&] { return ProxySession() == NEVPNStatus::Connected || hasExited(program); }, deadlineIn(120s)))
        << details();
    ASSERT_FALSE(hasExited(program)) << details();
    const pid_t extension = extensionPid();
    ASSERT_GT(extension, 0);

    // SIGTERM: nobody may be there to answer, so the stored choice decides (and none is asked or stored).
    EXPECT_EQ(stopChild(program, false, 60s), 0) << details();
    EXPECT_EQ(DefaultsStore(DefaultsStore::fileFor(appHome(), "Corvantis")).object("KeepRunningOnClose"),
        PlistValue(GetParam()));
    if (stops) {
        EXPECT_TRUE(waitUntil([] { return ProxySession() == NEVPNStatus::Disconnected; })) << details();
        EXPECT_FALSE(StoredConfigurations(NEConfigurationKind::TransparentProxy).empty());
        EXPECT_FALSE(StoredConfigurations(NEConfigurationKind::DnsProxy).empty());
        for (NEConfigurationKind kind : { NEConfigurationKind::TransparentProxy, NEConfigurationKind::DnsProxy,
                 NEConfigurationKind::ContentFilter })
            for (const NEConfiguration& stored : StoredConfigurations(kind))
                EXPECT_FALSE(stored.enabled) << stored.localizedDescription << details();
    } else {
        EXPECT_EQ(ProxySession(), NEVPNStatus::Connected) << details();
        EXPECT_EQ(extensionPid(), extension) << "the extension keeps running after the program";
        EXPECT_TRUE(StoredConfigurations(NEConfigurationKind::TransparentProxy).front().enabled);
    }
}

INSTANTIATE_TEST_SUITE_P(KeepRunningOnClose, AppQuitEndToEnd,
    ::testing::Values(int64_t { 0 }, int64_t { 1 }, int64_t { 2 }), [](const ::testing::TestParamInfo<int64_t>& info) {
        return info.param == 0 ? "AskNobody" : info.param == 1 ? "Keep" : "Stop";
    });

} // namespace
} // namespace corvantis::test
