#include "core/foundation/DurationStringFormater.h"
#include "core/foundation/TrafficStringFormater.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

namespace corvantis {
namespace {

TEST(TrafficTextTest, ShortForm)
{
    struct Case {
        uint64_t bytes;
        bool byteUnit;
        const char* text;
    };
    const Case cases[] = {
        { 0, false, "0" },
        { 1023, false, "1023" },
        { 512, true, "512 B" },
        { 0, true, "0 B" },
        { 1024, false, "1.00 KB" },
        { 1024, true, "1.00 KB" },
        { 5339, false, "5.21 KB" },
        { 10239, false, "9.99 KB" },
        { 10240, false, "10.0 KB" },
        { 102399, false, "99.9 KB" },
        { 102400, false, "100 KB" },
        { 1048575, false, "1023 KB" },
        { 1048576, false, "1.00 MB" },
        { 1069547, false, "1.01 MB" },
        { 1024ull * 1024 * 1023 + 1048575, false, "1023 MB" },
        { 1073741824, false, "1.00 GB" },
        { 1073741824ull * 15 / 2, false, "7.50 GB" },
        { 1073741824ull * 2048, false, "2048 GB" },
        { UINT64_MAX, false, "17179869183 GB" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(CTrafficStringFormater(c.bytes).GetShortText(c.byteUnit), c.text);
    }
}

TEST(TrafficTextTest, FullForm)
{
    struct Case {
        uint64_t bytes;
        const char* text;
    };
    const Case cases[] = {
        { 0, "0 bytes" },
        { 1024, "1024 bytes" },
        { 1025, "1025 bytes (1.00 KB)" },
        { 2048, "2048 bytes (2.00 KB)" },
        { 1073741824, "1073741824 bytes (1.00 GB)" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(CTrafficStringFormater(c.bytes).GetFullText(), c.text);
    }
}

TEST(TrafficTextTest, ValueCanBeReplaced)
{
    std::unique_ptr<CTrafficStringFormater> f = std::make_unique<CTrafficStringFormater>();
    EXPECT_EQ(f->GetShortText(false), "0");
    f->SetValue(10240);
    EXPECT_EQ(f->GetShortText(false), "10.0 KB");

    CDurationStringFormater d(59);
    EXPECT_EQ(d.GetText(), "00:59");
    d.SetValue(3600);
    EXPECT_EQ(d.GetText(), "01:00:00");
}

TEST(TrafficTextTest, Durations)
{
    struct Case {
        int64_t seconds;
        const char* text;
    };
    const Case cases[] = {
        { 0, "<1 sec" },
        { 1, "00:01" },
        { 59, "00:59" },
        { 61, "01:01" },
        { 3599, "59:59" },
        { 3600, "01:00:00" },
        { 86399, "23:59:59" },
        { 86400, "01.00:00:00" },
        { 90061, "01.01:01:01" },
        { 86400LL * 123 + 5, "123.00:00:05" },
        { 86400LL * 30000, "30000.00:00:00" }, // beyond 32-bit seconds
        { -5, "<1 sec" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seconds);
        EXPECT_EQ(CDurationStringFormater(c.seconds).GetText(), c.text);
    }
}

} // namespace
} // namespace corvantis
