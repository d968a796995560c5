// The supervisor as a program, end to end: it runs the real extension of a tree of the test's own (copied from the
// build tree into the build folder, so that a root-owned checkout passes the tree check), with its own state and
// runtime folders, and programs talk to it through the probe, as root or as other users. The binary runs wholly
// inside network and mount namespaces of its own (tests/support/in-netns): the extension installs its capture
// rules there.

#include "tests/support/FileText.h"
#include "tests/support/Loopback.h"
#include "tests/support/PrivateNetwork.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace corvantis::test {
namespace {

namespace fs = std::filesystem;

const fs::path kBuildTree = CORVANTIS_BUILD_DIR;
const char* const kExtensionId = "com.velmar.corvantis.v3.macos.CorvantisExtension";
constexpr uid_t kNobody = 65534;
// A user with no account, allowed by number.
constexpr uid_t kBareUid = 4242;
const char* const kAnotherUser = "failed The network extension is running for another user.";

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// The arguments of process `pid`.
std::vector<std::string> ArgumentsOf(pid_t pid)
{
    std::vector<std::string> arguments;
    std::istringstream in(ReadFile("/proc/" + std::to_string(pid) + "/cmdline"));
    for (std::string argument; std::getline(in, argument, '\0');)
        arguments.push_back(argument);
    return arguments;
}

// A folder made with mkdtemp under `parent`, open to everyone's reading as the real ones are; removed at the end.
class OwnFolder final {
public:
    explicit OwnFolder(const fs::path& parent)
    {
        std::string pattern = (parent / "supervisor-XXXXXX").string();
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
        ::chmod(m_path.c_str(), 0755);
    }
    ~OwnFolder()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    OwnFolder(const OwnFolder&) = delete;
    OwnFolder& operator=(const OwnFolder&) = delete;
    const fs::path& path() const { return m_path; }

private:
    fs::path m_path;
};

// The supervisor of a tree of the test's own, its state and runtime folders, and the programs that call it.
class SupervisorEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_PRIVATE_NETWORK("the supervisor");
        for (const fs::path& relative :
            { fs::path("libexec/corvantis/corvantis-supervisor"), fs::path("libexec/corvantis/CorvantisExtension"),
                fs::path("share/corvantis/SystemExtensions/CorvantisExtension/Info.plist") }) {
            fs::create_directories((m_tree.path() / relative).parent_path());
            fs::copy_file(kBuildTree / relative, m_tree.path() / relative);
        }
        for (const fs::path& folder :
            { m_tree.path() / "libexec", m_tree.path() / "libexec/corvantis", m_tree.path() / "share",
                m_tree.path() / "share/corvantis", m_tree.path() / "share/corvantis/SystemExtensions",
                m_tree.path() / "share/corvantis/SystemExtensions/CorvantisExtension" })
            ::chmod(folder.c_str(), 0755);
        m_log = m_state.path().parent_path() / (m_state.path().filename().string() + ".log");
    }
    void TearDown() override
    {
        stopSupervisor();
        std::error_code ec;
        fs::remove(m_log, ec);
    }

    fs::path supervisorProgram() const { return m_tree.path() / "libexec/corvantis/corvantis-supervisor"; }
    fs::path extension() const { return m_tree.path() / "libexec/corvantis/CorvantisExtension"; }
    Environment environment() const
    {
        return { { "CORVANTIS_RUNTIME_DIR", m_runtime.path().string() },
            { "CORVANTIS_SUPERVISOR_STATE_DIR", (m_state.path() / "state").string() },
            { "CORVANTIS_EXTENSION_HOME", (m_state.path() / "home").string() } };
    }

    bool startSupervisor()
    {
        const int log = ::open(m_log.c_str(), O_CREAT | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
        SpawnOptions options;
        options.argv = { supervisorProgram().string() };
        options.env = environment();
        options.out = log;
        options.err = log;
        m_supervisor = spawnChild(options);
        ::close(log);
        return waitUntil(
                   [&] {
                       return canConnectLocal((m_runtime.path() / "corvantis-supervisor").string())
                           || hasExited(m_supervisor);
                   },
                   deadlineIn(std::chrono::seconds(60)))
            && !hasExited(m_supervisor);
    }
    // SIGTERM; the supervisor's exit code.
    int stopSupervisor()
    {
        const int code = m_supervisor > 0 ? stopChild(m_supervisor, false, std::chrono::seconds(60)) : -1;
        m_supervisor = -1;
        return code;
    }
    std::string log() const { return ReadFile(m_log); }

    // A probe command run as `uid`; the lines it printed.
    std::vector<std::string> probe(std::vector<std::string> arguments, uid_t uid = 0)
    {
        std::vector<std::string> argv = asUser(uid);
        argv.push_back(CORVANTIS_SUPERVISOR_PROBE);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return Lines(runCommand(argv, {}, environment()).out);
    }
    std::string lastLine(std::vector<std::string> arguments, uid_t uid = 0)
    {
        const auto lines = probe(std::move(arguments), uid);
        return lines.empty() ? "<nothing>" : lines.back();
    }
    // A probe run as `uid` whose lines the test reads while it runs.
    std::unique_ptr<LineReadingChild> probeChild(std::vector<std::string> arguments, uid_t uid)
    {
        std::vector<std::string> argv = { "env" };
        for (const auto& [name, value] : environment())
            argv.push_back(name + "=" + value);
        for (const std::string& part : asUser(uid))
            argv.push_back(part);
        argv.push_back(CORVANTIS_SUPERVISOR_PROBE);
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return std::make_unique<LineReadingChild>(argv);
    }
    CommandResult allow(const std::string& user)
    {
        return runCommand({ supervisorProgram().string(), "allow", user }, {}, environment());
    }
    std::string hello() { return lastLine({ "hello", (m_tree.path() / "bin" / "Corvantis").string() }); }
    std::vector<pid_t> extensionPids() const { return ProcessesOf(extension()); }
    pid_t extensionPid() const
    {
        const auto pids = extensionPids();
        return pids.size() == 1 ? pids.front() : -1;
    }

    static std::vector<std::string> asUser(uid_t uid)
    {
        if (uid == 0)
            return {};
        return { "setpriv", "--reuid=" + std::to_string(uid), "--regid=" + std::to_string(uid), "--clear-groups" };
    }

    OwnFolder m_tree { kBuildTree };
    OwnFolder m_state { "/tmp" };
    OwnFolder m_runtime { "/tmp" };
    fs::path m_log;
    pid_t m_supervisor = -1;
};

