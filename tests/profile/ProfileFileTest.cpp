#include "core/profile/ProfileFile.h"

#include "core/foundation/DataCrypt.h"
#include "core/foundation/XmlReader.h"
#include "core/foundation/XmlWriter.h"
#include "core/profile/ProfileCheck.h"
#include "core/profile/ProfileData.h"
#include "tests/profile/ProfileTestSupport.h"
#include "tests/support/FakeMessageBoxes.h"
#include "tests/support/Subprocess.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace corvantis {
namespace {

namespace fs = std::filesystem;
using test::MakeRule;

constexpr uint32_t kNtlm = 0x1;
constexpr uint32_t kAsIE = 0x2;
constexpr uint32_t kSocks4A = 0x4;
constexpr uint32_t kNtlmNoCredentials = 0x8;
constexpr uint32_t kNegotiate = 0x10;
constexpr uint32_t kUseHostname = 0x100;

const char* const kNewerWarning = "Warning: You are loading profile made with a newer version of Corvantis.\nSome "
                                  "version specific settings will not be loaded.\n";
const char* const kEditionWarning = "Warning: You are loading profile made with another edition of Corvantis.\nSome "
                                    "version specific settings will not be loaded.\n";
const char* const kFormatError = "Cannot load Corvantis profile. Unexpected file format.\nIncorrect number format. ";

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

CProxy MakeProxy(const std::string& host, uint16_t port, int type, int32_t id, uint32_t options = 0,
    const std::string& user = {}, const std::string& password = {})
{
    CProxy proxy(host, port, type, id);
    proxy.m_Options = options;
    proxy.m_AuthEnabled = !user.empty() || !password.empty();
    proxy.m_UserName = user;
    proxy.m_Password = password;
    return proxy;
}

// Every kind of proxy, chain, rule and option, already in the form a read gives back: both forced options on,
// no proxy stores bit 8, and the last rule is a plain "Default".
CProfileData FullProfile(int encryptionMode, bool onlyFromList)
{
    CProfileData profile;
    profile.m_AutoModeDetection = false;
    profile.m_ViaProxy = true;
    profile.m_TryLocalDnsFirst = true;
    profile.m_OnlyFromListMode = onlyFromList;
    profile.m_ExcludeLocalhost = true;
    profile.m_ExcludeSimpleHostnames = false;
    profile.m_ExcludeSelfHostname = true;
    profile.m_ExcludeLocalDomain = false;
    std::string message;
    EXPECT_TRUE(NormalizeLocalHostList(profile, "*.corp.example;intranet;wpad?", message)) << message;
    profile.m_HttpProxiesSupport = true;
    profile.m_HandleDirectConnections = true;
    profile.m_ConnectionLoopDetection = false;
    profile.m_BlockUDP443 = true;
    profile.m_EncryptionMode = encryptionMode;
    profile.m_MasterPassword = encryptionMode == kEncryptionAccount ? "0B1C2D3E-4F50-5162-7384-95A6B7C8D9EA"
        : encryptionMode == kEncryptionMaster                       ? "correct horse"
                                                                    : "";

    profile.m_Proxies = {
        MakeProxy("socks5.example", 1080, kProxySocks5, 100, kUseHostname, "bob", "pa ss & <word> ü"),
        MakeProxy("10.0.0.4", 1081, kProxySocks4, 101, kSocks4A | kUseHostname, "ident-user"),
        MakeProxy("https.example", 3128, kProxyHttps, 102, kNtlm | kAsIE, "DOMAIN\\carol", "ntlm-pass"),
        MakeProxy("2001:db8::7", 8443, kProxyHttps, 103, kNegotiate),
        MakeProxy("http.example", 8080, kProxyHttp, 104),
        MakeProxy("empty-password.example", 1082, kProxySocks5, 105, 0, "dave", ""),
    };
    profile.m_Proxies[1].m_AuthEnabled = true; // SOCKS4 sends a user id and no password

    CChain office("Office & <lab>", 200);
    office.m_Entries = { { 100, true }, { 102, false }, { 104, true } };
    CChain parked("Parked", 201); // no entries yet
    profile.m_Chains = { office, parked };

    CRule block = MakeRule("No ads", "\"Web Browser\"; browser", "*.ads.example; 192.168.*.*", "80; 443", kActionBlock);
    block.m_ProxyId = 0;
    CRule direct = MakeRule(
        "Local nets", "", "10.0.0.0-10.255.255.255; fe80::-fe80::ffff; %SimpleHostnames%", "", kActionDirect, 0);
    direct.m_Enabled = false;
    profile.m_Rules = {
        MakeRule("Localhost", "", "localhost; 127.0.0.1; ::1; %ComputerName%", "", kActionDirect, 0),
        block,
        direct,
        MakeRule("Mail", "mailer", "", "25; 587; 993", kActionProxy, 102),
        MakeRule("Office", "", "*.corp.example", "8000-8100", kActionChain, 200),
        MakeRule("Default", "", "", "", kActionProxy, 100),
    };
    return profile;
}

std::string WriteText(const CProfileData& profile)
{
    std::string text;
    std::string error;
    EXPECT_TRUE(ProfileToXmlString(profile, text, &error)) << error;
    return text;
}

ProfileLoadStatus ReadText(const std::string& text, CProfileData& profile)
{
    CXmlReader reader;
    const std::optional<XmlError> error = reader.OpenString(text);
    EXPECT_FALSE(error) << (error ? error->description : "");
    return ReadProfileXml(profile, reader);
}

// A document of this build around `body`.
std::string Document(const std::string& body,
    const std::string& rootAttributes = "version=\"101\" "
                                        "platform=\"MacOSX\" "
                                        "product_id=\"2\" "
                                        "product_minver=\"200\"")
{
    return "<?xml version=\"1.0\"?>\n<CorvantisProfile " + rootAttributes + ">" + body + "</CorvantisProfile>\n";
}

// The decrypted form of every stored password, and the key text, as the loader sets them.
void DecryptPasswords(CProfileData& profile, const std::string& key)
{
    uint32_t cryptMode = 0;
    if (!GetProfileCryptMode(profile.m_EncryptionMode, cryptMode))
        return;
    profile.m_MasterPassword = key;
    const CDataCrypt crypt(cryptMode, key);
    for (CProxy& proxy : profile.m_Proxies) {
        if (proxy.m_Password.empty())
            continue;
        std::string plain;
        std::string error;
        ASSERT_EQ(crypt.DecryptString(proxy.m_Password, plain, error), 1) << error;
        proxy.m_Password = plain;
    }
}

void ExpectSameProxies(const std::vector<CProxy>& actual, const std::vector<CProxy>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(expected[i].GetHostName());
        EXPECT_EQ(actual[i].GetHostName(), expected[i].GetHostName());
        EXPECT_EQ(actual[i].m_Port, expected[i].m_Port);
        EXPECT_EQ(actual[i].m_Type, expected[i].m_Type);
        EXPECT_EQ(actual[i].m_Id, expected[i].m_Id);
        EXPECT_EQ(actual[i].m_Options, expected[i].m_Options);
        EXPECT_EQ(actual[i].m_AuthEnabled, expected[i].m_AuthEnabled);
        EXPECT_EQ(actual[i].m_UserName, expected[i].m_UserName);
        EXPECT_EQ(actual[i].m_Password, expected[i].m_Password);
        EXPECT_EQ(actual[i].m_AddressFamily, expected[i].m_AddressFamily);
    }
}

