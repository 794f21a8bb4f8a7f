// Tests of the duration, rate and date-time texts.
#include "format.h"

#include "clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace {

std::string Duration(int64_t ticks, int maxScale, int resolution) {
    char text[kFormatBufferSize];
    std::memset(text, 'x', sizeof text);
    FormatDuration(ticks, {maxScale, resolution}, text);
    return text;
}

std::string Rate(double value, int resolution) {
    char text[kFormatBufferSize];
    std::memset(text, 'x', sizeof text);
    FormatRate(value, {3, resolution}, text);
    return text;
}

std::string DateTime(const uint64_t *instant, size_t capacity = kFormatBufferSize) {
    char text[kFormatBufferSize];
    std::memset(text, 'x', sizeof text);
    FormatDateTime(instant, text, capacity);
    return std::string(text, strnlen(text, sizeof text));
}

// 278627.1234 seconds: 3 days, 5 hours, 23 minutes, 47.1234 seconds.
constexpr int64_t kSample = 2786271234000;

TEST(FormatDuration, SampleForEveryMaxScaleAndResolution) {
    const char *expected[4][5] = {
        {"278627", "278627.1", "278627.12", "278627.123", "278627.1234"},
        {"4643:47", "4643:47.1", "4643:47.12", "4643:47.123", "4643:47.1234"},
        {"77:23:47", "77:23:47.1", "77:23:47.12", "77:23:47.123", "77:23:47.1234"},
        {"3 days, 5:23:47", "3 days, 5:23:47.1", "3 days, 5:23:47.12", "3 days, 5:23:47.123",
         "3 days, 5:23:47.1234"},
    };
    for (int scale = 0; scale < 4; ++scale) {
        for (int resolution = 0; resolution < 5; ++resolution) {
            EXPECT_EQ(Duration(kSample, scale, resolution), expected[scale][resolution])
                << "MaxScale " << scale << ", Resolution " << resolution;
        }
    }
}

struct DurationCase {
    int64_t ticks;
    int maxScale;
    int resolution;
    const char *text;
};

TEST(FormatDuration, OtherDurations) {
    const DurationCase cases[] = {
        {0, 3, 4, "0.0000"},
        {0, 3, 0, "0"},
        {15000000, 3, 4, "1.5000"},
        {15000000, 3, 0, "1"},  // cut, not rounded
        {599999999, 3, 4, "59.9999"},
        {600000000, 3, 4, "1:00.0000"},
        {600000000, 0, 4, "60.0000"},
        {36000000000, 3, 4, "1:00:00.0000"},
        {36000000000, 1, 4, "60:00.0000"},
        {863999999999, 3, 4, "23:59:59.9999"},
        {864000000000, 3, 4, "1 day, 0:00:00.0000"},
        {864000000000, 2, 4, "24:00:00.0000"},
        {1764000000000, 3, 4, "2 days, 1:00:00.0000"},
        {1764000000000, 3, 0, "2 days, 1:00:00"},
        {35999999999, 3, 4, "59:59.9999"},
        {54000000000, 1, 4, "90:00.0000"},
        {999, 3, 4, "0.0000"},  // below the smallest unit shown
        {12345678, 3, 2, "1.23"},
    };
    for (const DurationCase &c : cases) {
        EXPECT_EQ(Duration(c.ticks, c.maxScale, c.resolution), c.text)
            << "ticks " << c.ticks << ", MaxScale " << c.maxScale << ", Resolution " << c.resolution;
    }
}

TEST(FormatDuration, NegativeCountsReadWithOneLeadingMinus) {
    const DurationCase cases[] = {
        {-650000000, 3, 4, "-1:05.0000"},
        {-650000000, 0, 4, "-65.0000"},
        {-kSample, 3, 4, "-3 days, 5:23:47.1234"},
        {-kSample, 2, 1, "-77:23:47.1"},
        {-864000000000, 3, 4, "-1 day, 0:00:00.0000"},
        {-15000000, 3, 4, "-1.5000"},
        {-5000, 3, 4, "-0.0005"},
        {-5000, 3, 0, "0"},     // shows as zero: no sign
        {-999, 3, 4, "0.0000"},  // nothing left after the cut
        {-10000000, 3, 0, "-1"},
    };
    for (const DurationCase &c : cases) {
        EXPECT_EQ(Duration(c.ticks, c.maxScale, c.resolution), c.text)
            << "ticks " << c.ticks << ", MaxScale " << c.maxScale << ", Resolution " << c.resolution;
    }
}

TEST(FormatDuration, ExtremeCountsKeepEveryDigit) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    const DurationCase cases[] = {
        {kMax, 3, 4, "10675199 days, 2:48:05.4775"},
        {kMin, 3, 4, "-10675199 days, 2:48:05.4775"},
        {kMax, 1, 4, "15372286728:05.4775"},  // minutes beyond 32 bits
        {kMax, 0, 4, "922337203685.4775"},
        {kMin, 0, 0, "-922337203685"},
    };
    for (const DurationCase &c : cases) {
        EXPECT_EQ(Duration(c.ticks, c.maxScale, c.resolution), c.text)
            << "ticks " << c.ticks << ", MaxScale " << c.maxScale << ", Resolution " << c.resolution;
    }
}

