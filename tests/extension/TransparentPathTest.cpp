// The daemon with the machine's real flows, end to end: unmodified programs, run as another user, reach their
// servers through the capture rules, the placeholder names and a real SOCKS5 server, as the profile says. The
// binary runs wholly inside network and mount namespaces of its own (tests/support/in-netns), where
// /etc/resolv.conf names 127.0.0.53.

#include "ipc/ProviderControl.h"
#include "ipc/XPCClientForExtension.h"
#include "tests/extension/DaemonProcess.h"
#include "tests/peers/Dnsmasq.h"
#include "tests/peers/PeerProcess.h"
#include "tests/peers/ProxyPeers.h"
#include "tests/support/FileText.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/Sha256.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <random>

namespace corvantis::test {
namespace {

constexpr uid_t kUser = 65534; // the test user the applications run as
const char* const kService = "com.velmar.corvantis.v3.macos.CorvantisExtension";

// A command run as the test user; its standard output.
CommandResult AsUser(std::vector<std::string> argv)
{
    std::vector<std::string> full
        = { "setpriv", "--reuid=" + std::to_string(kUser), "--regid=" + std::to_string(kUser), "--clear-groups" };
    full.insert(full.end(), argv.begin(), argv.end());
    return runCommand(full);
}

std::string ProfileXml()
{
    return ReadFile(std::filesystem::path(CORVANTIS_TEST_DATA_DIR) / "profiles" / "transparent-path.ppx");
}

template <typename T> std::optional<T> Within(std::future<T> future, int seconds = 30)
{
    if (future.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready)
        return std::nullopt;
    return future.get();
}

// The application's side: hello, settings and profile, the providers' starts, and the tick data.
class Application final {
public:
    explicit Application(const Daemon& daemon)
        : m_runtime("CORVANTIS_RUNTIME_DIR", daemon.runtime().str())
    {
        XPCClientForExtension::Options options;
        options.programPath = kBuildTree / "bin" / "Corvantis";
        m_client = XPCClientForExtension::create(options);
        m_client->connect();
    }
    ~Application() { m_client->closeConnection(); }

    std::string hello()
    {
        std::promise<std::string> reply;
        m_client->helloWithVersion("3.12.2", [&](std::string text) { reply.set_value(std::move(text)); });
        return Within(reply.get_future()).value_or("<no reply>");
    }
    std::string settings(const PlistDict& settings, const std::string& profile)
    {
        std::promise<std::string> reply;
        m_client->updateSettingWithSettings(
            settings, profile, [&](std::string text) { reply.set_value(std::move(text)); });
        return Within(reply.get_future()).value_or("<no reply>");
    }
    std::string start(int kind)
    {
        ProviderControlClient control(kService);
        std::promise<std::string> reply;
        control.start(kind, [&](std::optional<FlowError> error) { reply.set_value(error ? error->description : ""); });
        return Within(reply.get_future()).value_or("<no reply>");
    }
    void stop(int kind)
    {
        ProviderControlClient control(kService);
        std::promise<void> reply;
        control.stop(kind, 0, [&] { reply.set_value(); });
        reply.get_future().wait_for(std::chrono::seconds(30));
    }
    // The connection list and the log lines of one tick.
    std::pair<std::string, std::string> tick()
    {
        std::promise<std::pair<std::string, std::string>> reply;
        m_client->retriveTickDataWithReply([&](std::string, std::string log, std::string connections, PlistData,
                                               PlistData, std::optional<std::string>) {
            reply.set_value({ std::move(connections), std::move(log) });
        });
        return Within(reply.get_future()).value_or(std::pair<std::string, std::string>());
    }

private:
    ScopedEnv m_runtime;
    std::shared_ptr<XPCClientForExtension> m_client;
};

// The servers of the scene: names, files and a SOCKS5 server, all at the fixed places the profile names.
struct Scene {
    Scene()
        : dns({ "127.0.0.53", 53 }, { "--address=/example.test/127.0.0.2", "--local-ttl=600" })
    {
        std::mt19937 random(7);
        std::string body(300000, '\0');
        for (char& byte : body)
            byte = static_cast<char>(random());
        fileSha256 = Sha256Hex(std::vector<uint8_t>(body.begin(), body.end()));
        PeerStartOptions fixed;
        fixed.port = 8080;
        files = PeerProcess::start(
            [body](uint16_t port, const std::filesystem::path& dir) {
                PeerCommand command;
                command.name = "http";
                command.files = { { "file.bin", body } };
                command.argv = { "python3", "-m", "http.server", std::to_string(port), "--bind", "0.0.0.0",
                    "--directory", dir.string() };
                return command;
            },
            fixed);
        dante = startDante({ 1080, true });
        // Sends its headers, then waits: the connections through it stay open while the test looks at them.
        fixed.port = 8081;
        waiting = PeerProcess::start(
            [](uint16_t port, const std::filesystem::path&) {
                PeerCommand command;
                command.name = "waiting";
                command.argv = { "python3", "-c",
                    "import socket,sys,time\n"
                    "s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                    "s.bind(('0.0.0.0', int(sys.argv[1]))); s.listen(16); held=[]\n"
                    "while True:\n"
                    "    c,_=s.accept(); c.recv(4096)\n"
                    "    c.sendall(b'HTTP/1.0 200 OK\\r\\nContent-Length: 1000000\\r\\n\\r\\nx'); held.append(c)\n",
                    std::to_string(port) };
                return command;
            },
            fixed);
    }
    bool ready() const { return dns.ready() && files && dante && waiting; }

