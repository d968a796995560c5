#pragma once

#include <string>

namespace corvantis {

class CCorvantisApp;
class CHost;
class CProfileData;
class CRule;
struct CLogContext;

// Rule lookup: which rule of a profile takes a connection. A connection is described by the identity of the
// application that opened it, its target host (name, address or both, and port) and the core object (which
// knows this machine's own names and addresses for "%ComputerName%" entries; it may be null, and then nothing
// counts as this machine).
//
// The application identity is matched byte for byte: callers pass it in lower case (the rule keeps its
// application patterns in lower case), so that matching ignores case. Only revDns, bsdName, packetName,
// packetShortName and fullPath take part.
//
// All functions are pure: they read the profile (which must not change during the call) and keep no state, so
// any number of threads may call them at once.

// FindRule's answer when no enabled rule takes the connection, which includes an empty rule list. A well-formed
// profile ends with the catch-all "Default" rule, so this only happens for a broken one; the caller must not
// carry out any rule then.
inline constexpr int kNoRule = -1;

// The index in profile.m_Rules of the first enabled rule whose targets, ports and applications all take the
// connection, or kNoRule.
int FindRule(const CProfileData& profile, const CLogContext& app, const CHost& target, const CCorvantisApp* core);

// Whether `hostName` (null: no host) must be answered with a placeholder address, because the first enabled rule
// that takes the application and the name, among the rules that decide without knowing the port, sends it
// through a proxy or a chain. Rules with a port list that would connect directly or block are passed over, since
// the port of the later connection is not known yet. False when no rule decides.
bool RulesNeedFakeIp(
    const CProfileData& profile, const CLogContext& app, const char* hostName, const CCorvantisApp* core);

// Whether any traffic of the application may need something other than a direct connection, so that its name
// requests must be handled: false when the profile does not resolve through the proxy; true for an empty rule
// list; otherwise the first enabled rule that can decide by the application alone decides; true when none does.
bool RulesNeedDnsForApp(const CProfileData& profile, const CLogContext& app);

// The test shared by the three: the rule's target, port and application conditions, in this order. Without a
// target (null) only the application condition counts.
bool RuleMatches(const CRule& rule, const CLogContext& app, const CHost* target, const CCorvantisApp* core);

} // namespace corvantis
