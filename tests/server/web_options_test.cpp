// Tests of the dashboard's option changes: parsing, who may send them, and applying them through the settings store.
#include "options.h"
#include "settings.h"
#include "settings_store.h"
#include "web_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using webtest::StoreSandbox;

TEST(OptionsChange, ParsesTheDialogsChoicesAndRefusesTheRest) {
    struct Case {
        const char *body;
        bool ok;
        const char *errorPart;  // a word of the reason, when refused
    };
    const Case cases[] = {
        {R"({"maxScale":0})", true, ""},
        {R"({"maxScale":3,"resolution":4})", true, ""},
        {R"({"resolution":0})", true, ""},
        {R"({"htmlPath":"/tmp/status.htm"})", true, ""},
        {R"({"htmlPath":"/tmp/status.htm","save":true})", true, ""},
        {R"({"save":false})", true, ""},
        {R"({})", true, ""},
        {R"({"maxScale":4})", false, "maxScale"},
        {R"({"maxScale":-1})", false, "maxScale"},
        {R"({"maxScale":1.5})", false, "maxScale"},
        {R"({"maxScale":"2"})", false, "maxScale"},
        {R"({"resolution":5})", false, "resolution"},
        {R"({"resolution":4294967297})", false, "resolution"},
        {R"({"stallSeconds":10})", true, ""},
        {R"({"stallSeconds":86400})", true, ""},
        {R"({"stallSeconds":9})", false, "stallSeconds"},
        {R"({"stallSeconds":86401})", false, "stallSeconds"},
        {R"({"stallSeconds":60.5})", false, "stallSeconds"},
        {R"({"save":"yes"})", false, "save"},
        {R"({"save":true})", false, "htmlPath"},
        {R"({"save":false,"htmlPath":"/tmp/x"})", false, "contradict"},
        {R"({"htmlPath":""})", false, "empty"},
        {R"({"htmlPath":"/tmp/a\nb"})", false, "control"},
        {R"({"htmlPath":7})", false, "htmlPath"},
        {R"({"colour":"red"})", false, "unknown"},
        {R"([1,2])", false, "object"},
        {R"({"maxScale":)", false, "object"},
        {"", false, "object"},
    };
    for (const Case &c : cases) {
        OptionsChange change;
        std::string error;
        EXPECT_EQ(ParseOptionsChange(c.body, false, change, error), c.ok) << c.body << " -> " << error;
        if (!c.ok) {
            EXPECT_NE(error.find(c.errorPart), std::string::npos) << c.body << " -> " << error;
        }
    }
}

TEST(OptionsChange, PathsFitTheSettingAndTheServersCodePage) {
    OptionsChange change;
    std::string error;
    const std::string longest(259, 'p');
    ASSERT_TRUE(ParseOptionsChange(R"({"htmlPath":")" + longest + R"("})", false, change, error)) << error;
    EXPECT_EQ(*change.htmlPath, longest);
    EXPECT_FALSE(ParseOptionsChange(R"({"htmlPath":")" + longest + R"(q"})", false, change, error));
    EXPECT_NE(error.find("259"), std::string::npos) << error;

    // "C:\Résumé.htm": UTF-8 on POSIX, code page 1252 for a Windows server's file calls.
    const std::string body = "{\"htmlPath\":\"C:\\\\R\xC3\xA9sum\xC3\xA9.htm\"}";
    ASSERT_TRUE(ParseOptionsChange(body, false, change, error)) << error;
    EXPECT_EQ(*change.htmlPath, "C:\\R\xC3\xA9sum\xC3\xA9.htm");
    ASSERT_TRUE(ParseOptionsChange(body, true, change, error)) << error;
    EXPECT_EQ(*change.htmlPath, "C:\\R\xE9sum\xE9.htm");
    EXPECT_FALSE(ParseOptionsChange("{\"htmlPath\":\"\xE6\x97\xA5.htm\"}", true, change, error));
    // 258 letters of two bytes each in UTF-8 are 258 bytes in 1252: they fit there.
    std::string wide;
    for (int i = 0; i < 258; ++i) wide += "\xC3\xA9";
    EXPECT_TRUE(ParseOptionsChange("{\"htmlPath\":\"" + wide + "\"}", true, change, error)) << error;
    EXPECT_FALSE(ParseOptionsChange("{\"htmlPath\":\"" + wide + "\"}", false, change, error));
}

