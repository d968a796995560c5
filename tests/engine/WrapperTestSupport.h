#pragma once

// What the tests of the connection facade share: the extension's one object in a temporary home, the
// application's side of an exchange, and rule and log helpers.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/foundation/AppSettings.h"
#include "core/foundation/Log.h"
#include "core/profile/Chain.h"
#include "core/profile/ProfileData.h"
#include "core/profile/Proxy.h"
#include "core/profile/Rule.h"
#include "extension/engine/AppNameWrapper.h"
#include "extension/engine/CorvantisAppProxy.h"
#include "extension/engine/CorvantisCoreWrapper.h"
#include "platform/ProgramHome.h"
#include "platform/UniqueFd.h"
#include "tests/support/HttpOrigin.h"
#include "tests/support/LogLines.h"
#include "tests/support/Loopback.h"
#include "tests/support/ProgramHomeScope.h"
#include "tests/support/TempDir.h"

namespace corvantis::test {

inline constexpr size_t kOneMiB = 1024 * 1024;
using namespace std::chrono_literals;

inline AppNameWrapper Curl()
{
    return AppNameWrapper("", "curl", "", "", "/usr/bin/curl", 4242);
}

inline CRule RuleWith(const std::string& name, int action, int64_t id = -1)
{
    CRule rule(name);
    rule.m_Action = action;
    rule.m_ProxyId = id;
    return rule;
}

inline std::vector<std::string> Lines()
{
    return test::TakeScreenLines();
}

inline bool HasLineWith(const std::vector<std::string>& lines, const std::string& part)
{
    for (const auto& line : lines)
        if (line.find(part) != std::string::npos)
            return true;
    return false;
}

inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed)
{
    std::vector<uint8_t> data(size);
    uint32_t x = seed;
    for (auto& byte : data) {
        x = x * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(x >> 24);
    }
    return data;
}

inline uint64_t Checksum(const std::vector<uint8_t>& data)
{
    uint64_t hash = 1469598103934665603ull;
    for (uint8_t byte : data)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// Writes `data` into the application's socket and reads until the engine ends the other side. With
// `expected`, reads that many bytes before ending its own side (proxies need not pass a half-close on); without,
// ends its side once everything is written.
inline std::vector<uint8_t> Exchange(int socket, const std::vector<uint8_t>& data, std::optional<size_t> expected = {})
{
    std::thread writer([&] {
        sendAll(socket, data);
        if (!expected)
            ::shutdown(socket, SHUT_WR);
    });
    std::vector<uint8_t> received;
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        pollfd p { socket, POLLIN, 0 };
        if (::poll(&p, 1, 60000) <= 0)
            break;
        const ssize_t n = ::recv(socket, buffer.data(), buffer.size(), 0);
        if (n <= 0)
            break;
        received.insert(received.end(), buffer.begin(), buffer.begin() + n);
        if (expected && received.size() >= *expected)
            break;
    }
    writer.join();
    if (expected)
        ::shutdown(socket, SHUT_WR);
    return received;
}

// Writes `pieces` into the application's socket one after the other, without ending its side (HTTP proxies
// end the whole exchange at the application's end of data), reads until the engine ends the stream, and then
// ends its own side.
inline std::string HttpExchange(int socket, const std::vector<std::string>& pieces)
{
    std::thread writer([&] {
        for (const std::string& piece : pieces)
            if (!sendAll(socket, piece))
                return;
    });
    std::string received;
    char buffer[65536];
    for (;;) {
        pollfd p { socket, POLLIN, 0 };
        if (::poll(&p, 1, 60000) <= 0)
            break;
        const ssize_t n = ::recv(socket, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        received.append(buffer, static_cast<size_t>(n));
    }
    writer.join();
    ::shutdown(socket, SHUT_WR); // the application is done as well
    return received;
}

// The extension's one object with a temporary home (and defaults file there), as `theApp`, logging to the
// screen queue.
class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_scope.emplace(Program::Extension, home.path(), &app, kLogDebug);
        CorvantisCoreWrapper::applyAddressRange(10);
    }
    void TearDown() override
    {
        CAppSettings settings = app.GetSettings();
        settings.TrafficLogEnabled = false;
        app.SetSettings(settings);
        m_scope.reset();
    }
    // `rules` over the proxies, with a chain (id 50) of all of them.
    void UseProfile(std::vector<CProxy> proxies, std::vector<CRule> rules, bool handleDirect = true)
    {
        CProfileData profile;
        profile.m_Proxies = proxies;
        CChain chain("Test chain", 50);
        for (const auto& proxy : proxies)
            chain.m_Entries.push_back({ proxy.m_Id, true });
        profile.m_Chains = { chain };
        profile.m_Rules = std::move(rules);
        profile.m_HandleDirectConnections = handleDirect;
        app.SetProfile(profile, false);
    }
    uint32_t Placeholder(const std::string& name)
    {
        uint64_t ttl = 0;
        return app.GetDnsStorage().AddressForNameIPv4(name, true, nullptr, 0, nullptr, ttl);
    }
    static std::string Text(uint32_t address)
    {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address, text, sizeof text);
        return text;
    }

    TempDir home;
    CCorvantisAppProxy& app = GetAppProxy();

private:
    std::optional<ProgramHomeScope> m_scope;
};

} // namespace corvantis::test
