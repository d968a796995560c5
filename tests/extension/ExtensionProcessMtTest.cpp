// The extension daemon as a program: its start-up steps, and its service as the application's client meets it.

#include "core/profile/ConnRecord.h"
#include "extension/daemon/ExtensionStartup.h"
#include "ipc/XPCClientForExtension.h"
#include "platform/SystemLog.h"
#include "platform/xpc/XpcListener.h"
#include "tests/extension/DaemonProcess.h"
#include "tests/extension/FlowTestSupport.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <fstream>
#include <future>
#include <sstream>
#include <sys/stat.h>

namespace corvantis::test {
namespace {

TEST(ExtensionStartupTest, TheOpenFileLimitItAsksFor)
{
    struct Case {
        FileLimit original;
        rlim_t soft;
    };
    const Case cases[] = {
        { { 256, 8192 }, 5500 },
        { { 1024, 4096 }, 4096 },
        { { 5500, 5500 }, 5500 },
        { { 5501, 5501 }, 5500 },
        { { 256, RLIM_INFINITY }, 5500 },
        { { RLIM_INFINITY, RLIM_INFINITY }, 5500 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.original.soft) + ":" + std::to_string(c.original.hard));
        EXPECT_EQ(ChooseFileLimit(c.original), (FileLimit { c.soft, c.original.hard }));
    }

    // An unlimited hard limit, which Linux never reports, through the seam.
    SystemLogLines lines;
    FileLimit inForce { 256, RLIM_INFINITY };
    const FileLimit result
        = RaiseFileLimit({ [&] { return inForce; }, [&](const FileLimit& wanted) { inForce = wanted; } });
    EXPECT_EQ(result.soft, 5500u);
    EXPECT_EQ(lines.lines(),
        (std::vector<std::string> { "Corvantis Extension - fileLimit original = 256 (9223372036854775807)",
            "Corvantis Extension - fileLimit result = 5500 (9223372036854775807)" }));
}

TEST(ExtensionProcessTest, TheOpenFileLimitUnderPrlimit)
{
    struct Case {
        const char* limit;
        const char* original;
        const char* result;
    };
    const Case cases[] = {
        { "256:8192", "fileLimit original = 256 (8192)", "fileLimit result = 5500 (8192)" },
        { "1024:4096", "fileLimit original = 1024 (4096)", "fileLimit result = 4096 (4096)" },
        { "5500:5500", "fileLimit original = 5500 (5500)", "fileLimit result = 5500 (5500)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        Daemon daemon({ "prlimit", std::string("--nofile=") + c.limit });
        ASSERT_TRUE(daemon.waitForLine("Starting XPC listener for mach service")) << daemon.log();
        EXPECT_NE(daemon.log().find(c.original), std::string::npos) << daemon.log();
        EXPECT_NE(daemon.log().find(c.result), std::string::npos) << daemon.log();
        EXPECT_NE(daemon.log().find("Corvantis Extension - pid "), std::string::npos);
    }
}

TEST(ExtensionProcessTest, AManifestWithoutTheServiceNameEndsTheProcess)
{
    TempDir tree;
    const auto program = tree / "libexec/corvantis/CorvantisExtension";
    std::filesystem::create_directories(program.parent_path());
    std::filesystem::copy_file(kDaemon, program);
    const auto manifest = tree / "share/corvantis/SystemExtensions/CorvantisExtension/Info.plist";
    std::filesystem::create_directories(manifest.parent_path());
    std::ofstream(manifest) << "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>NetworkExtension</key>"
                               "<dict></dict></dict></plist>";
    Daemon daemon({}, program);
    ASSERT_TRUE(waitUntil([&] { return daemon.exited(); }));
    EXPECT_NE(daemon.stop(), 0);
    EXPECT_NE(daemon.log().find("Mach service name is missing from the Info.plist"), std::string::npos);
}

// The application's side of the service.
class ServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_runtime.emplace("CORVANTIS_RUNTIME_DIR", daemon.runtime().str());
        ASSERT_TRUE(daemon.waitForLine("Starting XPC listener")) << daemon.log();
        // The line comes just before the socket: wait for the socket itself.
        ASSERT_TRUE(daemon.waitForSocket());
        XPCClientForExtension::Options options;
        options.programPath = kBuildTree / "bin" / "Corvantis";
        client = XPCClientForExtension::create(options);
        client->connect();
    }
    void TearDown() override
    {
        if (client)
            client->closeConnection();
        client.reset();
    }