TEST_F(SupervisorEndToEnd, ActivatesReplacesRefusesAndDeactivates)
{
    ASSERT_TRUE(startSupervisor()) << log();

    ASSERT_EQ(lastLine({ "activate", kExtensionId }), "0") << log();
    const pid_t first = extensionPid();
    ASSERT_GT(first, 0);
    EXPECT_EQ(hello(), "3.12.2") << log();
    // Started by root, the extension serves root alone.
    const auto arguments = ArgumentsOf(first);
    EXPECT_EQ(std::find(arguments.begin(), arguments.end(), "-AllowedUid"), arguments.end());

    // Again: the same process.
    EXPECT_EQ(lastLine({ "activate", kExtensionId }), "0") << log();
    EXPECT_EQ(extensionPid(), first);

    // Another build in the tree (a copy renamed over the running binary): both versions, a restart, done.
    fs::copy_file(extension(), extension().string() + ".new");
    fs::rename(extension().string() + ".new", extension());
    EXPECT_EQ(probe({ "activate", kExtensionId }), (std::vector<std::string> { "3 3.12.2 3.12.2", "0" })) << log();
    EXPECT_TRUE(waitUntil([&] { return extensionPid() > 0 && extensionPid() != first; })) << log();
    EXPECT_EQ(hello(), "3.12.2") << log();

    EXPECT_EQ(probe({ "properties", kExtensionId }), (std::vector<std::string> { "properties 1", "0" }));
    EXPECT_EQ(lastLine({ "deactivate", kExtensionId }), "0") << log();
    EXPECT_TRUE(extensionPids().empty());
    EXPECT_EQ(probe({ "properties", kExtensionId }), (std::vector<std::string> { "properties 0", "0" }));

    // A folder others may write, and a missing binary: refused, with the reason.
    const fs::path folder = extension().parent_path();
    ::chmod(folder.c_str(), 0777);
    const std::string refused = lastLine({ "activate", kExtensionId });
    ::chmod(folder.c_str(), 0755);
    EXPECT_EQ(refused.rfind("failed ", 0), 0u) << refused;
    EXPECT_NE(refused.find(folder.string() + " is writable by others"), std::string::npos) << refused;
    fs::rename(extension(), extension().string() + ".away");
    const std::string missing = lastLine({ "activate", kExtensionId });
    fs::rename(extension().string() + ".away", extension());
    EXPECT_EQ(missing.rfind("failed ", 0), 0u) << missing;
    EXPECT_NE(missing.find(extension().string()), std::string::npos) << missing;
    EXPECT_TRUE(extensionPids().empty());

    // Another extension than the tree's.
    EXPECT_EQ(lastLine({ "activate", "com.example.other" }).rfind("failed No extension com.example.other", 0), 0u);

    EXPECT_EQ(stopSupervisor(), 0) << log();
}

