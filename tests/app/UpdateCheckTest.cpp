#include "app/UpdateCheck.h"

#include "app/QtMainThreadExecutor.h"
#include "app/ui/MessageBoxUI.h"
#include "core/foundation/CoreHooks.h"
#include "core/foundation/MessageBox.h"
#include "core/profile/CorvantisAppUI.h"
#include "platform/DefaultsStore.h"
#include "platform/Mutex.h"
#include "platform/NotificationCenter.h"
#include "tests/support/LogLines.h"
#include "tests/support/Loopback.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"
#include "tests/support/Wait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace corvantis {
namespace {

using namespace std::chrono_literals;

// A web server on 127.0.0.1 that answers each request with the status and body `reply` gives for it, or holds
// the connection without an answer until it ends when `reply` gives a status of 0. Keeps the request lines.
class ScriptedServer final {
public:
    struct Reply {
        int status = 200;
        std::string body;
    };

    explicit ScriptedServer(std::function<Reply()> reply)
        : m_reply(std::move(reply))
    {
        m_thread = std::thread([this] {
            while (UniqueFd connection = m_listener.accept())
                serve(connection.get());
        });
    }
    ~ScriptedServer()
    {
        m_listener.shutdown();
        m_thread.join();
    }

    std::string base() const { return "http://127.0.0.1:" + std::to_string(m_listener.port()); }
    std::vector<std::string> requests() const
    {
        MutexLock lock(m_mutex);
        return m_requests;
    }

private:
    void serve(int fd)
    {
        std::string header;
        char buffer[4096];
        while (header.find("\r\n\r\n") == std::string::npos) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            header.append(buffer, static_cast<size_t>(n));
        }
        {
            MutexLock lock(m_mutex);
            m_requests.push_back(header);
        }
        const Reply reply = m_reply();
        if (reply.status == 0) {
            // Holds the connection until the client gives up.
            while (::recv(fd, buffer, sizeof buffer, 0) > 0) { }
            return;
        }
        test::sendAll(fd,
            "HTTP/1.1 " + std::to_string(reply.status) + " Whatever\r\nContent-Length: "
                + std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" + reply.body);
    }

