// Termination of the whole program: the built application ended by SIGTERM and SIGINT, the power-off signal
// on a private system bus the test starts, and (in this process, with the real main window) the close of the
// main window, which asks.

#include "app/AppProxyConnection.h"
#include "app/AppProxyManager.h"
#include "app/CorvantisAppDelegate.h"
#include "app/DataFilterManager.h"
#include "app/DnsProxyManager.h"
#include "app/QtMainThreadExecutor.h"
#include "app/Termination.h"
#include "app/ui/MessageBoxUI.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"
#include "platform/DefaultsStore.h"
#include "platform/NotificationCenter.h"
#include "tests/support/FakeNEConfigurationStore.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"
#include "tests/support/qt/QtMainThreadScope.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QWidget>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

#ifdef CORVANTIS_APP_PROGRAM

// The built program on the offscreen platform, with a home, a runtime folder and a system bus of the test's
// own (or none), so that it finds no extension and touches nothing of the machine's.
class ProgramRun {
public:
    ProgramRun() = default;
    // Starts it; `systemBus` is the address of the system bus it is to use.
    void start(const std::string& systemBus = "unix:path=/nonexistent/corvantis-test-bus")
    {
        EXPECT_EQ(::chmod(m_runtime.str().c_str(), 0700), 0);
        test::SpawnOptions options;
        options.argv = { CORVANTIS_APP_PROGRAM };
        options.env = { { "HOME", m_home.str() }, { "CORVANTIS_HOME", appHome().string() },
            { "XDG_RUNTIME_DIR", m_runtime.str() }, { "CORVANTIS_RUNTIME_DIR", (m_runtime / "corvantis").string() },
            { "QT_QPA_PLATFORM", "offscreen" }, { "DBUS_SYSTEM_BUS_ADDRESS", systemBus },
            // The exit code is what these tests read: the allocations Qt keeps until the end are no leaks.
            { "LSAN_OPTIONS", "suppressions=" CORVANTIS_SOURCE_DIR "/tests/support/qt/lsan.supp" } };
        options.ownGroup = true;
        m_pid = test::spawnChild(options);
    }
    ~ProgramRun()
    {
        if (m_pid > 0)
            test::stopChild(m_pid, true);
    }
    ProgramRun(const ProgramRun&) = delete;
    ProgramRun& operator=(const ProgramRun&) = delete;

    std::filesystem::path appHome() const { return m_home / "app"; }
    std::filesystem::path defaultsFile() const { return appHome() / "Preferences" / "Corvantis.plist"; }
    pid_t pid() const { return m_pid; }

    // Writes the program's defaults before it reads them (the file is made at its start otherwise).
    static void writeDefault(const std::filesystem::path& file, const std::string& key, PlistValue value)
    {
        std::filesystem::create_directories(file.parent_path());
        DefaultsStore store(file);
        ASSERT_TRUE(store.setObject(key, std::move(value)));
        ASSERT_TRUE(store.synchronize().ok());
    }

    // Until the launch has passed the single-instance check (its socket exists) and the observers are in place.
    bool waitForLaunch()
    {
        return test::waitUntil([&] {
            return test::hasExited(m_pid) || std::filesystem::exists(m_runtime / "Corvantis.instance");
        }) && !test::hasExited(m_pid);
    }

    // Waits for the end and returns the exit code; nothing when the program still runs after the patience.
    std::optional<int> waitForExit()
    {
        if (!test::waitUntil([&] { return test::hasExited(m_pid); }))
            return std::nullopt;
        const int code = test::stopChild(std::exchange(m_pid, -1), true);
        return code;
    }

    std::optional<PlistValue> stored(const std::string& key) const
    {
        DefaultsStore store(defaultsFile());
        return store.object(key);
    }

private:
    test::TempDir m_home;
    test::TempDir m_runtime;
    pid_t m_pid = -1;
};

TEST(TerminationProcessTest, SigtermAndSigintEndTheProgramWithoutAQuestionAndSaveNoChoice)
{
    for (const int signal : { SIGTERM, SIGINT }) {
        SCOPED_TRACE(strsignal(signal));
        ProgramRun program;
        program.start();
        ASSERT_TRUE(program.waitForLaunch()) << "the program ended at launch";
        ASSERT_EQ(::kill(program.pid(), signal), 0);
        // A question would wait for an answer forever on the offscreen platform.
        const std::optional<int> code = program.waitForExit();
        ASSERT_TRUE(code) << "the program still runs";
        EXPECT_EQ(*code, 0); // ended through its own terminate request, not by the signal
        // The decision stored the settings ("ShowMainWindow"), but no keep-running choice.
        EXPECT_TRUE(program.stored("SettingsShowMainWindow"));
        const std::optional<PlistValue> keep = program.stored("KeepRunningOnClose");
        EXPECT_TRUE(!keep || (keep->integer() && *keep->integer() == 0));
    }
}