void ExpectSameRules(const std::vector<CRule>& actual, const std::vector<CRule>& expected)
{
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < actual.size(); ++i) {
        SCOPED_TRACE(expected[i].m_Name);
        EXPECT_EQ(actual[i].m_Name, expected[i].m_Name);
        EXPECT_EQ(actual[i].m_Enabled, expected[i].m_Enabled);
        EXPECT_EQ(actual[i].m_AppsText, expected[i].m_AppsText);
        EXPECT_EQ(actual[i].m_TargetsText, expected[i].m_TargetsText);
        EXPECT_EQ(actual[i].m_PortsText, expected[i].m_PortsText);
        EXPECT_EQ(actual[i].m_AppsLower, expected[i].m_AppsLower);
        EXPECT_EQ(actual[i].m_Ports, expected[i].m_Ports);
        EXPECT_EQ(actual[i].m_Targets.size(), expected[i].m_Targets.size());
        EXPECT_EQ(actual[i].m_Action, expected[i].m_Action);
        EXPECT_EQ(actual[i].m_ProxyId, expected[i].m_ProxyId);
    }
}

void ExpectSameOptions(const CProfileData& actual, const CProfileData& expected)
{
    EXPECT_EQ(actual.m_AutoModeDetection, expected.m_AutoModeDetection);
    EXPECT_EQ(actual.m_ViaProxy, expected.m_ViaProxy);
    EXPECT_EQ(actual.m_TryLocalDnsFirst, expected.m_TryLocalDnsFirst);
    EXPECT_EQ(actual.m_OnlyFromListMode, expected.m_OnlyFromListMode);
    EXPECT_EQ(actual.m_ExcludeLocalhost, expected.m_ExcludeLocalhost);
    EXPECT_EQ(actual.m_ExcludeSimpleHostnames, expected.m_ExcludeSimpleHostnames);
    EXPECT_EQ(actual.m_ExcludeSelfHostname, expected.m_ExcludeSelfHostname);
    EXPECT_EQ(actual.m_ExcludeLocalDomain, expected.m_ExcludeLocalDomain);
    EXPECT_EQ(actual.m_ExclusionText, expected.m_ExclusionText);
    EXPECT_EQ(actual.m_ExclusionList, expected.m_ExclusionList);
    EXPECT_EQ(actual.m_HttpProxiesSupport, expected.m_HttpProxiesSupport);
    EXPECT_EQ(actual.m_HandleDirectConnections, expected.m_HandleDirectConnections);
    EXPECT_EQ(actual.m_ProcessServices, expected.m_ProcessServices);
    EXPECT_EQ(actual.m_ProcessOtherUsers, expected.m_ProcessOtherUsers);
    EXPECT_EQ(actual.m_ConnectionLoopDetection, expected.m_ConnectionLoopDetection);
    EXPECT_EQ(actual.m_BlockUDP443, expected.m_BlockUDP443);
    EXPECT_EQ(actual.m_EncryptionMode, expected.m_EncryptionMode);
}

class ProfileFileTest : public ::testing::Test {
protected:
    void SetUp() override { resetShown(); }
    void TearDown() override
    {
        boxes.reset();
        theApp = nullptr;
    }

    // Forgets the boxes shown so far; the application's window layer stays registered.
    void resetShown()
    {
        boxes.reset();
        boxes.emplace();
        boxes->observeAs(true);
    }
    // The texts of the message boxes a non-silent write showed, through the core's message-box path.
    std::vector<std::string> shownTexts()
    {
        std::vector<std::string> texts;
        for (const test::ShownBox& box : boxes->shown())
            texts.push_back(box.caption);
        return texts;
    }

    std::optional<test::FakeMessageBoxes> boxes;
};

// ---- Round trip ----

