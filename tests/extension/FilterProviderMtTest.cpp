#include "core/profile/HostLists.h"
#include "extension/daemon/FilterDataProvider.h"
#include "tests/engine/DnsWire.h"
#include "tests/extension/FlowTestSupport.h"
#include "tests/profile/ProfileTestSupport.h"

#include <thread>

namespace corvantis::test {
namespace {

using FilterTest = WrapperTest;

TEST_F(FilterTest, SettingsAndVerdicts)
{
    SystemLogLines logs;
    FilterDataProvider filter;
    std::optional<FlowError> started = FlowError {};
    filter.startFilter([&](std::optional<FlowError> error) { started = error; });
    EXPECT_FALSE(started);
    ASSERT_TRUE(filter.appliedSettings());
    EXPECT_EQ(filter.appliedSettings()->rules.size(), 147u);
    EXPECT_EQ(filter.appliedSettings()->rules[0].action, NEFilterRule::Action::FilterData);
    EXPECT_EQ(filter.appliedSettings()->rules[146].action, NEFilterRule::Action::Allow);

    auto dns = std::make_shared<NEFilterSocketFlow>(
        NWEndpoint::Host("10.0.0.2", "40000"), NWEndpoint::Host("10.0.0.1", "53"));
    EXPECT_EQ(filter.handleNewFlow(dns),
        NEFilterNewFlowVerdict::filterDataVerdict(true, kFilterPeekUnlimited, true, kFilterPeekUnlimited));
    auto mdns
        = std::make_shared<NEFilterSocketFlow>(NWEndpoint::Host("::1", "5353"), NWEndpoint::Host("ff02::fb", "5353"));
    EXPECT_EQ(filter.handleNewFlow(mdns), NEFilterNewFlowVerdict::allowVerdict());
    EXPECT_EQ(logs.startingWith("Corvantis filter flow from [::1]:5353 to [ff02::fb]:5353 allowed").size(), 1u);
    auto other = std::make_shared<NEFilterFlow>();
    const size_t linesBefore = logs.startingWith("Corvantis filter flow from").size();
    EXPECT_EQ(filter.handleNewFlow(other), NEFilterNewFlowVerdict::allowVerdict());
    EXPECT_EQ(logs.startingWith("Corvantis filter flow from").size(), linesBefore);
    EXPECT_EQ(filter.handleInboundData(other, 0, { 1, 2 }), NEFilterDataVerdict::allowVerdict());

    EXPECT_EQ(filter.handleInboundData(dns, 0, {}), NEFilterDataVerdict::dataVerdict(0, kFilterPeekUnlimited));
    EXPECT_EQ(
        filter.handleOutboundData(dns, 0, { 1, 2, 3 }), NEFilterDataVerdict::dataVerdict(3, kFilterPeekUnlimited));
    EXPECT_EQ(filter.handleInboundDataComplete(dns), NEFilterDataVerdict::dataVerdict(0, kFilterPeekUnlimited));
    EXPECT_EQ(filter.handleOutboundDataComplete(dns), NEFilterDataVerdict::dataVerdict(0, kFilterPeekUnlimited));
    EXPECT_NE(dns->identifier(), mdns->identifier());
    EXPECT_EQ(dns->identifier().size(), 36u);

    bool stopped = false;
    filter.stopFilter(2, [&] { stopped = true; });
    EXPECT_TRUE(stopped);
    EXPECT_EQ(logs.startingWith("Corvantis filter stop - pid ").size(), 1u);
}

TEST_F(FilterTest, OnlyAnswersToQueriesSeenOnTheFlowTeachTheEngine)
{
    FilterDataProvider filter;
    auto flow = [] {
        return std::make_shared<NEFilterSocketFlow>(
            NWEndpoint::Host("10.0.0.2", "40000"), NWEndpoint::Host("10.0.0.1", "53"));
    };
    const uint32_t learnt = IPv4("127.0.0.3");

    // No query seen on the flow: nothing learnt.
    auto unasked = flow();
    filter.handleInboundData(unasked, 0, DnsAnswerA(DnsQueryA(7, { "unasked", "test" }), IPv4("127.0.0.4")));
    EXPECT_EQ(app.GetDnsStorage().NameForIPv4(IPv4("127.0.0.4")), "");

    // Another id than the query's: nothing learnt.
    auto other = flow();
    filter.handleOutboundData(other, 0, DnsQueryA(8, { "other", "test" }));
    filter.handleInboundData(other, 0, DnsAnswerA(DnsQueryA(9, { "other", "test" }), IPv4("127.0.0.5")));
    EXPECT_EQ(app.GetDnsStorage().NameForIPv4(IPv4("127.0.0.5")), "");

    // The answer to the query seen: learnt, and a replay of it is not shown again.
    auto asked = flow();
    const auto query = DnsQueryA(10, { "real", "test" });
    filter.handleOutboundData(asked, 0, query);
    filter.handleInboundData(asked, 0, DnsAnswerA(query, learnt));
    EXPECT_EQ(app.GetDnsStorage().NameForIPv4(IPv4("127.0.0.3")), "real.test");

    // The engine now routes a flow to that address by the name: a host rule for real.test matches it.
    CRule rule = RuleWith("Real", kActionBlock);
    std::string message;
    ASSERT_TRUE(ParseHostList(rule, "real.test", message));
    UseProfile({}, { rule, RuleWith("Direct", kActionDirect) });
    auto wrapper = ClientProcessorWrapper::create();
    const AppNameWrapper curl = Curl();
    EXPECT_EQ(wrapper->createNewConnection(&curl, nullptr, "127.0.0.3", "80", false), ClientProcessorWrapper::kRefused);
}

} // namespace
} // namespace corvantis::test
