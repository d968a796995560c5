#pragma once

#include "core/profile/AddressUtils.h"
#include "core/profile/CorvantisApp.h"
#include "core/profile/HostLists.h"
#include "core/profile/Rule.h"

#include <gtest/gtest.h>

#include <string>

namespace corvantis::test {

// A core object for tests: the password query has no user to ask.
class TestApp final : public CCorvantisApp {
public:
    std::string GetProfilePassword(const std::string&, bool, const std::string&) override { return {}; }
};

// A rule built from the texts a user would type; the texts must parse.
inline CRule MakeRule(const std::string& name, const std::string& apps, const std::string& targets,
    const std::string& ports, int action = kActionDirect, int64_t id = -1)
{
    CRule rule(name);
    std::string message;
    EXPECT_TRUE(ParseAppList(rule, apps, message)) << apps << ": " << message;
    EXPECT_TRUE(ParseHostList(rule, targets, message)) << targets << ": " << message;
    EXPECT_TRUE(ParsePortList(rule, ports, message)) << ports << ": " << message;
    rule.m_Action = action;
    rule.m_ProxyId = id;
    return rule;
}

inline uint32_t IPv4(const char* text)
{
    uint32_t address = 0;
    EXPECT_TRUE(ParseIPv4(text, address)) << text;
    return address;
}

inline IPv6Addr IPv6(const char* text)
{
    IPv6Addr address {};
    EXPECT_TRUE(ParseIPv6(text, address)) << text;
    return address;
}

} // namespace corvantis::test