// ---- The power-off signal on a private system bus ----

// A message bus of the test's own, started from a configuration of its own, listening in a temporary folder.
class PrivateBus {
public:
    PrivateBus()
    {
        const std::filesystem::path config = m_folder / "bus.conf";
        std::ofstream(config) << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                                 " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                 "<busconfig>\n"
                                 "  <type>system</type>\n"
                                 "  <listen>unix:path="
                              << (m_folder / "bus").string()
                              << "</listen>\n"
                                 "  <auth>EXTERNAL</auth>\n"
                                 "  <policy context=\"default\">\n"
                                 "    <allow user=\"*\"/>\n"
                                 "    <allow own=\"*\"/>\n"
                                 "    <allow send_type=\"method_call\"/>\n"
                                 "    <allow send_type=\"signal\"/>\n"
                                 "    <allow send_requested_reply=\"true\"/>\n"
                                 "    <allow receive_type=\"method_call\"/>\n"
                                 "    <allow receive_type=\"signal\"/>\n"
                                 "    <allow receive_requested_reply=\"true\"/>\n"
                                 "  </policy>\n"
                                 "</busconfig>\n";
        m_daemon = std::make_unique<test::LineReadingChild>(std::vector<std::string> {
            "dbus-daemon", "--config-file=" + config.string(), "--nofork", "--print-address" });
        m_address = m_daemon->readLine(test::kPatience).value_or("");
    }
    const std::string& address() const { return m_address; }

    // A connection of the test under `name` (the connection's own name in Qt, not a bus name).
    QDBusConnection connect(const QString& name) const
    {
        return QDBusConnection::connectToBus(QString::fromStdString(m_address), name);
    }

private:
    test::TempDir m_folder;
    std::unique_ptr<test::LineReadingChild> m_daemon;
    std::string m_address;
};

QDBusMessage PowerOffSignal()
{
    QDBusMessage message = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForShutdown"));
    message << true;
    return message;
}

// The bus name of `pid`'s connection, once it has one.
std::optional<QString> ConnectionOf(QDBusConnection& bus, pid_t pid)
{
    const QDBusReply<QStringList> names = bus.interface()->registeredServiceNames();
    if (!names.isValid())
        return std::nullopt;
    for (const QString& name : names.value()) {
        if (!name.startsWith(QLatin1Char(':')))
            continue;
        const QDBusReply<uint> owner = bus.interface()->servicePid(name);
        if (owner.isValid() && static_cast<pid_t>(owner.value()) == pid)
            return name;
    }
    return std::nullopt;
}

int CountInFile(const std::filesystem::path& file, const std::string& text)
{
    std::ifstream in(file);
    std::stringstream all;
    all << in.rdbuf();
    const std::string content = all.str();
    int count = 0;
    for (size_t at = content.find(text); at != std::string::npos; at = content.find(text, at + 1))
        ++count;
    return count;
}

TEST(TerminationProcessTest, PowerOffFromLogindLogsAndExitsZeroWhileAnyOtherSenderChangesNothing)
{
    PrivateBus bus;
    ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
    QDBusConnection other = bus.connect(QStringLiteral("termination-other"));
    QDBusConnection login = bus.connect(QStringLiteral("termination-login"));
    ASSERT_TRUE(other.isConnected());
    ASSERT_TRUE(login.isConnected());
    ASSERT_TRUE(login.registerService(QStringLiteral("org.freedesktop.login1")));
    // The program subscribes while it launches: the monitor sees its subscription.
    test::LineReadingChild monitor(
        { "dbus-monitor", "--address", bus.address(), "type='method_call',member='AddMatch'" });

    const std::string logName = "Corvantis.0.log";
    std::filesystem::path logFile;
    {
        ProgramRun program;
        // The log file takes the program's lines from level 1 on.
        ASSERT_NO_FATAL_FAILURE(
            ProgramRun::writeDefault(program.defaultsFile(), "SettingsLogLevelFile", PlistValue(1)));
        program.start(bus.address());
        logFile = program.appHome() / "Logs" / logName;
        ASSERT_TRUE(program.waitForLaunch());
        bool subscribed = false;
        while (!subscribed) {
            const std::optional<std::string> line = monitor.readLine(test::kPatience);
            if (!line)
                break;
            subscribed = line->find("PrepareForShutdown") != std::string::npos;
        }
        ASSERT_TRUE(subscribed) << "the program never subscribed to the power-off signal";

        // The same signal from a name that is not logind's.
        ASSERT_TRUE(other.send(PowerOffSignal()));
        std::optional<QString> programName;
        ASSERT_TRUE(test::waitUntil([&] { return (programName = ConnectionOf(other, program.pid())).has_value(); }));
        // A round trip to the program after the signal: its connection has read past it.
        const QDBusMessage ping = other.call(QDBusMessage::createMethodCall(
            *programName, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping")));
        EXPECT_EQ(ping.type(), QDBusMessage::ReplyMessage);
        // Nothing to wait for when it is ignored: a short look that it goes on.
        EXPECT_FALSE(test::waitUntil([&] { return test::hasExited(program.pid()); }, test::deadlineIn(500ms)));

        ASSERT_TRUE(login.send(PowerOffSignal()));
        const std::optional<int> code = program.waitForExit();
        ASSERT_TRUE(code) << "the program still runs after the power-off signal";
        EXPECT_EQ(*code, 0);
        EXPECT_EQ(CountInFile(logFile, "Reboot notification recieved (2)"), 1);
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("termination-other"));
    QDBusConnection::disconnectFromBus(QStringLiteral("termination-login"));
}

#endif // CORVANTIS_APP_PROGRAM

// ---- Closing the main window, in this process ----

bool PumpUntil(const std::function<bool()>& done)
{
    return test::waitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return done();
    });
}