TEST_F(SupervisorEndToEnd, UsersWaitForApprovalAndTheExtensionServesOne)
{
    ASSERT_TRUE(startSupervisor()) << log();

    // Not on the allow list: answered 2, then 0 once root allows the user.
    auto waiting = probeChild({ "activate", kExtensionId }, kNobody);
    ASSERT_EQ(waiting->readLine(std::chrono::seconds(60)).value_or("<nothing>"), "2") << log();
    EXPECT_TRUE(extensionPids().empty());
    const CommandResult allowed = allow("nobody");
    ASSERT_EQ(allowed.exitCode, 0) << allowed.err;
    EXPECT_EQ(waiting->readLine(std::chrono::seconds(60)).value_or("<nothing>"), "0") << log();
    const pid_t pid = extensionPid();
    ASSERT_GT(pid, 0) << log();
    const auto arguments = ArgumentsOf(pid);
    const auto option = std::find(arguments.begin(), arguments.end(), "-AllowedUid");
    ASSERT_NE(option, arguments.end());
    EXPECT_EQ(*std::next(option), std::to_string(kNobody));

    // Another allowed user (a bare uid) while it runs for nobody: refused with the reason, which the log has too;
    // root's activation completes and leaves it running for nobody.
    ASSERT_EQ(allow(std::to_string(kBareUid)).exitCode, 0);
    EXPECT_EQ(lastLine({ "activate", kExtensionId }, kBareUid), kAnotherUser) << log();
    EXPECT_NE(log().find("The network extension is running for another user."), std::string::npos);
    EXPECT_EQ(lastLine({ "activate", kExtensionId }), "0") << log();
    EXPECT_EQ(extensionPid(), pid);

    // A user not allowed may do nothing else.
    EXPECT_EQ(lastLine({ "load", "0" }, 4343).rfind("error This user may not use", 0), 0u);

    // An unknown login name, and a caller who is not root.
    const CommandResult unknown = allow("no-such-user-here");
    EXPECT_NE(unknown.exitCode, 0);
    EXPECT_NE(unknown.err.find("No such user: no-such-user-here"), std::string::npos) << unknown.err;
    const CommandResult notRoot = runCommand({ "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                                                 supervisorProgram().string(), "allow", "4343" },
        {}, environment());
    EXPECT_NE(notRoot.exitCode, 0);

    // A newer activation of a waiting user replaces the older one, which is never answered.
    EXPECT_EQ(lastLine({ "deactivate", kExtensionId }), "0");
    auto older = probeChild({ "activate", kExtensionId }, 4343);
    ASSERT_EQ(older->readLine(std::chrono::seconds(60)).value_or("<nothing>"), "2");
    auto newer = probeChild({ "activate", kExtensionId }, 4343);
    ASSERT_EQ(newer->readLine(std::chrono::seconds(60)).value_or("<nothing>"), "2");
    ASSERT_EQ(allow("4343").exitCode, 0);
    EXPECT_EQ(newer->readLine(std::chrono::seconds(60)).value_or("<nothing>"), "0") << log();
    EXPECT_EQ(older->readLine(std::chrono::milliseconds(500)), std::nullopt);

    EXPECT_EQ(stopSupervisor(), 0) << log();
    EXPECT_TRUE(extensionPids().empty());
}

TEST_F(SupervisorEndToEnd, ConfigurationsSessionsAndProviderMessages)
{
    ASSERT_TRUE(startSupervisor()) << log();
    ASSERT_EQ(lastLine({ "activate", kExtensionId }), "0") << log();

    const std::string saved = lastLine({ "save-proxy", "Corvantis Data", "1" });
    ASSERT_EQ(saved.rfind("saved ", 0), 0u) << saved;
    const std::string identifier = saved.substr(6);

    // Kept across a restart of the supervisor, which stops the extension on its way out.
    ASSERT_EQ(stopSupervisor(), 0) << log();
    EXPECT_TRUE(extensionPids().empty());
    ASSERT_TRUE(startSupervisor()) << log();
    EXPECT_EQ(probe({ "load", "0" }), (std::vector<std::string> { identifier + " 1 Corvantis Data", "end" }));
    EXPECT_EQ(lastLine({ "status", identifier }), "status 1");
    // A restarted supervisor waits for an activation.
    EXPECT_EQ(lastLine({ "start", identifier }), "error The network extension is not activated.");
    ASSERT_EQ(lastLine({ "activate", kExtensionId }), "0") << log();

    // Before the application's hello the provider cannot start.
    EXPECT_EQ(probe({ "start", identifier }), (std::vector<std::string> { "ok", "status 2", "status 1" })) << log();
    ASSERT_EQ(hello(), "3.12.2") << log();
    EXPECT_EQ(probe({ "start", identifier }), (std::vector<std::string> { "ok", "status 2", "status 3" })) << log();
    const auto rules = [] { return runCommand({ "nft", "list", "ruleset" }).out; };
    EXPECT_NE(rules().find("proxy_tcp"), std::string::npos) << rules();

    EXPECT_EQ(lastLine({ "message", identifier, "wake" }).rfind("reply ", 0), 0u) << log();

    EXPECT_EQ(probe({ "stop", identifier }), (std::vector<std::string> { "status 5", "status 1" })) << log();
    EXPECT_EQ(rules().find("proxy_tcp"), std::string::npos) << rules();

    // A saved DNS proxy runs its provider while enabled.
    ASSERT_EQ(lastLine({ "save-dns", "1" }).rfind("saved ", 0), 0u);
    EXPECT_TRUE(waitUntil([&] { return rules().find("dns_udp") != std::string::npos; })) << log();
    ASSERT_EQ(lastLine({ "save-dns", "0" }).rfind("saved ", 0), 0u);
    EXPECT_TRUE(waitUntil([&] { return rules().find("dns_udp") == std::string::npos; })) << log();
    EXPECT_EQ(probe({ "load", "1" }).size(), 2u) << "one DNS proxy, replaced by the second save";

    // The kill message ends the extension before the provider replies: the handler runs with no data, and the
    // session goes down with the extension.
    ASSERT_EQ(probe({ "start", identifier }), (std::vector<std::string> { "ok", "status 2", "status 3" })) << log();
    EXPECT_EQ(lastLine({ "message", identifier, "kill" }), "no reply data") << log();
    EXPECT_TRUE(waitUntil([&] { return extensionPids().empty(); })) << log();
    EXPECT_TRUE(waitUntil([&] { return lastLine({ "status", identifier }) == "status 1"; })) << log();

    // A message to a session nobody knows is not sent.
    EXPECT_EQ(lastLine({ "message", "no-such-session", "wake" }), "not sent");

    // Started again by the next session; the stopped supervisor leaves no process and no rules.
    ASSERT_EQ(probe({ "start", identifier }).front(), "ok");
    EXPECT_TRUE(waitUntil([&] { return extensionPid() > 0; }));
    EXPECT_EQ(stopSupervisor(), 0) << log();
    EXPECT_TRUE(extensionPids().empty());
    EXPECT_EQ(rules().find("corvantis"), std::string::npos) << rules();
    EXPECT_EQ(runCommand({ "ip", "rule" }).out.find("proto 90"), std::string::npos);
}

} // namespace
} // namespace corvantis::test
