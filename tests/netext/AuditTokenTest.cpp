#include "platform/netext/AuditToken.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <optional>
#include <sstream>
#include <unistd.h>

#include "tests/support/TempDir.h"
#include "tests/support/WaitingChild.h"

namespace corvantis {
namespace {

constexpr uint32_t kUnsetId = 0xFFFFFFFFu;

std::string ReadText(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

void ExpectSameToken(const AuditToken& actual, const AuditToken& expected)
{
    EXPECT_EQ(actual.pid, expected.pid);
    EXPECT_EQ(actual.auid, expected.auid);
    EXPECT_EQ(actual.uid, expected.uid);
    EXPECT_EQ(actual.startTime, expected.startTime);
    EXPECT_EQ(actual.socketInode, expected.socketInode);
}

TEST(AuditTokenBytes, RoundTripKeepsEveryField)
{
    struct Case {
        const char* name;
        AuditToken token;
    };
    const Case cases[] = {
        { "defaults", AuditToken {} },
        { "typical", AuditToken { 4242, 1000, 1000, 123456789, 987654 } },
        { "unset audit id", AuditToken { 1, kUnsetId, 0, 1, 1 } },
        { "largest values",
            AuditToken { std::numeric_limits<pid_t>::max(), kUnsetId - 1, kUnsetId - 2,
                std::numeric_limits<uint64_t>::max(), std::numeric_limits<uint64_t>::max() - 1 } },
        { "negative pid", AuditToken { std::numeric_limits<pid_t>::min(), 0, 0, 0, 0 } },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::vector<uint8_t> bytes = testCase.token.Bytes();
        ASSERT_EQ(bytes.size(), AuditToken::kSize);
        EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 4, bytes.end()), std::vector<uint8_t>(4, 0));
        std::optional<AuditToken> back = AuditToken::FromBytes(bytes);
        ASSERT_TRUE(back);
        ExpectSameToken(*back, testCase.token);
    }
}

// The flow code on the other side reads the fields at fixed offsets, so the layout is part of the contract.
TEST(AuditTokenBytes, FieldsSitAtTheirOffsetsInHostOrder)
{
    AuditToken token { 0x01020304, 0x05060708u, 0x090A0B0Cu, 0x1112131415161718ull, 0x2122232425262728ull };
    std::vector<uint8_t> bytes = token.Bytes();
    ASSERT_EQ(bytes.size(), AuditToken::kSize);
    int32_t pid = 0;
    uint32_t auid = 0;
    uint32_t uid = 0;
    uint64_t startTime = 0;
    uint64_t socketInode = 0;
    std::memcpy(&pid, bytes.data() + 0, 4);
    std::memcpy(&auid, bytes.data() + 4, 4);
    std::memcpy(&uid, bytes.data() + 8, 4);
    std::memcpy(&startTime, bytes.data() + 12, 8);
    std::memcpy(&socketInode, bytes.data() + 20, 8);
    EXPECT_EQ(pid, 0x01020304);
    EXPECT_EQ(auid, 0x05060708u);
    EXPECT_EQ(uid, 0x090A0B0Cu);
    EXPECT_EQ(startTime, 0x1112131415161718ull);
    EXPECT_EQ(socketInode, 0x2122232425262728ull);
}

TEST(AuditTokenBytes, OnlyExactSizeIsAccepted)
{
    struct Case {
        std::size_t size;
        bool accepted;
    };
    const Case cases[] = { { 0, false }, { 1, false }, { 31, false }, { 32, true }, { 33, false }, { 64, false } };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testing::Message() << "size " << testCase.size);
        std::vector<uint8_t> bytes(testCase.size, 0xAB);
        EXPECT_EQ(AuditToken::FromBytes(bytes).has_value(), testCase.accepted);
    }
}

TEST(AuditTokenProcess, OwnProcessGivesItsIdentityAndExecutable)
{
    std::optional<AuditToken> token = AuditToken::ForProcess(getpid(), 31337);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->pid, getpid());
    EXPECT_EQ(token->uid, getuid());
    EXPECT_EQ(token->socketInode, 31337u);
    EXPECT_NE(token->startTime, 0u);
    EXPECT_EQ(token->startTime, ProcessStartTime(getpid()));

    std::string loginUid = ReadText("/proc/self/loginuid");
    EXPECT_EQ(token->auid, loginUid.empty() ? kUnsetId : static_cast<uint32_t>(std::stoul(loginUid)));

    EXPECT_EQ(token->CodePath(), std::filesystem::read_symlink("/proc/self/exe").string());
}

