// Tests of hostsim's frame-cost profiles: the strict parser and the factor of each frame.
#include "sim_host.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CostProfile, ParsesTheThreeFormsAndNothingElse) {
    struct Case {
        const char *text;
        bool ok;
        CostProfile::Kind kind;
        double a, b;          // ramp: from, to; spike: frame, factor
        const char *errorPart;
    } cases[] = {
        {"constant", true, CostProfile::Kind::Constant, 0, 0, ""},
        {"ramp:1-3", true, CostProfile::Kind::Ramp, 1, 3, ""},
        {"ramp:3-1", true, CostProfile::Kind::Ramp, 3, 1, ""},
        {"ramp:0.5-2.25", true, CostProfile::Kind::Ramp, 0.5, 2.25, ""},
        {"spike:5:10", true, CostProfile::Kind::Spike, 5, 10, ""},
        {"spike:-3:1.5", true, CostProfile::Kind::Spike, -3, 1.5, ""},
        {"", false, {}, 0, 0, "is not constant"},
        {"Constant", false, {}, 0, 0, "is not constant"},
        {"ramp", false, {}, 0, 0, "is not constant"},
        {"ramp:", false, {}, 0, 0, "ramp:A-B"},
        {"ramp:13", false, {}, 0, 0, "ramp:A-B"},
        {"ramp:1-", false, {}, 0, 0, "end"},
        {"ramp:-1-3", false, {}, 0, 0, "start"},
        {"ramp:0-3", false, {}, 0, 0, "0.01 to 1000"},
        {"ramp:1-3000", false, {}, 0, 0, "end"},
        {"ramp:1-3x", false, {}, 0, 0, "end"},
        {"ramp:1e1-3", false, {}, 0, 0, "start"},
        {"ramp:nan-3", false, {}, 0, 0, "start"},
        {"ramp: 1-3", false, {}, 0, 0, "start"},
        {"ramp:1-3-5", false, {}, 0, 0, "end"},
        {"spike:5", false, {}, 0, 0, "spike:F:X"},
        {"spike:5.5:2", false, {}, 0, 0, "whole frame"},
        {"spike::2", false, {}, 0, 0, "whole frame"},
        {"spike:5:", false, {}, 0, 0, "factor"},
        {"spike:5:0", false, {}, 0, 0, "factor"},
        {"spike:99999999999:2", false, {}, 0, 0, "whole frame"},
        {"spike:5:2:1", false, {}, 0, 0, "factor"},
    };
    for (const Case &c : cases) {
        CostProfile profile;
        profile.from = 7;  // a refused text leaves the profile alone
        std::string error;
        EXPECT_EQ(ParseCostProfile(c.text, profile, error), c.ok) << c.text << " -> " << error;
        if (!c.ok) {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.text << " -> " << error;
            EXPECT_EQ(profile.from, 7) << c.text;
            continue;
        }
        EXPECT_EQ(profile.kind, c.kind) << c.text;
        if (c.kind == CostProfile::Kind::Ramp) {
            EXPECT_EQ(profile.from, c.a) << c.text;
            EXPECT_EQ(profile.to, c.b) << c.text;
        } else if (c.kind == CostProfile::Kind::Spike) {
            EXPECT_EQ(profile.spikeFrame, c.a) << c.text;
            EXPECT_EQ(profile.spikeFactor, c.b) << c.text;
        }
    }
}

TEST(CostProfile, FactorPerFrameAcrossTheScenesRange) {
    struct Case {
        const char *text;
        int32_t frame, first, last;
        double factor;
    } cases[] = {
        {"constant", 7, 1, 10, 1.0},
        {"ramp:1-3", 1, 1, 11, 1.0},
        {"ramp:1-3", 6, 1, 11, 2.0},
        {"ramp:1-3", 11, 1, 11, 3.0},
        {"ramp:3-1", 1, 1, 11, 3.0},
        {"ramp:3-1", 8, 1, 11, 1.6},
        {"ramp:3-1", 11, 1, 11, 1.0},
        {"ramp:1-3", 0, 1, 11, 1.0},    // before the range: its first factor
        {"ramp:1-3", 20, 1, 11, 3.0},   // after it: its last
        {"ramp:2-4", 5, 5, 5, 2.0},     // a one-frame range takes the start
        {"ramp:1-2", -10, -10, 10, 1.0},
        {"ramp:1-2", 0, -10, 10, 1.5},
        {"spike:5:10", 4, 1, 10, 1.0},
        {"spike:5:10", 5, 1, 10, 10.0},
        {"spike:5:10", 6, 1, 10, 1.0},
        {"spike:50:10", 50, 1, 10, 10.0},  // the frame counts wherever it lies
    };
    for (const Case &c : cases) {
        CostProfile profile;
        std::string error;
        ASSERT_TRUE(ParseCostProfile(c.text, profile, error)) << c.text << " -> " << error;
        EXPECT_NEAR(CostFactor(profile, c.frame, c.first, c.last), c.factor, 1e-12)
            << c.text << " frame " << c.frame << " of " << c.first << ".." << c.last;
    }
}

}  // namespace
