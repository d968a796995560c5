// The per-user single-instance lock: two copies in one process, each with its own object over a temporary folder.

#include "app/SingleInstance.h"
#include "platform/ProgramHome.h"

#include <QCoreApplication>
#include <QLocalSocket>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace corvantis {
namespace {

using namespace std::chrono_literals;
using Outcome = SingleInstance::Outcome;
using Decoded = SingleInstance::Decoded;

bool runEventsUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s)
{
    QTimer tick;
    tick.start(5);
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

class SingleInstanceTest : public testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "corvantis-si-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
    }
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    SingleInstance::Options options(std::chrono::milliseconds timeout = 5s) const { return { m_dir, timeout }; }

    // A running copy that records what it is handed.
    struct Recorder {
        std::vector<std::vector<std::string>> files;
        std::vector<std::string> events;
        void attach(SingleInstance& instance)
        {
            instance.setFilesHandler([this](const std::vector<std::string>& paths) {
                files.push_back(paths);
                events.push_back("files");
            });
            instance.setActivateHandler([this] { events.push_back("activate"); });
        }
    };

    // A connected client of the running copy's socket that sends `bytes`; true when the running copy then
    // closed the connection.
    bool sendAndExpectDrop(const std::string& path, const QByteArray& bytes)
    {
        QLocalSocket client;
        client.connectToServer(QString::fromStdString(path));
        if (!runEventsUntil([&] { return client.state() == QLocalSocket::ConnectedState; }))
            return false;
        client.write(bytes);
        return runEventsUntil([&] { return client.state() == QLocalSocket::UnconnectedState; });
    }

    std::string m_dir;
};

TEST_F(SingleInstanceTest, SecondCopyHandsItsPathsToTheRunningOne)
{
    SingleInstance first(options());
    Recorder recorder;
    recorder.attach(first);
    auto started = first.start({});
    ASSERT_TRUE(started.ok()) << started.status().message();
    EXPECT_EQ(*started, Outcome::Running);

    const std::vector<std::string> sent = { "/tmp/my profiles/Work Profile.ppx",
        "/tmp/Profil \xc3\xa9t\xc3\xa9 \xe6\x97\xa5.ppx", "relative name.ppx" };
    SingleInstance second(options());
    auto handed = second.start(sent);
    ASSERT_TRUE(handed.ok()) << handed.status().message();
    EXPECT_EQ(*handed, Outcome::HandedOver);

    ASSERT_TRUE(runEventsUntil([&] { return recorder.events.size() == 2; }));
    EXPECT_EQ(recorder.events, (std::vector<std::string> { "files", "activate" }));
    ASSERT_EQ(recorder.files.size(), 1u);
    const std::vector<std::string> expected
        = { sent[0], sent[1], (std::filesystem::current_path() / "relative name.ppx").string() };
    EXPECT_EQ(recorder.files[0], expected);
}

TEST_F(SingleInstanceTest, SecondCopyWithoutPathsOnlyActivates)
{
    SingleInstance first(options());
    Recorder recorder;
    recorder.attach(first);
    ASSERT_EQ(*first.start({}), Outcome::Running);
    SingleInstance second(options());
    ASSERT_EQ(*second.start({}), Outcome::HandedOver);
    ASSERT_TRUE(runEventsUntil([&] { return !recorder.events.empty(); }));
    EXPECT_EQ(recorder.events, (std::vector<std::string> { "activate" }));
}

TEST_F(SingleInstanceTest, StaleSocketOfADeadCopyIsTakenOver)
{
    // A socket file nobody listens on, as a copy that was killed leaves it.
    std::string path = (std::filesystem::path(m_dir) / "Corvantis.instance").string();
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    ASSERT_TRUE(std::filesystem::exists(path));

    SingleInstance first(options());
    Recorder recorder;
    recorder.attach(first);
    auto started = first.start({});
    ASSERT_TRUE(started.ok()) << started.status().message();
    EXPECT_EQ(*started, Outcome::Running);
    SingleInstance second(options());
    EXPECT_EQ(*second.start({ "/tmp/x.ppx" }), Outcome::HandedOver);
    EXPECT_TRUE(runEventsUntil([&] { return recorder.events.size() == 2; }));
}

TEST_F(SingleInstanceTest, EndOfTheRunningCopyFreesTheLockAndSocket)
{
    std::string socketPath;
    {
        SingleInstance first(options());
        ASSERT_EQ(*first.start({}), Outcome::Running);
        socketPath = first.socketPath();
        EXPECT_TRUE(std::filesystem::exists(socketPath));
    }
    EXPECT_FALSE(std::filesystem::exists(socketPath));
    SingleInstance next(options());
    EXPECT_EQ(*next.start({}), Outcome::Running);
}