TEST_F(ProfileFileTest, FullProfileSurvivesWriteReadWriteByteForByte)
{
    struct Case {
        const char* name;
        int mode;
        bool onlyFromList;
    };
    const Case cases[] = {
        { "disabled", kEncryptionDisabled, false },
        { "disabled, only from list", kEncryptionDisabled, true },
        { "basic", kEncryptionBasic, false },
        { "account", kEncryptionAccount, false },
        { "master, only from list", kEncryptionMaster, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CProfileData original = FullProfile(c.mode, c.onlyFromList);
        std::string problem;
        ASSERT_TRUE(CheckProfileConsistency(original, problem)) << problem;
        const std::string first = WriteText(original);

        CProfileData read;
        const ProfileLoadStatus status = ReadText(first, read);
        ASSERT_EQ(status.code, ProfileLoadStatus::kSuccess) << status.message;
        EXPECT_EQ(status.message, "");
        DecryptPasswords(read, original.m_MasterPassword);

        ExpectSameOptions(read, original);
        ExpectSameProxies(read.m_Proxies, original.m_Proxies);
        ASSERT_EQ(read.m_Chains.size(), original.m_Chains.size());
        for (size_t i = 0; i < read.m_Chains.size(); ++i) {
            EXPECT_EQ(read.m_Chains[i].m_Name, original.m_Chains[i].m_Name);
            EXPECT_EQ(read.m_Chains[i].m_Id, original.m_Chains[i].m_Id);
            EXPECT_EQ(read.m_Chains[i].m_Entries, original.m_Chains[i].m_Entries);
        }
        ExpectSameRules(read.m_Rules, original.m_Rules);

        EXPECT_EQ(WriteText(read), first);
    }
}

TEST_F(ProfileFileTest, SmallProfileIsWrittenAsTheStoredSample)
{
    // The exact document: element order, attribute order, nesting and number forms.
    CProfileData profile;
    profile.InitNewProfileOptions();
    profile.m_EncryptionMode = kEncryptionDisabled;
    std::string message;
    ASSERT_TRUE(NormalizeLocalHostList(profile, "*.lan", message)) << message;
    profile.m_Proxies = { MakeProxy("proxy.example", 3128, kProxyHttps, 100, kNtlm, "alice", "a<b&c") };
    CChain chain("Via office", 101);
    chain.m_Entries = { { 100, true } };
    profile.m_Chains = { chain };
    profile.m_Rules = { MakeRule("Office", "ssh", "*.corp", "22", kActionChain, 101),
        MakeRule("Default", "", "", "", kActionDirect, 0) };
    EXPECT_EQ(WriteText(profile), ReadFile(fs::path(CORVANTIS_TEST_DATA_DIR) / "profiles" / "small-written.ppx"));
}

TEST_F(ProfileFileTest, VersionAndMinimumVersionFollowTheOnlyFromListMode)
{
    for (const bool onlyFromList : { false, true }) {
        SCOPED_TRACE(onlyFromList);
        CProfileData profile = FullProfile(kEncryptionDisabled, onlyFromList);
        CXmlReader reader;
        ASSERT_FALSE(reader.OpenString(WriteText(profile)));
        ASSERT_TRUE(reader.FindElement("CorvantisProfile"));
        EXPECT_EQ(reader.GetAttribute("version"), onlyFromList ? "102" : "101");
        EXPECT_EQ(reader.GetAttribute("platform"), "MacOSX");
        EXPECT_EQ(reader.GetAttribute("product_id"), "2");
        EXPECT_EQ(reader.GetAttribute("product_minver"), onlyFromList ? "212" : "200");
        ASSERT_TRUE(reader.FindElement("Options"));
        ASSERT_TRUE(reader.FindElement("Resolve"));
        ASSERT_TRUE(reader.FindElement("ExclusionList"));
        EXPECT_EQ(reader.GetAttribute("OnlyFromListMode"), onlyFromList ? "true" : "");
        // Without the mode, the switched-on presets lead the text.
        EXPECT_EQ(reader.GetText(),
            onlyFromList ? "*.corp.example;intranet;wpad?"
                         : "localhost;%ComputerName%;\n*.corp.example;intranet;wpad?");
    }
}

// ---- Passwords in each encryption mode ----

TEST_F(ProfileFileTest, PasswordsAreStoredAsTheEncryptionModeSays)
{
    struct Case {
        int mode;
        const char* word;
        bool encrypted;
        uint32_t cryptMode;
        bool hash;
    };
    const Case cases[] = {
        { kEncryptionDisabled, "disabled", false, 0, false },
        { kEncryptionBasic, "basic", true, CDataCrypt::kModeBasic, false },
        { kEncryptionAccount, "account", true, CDataCrypt::kModeAccount, true },
        { kEncryptionMaster, "master", true, CDataCrypt::kModeMaster, true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.word);
        const CProfileData profile = FullProfile(c.mode, false);
        CProfileData read;
        ASSERT_EQ(ReadText(WriteText(profile), read).code, ProfileLoadStatus::kSuccess);
        EXPECT_EQ(read.m_EncryptionMode, c.mode);
        EXPECT_EQ(read.m_MasterPassword, ""); // the key text is never written
        const CProxy& stored = read.m_Proxies[0];
        if (!c.encrypted) {
            EXPECT_EQ(stored.m_Password, "pa ss & <word> ü");
        } else {
            EXPECT_NE(stored.m_Password, "pa ss & <word> ü");
            std::string plain;
            std::string error;
            EXPECT_EQ(
                CDataCrypt(c.cryptMode, profile.m_MasterPassword).DecryptString(stored.m_Password, plain, error), 1)
                << error;
            EXPECT_EQ(plain, "pa ss & <word> ü");
            if (c.mode != kEncryptionBasic) {
                EXPECT_EQ(CDataCrypt(c.cryptMode, "wrong key").DecryptString(stored.m_Password, plain, error), 0);
            }
        }
        // A proxy without a password keeps an empty field in every mode.
        EXPECT_EQ(read.m_Proxies[5].m_Password, "");
        if (c.hash) {
            std::string letter;
            std::string error;
            ASSERT_FALSE(read.m_Hash.empty());
            EXPECT_EQ(CDataCrypt(c.cryptMode, profile.m_MasterPassword).DecryptString(read.m_Hash, letter, error), 1);
            EXPECT_EQ(letter, "A");
        } else {
            EXPECT_EQ(read.m_Hash, "");
            EXPECT_EQ(WriteText(profile).find("<Hash>"), std::string::npos);
        }
    }
}

TEST_F(ProfileFileTest, BasicCopyForTheExtensionReadsWithoutTheMasterPassword)
{
    // The application hands the extension its profile in mode "basic"; the extension has no master password.
    CProfileData copy = FullProfile(kEncryptionMaster, false);
    copy.m_EncryptionMode = kEncryptionBasic;
    test::TestApp extension;
    extension.SetExtensionMode(true);
    theApp = &extension;
    CProfileData read;
    const ProfileLoadStatus status = ReadText(WriteText(copy), read);
    ASSERT_EQ(status.code, ProfileLoadStatus::kSuccess) << status.message;
    EXPECT_EQ(read.m_Hash, "");
    std::string plain;
    std::string error;
    ASSERT_EQ(CDataCrypt(CDataCrypt::kModeBasic, "").DecryptString(read.m_Proxies[2].m_Password, plain, error), 1);
    EXPECT_EQ(plain, "ntlm-pass");
}

TEST_F(ProfileFileTest, PasswordThatCannotBeEncryptedFailsTheSaveAndKeepsTheFile)
{
    struct Case {
        const char* name;
        int mode;
        std::string password;
        const char* cryptError;
    };
    const Case cases[] = {
        { "basic, too long", kEncryptionBasic, std::string(300, 'p'), "String is too large." },
        { "account, not UTF-8", kEncryptionAccount, "bad \xff byte", "General convertion error." },
        { "master, NUL inside", kEncryptionMaster, std::string("a\0b", 3), "General convertion error." },
    };
    test::TempDir dir;
    const fs::path path = dir / "office.ppx";
    for (const Case& c : cases) {
        for (const unsigned flags : { 0u, kProfileSilent }) {
            SCOPED_TRACE(std::string(c.name) + (flags ? ", silent" : ""));
            std::ofstream(path) << "previous profile";
            resetShown();
            CProfileData profile = FullProfile(c.mode, false);
            profile.m_Proxies[2].m_Password = c.password;
            CXmlWriter writer;
            ASSERT_EQ(writer.OpenFile(path.string()), 0);
            std::string error;
            EXPECT_FALSE(WriteProfileXml(profile, writer, flags, &error));
            const std::string expected
                = std::string("Cannot encrypt password for proxy https.example.\nError: ") + c.cryptError;
            EXPECT_EQ(error, expected);
            EXPECT_EQ(shownTexts(), flags ? std::vector<std::string> {} : std::vector<std::string> { expected });
            EXPECT_EQ(ReadFile(path), "previous profile");

            std::string text = "untouched";
            EXPECT_FALSE(ProfileToXmlString(profile, text, &error));
            EXPECT_EQ(text, "untouched");
        }
    }
}

TEST_F(ProfileFileTest, PlainModeStoresAnyPasswordAsTyped)
{
    CProfileData profile = FullProfile(kEncryptionDisabled, false);
    profile.m_Proxies[2].m_Password = std::string(300, 'p');
    CProfileData read;
    ASSERT_EQ(ReadText(WriteText(profile), read).code, ProfileLoadStatus::kSuccess);
    EXPECT_EQ(read.m_Proxies[2].m_Password, std::string(300, 'p'));
}

// ---- Saving ----

TEST_F(ProfileFileTest, SavedFileReadsBack)
{
    test::TempDir dir;
    const fs::path path = dir / "office.ppx";
    const CProfileData profile = FullProfile(kEncryptionDisabled, false);
    CXmlWriter writer;
    ASSERT_EQ(writer.OpenFile(path.string()), 0);
    ASSERT_TRUE(WriteProfileXml(profile, writer, 0));
    EXPECT_EQ(ReadFile(path), WriteText(profile));
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenFile(path.string()));
    CProfileData read;
    EXPECT_EQ(ReadProfileXml(read, reader).code, ProfileLoadStatus::kSuccess);
    EXPECT_TRUE(shownTexts().empty());
}