TEST(AuditTokenProcess, LiveChildThenReapedChild)
{
    std::optional<test::WaitingChild> child;
    child.emplace("/bin/cat", std::vector<std::string> { "cat" });
    pid_t childPid = child->pid();
    ASSERT_GT(childPid, 0);

    std::optional<AuditToken> token = AuditToken::ForProcess(childPid, 5);
    ASSERT_TRUE(token);
    EXPECT_EQ(token->pid, childPid);
    EXPECT_EQ(token->uid, getuid());
    EXPECT_EQ(token->CodePath(), std::filesystem::canonical("/bin/cat").string());

    child.reset();
    EXPECT_EQ(token->CodePath(), std::nullopt);
    EXPECT_EQ(ProcessStartTime(childPid), std::nullopt);
    EXPECT_EQ(AuditToken::ForProcess(childPid, 5), std::nullopt);
}

// A token whose pid now names another process, or no process at all, must find no code.
TEST(AuditTokenProcess, TokenNotMatchingARunningProcessFindsNoCode)
{
    std::optional<AuditToken> own = AuditToken::ForProcess(getpid(), 0);
    ASSERT_TRUE(own);
    ASSERT_TRUE(own->CodePath());

    struct Case {
        const char* name;
        std::function<void(AuditToken&)> change;
    };
    const Case cases[] = {
        { "later start time (pid reused)", [](AuditToken& token) { token.startTime += 1; } },
        { "earlier start time", [](AuditToken& token) { token.startTime -= 1; } },
        { "zero start time", [](AuditToken& token) { token.startTime = 0; } },
        { "pid zero", [](AuditToken& token) { token.pid = 0; } },
        { "pid minus one", [](AuditToken& token) { token.pid = -1; } },
        { "lowest pid", [](AuditToken& token) { token.pid = std::numeric_limits<pid_t>::min(); } },
        { "pid beyond any pid", [](AuditToken& token) { token.pid = std::numeric_limits<pid_t>::max(); } },
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        AuditToken token = *own;
        testCase.change(token);
        EXPECT_EQ(token.CodePath(), std::nullopt);
    }
}

TEST(AuditTokenProcess, NoTokenForAPidWithoutProcess)
{
    const pid_t pids[] = { 0, -1, std::numeric_limits<pid_t>::min(), std::numeric_limits<pid_t>::max() };
    for (pid_t pid : pids) {
        SCOPED_TRACE(testing::Message() << "pid " << pid);
        EXPECT_EQ(AuditToken::ForProcess(pid, 1), std::nullopt);
        EXPECT_EQ(ProcessStartTime(pid), std::nullopt);
    }
}

// The command name shown in /proc/PID/stat is the executable's file name, which may look like the end of the name
// field followed by more fields.
TEST(AuditTokenProcess, CommandNameWithSpacesAndParenthesesIsParsed)
{
    const char* const names[] = { "a) b", ") 1 2 3 (4) 5", "x)" };
    for (const char* name : names) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        std::filesystem::path program = dir / name;
        std::filesystem::copy_file(std::filesystem::canonical("/bin/sleep"), program);
        test::WaitingChild child(program.string(), { name, "30" });
        ASSERT_GT(child.pid(), 0);
        ASSERT_NE(ReadText("/proc/" + std::to_string(child.pid()) + "/stat").find(std::string("(") + name + ")"),
            std::string::npos);

        std::optional<AuditToken> token = AuditToken::ForProcess(child.pid(), 9);
        ASSERT_TRUE(token);
        EXPECT_NE(token->startTime, 0u);
        EXPECT_EQ(token->startTime, ProcessStartTime(child.pid()));
        EXPECT_EQ(token->uid, getuid());
        EXPECT_EQ(token->CodePath(), program.string());
    }
}

} // namespace
} // namespace corvantis