    std::string Hello()
    {
        std::promise<std::string> reply;
        client->helloWithVersion("3.12.2", [&](std::string text) { reply.set_value(std::move(text)); });
        auto future = reply.get_future();
        return future.wait_for(std::chrono::seconds(30)) == std::future_status::ready ? future.get() : "<no reply>";
    }
    std::string Settings(const std::string& profile)
    {
        std::promise<std::string> reply;
        client->updateSettingWithSettings({}, profile, [&](std::string text) { reply.set_value(std::move(text)); });
        auto future = reply.get_future();
        return future.wait_for(std::chrono::seconds(30)) == std::future_status::ready ? future.get() : "<no reply>";
    }

    Daemon daemon;
    std::shared_ptr<XPCClientForExtension> client;

private:
    std::optional<ScopedEnv> m_runtime;
};

std::string ProfileXml()
{
    std::ifstream in(std::filesystem::path(CORVANTIS_TEST_DATA_DIR) / "profiles" / "small-written.ppx");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_F(ServiceTest, HelloSettingsTicksAndTheGssEndpoint)
{
    EXPECT_EQ(Hello(), "3.12.2");

    const std::string profile = ProfileXml();
    ASSERT_FALSE(profile.empty());
    EXPECT_EQ(Settings(profile), "");
    const std::string refusal = Settings("<<< not a profile");
    EXPECT_FALSE(refusal.empty());
    EXPECT_NE(refusal, "<no reply>");

    struct Tick {
        std::string statistics, log, connections;
        PlistData up, down;
        std::optional<std::string> loop;
    };
    for (int round = 0; round < 2; ++round) {
        std::promise<Tick> tick;
        client->retriveTickDataWithReply([&](std::string statistics, std::string log, std::string connections,
                                             PlistData up, PlistData down, std::optional<std::string> loop) {
            tick.set_value({ statistics, log, connections, up, down, loop });
        });
        auto future = tick.get_future();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
        const Tick got = future.get();
        EXPECT_TRUE(got.loop.has_value()) << "the sixth value is always there";
        (void)ParseConnList(got.connections);
    }

    XpcListener::Options options;
    options.allowedUids = { 0, ::getuid() };
    auto listener = XpcListener::createAnonymous(options);
    ASSERT_TRUE(listener.ok());
    ASSERT_TRUE(listener.value()->resume().ok());
    const auto endpoint = listener.value()->endpoint();
    ASSERT_TRUE(endpoint);
    std::promise<bool> stored;
    client->setGssServerEndpointWithGssServerEndpoint(*endpoint, [&](bool ok) { stored.set_value(ok); });
    auto future = stored.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_TRUE(future.get());
    listener.value()->invalidate();
}

TEST_F(ServiceTest, AKilledDaemonAnswersNothing)
{
    EXPECT_EQ(Hello(), "3.12.2") << daemon.log();
    daemon.stop();
    // Once the client has seen its connection go, a request finds none.
    ASSERT_TRUE(waitUntil([&] { return !client->isConnected(); }));
    EXPECT_EQ(Hello(), "<nil>");
}

TEST_F(ServiceTest, ASecondSettingsCallWhileBusyIsRefused)
{
    const std::string profile = ProfileXml();
    std::promise<std::string> first;
    std::promise<std::string> second;
    client->updateSettingWithSettings({}, profile, [&](std::string text) { first.set_value(std::move(text)); });
    client->updateSettingWithSettings({}, profile, [&](std::string text) { second.set_value(std::move(text)); });
    EXPECT_EQ(second.get_future().get(), "Other XPC task is in progress");
    EXPECT_EQ(first.get_future().get(), "");
}

// What a client run as `uid` gets for its hello: the version, "<nil>" when it found no service, "<no reply>"
// when nothing answered within `seconds`.
std::string HelloAs(uid_t uid, const Daemon& daemon, int seconds = 3)
{
    const auto result = runCommand(
        { "setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid), "--clear-groups",
            CORVANTIS_PROBE, (kBuildTree / "bin" / "Corvantis").string(), "hello", std::to_string(seconds) },
        {}, { { "CORVANTIS_RUNTIME_DIR", daemon.runtime().str() } });
    std::string out = result.out;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

TEST(ExtensionAdmissionTest, RootAndTheAllowedUserOnly)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "clients of other users need root";
    constexpr uid_t kNobody = 65534;
    constexpr uid_t kStranger = 65533;
    Daemon daemon({}, kDaemon, kNobody);
    ASSERT_TRUE(daemon.waitForSocket()) << daemon.log();
    EXPECT_EQ(HelloAs(kNobody, daemon), "3.12.2");
    EXPECT_NE(HelloAs(kStranger, daemon), "3.12.2");
    EXPECT_EQ(HelloAs(0, daemon), "3.12.2");

    // A user named only in the settings the application sends admits nobody, also after a restart.
    ScopedEnv runtime("CORVANTIS_RUNTIME_DIR", daemon.runtime().str());
    XPCClientForExtension::Options options;
    options.programPath = kBuildTree / "bin" / "Corvantis";
    auto client = XPCClientForExtension::create(options);
    client->connect();
    std::promise<std::string> stored;
    PlistDict settings;
    settings["AllowedUid"] = PlistValue(int64_t { kStranger });
    client->updateSettingWithSettings(
        settings, ProfileXml(), [&](std::string text) { stored.set_value(std::move(text)); });
    EXPECT_EQ(stored.get_future().get(), "");
    client->closeConnection();
    daemon.restart(std::nullopt);
    ASSERT_TRUE(waitUntil([&] { return HelloAs(0, daemon) == "3.12.2"; })) << daemon.log();
    EXPECT_NE(HelloAs(kStranger, daemon), "3.12.2");
    EXPECT_NE(HelloAs(kNobody, daemon), "3.12.2");
}

// What the probe prints for `args` (run as `uid` when given).
std::string Probe(const Daemon& daemon, std::vector<std::string> args, std::optional<uid_t> uid = std::nullopt)
{
    std::vector<std::string> argv;
    if (uid)
        argv = { "setpriv", "--reuid=" + std::to_string(*uid), "--regid=" + std::to_string(*uid), "--clear-groups" };
    argv.push_back(CORVANTIS_PROBE);
    argv.insert(argv.end(), args.begin(), args.end());
    const auto result = runCommand(argv, {}, { { "CORVANTIS_RUNTIME_DIR", daemon.runtime().str() } });
    std::string out = result.out;
    while (!out.empty() && out.back() == '\n')
        out.pop_back();
    return out;
}

const std::string kServiceName = "com.velmar.corvantis.v3.macos.CorvantisExtension";

TEST(ExtensionProvidersTest, ProvidersThroughTheControlService)
{
    Daemon daemon;
    ASSERT_TRUE(daemon.waitForSocket()) << daemon.log();
    ASSERT_TRUE(daemon.waitForSocket(kServiceName + ".control")) << daemon.log();
    EXPECT_EQ(Probe(daemon, { kServiceName, "start", "0" }),
        "Corvantis Transparent Proxy cannot be initialized before hello message");
    EXPECT_EQ(Probe(daemon, { (kBuildTree / "bin" / "Corvantis").string(), "hello" }), "3.12.2");
    EXPECT_EQ(Probe(daemon, { kServiceName, "start", "0" }), "ok");
    EXPECT_EQ(Probe(daemon, { kServiceName, "start", "1" }), "ok");

    EXPECT_EQ(Probe(daemon, { kServiceName, "message", "wake" }), "message type not known");
    EXPECT_EQ(Probe(daemon, { kServiceName, "message", "garbage" }), "fail");
    EXPECT_EQ(Probe(daemon, { kServiceName, "message", "error-kill" }), "Error message cannot be processed");
    EXPECT_FALSE(daemon.exited()) << "an error with the kill does not end the daemon";
    EXPECT_EQ(Probe(daemon, { kServiceName, "message", "kill", "3" }), "<no reply>");
    ASSERT_TRUE(waitUntil([&] { return daemon.exited(); }));
    EXPECT_EQ(daemon.stop(), 0) << "the kill message ends the daemon with status 0";
}

TEST(ExtensionProvidersTest, TheExcludedPortsOfTheSettingsReachTheTransparentProxy)
{
    Daemon daemon;
    ASSERT_TRUE(daemon.waitForSocket()) << daemon.log();
    ScopedEnv runtime("CORVANTIS_RUNTIME_DIR", daemon.runtime().str());
    XPCClientForExtension::Options options;
    options.programPath = kBuildTree / "bin" / "Corvantis";
    auto client = XPCClientForExtension::create(options);
    client->connect();
    std::promise<std::string> hello;
    client->helloWithVersion("3.12.2", [&](std::string text) { hello.set_value(std::move(text)); });
    ASSERT_EQ(hello.get_future().get(), "3.12.2");
    PlistDict settings;
    settings["SettingsExcludedTcpPorts"] = PlistValue(std::string("80,443"));
    settings["SettingsLogLevelScreen"] = PlistValue(int64_t { 4 });
    settings["SettingsLogLevelFile"] = PlistValue(int64_t { 4 });
    std::promise<std::string> stored;
    client->updateSettingWithSettings(
        settings, ProfileXml(), [&](std::string text) { stored.set_value(std::move(text)); });
    ASSERT_EQ(stored.get_future().get(), "");
    EXPECT_EQ(Probe(daemon, { kServiceName, "start", "0" }), "ok");
    // The engine's log lines reach the application with the ticks.
    std::string log;
    EXPECT_TRUE(waitUntil([&] {
        std::promise<std::string> tick;
        client->retriveTickDataWithReply([&](std::string, std::string lines, std::string, PlistData, PlistData,
                                             std::optional<std::string>) { tick.set_value(std::move(lines)); });
        auto future = tick.get_future();
        if (future.wait_for(std::chrono::seconds(10)) == std::future_status::ready)
            log += future.get();
        return log.find("Current settings count 8 udp:  tcp: 80 443") != std::string::npos;
    })) << log;
    client->closeConnection();

    // The settings outlive the daemon: they are in its defaults file, in its home.
    const std::filesystem::path storedFile = daemon.home() / "Preferences" / "CorvantisExtension.plist";
    std::ifstream in(storedFile);
    std::ostringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("<key>SettingsExcludedTcpPorts</key>"), std::string::npos) << storedFile;

    // With the file level on, the extension writes its own log file in its home.
    const std::filesystem::path logFile = daemon.home() / "Logs" / "Corvantis.0.log";
    std::string logText;
    EXPECT_TRUE(waitUntil([&] {
        std::ifstream log(logFile);
        std::ostringstream lines;
        lines << log.rdbuf();
        logText = lines.str();
        return logText.find("Current settings count 8 udp:  tcp: 80 443") != std::string::npos;
    })) << logFile
        << ": " << logText;
}

TEST(ExtensionProvidersTest, AControlClientOfAnotherUserIsRefused)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "clients of other users need root";
    Daemon daemon({}, kDaemon, std::nullopt);
    ASSERT_TRUE(daemon.waitForSocket()) << daemon.log();
    EXPECT_NE(Probe(daemon, { kServiceName, "message", "wake", "3" }, 65534), "message type not known");
    EXPECT_EQ(Probe(daemon, { kServiceName, "message", "wake" }), "message type not known") << "root is admitted";
}

} // namespace
} // namespace corvantis::test