TEST(TerminationProcessTest, ClosingTheMainWindowAsksAndKeepsTheWindowUntilTheEnd)
{
    test::QtMainThreadScope mainThread;
    auto store = std::make_shared<test::FakeNEConfigurationStore>();
    NEConfigurationStore::setShared(store);
    // A fully running extension, so that the setting 0 asks: the session connected, the DNS proxy on.
    ExtensionStopper::Providers providers { std::make_shared<DataFilterManager>("3.12.2"),
        std::make_shared<DnsProxyManager>("3.12.2"), nullptr, std::make_shared<AppProxyManager>("3.12.2") };
    {
        std::optional<AppProxyConnectionPtr> made;
        providers.manager->createAndrunAppProxyVpn(
            [&](AppProxyConnectionPtr connection, std::optional<std::string>) {
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(), [&made, connection] { made = connection; }, Qt::QueuedConnection);
            },
            [](bool, bool, const std::string&) {});
        ASSERT_TRUE(PumpUntil([&] { return made.has_value(); }));
        providers.connection = *made;
        ASSERT_TRUE(providers.connection && providers.connection->startVPN());
        ASSERT_TRUE(PumpUntil([&] { return providers.connection->isConnected(); }));
        std::atomic<bool> dnsDone { false };
        providers.dns->runDnsProxySessionWithHandler([&](bool, std::optional<std::string>) { dnsDone = true; });
        ASSERT_TRUE(PumpUntil([&] { return dnsDone.load(); }));
        ASSERT_TRUE(providers.dns->isStarted());
    }

    CoreHooks hooks;
    AddMessageBoxUIHook(hooks);
    SetCoreHooks(hooks);
    test::TempDir folder;
    int terminations = 0;
    CorvantisAppDelegate::Seams seams;
    seams.exit = [](int code) { ADD_FAILURE() << "exit " << code; };
    seams.singleInstance = { folder.str(), 5s };
    seams.openFileLimit = OpenFileLimitCalls { [](rlimit& limits) {
                                                  limits = { 256, 4096 };
                                                  return 0;
                                              },
        [](const rlimit&) { return 0; } };
    // A core that fails to start ends the work threads at once and asks for the end once itself.
    seams.startCore = [] { return 1; };
    seams.makeMainWindow = &CreateMainWindow;
    seams.terminate = [&] { ++terminations; };
    seams.extensionProviders = [&] { return providers; };
    {
        CorvantisAppDelegate delegate(std::move(seams));
        delegate.eventLaunch();
        ASSERT_TRUE(PumpUntil([&] { return terminations == 1; }));
        auto* window = dynamic_cast<QWidget*>(delegate.window());
        ASSERT_TRUE(window);
        delegate.showLogWindow();
        ASSERT_TRUE(window->isVisible());

        MessageBoxScript script;
        script.push({ kMbAnswerYes, false });
        EXPECT_FALSE(window->close()); // refused: the terminate request decides
        ASSERT_EQ(script.requests().size(), 1u);
        const MessageBoxScript::Request& asked = script.requests()[0];
        EXPECT_EQ(asked.caption, kKeepRunningQuestion);
        EXPECT_EQ(asked.message, "");
        EXPECT_EQ(asked.flags, 152);
        EXPECT_TRUE(asked.hasSuppress);
        EXPECT_EQ(asked.suppressTitle, "Don't ask again");
        EXPECT_EQ(terminations, 2); // Yes keeps the extension: the end comes at once
        EXPECT_TRUE(window->isVisible());
        EXPECT_FALSE(delegate.isTerminating());
        EXPECT_TRUE(providers.connection->isConnected());
    }
    SetCoreHooks({});
    store->drain();
    NEConfigurationStore::setShared(nullptr);
}

} // namespace
} // namespace corvantis