    Dnsmasq dns;
    PeerProcessPtr files;
    PeerProcessPtr dante;
    PeerProcessPtr waiting;
    std::string fileSha256;
};

// What curl, run as the test user, fetched from `url` into `file`: "<remote ip> <http code> <bytes>".
std::string Curl(const std::string& url, const std::filesystem::path& file, int seconds = 20)
{
    return AsUser({ "curl", "-s", "-m", std::to_string(seconds), "-o", file.string(), "-w",
                      "%{remote_ip} %{http_code} %{size_download}", url })
        .out;
}

// The daemon's sockets with their marks, as `ss` shows them: one line per socket to `peer`.
std::vector<std::string> DaemonSocketsTo(pid_t daemon, const std::string& peer)
{
    std::vector<std::string> lines;
    std::istringstream all(runCommand({ "ss", "-tenpH", "dst", peer }).out);
    for (std::string line; std::getline(all, line);)
        if (line.find("pid=" + std::to_string(daemon) + ",") != std::string::npos)
            lines.push_back(line);
    return lines;
}

TEST(TransparentPathTest, UnmodifiedProgramsThroughTheCaptureRules)
{
    REQUIRE_PRIVATE_NETWORK("the transparent path");
    Scene scene;
    ASSERT_TRUE(scene.ready()) << scene.dns.startError();
    TempDir downloads;
    ::chmod(downloads.path().c_str(), 0777);

    auto daemon = std::make_unique<Daemon>(std::vector<std::string> {}, kDaemon, 0);
    ASSERT_TRUE(daemon->waitForSocket()) << daemon->log();
    {
        // A mark number among the settings the application sends is stored by the daemon, and changes nothing
        // at its next start either.
        Application app(*daemon);
        ASSERT_EQ(app.hello(), "3.12.2");
        PlistDict settings;
        settings["SocketMark"] = PlistValue(std::string("0x77"));
        ASSERT_EQ(app.settings(settings, ProfileXml()), "");
    }
    daemon->restart(0);
    // The log goes on from the first run: the second start is the second listener line.
    const auto starts = [&] {
        const std::string log = daemon->log();
        std::size_t count = 0;
        for (auto at = log.find("Starting XPC listener"); at != std::string::npos;
             at = log.find("Starting XPC listener", at + 1))
            ++count;
        return count;
    };
    ASSERT_TRUE(waitUntil([&] { return starts() == 2; })) << daemon->log();
    ASSERT_TRUE(daemon->waitForSocket()) << daemon->log();
    {
        Application app(*daemon);
        ASSERT_EQ(app.hello(), "3.12.2");
        // The log shows each connection's rule and decision.
        PlistDict verbose;
        verbose["SettingsLogLevelScreen"] = PlistValue(int64_t { 3 });
        ASSERT_EQ(app.settings(verbose, ProfileXml()), "");
        ASSERT_EQ(app.start(0), "") << daemon->log();
        ASSERT_EQ(app.start(1), "") << daemon->log();

        // A name through the proxy: curl is answered with a placeholder address, and the SOCKS5 server is asked
        // for the name.
        const std::string fetched = Curl("http://example.test:8080/file.bin", downloads / "file.bin");
        EXPECT_EQ(Sha256Hex([&] {
            const std::string body = ReadFile(downloads / "file.bin");
            return std::vector<uint8_t>(body.begin(), body.end());
        }()),
            scene.fileSha256)
            << fetched << "\n"
            << daemon->log();
        EXPECT_EQ(fetched.rfind("0.", 0), 0u) << "a placeholder address of 0.0.0.0/8: " << fetched;
        EXPECT_NE(scene.dante->readFile("danted.log").find("ATYP: 3 address: example.test.8080"), std::string::npos)
            << scene.dante->readFile("danted.log");
        const auto [connections, log] = app.tick();
        EXPECT_NE(log.find("curl - example.test:8080 open through proxy 127.0.0.1:1080 SOCKS5"), std::string::npos)
            << log;
        EXPECT_NE(connections.find("/curl/example.test:8080/Curl : 127.0.0.1:1080 SOCKS5/"), std::string::npos)
            << connections;

        // A program without a rule of its own is answered with the real address.
        const CommandResult hosts = AsUser({ "getent", "hosts", "example.test" });
        EXPECT_EQ(hosts.out.rfind("127.0.0.2", 0), 0u) << hosts.out << hosts.err;

        // A blocked target gets no data.
        const std::string blocked = Curl("http://127.0.0.3:8080/file.bin", downloads / "blocked.bin", 5);
        EXPECT_NE(blocked.find(" 0"), std::string::npos) << blocked;
        EXPECT_TRUE(waitUntil([&] { return app.tick().second.find("connection blocked") != std::string::npos; }));

        // While a fetch through the proxy and a direct one wait for their bodies, the daemon's connections to the
        // SOCKS5 server and to the target carry its mark.
        LineReadingChild proxied({ "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "curl", "-s", "-o",
            "/dev/null", "http://127.0.0.4:8081/" });
        LineReadingChild direct(
            { "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                "import socket,time\n"
                "c=socket.create_connection(('127.0.0.4', 8081)); c.sendall(b'GET / HTTP/1.0\\r\\n\\r\\n');"
                " c.recv(100); time.sleep(60)\n" });
        EXPECT_TRUE(waitUntil([&] { return !DaemonSocketsTo(daemon->pid(), "127.0.0.1:1080").empty(); }));
        EXPECT_TRUE(waitUntil([&] { return !DaemonSocketsTo(daemon->pid(), "127.0.0.4:8081").empty(); }))
            << runCommand({ "ss", "-tenp" }).out;
        for (const char* peer : { "127.0.0.1:1080", "127.0.0.4:8081" })
            for (const std::string& line : DaemonSocketsTo(daemon->pid(), peer))
                EXPECT_NE(line.find("fwmark:0x5a17"), std::string::npos) << line;
        proxied.stop();
        direct.stop();
    }

    // Killed, the daemon leaves no table, so nothing goes to its closed port; its routes go with a cleanup.
    daemon->kill();
    EXPECT_EQ(runCommand({ "nft", "list", "tables" }).out.find("corvantis"), std::string::npos);
    EXPECT_NE(Curl("http://127.0.0.2:8080/file.bin", downloads / "after.bin").find("127.0.0.2 200 300000"),
        std::string::npos);
    EXPECT_NE(runCommand({ "ip", "rule" }).out.find("proto 90"), std::string::npos) << "left until a cleanup";
    EXPECT_EQ(runCommand({ kDaemon.string(), "--cleanup" }).exitCode, 0);
    EXPECT_EQ(runCommand({ "ip", "rule" }).out.find("proto 90"), std::string::npos);
    EXPECT_EQ(runCommand({ "ip", "route", "show", "table", "all" }).out.find("proto 90"), std::string::npos);
}

// What a plain client, run as the test user, read from `host`:8081: its first line, or an empty line when it got
// nothing.
std::string PythonFetch(const std::string& host)
{
    return AsUser(
        { "/usr/bin/python3", "-c",
            "import socket,sys\n"
            "try:\n"
            "    c=socket.create_connection((sys.argv[1], 8081), timeout=5)\n"
            "    c.sendall(b'GET / HTTP/1.0\\r\\n\\r\\n'); print(c.makefile('rb').readline().decode().strip())\n"
            "except OSError as e:\n"
            "    print('')\n",
            host })
        .out;
}

// Without the DNS proxy, the content filter sees the answers the system's resolver gets, so that a connection to
// an address matches the rules by the name it was looked up by.
TEST(TransparentPathTest, TheContentFilterTeachesTheRulesTheNamesOfAddresses)
{
    REQUIRE_PRIVATE_NETWORK("the transparent path");
    Scene scene;
    ASSERT_TRUE(scene.ready()) << scene.dns.startError();
    Daemon daemon({}, kDaemon, 0);
    ASSERT_TRUE(daemon.waitForSocket()) << daemon.log();
    Application app(daemon);
    ASSERT_EQ(app.hello(), "3.12.2");
    PlistDict verbose;
    verbose["SettingsLogLevelScreen"] = PlistValue(int64_t { 3 });
    ASSERT_EQ(app.settings(verbose, ProfileXml()), "");
    ASSERT_EQ(app.start(0), "") << daemon.log();
    ASSERT_EQ(app.start(2), "") << daemon.log();

    // Before any lookup the address has no name: the default rule lets the connection through.
    EXPECT_EQ(PythonFetch("127.0.0.2").rfind("HTTP/1.0 200", 0), 0u) << daemon.log();
    const CommandResult dig = AsUser({ "dig", "+short", "+tries=1", "example.test" });
    EXPECT_EQ(dig.out, "127.0.0.2\n") << dig.err;
    // The answer named the address: the rule for the name blocks it now.
    EXPECT_TRUE(waitUntil([&] { return PythonFetch("127.0.0.2") == "\n"; }));
    EXPECT_TRUE(waitUntil([&] { return app.tick().second.find("matching ByName rule") != std::string::npos; }));

    // A provider's stop takes its rules out of the table; the others' stay.
    const auto table = [] { return runCommand({ "nft", "list", "table", "inet", "corvantis" }).out; };
    EXPECT_NE(table().find("chain filter_out"), std::string::npos);
    app.stop(2);
    EXPECT_EQ(table().find("chain filter_out"), std::string::npos) << table();
    EXPECT_NE(table().find("chain proxy_tcp"), std::string::npos) << table();
    app.stop(0);
    EXPECT_EQ(table().find("chain proxy_tcp"), std::string::npos) << table();
}

} // namespace
} // namespace corvantis::test