TEST(ChangeAllowed, OnlyLoopbackClientsOfTheDashboardsOwnPage) {
    const std::pair<const char *, bool> addresses[] = {
        {"127.0.0.1", true},      {"127.255.0.9", true},     {"::1", true},
        {"::ffff:127.0.0.1", true}, {"192.0.2.7", false},    {"10.0.0.1", false},
        {"::ffff:192.0.2.7", false}, {"fe80::1", false},     {"127.0.0", false},
        {"127.0.0.1.5", false},   {"1127.0.0.1", false},     {"", false},
        {"0.0.0.0", false},       {"127.0.0.256", false},
    };
    for (const auto &[address, loopback] : addresses) EXPECT_EQ(IsLoopbackAddress(address), loopback) << address;

    struct Case {
        const char *remote, *host, *origin;
        bool allowed;
        const char *what;
    };
    const Case cases[] = {
        {"127.0.0.1", "localhost:10432", "", true, "a script or curl on the machine"},
        {"127.0.0.1", "localhost:10432", "http://localhost:10432", true, "the page itself"},
        {"127.0.0.1", "127.0.0.1:10432", "http://127.0.0.1:10432", true, "the page by address"},
        {"::1", "[::1]:10432", "http://[::1]:10432", true, "IPv6 loopback"},
        {"127.0.0.1", "LOCALHOST:10432", "http://localhost:10432", true, "host names ignore case"},
        {"192.0.2.7", "farmhead:10432", "", false, "another machine"},
        {"192.0.2.7", "localhost:10432", "", false, "another machine naming localhost"},
        {"127.0.0.1", "localhost:10432", "http://evil.example", false, "a page of another site"},
        {"127.0.0.1", "localhost:10432", "http://localhost:8080", false, "another port's page"},
        {"127.0.0.1", "localhost:10432", "null", false, "an opaque origin"},
        {"127.0.0.1", "evil.example:10432", "http://evil.example:10432", false, "a name rebound to 127.0.0.1"},
        {"127.0.0.1", "", "", false, "no Host header"},
        {"127.0.0.1", "[::1", "", false, "a broken Host header"},
    };
    for (const Case &c : cases) EXPECT_EQ(ChangeAllowed(c.remote, c.host, c.origin), c.allowed) << c.what;
}

TEST(OptionsChange, AppliesAtOnceAndPersistsAsTheDialogDoes) {
    StoreSandbox store;
    ServerSettings settings;

    OptionsChange change;
    std::string error;
    ASSERT_TRUE(ParseOptionsChange(R"({"maxScale":1,"resolution":2,"stallSeconds":90})", false, change, error));
    EXPECT_EQ(ApplyOptionsChange(change, settings), 1);
    EXPECT_EQ(settings.maxScale, 1);
    EXPECT_EQ(settings.resolution, 2);
    EXPECT_EQ(settings.stallSeconds, 90);
    EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 9, 0, 3), 1);
    EXPECT_EQ(ReadSettingInt(kSettingResolution, 9, 0, 4), 2);
    EXPECT_EQ(ReadSettingInt(kSettingStallSeconds, 9, 10, 86400), 90);

    ASSERT_TRUE(ParseOptionsChange(R"({"htmlPath":"status.htm"})", false, change, error));
    EXPECT_EQ(ApplyOptionsChange(change, settings), 1);
    EXPECT_EQ(settings.htmlOutput, 1);
    EXPECT_STREQ(settings.htmlPath, "status.htm");
    EXPECT_EQ(settings.maxScale, 1) << "what the change does not name stays";

    // Clearing "Save": off for this run; the saved path is back at the next start.
    ASSERT_TRUE(ParseOptionsChange(R"({"save":false})", false, change, error));
    EXPECT_EQ(ApplyOptionsChange(change, settings), 1);
    EXPECT_EQ(settings.htmlOutput, 0);
    EXPECT_STREQ(settings.htmlPath, "");
    settings = LoadSettings();
    EXPECT_EQ(settings.htmlOutput, 1);
    EXPECT_STREQ(settings.htmlPath, "status.htm");
    EXPECT_EQ(settings.maxScale, 1);
    EXPECT_EQ(settings.resolution, 2);
    EXPECT_EQ(settings.stallSeconds, 90);
}

}  // namespace