TEST_F(ProfileFileTest, SavedFileHasTheTreeAnotherParserSees)
{
    test::TempDir dir;
    const fs::path path = dir / "office.ppx";
    CProfileData profile = FullProfile(kEncryptionMaster, true);
    profile.m_Proxies[0].m_Options = kNtlmNoCredentials;
    CXmlWriter writer;
    ASSERT_EQ(writer.OpenFile(path.string()), 0);
    ASSERT_TRUE(WriteProfileXml(profile, writer, 0));
    struct Case {
        const char* xpath;
        const char* value;
    };
    const Case cases[] = {
        { "string(/CorvantisProfile/@version)", "102" },
        { "string(/CorvantisProfile/@product_minver)", "212" },
        { "string(/CorvantisProfile/Options/Resolve/ViaProxy/TryLocalDnsFirst/@enabled)", "true" },
        { "string(/CorvantisProfile/Options/Resolve/ExclusionList/@OnlyFromListMode)", "true" },
        { "string(/CorvantisProfile/Options/Encryption/@mode)", "master" },
        { "count(/CorvantisProfile/Options/Encryption/Hash)", "1" },
        { "string(/CorvantisProfile/Options/*[last()]/@enabled)", "true" }, // BlockUDP443
        { "name(/CorvantisProfile/Options/*[last()])", "BlockUDP443" },
        { "count(/CorvantisProfile/ProxyList/Proxy)", "6" },
        { "string(/CorvantisProfile/ProxyList/Proxy[4]/Address)", "2001:db8::7" },
        { "string(/CorvantisProfile/ProxyList/Proxy[4]/@type)", "HTTPS" },
        { "count(/CorvantisProfile/ProxyList/Proxy[1]/Authentication/*)", "0" },
        { "count(/CorvantisProfile/ProxyList/Proxy[4]/Authentication)", "0" },
        { "string(/CorvantisProfile/ChainList/Chain[1]/Name)", "Office & <lab>" },
        { "string(/CorvantisProfile/ChainList/Chain[1]/Proxy[2]/@enabled)", "false" },
        { "count(/CorvantisProfile/ChainList/Chain[2]/Proxy)", "0" },
        { "count(/CorvantisProfile/RuleList/Rule)", "6" },
        { "count(/CorvantisProfile/RuleList/Rule/@id)", "0" },
        { "string(/CorvantisProfile/RuleList/Rule[2]/Action/@type)", "Block" },
        { "string(/CorvantisProfile/RuleList/Rule[2]/Action)", "" },
        { "count(/CorvantisProfile/RuleList/Rule[4]/Targets)", "0" },
        { "string(/CorvantisProfile/RuleList/Rule[5]/Action)", "200" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xpath);
        const test::CommandResult lint = test::runCommand({ "xmllint", "--xpath", c.xpath, path.string() });
        EXPECT_EQ(lint.exitCode, 0) << lint.err;
        std::string value = lint.out;
        if (value.ends_with('\n'))
            value.pop_back();
        EXPECT_EQ(value, c.value);
    }
}

TEST_F(ProfileFileTest, SaveIntoAMissingFolderIsReported)
{
    test::TempDir dir;
    const fs::path path = dir / "no such folder" / "office.ppx";
    CXmlWriter writer;
    ASSERT_EQ(writer.OpenFile(path.string()), 0);
    std::string error;
    EXPECT_FALSE(WriteProfileXml(FullProfile(kEncryptionDisabled, false), writer, 0, &error));
    EXPECT_TRUE(error.starts_with("Cannot write profile:\n")) << error;
    EXPECT_NE(error.find(path.string()), std::string::npos) << error;
    EXPECT_EQ(shownTexts(), std::vector<std::string> { error });
    EXPECT_FALSE(fs::exists(path));
}

TEST_F(ProfileFileTest, SaveThatRunsOutOfSpaceFailsAndKeepsThePreviousFile)
{
    test::TempDir dir;
    const fs::path path = dir / "office.ppx";
    std::ofstream(path) << "previous profile";
    // A file size limit stops the write part-way, as a full disk does; the child reports what the save returned.
    const int code = test::runInChild([&] {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit { 256, 256 };
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            return 100;
        CXmlWriter writer;
        (void)writer.OpenFile(path.string());
        std::string error;
        const bool saved = WriteProfileXml(FullProfile(kEncryptionDisabled, false), writer, kProfileSilent, &error);
        return saved ? 1 : error.starts_with("Cannot write profile:\n") ? 0 : 2;
    });
    EXPECT_EQ(code, 0);
    EXPECT_EQ(ReadFile(path), "previous profile");
    std::vector<std::string> entries;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        entries.push_back(entry.path().filename().string());
    EXPECT_EQ(entries, std::vector<std::string> { "office.ppx" });
}

TEST_F(ProfileFileTest, ValuesWithoutAWordFailTheWrite)
{
    struct Case {
        const char* name;
        std::function<void(CProfileData&)> spoil;
        const char* error;
    };
    const Case cases[] = {
        { "encryption mode", [](CProfileData& p) { p.m_EncryptionMode = 7; },
            "Cannot write profile:\nUnknown password encryption mode." },
        { "proxy type", [](CProfileData& p) { p.m_Proxies[4].m_Type = 9; },
            "Cannot write profile:\nUnknown type of proxy server http.example." },
        { "rule action", [](CProfileData& p) { p.m_Rules[3].m_Action = -1; },
            "Cannot write profile:\nUnknown action of rule \"Mail\"." },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData profile = FullProfile(kEncryptionDisabled, false);
        c.spoil(profile);
        std::string text;
        std::string error;
        EXPECT_FALSE(ProfileToXmlString(profile, text, &error));
        EXPECT_EQ(error, c.error);
        EXPECT_TRUE(shownTexts().empty()); // the text for the extension is written silently
    }
}

// ---- The reader's normalisations, each on its own ----

TEST_F(ProfileFileTest, CredentialsOfAProxyWithoutStoredCredentialsAreDropped)
{
    CProfileData profile = FullProfile(kEncryptionMaster, false);
    profile.m_Proxies[2].m_Options = kNtlm | kNtlmNoCredentials;
    const std::string text = WriteText(profile);
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenString(text));
    ASSERT_TRUE(reader.FindElement("CorvantisProfile"));
    ASSERT_TRUE(reader.FindElement("ProxyList"));
    ASSERT_TRUE(reader.FindElement("Proxy"));
    ASSERT_TRUE(reader.FindNextSibling("Proxy"));
    ASSERT_TRUE(reader.FindNextSibling("Proxy"));
    EXPECT_EQ(reader.GetAttribute("id"), "102");
    ASSERT_TRUE(reader.FindElement("Authentication"));
    EXPECT_EQ(reader.GetAttribute("enabled"), "true");
    EXPECT_FALSE(reader.HasChildren());

    CProfileData read;
    ASSERT_EQ(ReadText(text, read).code, ProfileLoadStatus::kSuccess);
    EXPECT_EQ(read.m_Proxies[2].m_Options, kNtlm);
    EXPECT_TRUE(read.m_Proxies[2].m_AuthEnabled);
    EXPECT_EQ(read.m_Proxies[2].m_UserName, "");
    EXPECT_EQ(read.m_Proxies[2].m_Password, "");
}