TEST(FormatDuration, SettingsOutsideTheirRangesActAsTheNearestEnd) {
    const DurationCase cases[] = {
        {kSample, 7, 4, "3 days, 5:23:47.1234"},  // MaxScale above 3 acts as 3
        {kSample, -2, 4, "278627.1234"},          // below 0 acts as 0
        {kSample, 3, 9, "3 days, 5:23:47.1234"},  // Resolution held to 0..4
        {kSample, 3, -1, "3 days, 5:23:47"},
    };
    for (const DurationCase &c : cases) {
        EXPECT_EQ(Duration(c.ticks, c.maxScale, c.resolution), c.text)
            << "ticks " << c.ticks << ", MaxScale " << c.maxScale << ", Resolution " << c.resolution;
    }
}

TEST(FormatRate, Table) {
    struct Case {
        double value;
        int resolution;
        const char *text;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {12.3456, 0, "12"},
        {12.3456, 1, "12.3"},
        {12.3456, 2, "12.34"},
        {12.3456, 3, "12.345"},
        {7.0, 3, "7.000"},
        {0.5, 4, "0.5000"},
        {2.05, 2, "2.04"},  // 2.05 x 100.0 is 204.99999999999997, truncated
        {0.0, 4, "0.0000"},
        {180.0, 4, "180.0000"},
        {0.0001, 4, "0.0001"},
        {-2.5, 1, "-2.5"},     // one leading minus, not one per part
        {-0.75, 2, "-0.75"},
        {-0.00001, 4, "0.0000"},  // shows as zero: no sign
        {3000000000.0, 0, "3000000000"},
        {214748.3648, 4, "214748.3648"},
        {100000000000000.0, 4, "100000000000000.0000"},
        {1e15, 4, "-"},  // x 10^4 does not fit 64 bits
        {1e19, 0, "-"},
        {inf, 2, "-"},
        {-inf, 2, "-"},
        {std::nan(""), 2, "-"},
        {12.5, 9, "12.5000"},  // Resolution held to 0..4
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Rate(c.value, c.resolution), c.text) << "value " << c.value << ", Resolution " << c.resolution;
    }
}

// 8 December 2026 05:07:19 UTC as file-time ticks.
constexpr uint64_t kInstant = 134411800390000000ULL;

bool ZoneIs(const char *zone) {
    const char *tz = std::getenv("TZ");
    return tz && std::strcmp(tz, zone) == 0;
}

#ifdef _WIN32
// Run with TZ=UTC and a US English locale (the test's environment).
TEST(FormatDateTime, UsEnglishInUtc) {
    if (!ZoneIs("UTC")) GTEST_SKIP() << "needs TZ=UTC";
    EXPECT_EQ(DateTime(&kInstant), "12/8/2026 5:07:19 AM");
}

// A second run of this program has TZ=UTC-1: one hour east of UTC.
TEST(FormatDateTime, OneHourEastShowsHour6) {
    if (!ZoneIs("UTC-1")) GTEST_SKIP() << "needs TZ=UTC-1";
    EXPECT_EQ(DateTime(&kInstant), "12/8/2026 6:07:19 AM");
}
#else
// Run with TZ=UTC and LC_ALL=en_US.UTF-8 (the test's environment).
TEST(FormatDateTime, UsEnglishInUtc) {
    ASSERT_TRUE(ZoneIs("UTC"));
    EXPECT_EQ(DateTime(&kInstant), "12/08/2026 05:07:19 AM");
}

TEST(FormatDateTime, OneHourEastShowsHour6) {
    ASSERT_TRUE(ZoneIs("UTC"));
    setenv("TZ", "UTC-1", 1);
    const std::string east = DateTime(&kInstant);
    setenv("TZ", "UTC", 1);
    EXPECT_EQ(east, "12/08/2026 06:07:19 AM");
    EXPECT_EQ(DateTime(&kInstant), "12/08/2026 05:07:19 AM");  // the zone change is followed back
}
#endif

TEST(FormatDateTime, NoInstantMeansNow) {
    const uint64_t before = NowFileTime();
    const std::string now = DateTime(nullptr);
    const uint64_t after = NowFileTime();
    EXPECT_TRUE(now == DateTime(&before) || now == DateTime(&after)) << now;
}

TEST(FormatDateTime, InstantsBeyondTheCalendarAndSmallBuffersStillLeaveAText) {
    const uint64_t beyond = 0x8000000000000000ULL, last = ~0ULL;
    EXPECT_EQ(DateTime(&beyond), "-");
    EXPECT_EQ(DateTime(&last), "-");
    EXPECT_EQ(DateTime(&kInstant, 8), "-");  // too small for date and time
    EXPECT_EQ(DateTime(&kInstant, 1), "");
    const uint64_t epoch = 0;  // 1 January 1601
    EXPECT_NE(DateTime(&epoch).find("1601"), std::string::npos) << DateTime(&epoch);
}

}  // namespace
