// Tests of hostsim's strict option parsers (frame cost profiles, frame hand-outs, node speed) and the factor of each frame.
#include "sim_host.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

TEST(CostProfile, ParsesTheThreeFormsAndNothingElse) {
    struct Case {
        const char *text;
        bool ok;
        CostProfile::Kind kind;
        double a, b;          // ramp: from, to; spike, step: frame, factor
        const char *errorPart;
    } cases[] = {
        {"constant", true, CostProfile::Kind::Constant, 0, 0, ""},
        {"ramp:1-3", true, CostProfile::Kind::Ramp, 1, 3, ""},
        {"ramp:3-1", true, CostProfile::Kind::Ramp, 3, 1, ""},
        {"ramp:0.5-2.25", true, CostProfile::Kind::Ramp, 0.5, 2.25, ""},
        {"spike:5:10", true, CostProfile::Kind::Spike, 5, 10, ""},
        {"spike:-3:1.5", true, CostProfile::Kind::Spike, -3, 1.5, ""},
        {"step:20:2", true, CostProfile::Kind::Step, 20, 2, ""},
        {"step:-1:0.5", true, CostProfile::Kind::Step, -1, 0.5, ""},
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
        {"step:20", false, {}, 0, 0, "step:F:X"},
        {"step:x:2", false, {}, 0, 0, "step's frame"},
        {"step:20:0", false, {}, 0, 0, "step's factor"},
        {"step:20:1001", false, {}, 0, 0, "0.01 to 1000"},
        {"steps:20:2", false, {}, 0, 0, "is not constant"},
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
        } else if (c.kind != CostProfile::Kind::Constant) {
            EXPECT_EQ(profile.frame, c.a) << c.text;
            EXPECT_EQ(profile.factor, c.b) << c.text;
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
        {"step:5:10", 4, 1, 10, 1.0},
        {"step:5:10", 5, 1, 10, 10.0},
        {"step:5:10", 10, 1, 10, 10.0},
        {"step:5:0.5", 60, 1, 10, 0.5},   // and every frame after it
    };
    for (const Case &c : cases) {
        CostProfile profile;
        std::string error;
        ASSERT_TRUE(ParseCostProfile(c.text, profile, error)) << c.text << " -> " << error;
        EXPECT_NEAR(CostFactor(profile, c.frame, c.first, c.last), c.factor, 1e-12)
            << c.text << " frame " << c.frame << " of " << c.first << ".." << c.last;
    }
}

// The frames of a hand-out in the order they are rendered, as "1 5 9".
std::string Rendered(const FrameHandOut &handOut) {
    std::string frames;
    for (const FrameRun &run : handOut)
        for (int64_t f = run.first; f <= run.last; f += run.step) frames += (frames.empty() ? "" : " ") + std::to_string(f);
    return frames;
}