TEST_F(SingleInstanceTest, LockHolderThatNeverListensGivesNoAnswerAfterTheTimeOut)
{
    ASSERT_EQ(::mkdir((m_dir + "/sub").c_str(), 0700), 0);
    std::string folder = m_dir + "/sub";
    int lock = ::open((folder + "/Corvantis.instance.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);

    SingleInstance second({ folder, 150ms });
    auto begin = std::chrono::steady_clock::now();
    auto outcome = second.start({ "/tmp/x.ppx" });
    auto elapsed = std::chrono::steady_clock::now() - begin;
    ::close(lock);
    ASSERT_TRUE(outcome.ok()) << outcome.status().message();
    EXPECT_EQ(*outcome, Outcome::NoAnswer);
    EXPECT_GE(elapsed, 150ms);
    EXPECT_LT(elapsed, 5s);
}

TEST_F(SingleInstanceTest, BadPeersAreDroppedAndTheRunningCopyGoesOn)
{
    SingleInstance first(options(200ms));
    Recorder recorder;
    recorder.attach(first);
    ASSERT_EQ(*first.start({}), Outcome::Running);

    struct Case {
        const char* name;
        QByteArray bytes;
    };
    const Case cases[] = {
        { "text of another protocol", QByteArray("GET / HTTP/1.0\r\n\r\n") },
        { "count beyond the limit", QByteArray("CVSI\xff\xff\xff\xff", 8) },
        { "empty path", QByteArray("CVSI\0\0\0\1\0\0\0\0", 12) },
        { "path with a NUL", QByteArray("CVSI\0\0\0\1\0\0\0\3a\0b", 15) },
        { "path longer than allowed", QByteArray("CVSI\0\0\0\1\0\1\0\0", 12) },
        { "stops half-way (time-out)", QByteArray("CVSI\0\0", 6) },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_TRUE(sendAndExpectDrop(first.socketPath(), c.bytes));
    }
    EXPECT_TRUE(recorder.events.empty());

    SingleInstance second(options());
    EXPECT_EQ(*second.start({ "/tmp/after.ppx" }), Outcome::HandedOver);
    ASSERT_TRUE(runEventsUntil([&] { return recorder.events.size() == 2; }));
    EXPECT_EQ(recorder.files, (std::vector<std::vector<std::string>> { { "/tmp/after.ppx" } }));
}

TEST_F(SingleInstanceTest, MissingFolderIsCreatedPrivate)
{
    std::string folder = m_dir + "/a/b";
    SingleInstance first({ folder, 5s });
    ASSERT_EQ(*first.start({}), Outcome::Running);
    struct stat st { };
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(SingleInstanceTest, SocketPathTooLongIsRefusedByName)
{
    std::string folder = m_dir + "/" + std::string(100, 'd');
    SingleInstance first({ folder, 5s });
    auto outcome = first.start({});
    ASSERT_FALSE(outcome.ok());
    EXPECT_NE(outcome.status().message().find(folder), std::string::npos);
}

TEST(SingleInstanceFolder, RuntimeFolderElseTheApplicationsHome)
{
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    std::optional<std::string> restore = saved ? std::optional<std::string>(saved) : std::nullopt;
    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(SingleInstance::defaultFolder(), "/run/user/4242");
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(SingleInstance::defaultFolder(), programHomeDir(Program::Application));
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(SingleInstance::defaultFolder(), programHomeDir(Program::Application));
    if (restore)
        setenv("XDG_RUNTIME_DIR", restore->c_str(), 1);
}

TEST(SingleInstanceWire, DecodesOnlyCompleteWellFormedHandOvers)
{
    const std::vector<std::string> paths = { "/a b/c.ppx", "/\xc3\xa9.ppx" };
    const std::string whole = SingleInstance::encodeHandOver(paths);
    std::vector<std::string> out;
    ASSERT_EQ(SingleInstance::decodeHandOver(whole, out), Decoded::Complete);
    EXPECT_EQ(out, paths);
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        std::vector<std::string> partial;
        EXPECT_EQ(SingleInstance::decodeHandOver(std::string_view(whole).substr(0, cut), partial), Decoded::NeedMore);
    }
    std::vector<std::string> none;
    ASSERT_EQ(SingleInstance::decodeHandOver(SingleInstance::encodeHandOver({}), none), Decoded::Complete);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(SingleInstance::decodeHandOver("XVSI", out), Decoded::Invalid);
    EXPECT_EQ(SingleInstance::decodeHandOver(std::string("CVSI\0\0\1\1", 8), out), Decoded::Invalid);
    std::string atLimit = SingleInstance::encodeHandOver({ std::string(SingleInstance::kMaxPathBytes, 'p') });
    EXPECT_EQ(SingleInstance::decodeHandOver(atLimit, out), Decoded::Complete);
    std::string overLimit = SingleInstance::encodeHandOver({ std::string(SingleInstance::kMaxPathBytes + 1, 'p') });
    EXPECT_EQ(SingleInstance::decodeHandOver(overLimit, out), Decoded::Invalid);
}

} // namespace
} // namespace corvantis