    std::function<Reply()> m_reply;
    test::LoopbackListener m_listener;
    mutable Mutex m_mutex;
    std::vector<std::string> m_requests GUARDED_BY(m_mutex);
    std::thread m_thread;
};

ScriptedServer::Reply Answer(int status, std::string body)
{
    return { status, std::move(body) };
}

bool HasLine(const std::vector<std::string>& lines, const std::string& text)
{
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

// ---- Pure parts ----

TEST(UpdateCheckCrc, IsTheStandardReflectedCrc32)
{
    const struct {
        const char* text;
        uint32_t crc;
    } cases[] = {
        { "123456789", 0xCBF43926u },
        { "", 0 },
        { "a", 0xE8B7BE43u },
        { "The quick brown fox jumps over the lazy dog", 0x414FA339u },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Crc32(c.text), c.crc);
    }
}

TEST(UpdateCheckQuery, MasksEachFieldWithTheRandomValue)
{
    // Random 0x12345678: the low byte 0x78 masks W with its low nibble and the mode with its high one.
    EXPECT_EQ(UpdateCheckQuery(0x12345678u, 0, 0, 0, 0),
        "?nocache="
        "12345678"
        "12345678"
        "8"
        "7"
        "345678");
    EXPECT_EQ(UpdateCheckQuery(0x12345678u, 0xFFFFFFFFu, 0xF, 2, 0xABCDEF01u),
        "?nocache="
        "12345678"
        "EDCBA987"
        "7"
        "5"
        "F9B979");
    EXPECT_TRUE(std::regex_match(
        UpdateCheckQuery(UpdateCheckRandom(), 0, 0, 0, Crc32("x")), std::regex(R"(\?nocache=[0-9A-F]{24})")));
}

TEST(UpdateCheckQuery, TheRequestAddressCarriesTheMachineIdentifier)
{
    test::TempDir folder;
    const std::string machineId = "0123456789abcdef0123456789abcdef";
    std::ofstream(folder / "machine-id") << machineId << "\n";
    const struct {
        const char* name;
        std::string path;
        uint32_t crc;
    } cases[] = {
        { "readable", (folder / "machine-id").string(), Crc32(machineId) },
        { "unreadable", (folder / "missing").string(), 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateCheckOptions options;
        options.server = "https://updates.test";
        options.machineIdPath = c.path;
        const std::string address = UpdateCheckThread(options).requestAddress(1);
        std::smatch fields;
        ASSERT_TRUE(std::regex_match(address, fields,
            std::regex(R"(https://updates\.test/distr/last_versions/CorvantisMac3/31202/\?nocache=)"
                       R"(([0-9A-F]{8})([0-9A-F]{8})([0-9A-F])([0-9A-F])([0-9A-F]{6}))")))
            << address;
        const uint32_t random = std::stoul(fields[1], nullptr, 16);
        EXPECT_EQ(fields[1], fields[2]) << "V is 0";
        EXPECT_EQ(std::stoul(fields[3], nullptr, 16), random & 15) << "W is 0";
        EXPECT_EQ(std::stoul(fields[4], nullptr, 16), (1 ^ ((random & 0xFF) >> 4)) & 15);
        EXPECT_EQ(std::stoul(fields[5], nullptr, 16), (random ^ c.crc) & 0xFFFFFF);
    }
    EXPECT_EQ(GetPlatformUUID((folder / "machine-id").string()), machineId);
    EXPECT_EQ(GetPlatformUUID((folder / "missing").string()), "");
}

TEST(UpdateCheckAnswer, ReadsTheFourFields)
{
    const struct {
        const char* name;
        std::string body;
        std::optional<std::string> error;
        bool upToDate;
        std::string address;
    } cases[] = {
        { "this build", "3 0 31202", std::nullopt, true, "" },
        { "an older build", "3 0 30000 https://old.test/", std::nullopt, true, "" },
        { "a newer build", "3 0 31203 \r\nhttps://dl.test/get\r\n \n", std::nullopt, false, "https://dl.test/get" },
        { "a newer build without address", "3 0 31203", std::nullopt, false, "" },
        { "another generation", "4 0 31203 https://dl.test/", "Unsupported version format.", false, "" },
        { "empty", "", "Unsupported version format.", false, "" },
        { "reserved not 0", "3 1 31203 https://dl.test/", "Incorrect version format.", false, "" },
        { "build 0", "3 0 0 https://dl.test/", "Incorrect version format.", false, "" },
        { "twenty digits", "3 0 99999999999999999999 https://dl.test/", std::nullopt, false, "https://dl.test/" },
        { "not UTF-8", "3 0 31203 https://dl.test/\xff", "Incorrect version format.", false, "" },
        { "over 64 KiB", "3 0 31203 https://dl.test/" + std::string(64 * 1024, ' '), "Incorrect version format.", false,
            "" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        UpdateRequest request;
        EXPECT_EQ(ReadUpdateAnswer(c.body, request), c.error);
        EXPECT_EQ(request.upToDate, c.upToDate);
        EXPECT_EQ(request.downloadAddress, c.address);
    }
}

TEST(UpdateCheckAnswer, OnlyWebAddressesAreOpened)
{
    const struct {
        const char* address;
        bool web;
    } cases[] = {
        { "https://dl.test/get?x=1", true },
        { "http://dl.test/", true },
        { "HTTPS://dl.test/", true },
        { "file:///etc/passwd", false },
        { "javascript:alert(1)", false },
        { "ftp://dl.test/", false },
        { "https://", false },
        { "dl.test/get", false },
        { "", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(IsWebAddress(c.address), c.web);
    }
}

// ---- The check against a server on loopback ----

class UpdateCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_previousExecutor = NotificationCenter::defaultCenter().mainThreadExecutor();
        NotificationCenter::defaultCenter().setMainThreadExecutor(std::make_shared<QtMainThreadExecutor>());
        m_observer = ObserveMessageBoxNotification(NotificationCenter::defaultCenter());
        CoreHooks hooks;
        AddMessageBoxUIHook(hooks);
        hooks.writeGlobalSettings = [this](int) { ++m_settingsSent; };
        SetCoreHooks(hooks);
        m_options.timeout = 10s;
        m_options.machineIdPath = (m_home / "machine-id").string();
        m_options.openUrl = [this](const std::string& address) { m_opened.push_back(address); };
    }

    void TearDown() override
    {
        SetCoreHooks({});
        NotificationCenter::defaultCenter().removeObserver(m_observer);
        NotificationCenter::defaultCenter().setMainThreadExecutor(m_previousExecutor);
    }

    // Runs one check in `mode` against `server` on this (the main) thread; returns the log lines it wrote.
    std::vector<std::string> Check(const ScriptedServer& server, int mode = 0)
    {
        m_options.server = server.base();
        UpdateCheckThread(m_options).ThreadCheck(mode);
        return test::TakeScreenLines();
    }

    test::TempDir m_home;
    CCorvantisAppUI m_app;
    test::ProgramHomeScope m_scope { Program::Application, m_home.path(), &m_app, kLogDebug };
    std::shared_ptr<MainThreadExecutor> m_previousExecutor;
    NotificationCenter::ObserverId m_observer {};
    MessageBoxScript m_boxes;
    UpdateCheckOptions m_options;
    std::vector<std::string> m_opened;
    int m_settingsSent = 0;
};

TEST_F(UpdateCheckTest, AnUpToDateAnswerIsLoggedAfterOneUncachedRequest)
{
    ScriptedServer server([] { return Answer(200, "3 0 31202"); });
    const auto lines = Check(server);
    EXPECT_TRUE(HasLine(lines, "(Corvantis Update Checker) - You are using the latest version."));
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(std::regex_search(requests[0],
        std::regex(R"(^GET /distr/last_versions/CorvantisMac3/31202/\?nocache=[0-9A-F]{24} HTTP/1\.1\r\n)")))
        << requests[0];
    EXPECT_NE(requests[0].find("Cache-Control: no-cache"), std::string::npos);
    EXPECT_TRUE(m_boxes.requests().empty());
}

TEST_F(UpdateCheckTest, AFailedRequestIsAskedTwiceAndBothErrorsAreLogged)
{
    const struct {
        const char* name;
        ScriptedServer::Reply reply;
        std::string error;
    } cases[] = {
        { "not found", Answer(404, "gone"), " failed with code 404 (Not found)" },
        { "server error", Answer(500, ""), " failed with code 500" },
        { "another generation", Answer(200, "4 0 31203 https://dl.test/"), "Unsupported version format." },
        { "65 KiB", Answer(200, "3 0 31203 https://dl.test/" + std::string(65 * 1024, 'x')),
            "Incorrect version format." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server([&] { return c.reply; });
        const auto lines = Check(server);
        const auto requests = server.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0].substr(0, requests[0].find('\n')), requests[1].substr(0, requests[1].find('\n')))
            << "the same address both times";
        const std::string path = requests[0].substr(4, requests[0].find(' ', 4) - 4);
        const std::string each = c.error.front() == ' ' ? "Request from " + server.base() + path + c.error : c.error;
        EXPECT_TRUE(HasLine(lines, "(Corvantis Update Checker) - Could not check for updates. " + each + " " + each))
            << (lines.empty() ? "no log line" : lines.back());
        EXPECT_TRUE(m_boxes.requests().empty());
    }
}

TEST_F(UpdateCheckTest, TheSilentModeAsksOnceAndSaysNothing)
{
    ScriptedServer server([] { return Answer(404, ""); });
    EXPECT_TRUE(Check(server, kUpdateCheckSilentMode).empty());
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(UpdateCheckTest, AnUnreachableServerGivesTheTransportError)
{
    m_options.server = "http://127.0.0.1:" + std::to_string(test::freeLoopbackPort());
    UpdateCheckThread(m_options).ThreadCheck(0);
    const auto lines = test::TakeScreenLines();
    EXPECT_TRUE(HasLine(lines, "Could not check for updates. Request from " + *m_options.server + "/distr/"));
    EXPECT_TRUE(HasLine(lines, " failed with error: "));
}

TEST_F(UpdateCheckTest, AServerThatNeverAnswersIsGivenUpAfterTheTimeOut)
{
    ScriptedServer server([] { return Answer(0, ""); });
    m_options.timeout = 300ms;
    const auto start = std::chrono::steady_clock::now();
    const auto lines = Check(server);
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(HasLine(lines, " failed with error: "));
    EXPECT_EQ(server.requests().size(), 2u);
    EXPECT_GE(spent, 600ms);
    EXPECT_LT(spent, 20s);
}

TEST_F(UpdateCheckTest, AnEmptyServerMakesNoRequest)
{
    m_options.server = "";
    const auto start = std::chrono::steady_clock::now();
    UpdateCheckThread(m_options).ThreadCheck(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    const auto lines = test::TakeScreenLines();
    EXPECT_TRUE(std::regex_search(lines.empty() ? std::string() : lines.back(),
        std::regex(R"(Could not check for updates\. Request from /distr/last_versions/CorvantisMac3/31202/)"
                   R"(\?nocache=[0-9A-F]{24} failed Request from /distr/\S+ failed$)")))
        << (lines.empty() ? "no log line" : lines.back());
}

TEST_F(UpdateCheckTest, YesOpensOnlyAWebAddress)
{
    const struct {
        const char* address;
        bool opened;
    } cases[] = {
        { "https://dl.test/corvantis/get", true },
        { "file:///etc/passwd", false },
        { "javascript:alert(document.cookie)", false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        m_opened.clear();
        const std::string body = std::string("3 0 31210 \r\n") + c.address + "\r\n";
        ScriptedServer server([&] { return Answer(200, body); });
        m_boxes.push(kMbAnswerYes);
        const size_t asked = m_boxes.requests().size();
        const auto lines = Check(server);
        EXPECT_TRUE(HasLine(lines, std::string("(Corvantis Update Checker) - Update is available at ") + c.address));
        ASSERT_EQ(m_boxes.requests().size(), asked + 1);
        const MessageBoxScript::Request& box = m_boxes.requests().back();
        EXPECT_EQ(box.caption, "Corvantis Update");
        EXPECT_EQ(box.message,
            "There is an update for this version of Corvantis.\n\nDo you want to open the download page right now?");
        EXPECT_EQ(box.flags, 12);
        EXPECT_EQ(box.suppressTitle, "Disable product updates check");
        if (c.opened)
            EXPECT_EQ(m_opened, std::vector<std::string> { c.address });
        else
            EXPECT_TRUE(m_opened.empty());
    }
    EXPECT_EQ(m_settingsSent, 0);
}

TEST_F(UpdateCheckTest, NoOpensNothingAndAnEmptyAddressAsksNothing)
{
    ScriptedServer offered([] { return Answer(200, "3 0 31203 https://dl.test/"); });
    m_boxes.push(0);
    Check(offered);
    EXPECT_EQ(m_boxes.requests().size(), 1u);
    EXPECT_TRUE(m_opened.empty());

    ScriptedServer empty([] { return Answer(200, "3 0 31203  \r\n"); });
    const auto lines = Check(empty);
    EXPECT_EQ(m_boxes.requests().size(), 1u);
    EXPECT_FALSE(HasLine(lines, "Update is available"));
}

TEST_F(UpdateCheckTest, TheTickedBoxSwitchesTheCheckOffInTheSettingsFile)
{
    CAppSettings settings = m_app.GetSettings();
    settings.UpdateCheck = true;
    m_app.SetSettings(settings);
    ASSERT_TRUE(SaveSettings(settings));
    ScriptedServer server([] { return Answer(200, "3 0 31203 https://dl.test/"); });
    m_boxes.push({ 0, true });
    Check(server);

    EXPECT_FALSE(m_app.GetSettings().UpdateCheck);
    EXPECT_EQ(m_settingsSent, 1);
    DefaultsStore reread(m_scope.defaultsFile());
    const std::optional<PlistValue> stored = reread.object("UpdateCheck");
    ASSERT_TRUE(stored);
    EXPECT_EQ(*stored, PlistValue(0));
}

TEST_F(UpdateCheckTest, TheDefaultsKeyPointsTheCheckAtAnotherServer)
{
    ScriptedServer server([] { return Answer(200, "3 0 31202"); });
    DefaultsStore::standard().setArguments({ "-UpdateCheckHost", server.base() });
    EXPECT_EQ(UpdateCheckServer(), server.base());
    m_options.server.reset();
    UpdateCheckThread(m_options).ThreadCheck(0);
    EXPECT_EQ(server.requests().size(), 1u);
    DefaultsStore::standard().setArguments({});
}

TEST_F(UpdateCheckTest, TheCoreHookStartsACheckOnItsOwnThread)
{
    std::atomic<bool> answered { false };
    ScriptedServer server([&] {
        answered = true;
        return Answer(404, "");
    });
    CoreHooks kept = *CurrentCoreHooks();
    m_options.server = server.base();
    RegisterUpdateCheckHook(m_options);
    EXPECT_TRUE(CurrentCoreHooks()->messageBoxUI) << "the other hooks stay";
    EXPECT_TRUE(CurrentCoreHooks()->writeGlobalSettings);
    StartUpdateCheckThread(kUpdateCheckSilentMode);
    EXPECT_TRUE(test::waitUntil([&] { return answered.load(); }));
    SetCoreHooks(kept);
}

} // namespace
} // namespace corvantis