TEST_F(ProfileFileTest, ProcessingOptionsAreAlwaysOnAfterARead)
{
    CProfileData read;
    const ProfileLoadStatus status = ReadText(
        Document("<Options><ProcessServices enabled=\"false\"/><ProcessOtherUsers enabled=\"false\"/></Options>"),
        read);
    ASSERT_EQ(status.code, ProfileLoadStatus::kSuccess) << status.message;
    EXPECT_TRUE(read.m_ProcessServices);
    EXPECT_TRUE(read.m_ProcessOtherUsers);
}

TEST_F(ProfileFileTest, RuleListAlwaysEndsWithThePlainDefaultRule)
{
    const std::string proxy = "<ProxyList><Proxy id=\"105\" type=\"SOCKS5\"><Address>p.example</Address>"
                              "<Port>1080</Port></Proxy></ProxyList>";
    struct Case {
        const char* name;
        const char* rules;
        std::vector<std::string> names;
        int lastAction;
        int64_t lastId;
    };
    const Case cases[] = {
        { "last Default keeps only action and id",
            "<Rule enabled=\"false\"><Name>Default</Name><Applications>curl</Applications><Targets>*.example"
            "</Targets><Ports>80</Ports><Action type=\"Proxy\">105</Action></Rule>",
            { "Default" }, kActionProxy, 105 },
        { "no Default gets one", "<Rule enabled=\"true\"><Name>Web</Name><Action type=\"Block\"/></Rule>",
            { "Web", "Default" }, kActionDirect, -1 },
        { "empty list", "", { "Default" }, kActionDirect, -1 },
        { "name compares case-sensitively",
            "<Rule enabled=\"true\"><Name>default</Name><Action type=\"Block\"/></Rule>", { "default", "Default" },
            kActionDirect, -1 },
        { "Default not last",
            "<Rule enabled=\"true\"><Name>Default</Name><Action type=\"Block\"/></Rule>"
            "<Rule enabled=\"true\"><Name>Web</Name><Action type=\"Block\"/></Rule>",
            { "Default", "Web", "Default" }, kActionDirect, -1 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData read;
        const ProfileLoadStatus status
            = ReadText(Document(proxy + "<RuleList>" + std::string(c.rules) + "</RuleList>"), read);
        ASSERT_EQ(status.code, ProfileLoadStatus::kSuccess) << status.message;
        std::vector<std::string> names;
        for (const CRule& rule : read.m_Rules)
            names.push_back(rule.m_Name);
        EXPECT_EQ(names, c.names);
        const CRule& last = read.m_Rules.back();
        EXPECT_TRUE(last.m_Enabled);
        EXPECT_EQ(last.m_Action, c.lastAction);
        EXPECT_EQ(last.m_ProxyId, c.lastId);
        EXPECT_TRUE(last.m_AppsText.empty() && last.m_TargetsText.empty() && last.m_PortsText.empty());
        EXPECT_TRUE(last.m_Apps.empty() && last.m_Targets.empty() && last.m_Ports.empty());
    }
}

TEST_F(ProfileFileTest, BlockAndDirectRulesCarryNoId)
{
    CProfileData read;
    ASSERT_EQ(ReadText(Document("<RuleList><Rule enabled=\"true\"><Name>Ads</Name><Action type=\"Block\">77</Action>"
                                "</Rule><Rule enabled=\"true\"><Name>Lan</Name><Action type=\"Direct\">78</Action>"
                                "</Rule></RuleList>"),
                  read)
                  .code,
        ProfileLoadStatus::kSuccess);
    ASSERT_EQ(read.m_Rules.size(), 3u);
    EXPECT_EQ(read.m_Rules[0].m_ProxyId, 0);
    EXPECT_EQ(read.m_Rules[1].m_ProxyId, 0);
}

TEST_F(ProfileFileTest, ExclusionListOptionsAreReadFromAttributesAndText)
{
    struct Case {
        const char* name;
        const char* version;
        const char* element;
        bool onlyFromList, localhost, simple, self, localDomain;
        std::vector<std::string> entries;
    };
    const Case cases[] = {
        { "other spelling of localhost", "101", "<ExclusionList ExcludeLocalHost=\"true\" ExcludeLocalhost=\"false\"/>",
            false, true, false, false, false, {} },
        { "other spelling of own name", "101", "<ExclusionList ExcludeSelfHostName=\"true\"/>", false, false, false,
            true, false, {} },
        { "presets in the text become options", "101",
            "<ExclusionList>localhost;%SimpleHostnames%;\nwpad;*.LOCAL;%computername%</ExclusionList>", false, true,
            true, true, true, { "wpad" } },
        { "only-from-list mode from version 102 on", "102",
            "<ExclusionList OnlyFromListMode=\"true\">*.lan</ExclusionList>", true, false, false, false, false,
            { "*.lan" } },
        { "only-from-list mode unread before version 102", "101",
            "<ExclusionList OnlyFromListMode=\"true\">*.lan</ExclusionList>", false, false, false, false, false,
            { "*.lan" } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData read;
        const ProfileLoadStatus status
            = ReadText(Document("<Options><Resolve>" + std::string(c.element) + "</Resolve></Options>",
                           std::string("version=\"") + c.version + "\" product_id=\"2\" product_minver=\"200\""),
                read);
        ASSERT_EQ(status.code, ProfileLoadStatus::kSuccess) << status.message;
        EXPECT_EQ(read.m_OnlyFromListMode, c.onlyFromList);
        EXPECT_EQ(read.m_ExcludeLocalhost, c.localhost);
        EXPECT_EQ(read.m_ExcludeSimpleHostnames, c.simple);
        EXPECT_EQ(read.m_ExcludeSelfHostname, c.self);
        EXPECT_EQ(read.m_ExcludeLocalDomain, c.localDomain);
        EXPECT_EQ(read.m_ExclusionList, c.entries);
    }
}

TEST_F(ProfileFileTest, AbsentElementsAndUnknownWordsKeepTheDefaults)
{
    const CProfileData defaults;
    for (const char* options : { "", "<Options><Encryption mode=\"Master\"/></Options>",
             "<Options><Encryption mode=\"rot13\"><Hash>abc</Hash></Encryption></Options>" }) {
        SCOPED_TRACE(options);
        CProfileData read;
        ASSERT_EQ(ReadText(Document(options), read).code, ProfileLoadStatus::kSuccess);
        ExpectSameOptions(read, defaults);
    }
}

TEST_F(ProfileFileTest, AbsentRuleAndProxyElementsReadAsTheirDefaults)
{
    CProfileData read;
    const ProfileLoadStatus status
        = ReadText(Document("<ProxyList><Proxy id=\"100\" type=\"SOCKS5\"><Address>p.example</Address><Port>1080</Port>"
                            "</Proxy></ProxyList><ChainList><Chain id=\"200\"><Name>c</Name></Chain></ChainList>"
                            "<RuleList><Rule enabled=\"true\"><Name>No action</Name><Targets>*.example</Targets></Rule>"
                            "<Rule><Name>No enabled</Name><Action type=\"Block\"/></Rule>"
                            "<Rule enabled=\"true\"><Name>Default</Name></Rule></RuleList>"),
            read);
    ASSERT_EQ(status.code, ProfileLoadStatus::kSuccess) << status.message;

    ASSERT_EQ(read.m_Rules.size(), 3u);
    const CRule& noAction = read.m_Rules[0];
    EXPECT_EQ(noAction.m_Action, kActionDirect);
    EXPECT_EQ(noAction.m_ProxyId, 0);
    EXPECT_TRUE(noAction.m_Enabled);
    EXPECT_EQ(noAction.m_Targets.size(), 1u);
    EXPECT_FALSE(read.m_Rules[1].m_Enabled) << "a missing boolean reads as false";
    EXPECT_EQ(read.m_Rules[2].m_Name, "Default");
    EXPECT_EQ(read.m_Rules[2].m_Action, kActionDirect);

    ASSERT_EQ(read.m_Proxies.size(), 1u);
    EXPECT_EQ(read.m_Proxies[0].m_Options, 0u);
    EXPECT_FALSE(read.m_Proxies[0].m_AuthEnabled);
    EXPECT_EQ(read.m_Proxies[0].m_UserName, "");
    ASSERT_EQ(read.m_Chains.size(), 1u);
    EXPECT_TRUE(read.m_Chains[0].m_Entries.empty());
}

TEST_F(ProfileFileTest, NumbersWithTrailingTextReadTheirLeadingNumber)
{
    CProfileData read;
    const ProfileLoadStatus status
        = ReadText(Document("<ProxyList><Proxy id=\"105x\" type=\"SOCKS5\"><Address>p.example</Address>"
                            "<Port>1081tcp</Port><Options>5 (SOCKS4A and NTLM)</Options></Proxy></ProxyList>"
                            "<ChainList><Chain id=\"200 office\"><Name>c</Name><Proxy enabled=\"true\">105;</Proxy>"
                            "</Chain></ChainList><RuleList><Rule enabled=\"true\"><Name>r</Name>"
                            "<Action type=\"Proxy\">105 (the office proxy)</Action></Rule>"
                            "<Rule enabled=\"true\"><Name>c</Name><Action type=\"Chain\">200\n</Action></Rule>"
                            "</RuleList>"),
            read);
    ASSERT_EQ(status.code, ProfileLoadStatus::kSuccess) << status.message;
    ASSERT_EQ(read.m_Proxies.size(), 1u);
    EXPECT_EQ(read.m_Proxies[0].m_Id, 105);
    EXPECT_EQ(read.m_Proxies[0].m_Port, 1081);
    EXPECT_EQ(read.m_Proxies[0].m_Options, 5u);
    ASSERT_EQ(read.m_Chains.size(), 1u);
    EXPECT_EQ(read.m_Chains[0].m_Id, 200);
    EXPECT_EQ(read.m_Chains[0].m_Entries, (std::vector<CChainEntry> { { 105, true } }));
    ASSERT_EQ(read.m_Rules.size(), 3u);
    EXPECT_EQ(read.m_Rules[0].m_ProxyId, 105);
    EXPECT_EQ(read.m_Rules[1].m_ProxyId, 200);
}

TEST_F(ProfileFileTest, AProfileCutShortNeverLoadsAsASmallerProfile)
{
    CProfileData full = FullProfile(kEncryptionBasic, false);
    for (int i = 0; i < 8; ++i)
        full.m_Rules.insert(full.m_Rules.end() - 1,
            MakeRule(
                "Site " + std::to_string(i), "", "*.site" + std::to_string(i) + ".example", "", kActionChain, 200));
    ASSERT_EQ(full.m_Rules.size(), 14u);
    const std::string text = WriteText(full);

    int refused = 0;
    for (size_t cut = 97; cut < text.size(); cut += 97) {
        SCOPED_TRACE("cut at byte " + std::to_string(cut));
        CXmlReader reader;
        if (reader.OpenString(text.substr(0, cut))) {
            ++refused; // nothing could be parsed at all
            continue;
        }
        CProfileData read;
        const ProfileLoadStatus status = ReadProfileXml(read, reader);
        ASSERT_EQ(status.code, ProfileLoadStatus::kError)
            << read.m_Proxies.size() << " proxies, " << read.m_Chains.size() << " chains, " << read.m_Rules.size()
            << " rules";
        EXPECT_TRUE(status.message.starts_with(
            "Cannot load Corvantis profile. Unexpected file format.\nThe document is not well-formed XML. "))
            << status.message;
        ++refused;
    }
    EXPECT_EQ(refused, static_cast<int>((text.size() - 1) / 97));

    // The whole document still loads, and so does one whose last line break is missing.
    for (const std::string& whole : { text, text.substr(0, text.find_last_not_of('\n') + 1) }) {
        CProfileData read;
        ASSERT_EQ(ReadText(whole, read).code, ProfileLoadStatus::kSuccess);
        EXPECT_EQ(read.m_Rules.size(), 14u);
    }
}

TEST_F(ProfileFileTest, TrailingDotOfAProxyAddressIsDropped)
{
    CProfileData read;
    ASSERT_EQ(ReadText(Document("<ProxyList><Proxy id=\"100\" type=\"HTTP\"><Address>proxy.example.</Address>"
                                "<Port>80</Port></Proxy></ProxyList>"),
                  read)
                  .code,
        ProfileLoadStatus::kSuccess);
    EXPECT_EQ(read.m_Proxies.at(0).GetHostName(), "proxy.example");
}

// ---- Version and edition ----

TEST_F(ProfileFileTest, VersionAndEditionChecks)
{
    const std::string tooNew = "Cannot load Corvantis profile.\nIncorrect file format version - %d (should be "
                               "104).\nPlease make sure that you are using the latest version of Corvantis.";
    auto versionError = [&](int version) {
        std::string text = tooNew;
        return text.replace(text.find("%d"), 2, std::to_string(version));
    };
    struct Case {
        const char* attributes;
        int code;
        std::string message;
    };
    const Case cases[] = {
        { "version=\"101\" product_id=\"2\" product_minver=\"200\"", 0, "" },
        { "version=\"101\" product_id=\"2\" product_minver=\"300\"", 0, "" },
        { "version=\"104\" product_id=\"2\" product_minver=\"301\"", 0, kNewerWarning },
        { "version=\"101\" product_id=\"3\" product_minver=\"200\"", 0, kEditionWarning },
        { "version=\"101\" product_minver=\"200\"", 0, kEditionWarning },
        // Before 101 the document names no product.
        { "version=\"100\" product_id=\"2\" product_minver=\"200\"", 0, kEditionWarning },
        { "version=\"105\" product_id=\"2\" product_minver=\"200\"", 1, versionError(105) },
        { "version=\"99\"", 1, versionError(99) },
        { "product_id=\"2\" product_minver=\"200\"", 1, versionError(0) },
        { "version=\"new\"", 1, versionError(0) },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attributes);
        CProfileData read;
        const ProfileLoadStatus status = ReadText(Document("", c.attributes), read);
        EXPECT_EQ(status.code, c.code);
        EXPECT_EQ(status.message, c.message);
    }
}

TEST_F(ProfileFileTest, ExtensionReadsWithoutEditionWarnings)
{
    test::TestApp extension;
    extension.SetExtensionMode(true);
    theApp = &extension;
    for (const char* attributes : { "version=\"104\" product_id=\"2\" product_minver=\"301\"",
             "version=\"101\" product_id=\"3\" product_minver=\"200\"", "version=\"100\"" }) {
        SCOPED_TRACE(attributes);
        CProfileData read;
        const ProfileLoadStatus status = ReadText(Document("", attributes), read);
        EXPECT_EQ(status.code, ProfileLoadStatus::kSuccess);
        EXPECT_EQ(status.message, "");
    }
    // The application's object warns.
    extension.SetExtensionMode(false);
    CProfileData read;
    EXPECT_EQ(ReadText(Document("", "version=\"100\""), read).message, kEditionWarning);
}

// ---- Refused documents ----

TEST_F(ProfileFileTest, BrokenDocumentsAreRefusedWithTheirReason)
{
    const std::string proxyStart = "<ProxyList><Proxy id=\"100\" type=\"SOCKS5\">";
    const std::string proxyEnd = "</Proxy></ProxyList>";
    const std::string goodProxy = proxyStart + "<Address>p.example</Address><Port>1080</Port>" + proxyEnd;
    auto rule
        = [](const std::string& body) { return "<RuleList><Rule enabled=\"true\">" + body + "</Rule></RuleList>"; };
    struct Case {
        const char* name;
        std::string document;
        std::string message;
    };
    const Case cases[] = {
        { "other root", "<?xml version=\"1.0\"?><SomethingElse version=\"101\"/>",
            "Cannot load Corvantis profile - wrong file format.\n" },
        { "proxy type in lower case",
            Document("<ProxyList><Proxy id=\"100\" type=\"socks5\"><Address>p</Address><Port>1</Port></Proxy>"
                     "</ProxyList>"),
            "Cannot load Corvantis profile.\nIncorrect proxy server type." },
        { "proxy without address", Document(proxyStart + "<Port>1080</Port>" + proxyEnd),
            "Cannot load Corvantis profile.\nIncorrect proxy server address." },
        { "port 0", Document(proxyStart + "<Address>p</Address><Port>0</Port>" + proxyEnd),
            "Cannot load Corvantis profile.\nIncorrect port number." },
        { "port 65536", Document(proxyStart + "<Address>p</Address><Port>65536</Port>" + proxyEnd),
            "Cannot load Corvantis profile.\nIncorrect port number." },
        { "port missing", Document(proxyStart + "<Address>p</Address>" + proxyEnd),
            "Cannot load Corvantis profile.\nIncorrect port number." },
        { "port of letters", Document(proxyStart + "<Address>p</Address><Port>http</Port>" + proxyEnd), kFormatError },
        // A port that wraps to 80 in 32 bits is still out of range.
        { "port beyond 32 bits", Document(proxyStart + "<Address>p</Address><Port>4294967376</Port>" + proxyEnd),
            "Cannot load Corvantis profile.\nIncorrect port number." },
        { "port beyond 32 bits with trailing text",
            Document(proxyStart + "<Address>p</Address><Port>4294967376tcp</Port>" + proxyEnd),
            "Cannot load Corvantis profile.\nIncorrect port number." },
        { "port beyond 64 bits",
            Document(proxyStart + "<Address>p</Address><Port>99999999999999999999</Port>" + proxyEnd), kFormatError },
        { "options of letters", Document(proxyStart + "<Options>ntlm</Options>" + proxyEnd), kFormatError },
        { "options in hexadecimal", Document(proxyStart + "<Options>0x8</Options>" + proxyEnd), kFormatError },
        { "chain without name", Document("<ChainList><Chain id=\"200\"><Name></Name></Chain></ChainList>"),
            "Cannot load Corvantis profile.\nChain name missing." },
        { "chain member of letters",
            Document("<ChainList><Chain id=\"200\"><Name>c</Name><Proxy enabled=\"true\">first</Proxy></Chain>"
                     "</ChainList>"),
            kFormatError },
        { "rule without name", Document(rule("<Action type=\"Direct\"/>")),
            "Cannot load Corvantis profile.\nRule name missing." },
        { "rule action in lower case", Document(rule("<Name>r</Name><Action type=\"direct\"/>")),
            "Cannot load Corvantis profile.\nIncorrect rule action type." },
        { "proxy rule without id", Document(goodProxy + rule("<Name>r</Name><Action type=\"Proxy\"/>")), kFormatError },
        { "application list",
            Document(rule("<Name>r</Name><Applications>\"open</Applications><Action type=\"Direct\"/>")),
            "Cannot load Corvantis profile. Error in application list:\n" },
        { "target list", Document(rule("<Name>r</Name><Targets>a b</Targets><Action type=\"Direct\"/>")),
            "Cannot load Corvantis profile. Error in target list:\n" },
        { "port list", Document(rule("<Name>r</Name><Ports>99999</Ports><Action type=\"Direct\"/>")),
            "Cannot load Corvantis profile. Error in port list:\n" },
        { "exclusion list", Document("<Options><Resolve><ExclusionList>10.0.0.1</ExclusionList></Resolve></Options>"),
            "Cannot load DNS exlcusion list.\nError: " },
        { "rule naming a missing proxy", Document(rule("<Name>r</Name><Action type=\"Proxy\">300</Action>")),
            "Cannot load Corvantis profile.\nError found:\nRule \"r\" refers to nonexistent proxy (id = 300)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData read;
        const ProfileLoadStatus status = ReadText(c.document, read);
        EXPECT_EQ(status.code, ProfileLoadStatus::kError);
        // List parsers add their own reason after the fixed start.
        EXPECT_TRUE(status.message.starts_with(c.message)) << status.message;
        if (c.message.back() != '\n' && c.message.back() != ' ') {
            EXPECT_EQ(status.message, c.message);
        }
    }
    EXPECT_TRUE(shownTexts().empty());
}

TEST_F(ProfileFileTest, IdsAreReadExactlyAndNonPositiveReferencesAreRefused)
{
    const std::string proxy105 = "<Proxy id=\"105\" type=\"SOCKS5\"><Address>a.example</Address><Port>1</Port></Proxy>";
    auto proxyWithId = [](const std::string& idAttribute) {
        return "<Proxy " + idAttribute + " type=\"SOCKS5\"><Address>b.example</Address><Port>2</Port></Proxy>";
    };
    auto rule = [](const char* action, const char* id) {
        return std::string("<RuleList><Rule enabled=\"true\"><Name>r</Name><Action type=\"") + action + "\">" + id
            + "</Action></Rule></RuleList>";
    };
    struct Case {
        const char* name;
        std::string body;
        int code;
        std::string message;
    };
    const Case cases[] = {
        { "negative proxy id named by a rule",
            "<ProxyList>" + proxyWithId("id=\"-5\"") + "</ProxyList>" + rule("Proxy", "-5"), 1,
            "Cannot load Corvantis profile.\nError found:\nAction of Rule \"r\" doesn't have a correct proxy ID" },
        { "proxy without id named by a rule", "<ProxyList>" + proxyWithId("") + "</ProxyList>" + rule("Proxy", "0"), 1,
            "Cannot load Corvantis profile.\nError found:\nAction of Rule \"r\" doesn't have a correct proxy ID" },
        { "proxy without id named by a chain",
            "<ProxyList>" + proxyWithId("")
                + "</ProxyList><ChainList><Chain id=\"200\"><Name>c</Name>"
                  "<Proxy enabled=\"true\">0</Proxy></Chain></ChainList>",
            1, "Cannot load Corvantis profile.\nError found:\nChain \"c\": incorrect proxy server ID found." },
        { "chain without id named by a rule",
            "<ChainList><Chain><Name>c</Name></Chain></ChainList>" + rule("Chain", "0"), 1,
            "Cannot load Corvantis profile.\nError found:\nAction of Rule \"r\" doesn't have a correct proxy chain "
            "ID" },
        { "negative chain id named by a rule",
            "<ChainList><Chain id=\"-1\"><Name>c</Name></Chain></ChainList>" + rule("Chain", "-1"), 1,
            "Cannot load Corvantis profile.\nError found:\nAction of Rule \"r\" doesn't have a correct proxy chain "
            "ID" },
        // Read with 32-bit wrapping, 4294967401 would name proxy 105.
        { "rule id beyond 32 bits", "<ProxyList>" + proxy105 + "</ProxyList>" + rule("Proxy", "4294967401"), 1,
            kFormatError },
        { "chain member beyond 32 bits",
            "<ProxyList>" + proxy105
                + "</ProxyList><ChainList><Chain id=\"200\"><Name>c</Name>"
                  "<Proxy enabled=\"true\">4294967401</Proxy></Chain></ChainList>",
            1, kFormatError },
        { "proxy id beyond 32 bits", "<ProxyList>" + proxyWithId("id=\"4294967401\"") + "</ProxyList>", 1,
            kFormatError },
        { "proxy id with trailing text",
            "<ProxyList>" + proxyWithId("id=\"105x\"") + "</ProxyList>" + rule("Proxy", "105"), 0, "" },
        { "proxy id of letters", "<ProxyList>" + proxyWithId("id=\"x105\"") + "</ProxyList>", 1, kFormatError },
        { "top id, which leaves no room above it", "<ProxyList>" + proxyWithId("id=\"2147483647\"") + "</ProxyList>", 1,
            kFormatError },
        // Entries nobody refers to may lack ids, as older files have them.
        { "unreferenced entries without ids",
            "<ProxyList>" + proxyWithId("") + "</ProxyList><ChainList><Chain><Name>c</Name></Chain></ChainList>", 0,
            "" },
        { "unreferenced negative id", "<ProxyList>" + proxyWithId("id=\"-3\"") + "</ProxyList>", 0, "" },
        { "ids with blanks", "<ProxyList>" + proxyWithId("id=\" 106 \"") + "</ProxyList>" + rule("Proxy", " 106\n"), 0,
            "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CProfileData read;
        const ProfileLoadStatus status = ReadText(Document(c.body), read);
        EXPECT_EQ(status.code, c.code);
        EXPECT_EQ(status.message, c.message);
    }
}

// ---- Foreign layouts ----

TEST_F(ProfileFileTest, HandMadeProfileInAForeignLayoutReads)
{
    CXmlReader reader;
    ASSERT_FALSE(reader.OpenFile((fs::path(CORVANTIS_TEST_DATA_DIR) / "profiles" / "foreign-layout.ppx").string()));
    CProfileData read;
    const ProfileLoadStatus status = ReadProfileXml(read, reader);
    ASSERT_EQ(status.code, ProfileLoadStatus::kSuccess) << status.message;
    EXPECT_EQ(status.message, "");

    ASSERT_EQ(read.m_Proxies.size(), 2u); // from both proxy lists
    const CProxy& https = read.m_Proxies[0];
    EXPECT_EQ(https.m_Id, 105);
    EXPECT_EQ(https.m_Type, kProxyHttps);
    EXPECT_EQ(https.GetHostName(), "proxy.corp.example");
    EXPECT_EQ(https.m_Port, 3128);
    EXPECT_EQ(https.m_Options, kNtlm);
    EXPECT_TRUE(https.m_AuthEnabled);
    EXPECT_EQ(https.m_UserName, "alice");
    EXPECT_EQ(https.m_Password, "s3cret & <more>");
    EXPECT_EQ(read.m_Proxies[1].m_Id, 106);
    EXPECT_FALSE(read.m_Proxies[1].m_AuthEnabled);

    ASSERT_EQ(read.m_Chains.size(), 1u);
    EXPECT_EQ(read.m_Chains[0].m_Name, "Office chain");
    EXPECT_EQ(read.m_Chains[0].m_Id, 201);
    EXPECT_EQ(read.m_Chains[0].m_Entries, (std::vector<CChainEntry> { { 105, true }, { 106, false } }));

    ASSERT_EQ(read.m_Rules.size(), 4u);
    EXPECT_EQ(read.m_Rules[0].m_Name, "Work & <office>");
    EXPECT_EQ(read.m_Rules[0].m_Action, kActionChain);
    EXPECT_EQ(read.m_Rules[0].m_ProxyId, 201);
    EXPECT_EQ(read.m_Rules[0].m_TargetsText, "*.corp.example; 10.1.0.0-10.1.255.255");
    EXPECT_EQ(read.m_Rules[0].m_Targets.size(), 2u);
    EXPECT_EQ(read.m_Rules[0].m_Ports, (std::vector<PortRange> { { 443, 443 }, { 8000, 8100 } }));
    EXPECT_EQ(read.m_Rules[1].m_Name, "Mailer");
    EXPECT_FALSE(read.m_Rules[1].m_Enabled);
    EXPECT_EQ(read.m_Rules[1].m_Apps, (std::vector<std::string> { "mailer", "Mail Client" }));
    EXPECT_EQ(read.m_Rules[1].m_ProxyId, 105);
    EXPECT_FALSE(read.m_Rules[2].m_Enabled); // "yes" is not "true"
    EXPECT_EQ(read.m_Rules[2].m_Action, kActionBlock);
    EXPECT_EQ(read.m_Rules[3].m_Name, "Default");
    EXPECT_EQ(read.m_Rules[3].m_Action, kActionDirect);

    EXPECT_FALSE(read.m_AutoModeDetection);
    EXPECT_TRUE(read.m_ViaProxy);
    EXPECT_TRUE(read.m_TryLocalDnsFirst); // the first of the two counts
    EXPECT_TRUE(read.m_ExcludeLocalhost);
    EXPECT_FALSE(read.m_ExcludeSimpleHostnames);
    EXPECT_TRUE(read.m_ExcludeSelfHostname);
    EXPECT_FALSE(read.m_ExcludeLocalDomain);
    EXPECT_EQ(read.m_ExclusionText, "*.lan;printer.example");
    EXPECT_EQ(read.m_ExclusionList, (std::vector<std::string> { "*.lan", "printer.example" }));
    EXPECT_TRUE(read.m_HttpProxiesSupport);
    EXPECT_TRUE(read.m_BlockUDP443);
    EXPECT_EQ(read.m_EncryptionMode, kEncryptionDisabled);

    // Written back, it takes this build's own layout and reads to the same profile.
    CProfileData again;
    ASSERT_EQ(ReadText(WriteText(read), again).code, ProfileLoadStatus::kSuccess);
    EXPECT_EQ(WriteText(again), WriteText(read));
    ExpectSameRules(again.m_Rules, read.m_Rules);
}

} // namespace
} // namespace corvantis