TEST(FrameHandOut, RangesStepsListsAndTheScenesFrames) {
    struct Case {
        const char *text;
        int32_t first, last, step;  // the scene's range
        const char *frames;         // rendered, in order; null when refused
        const char *errorPart;
    } cases[] = {
        {"1-12", 1, 40, 1, "1 2 3 4 5 6 7 8 9 10 11 12", ""},
        {"1-40:4", 1, 40, 1, "1 5 9 13 17 21 25 29 33 37", ""},
        {"2-40:19", 1, 40, 1, "2 21 40", ""},
        {"1-40:100", 1, 40, 1, "1", ""},
        {"7", 1, 40, 1, "7", ""},
        {"3,7,12-14", 1, 40, 1, "3 7 12 13 14", ""},
        {"12-14,3,1-9:4", 1, 40, 1, "12 13 14 3 1 5 9", ""},  // the order given
        {"3,3", 1, 40, 1, "3 3", ""},                         // a frame rendered again
        {"1:3", 1, 40, 1, "1 2 3", ""},                       // the older spelling of 1-3
        {"1-10", 1, 10, 3, "1 4 7 10", ""},                   // a range walks the scene's step
        {"1-9", 1, 10, 3, "1 4 7", ""},
        {"4-10:6", 1, 10, 3, "4 10", ""},
        {"2-3", 1, 10, 0, "2 3", ""},                         // a step of 0 or below is 1
        {"2-3", 1, 10, -2, "2 3", ""},
        {"-10--8,-1", -10, 10, 1, "-10 -9 -8 -1", ""},
        {"2147483640-2147483647:5", 2147483600, 2147483647, 1, "2147483640 2147483645", ""},
        // Malformed.
        {"", 1, 40, 1, nullptr, "is not a frame"},
        {",", 1, 40, 1, nullptr, "is not a frame"},
        {"1,", 1, 40, 1, nullptr, "is not a frame"},
        {",1", 1, 40, 1, nullptr, "is not a frame"},
        {"1-", 1, 40, 1, nullptr, "is not a frame"},
        {"1-3:", 1, 40, 1, nullptr, "is not a frame"},
        {"1-3:x", 1, 40, 1, nullptr, "is not a frame"},
        {"1:3:2", 1, 40, 1, nullptr, "is not a frame"},
        {"1-3-5", 1, 40, 1, nullptr, "is not a frame"},
        {"1;3", 1, 40, 1, nullptr, "is not a frame"},
        {" 1", 1, 40, 1, nullptr, "is not a frame"},
        {"1 ", 1, 40, 1, nullptr, "is not a frame"},
        {"+1", 1, 40, 1, nullptr, "is not a frame"},
        {"1.5", 1, 40, 1, nullptr, "is not a frame"},
        {"1-99999999999", 1, 40, 1, nullptr, "is not a frame"},
        {"5-3", 1, 40, 1, nullptr, "ends before it starts"},
        {"5:3", 1, 40, 1, nullptr, "ends before it starts"},
        {"1-40:0", 1, 40, 1, nullptr, "step below 1"},
        {"1-40:-4", 1, 40, 1, nullptr, "step below 1"},
        // Frames that are not the scene's.
        {"0", 1, 40, 1, nullptr, "frame 0 of \"0\" is not one of the scene's frames (1-40, step 1)"},
        {"41", 1, 40, 1, nullptr, "frame 41 "},
        {"38-41", 1, 40, 1, nullptr, "frame 41 "},
        {"1-41:4", 1, 40, 1, nullptr, "frame 41 "},
        {"1-45:4", 1, 40, 1, nullptr, "frame 41 "},
        {"1-40,0-2", 1, 40, 1, nullptr, "frame 0 "},
        {"2", 1, 10, 3, nullptr, "frame 2 "},
        {"1-10:2", 1, 10, 3, nullptr, "frame 3 "},
        {"1-13", 1, 10, 3, nullptr, "frame 13 "},
        {"3", 5, 1, 1, nullptr, "frame 3 "},  // a scene range that holds no frame
    };
    for (const Case &c : cases) {
        FrameHandOut handOut{{99, 99, 1}};  // a refused text leaves the hand-out alone
        std::string error;
        const bool ok = ParseFrameHandOut(c.text, c.first, c.last, c.step, handOut, error);
        const std::string scene = " (scene " + std::to_string(c.first) + "-" + std::to_string(c.last) + " step " +
                                  std::to_string(c.step) + ")";
        if (c.frames) {
            EXPECT_TRUE(ok) << c.text << scene << " -> " << error;
            EXPECT_EQ(Rendered(handOut), c.frames) << c.text << scene;
        } else {
            EXPECT_FALSE(ok) << c.text << scene << " -> " << Rendered(handOut);
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.text << scene << " -> " << error;
            EXPECT_EQ(Rendered(handOut), "99") << c.text << scene;
        }
    }
}

TEST(FrameHandOut, LongListsAreRefusedWithAShortLine) {
    std::string list = "1";
    for (size_t i = 1; i < kMaxHandOutItems; ++i) list += ",1";
    FrameHandOut handOut;
    std::string error;
    ASSERT_TRUE(ParseFrameHandOut(list, 1, 1, 1, handOut, error)) << error;
    EXPECT_EQ(handOut.size(), kMaxHandOutItems);

    list += ",1";
    EXPECT_FALSE(ParseFrameHandOut(list, 1, 1, 1, handOut, error));
    EXPECT_NE(error.find("at most " + std::to_string(kMaxHandOutItems) + " items"), std::string::npos) << error;

    // A hostile item is quoted cut short.
    EXPECT_FALSE(ParseFrameHandOut(std::string(100000, '7'), 1, 1, 1, handOut, error));
    EXPECT_LT(error.size(), 120u) << error;
}

TEST(NodeSpeed, DecimalsFromAHundredthToAHundred) {
    struct Case {
        const char *text;
        bool ok;
        double speed;
    } cases[] = {
        {"1", true, 1},      {"2", true, 2},       {"0.5", true, 0.5},   {"0.01", true, 0.01}, {"100", true, 100},
        {"", false, 0},      {"0", false, 0},      {"0.009", false, 0},  {"100.5", false, 0},  {"-1", false, 0},
        {"1e1", false, 0},   {"nan", false, 0},    {"inf", false, 0},    {" 2", false, 0},     {"2x", false, 0},
        {"1,5", false, 0},
    };
    for (const Case &c : cases) {
        double speed = 7;  // a refused text leaves the speed alone
        std::string error;
        EXPECT_EQ(ParseSpeed(c.text, speed, error), c.ok) << c.text << " -> " << error;
        EXPECT_EQ(speed, c.ok ? c.speed : 7) << c.text;
        if (!c.ok) {
            EXPECT_NE(error.find("0.01 to 100"), std::string::npos) << c.text << " -> " << error;
        }
    }
}

}  // namespace
