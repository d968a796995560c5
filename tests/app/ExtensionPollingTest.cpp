#include "app/ExtensionPolling.h"
#include "app/PortList.h"
#include "app/WorkThreads.h"

#include "core/foundation/MessageBox.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace corvantis {
namespace {

namespace fs = std::filesystem;

TEST(ValidatePortsTest, AcceptsPortListsAndNamesTheFirstFault)
{
    struct Case {
        const char* name;
        std::string text;
        bool valid;
        std::string error;
    } cases[] = {
        { "empty", "", true, "" },
        { "separators only", ",; \n;,  ", true, "" },
        { "comma and space", "53, 123, 443", true, "" },
        { "semicolons", "53;123;443", true, "" },
        { "lines and runs of separators", "1\n\n65535,, ;8080", true, "" },
        { "leading zeros", "0080", true, "" },
        { "highest port", "65535", true, "" },
        { "a range", "1000-2000", false, "Invalid character found" },
        { "a lone dash", "-", false, "Invalid character found" },
        { "a tab", "53\t80", false, "Invalid character found" },
        { "a letter after a bad number", "0,x", false, "Invalid character found" },
        { "zero", "0", false, "port number must be grater than 0" },
        { "zeros", "53, 000", false, "port number must be grater than 0" },
        { "one past the highest", "65536", false, "port number is too big" },
        { "70000", "22;70000", false, "port number is too big" },
        { "30 digits", std::string(30, '9'), false, "port number is too big" },
        { "the first bad piece decides", "99999 0", false, "port number is too big" },
        { "then the other way round", "0 99999", false, "port number must be grater than 0" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error = "untouched";
        EXPECT_EQ(ValidatePorts(c.text, error), c.valid);
        EXPECT_EQ(error, c.valid ? "untouched" : c.error);
    }
}

// The loop prompt over a clock the test moves; each step reports one name at one time and answers the box.
TEST(LoopPromptTest, RemembersAYesUntilSixtySecondsAfterTheLastPrompt)
{
    struct Step {
        int64_t at;
        const char* name;
        long answer; // the box's answer if it is shown
        bool asked;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> rules; // expected CreateLoopPreventionRule calls
        int declined;
    } cases[] = {
        { "yes, then the same name within 60 s",
            { { 100, "curl", kMbAnswerYes, true }, { 130, "curl", kMbAnswerYes, false },
                { 160, "curl", kMbAnswerYes, false } },
            { "curl" }, 0 },
        { "yes, then the same name 61 s later",
            { { 100, "curl", kMbAnswerYes, true }, { 161, "curl", kMbAnswerYes, true } }, { "curl", "curl" }, 0 },
        { "60 s is not yet more than 60 s",
            { { 100, "curl", kMbAnswerYes, true }, { 160, "curl", kMbAnswerYes, false } }, { "curl" }, 0 },
        { "no remembers nothing",
            { { 100, "curl", 0, true }, { 101, "curl", 0, true }, { 102, "curl", kMbAnswerYes, true } }, { "curl" },
            2 },
        { "another name is asked about and moves the last prompt on",
            { { 100, "curl", kMbAnswerYes, true }, { 150, "wget", 0, true }, { 200, "curl", 0, false },
                { 211, "curl", 0, true } },
            { "curl" }, 2 },
        { "an empty name is never asked about", { { 100, "", kMbAnswerYes, false } }, {}, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int64_t now = 0;
        long nextAnswer = 0;
        std::vector<std::string> boxes;
        std::vector<std::string> rules;
        int declined = 0;
        LoopPrompt::Options options;
        options.clock = [&] { return now; };
        options.messageBox = [&](const std::string& message, const std::string& caption, int flags) {
            EXPECT_EQ(caption, "Loop Detected");
            EXPECT_EQ(flags, kMbYesNo);
            boxes.push_back(message);
            return nextAnswer;
        };
        options.createRule = [&](const std::string& name) { rules.push_back(name); };
        options.declined = [&] { ++declined; };
        LoopPrompt prompt(std::move(options));
        for (const Step& step : c.steps) {
            SCOPED_TRACE(step.at);
            now = step.at;
            nextAnswer = step.answer;
            const size_t before = boxes.size();
            EXPECT_EQ(prompt.report(step.name), step.asked);
            ASSERT_EQ(boxes.size(), before + (step.asked ? 1 : 0));
            if (step.asked) {
                EXPECT_EQ(boxes.back(), LoopPromptText(step.name));
            }
        }
        EXPECT_EQ(rules, c.rules);
        EXPECT_EQ(declined, c.declined);
    }
}

TEST(LoopPromptTest, AsksInTheUsersWords)
{
    EXPECT_EQ(LoopPromptText("Safari Helper"),
        "Corvantis has detected that Safari Helper application has likely caused an infinite connection loop.\n\n"
        "Do you want to exclude this application from Corvantis processing?");
}

TEST(TrafficCountsTest, ReadsTheCountsAsTheExtensionPacksThem)
{
    // The extension copies its 64-bit counts into the reply as they lie in memory.
    const std::vector<uint64_t> counts { 0, 1, 0x0102030405060708ULL, UINT64_MAX };
    PlistData bytes(counts.size() * sizeof(uint64_t));
    std::memcpy(bytes.data(), counts.data(), bytes.size());
    EXPECT_EQ(DecodeTrafficCounts(bytes), counts);

    bytes.push_back(0xff); // a partial count at the end
    EXPECT_EQ(DecodeTrafficCounts(bytes), counts);
    EXPECT_TRUE(DecodeTrafficCounts(PlistData(7, 1)).empty());
    EXPECT_TRUE(DecodeTrafficCounts({}).empty());
}

class ProgramTreeTest : public ::testing::Test {
protected:
    static void touch(const fs::path& path)
    {
        fs::create_directories(path.parent_path());
        std::ofstream(path) << "x";
    }
    // A tree laid out as the install tree is, without the parts `without` names.
    fs::path makeTree(const std::string& name, const std::vector<std::string>& without = {})
    {
        const fs::path root = m_dir / name;
        for (const char* part : { "bin/Corvantis", "libexec/corvantis/CorvantisExtension",
                 "share/corvantis/SystemExtensions/CorvantisExtension/Info.plist" }) {
            if (std::find(without.begin(), without.end(), part) == without.end())
                touch(root / part);
        }
        fs::create_directories(root / "bin");
        return root;
    }

    test::TempDir m_dir;
};

TEST_F(ProgramTreeTest, PassesOnlyInTheBinFolderOfATreeWithTheExtension)
{
    const fs::path full = makeTree("opt-corvantis");
    const fs::path noExtension = makeTree("no-extension", { "libexec/corvantis/CorvantisExtension" });
    const fs::path noManifest
        = makeTree("no-manifest", { "share/corvantis/SystemExtensions/CorvantisExtension/Info.plist" });
    touch(full / "Corvantis");
    touch(full / "sbin/Corvantis");
    fs::create_directories(full / "lib");
    fs::create_directories(noExtension / "libexec/corvantis/CorvantisExtension"); // a folder is no program

    struct Case {
        const char* name;
        fs::path executable;
        bool passes;
    } cases[] = {
        { "install tree", full / "bin/Corvantis", true },
        { "reached through ..", full / "lib/../bin/Corvantis", true },
        { "tree without the extension", noExtension / "bin/Corvantis", false },
        { "tree without the manifest", noManifest / "bin/Corvantis", false },
        { "beside bin", full / "Corvantis", false },
        { "in another folder", full / "sbin/Corvantis", false },
        { "no executable there", full / "bin/Other", false },
        { "empty path", fs::path(), false },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(IsInProgramTree(c.executable), c.passes) << c.executable;
    }
}

TEST_F(ProgramTreeTest, TheBuildTreeIsLaidOutAlike)
{
    // This test program lives in <build>/tests/app/.
    const fs::path build = OwnExecutablePath().parent_path().parent_path().parent_path();
    const fs::path program = build / "bin/Corvantis";
    if (!fs::exists(program) || !fs::exists(build / "libexec/corvantis/CorvantisExtension"))
        GTEST_SKIP() << "the programs are not built in " << build;
    EXPECT_TRUE(IsInProgramTree(program));
    EXPECT_FALSE(IsInProgramTree(OwnExecutablePath()));
}

} // namespace
} // namespace corvantis
