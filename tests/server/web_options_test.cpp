// Tests of the dashboard's option changes: parsing, who may send them, and applying them through the settings store.
#include "http_query.h"
#include "options.h"
#include "settings.h"
#include "settings_store.h"
#include "token.h"
#include "web_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using webtest::StoreSandbox;

// An absolute path on the platform the test runs on.
#ifdef _WIN32
constexpr const char *kRoot = "C:/";
#define PELLICK_JSON_ROOT "C:/"
#else
constexpr const char *kRoot = "/";
#define PELLICK_JSON_ROOT "/"
#endif

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
        {R"({"htmlPath":")" PELLICK_JSON_ROOT R"(tmp/status.htm"})", true, ""},
        {R"({"htmlPath":")" PELLICK_JSON_ROOT R"(tmp/status.htm","save":true})", true, ""},
        {R"({"htmlPath":")" PELLICK_JSON_ROOT R"(w/Status.HTML"})", true, ""},
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
        {R"({"save":false,"htmlPath":")" PELLICK_JSON_ROOT R"(tmp/x.htm"})", false, "contradict"},
        {R"({"htmlPath":"status.htm"})", false, "absolute"},
        {R"({"htmlPath":"../status.htm"})", false, "absolute"},
        {R"({"htmlPath":"\\\\server\\share\\status.htm"})", false, "absolute"},
        {R"({"htmlPath":"\\\\?\\C:\\status.htm"})", false, "absolute"},
        {R"({"htmlPath":")" PELLICK_JSON_ROOT R"(home/u/.bashrc"})", false, ".htm"},
        {R"({"htmlPath":")" PELLICK_JSON_ROOT R"(tmp/status.htm.sh"})", false, ".htm"},
        {R"({"htmlPath":")" PELLICK_JSON_ROOT R"(.htm"})", true, ""},
        {R"({"htmlPath":")" PELLICK_JSON_ROOT R"(tmp/"})", false, ".htm"},
        {R"({"htmlPath":""})", false, "empty"},
        {R"({"htmlPath":"/tmp/a\nb"})", false, "control"},
        {R"({"htmlPath":7})", false, "htmlPath"},
        {R"({"webhook":"https://hooks.example.com/T0/B1?x=1"})", true, ""},
        {R"({"webhook":""})", true, ""},
        {R"({"webhook":"ftp://example.com/"})", false, "http://"},
        {R"({"webhook":"http://a.example/\u0007"})", false, "control"},
        {R"({"webhook":"http://a.example/caf\u00e9"})", false, "ASCII"},
        {R"({"webhook":null})", false, "webhook"},
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
    const std::string longest = kRoot + std::string(259 - std::strlen(kRoot) - 4, 'p') + ".htm";
    ASSERT_TRUE(ParseOptionsChange(R"({"htmlPath":")" + longest + R"("})", false, change, error)) << error;
    EXPECT_EQ(*change.htmlPath, longest);
    EXPECT_FALSE(ParseOptionsChange(R"({"htmlPath":"q)" + longest + R"("})", false, change, error));
    EXPECT_NE(error.find("259"), std::string::npos) << error;

    // "Résumé.htm": UTF-8 on POSIX, code page 1252 for a Windows server's file calls.
    const std::string root = kRoot;
    const std::string body = "{\"htmlPath\":\"" + root + "R\xC3\xA9sum\xC3\xA9.htm\"}";
    ASSERT_TRUE(ParseOptionsChange(body, false, change, error)) << error;
    EXPECT_EQ(*change.htmlPath, root + "R\xC3\xA9sum\xC3\xA9.htm");
    ASSERT_TRUE(ParseOptionsChange(body, true, change, error)) << error;
    EXPECT_EQ(*change.htmlPath, root + "R\xE9sum\xE9.htm");
    EXPECT_FALSE(ParseOptionsChange("{\"htmlPath\":\"" + root + "\xE6\x97\xA5.htm\"}", true, change, error));
    EXPECT_NE(error.find("1252"), std::string::npos) << error;
    // Letters of two bytes each in UTF-8 are one byte each in 1252: 259 bytes fit there.
    std::string wide = root;
    for (size_t letters = root.size() + 4; letters < 259; ++letters) wide += "\xC3\xA9";
    wide += ".htm";
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

    const std::string path = std::string(kRoot) + "srv/status.htm";
    ASSERT_TRUE(ParseOptionsChange(R"({"htmlPath":")" + path + R"("})", false, change, error)) << error;
    EXPECT_EQ(ApplyOptionsChange(change, settings), 1);
    EXPECT_EQ(settings.htmlOutput, 1);
    EXPECT_STREQ(settings.htmlPath, path.c_str());
    EXPECT_EQ(settings.maxScale, 1) << "what the change does not name stays";

    // Clearing "Save": off for this run; the saved path is back at the next start.
    ASSERT_TRUE(ParseOptionsChange(R"({"save":false})", false, change, error));
    EXPECT_EQ(ApplyOptionsChange(change, settings), 1);
    EXPECT_EQ(settings.htmlOutput, 0);
    EXPECT_STREQ(settings.htmlPath, "");
    settings = LoadSettings();
    EXPECT_EQ(settings.htmlOutput, 1);
    EXPECT_STREQ(settings.htmlPath, path.c_str());
    EXPECT_EQ(settings.maxScale, 1);
    EXPECT_EQ(settings.resolution, 2);
    EXPECT_EQ(settings.stallSeconds, 90);

    // The webhook is saved and loaded; an empty one turns it off and deletes the value.
    ASSERT_TRUE(ParseOptionsChange(R"({"webhook":"http://127.0.0.1:9/hook?k=s"})", false, change, error)) << error;
    EXPECT_EQ(ApplyOptionsChange(change, settings), 1);
    EXPECT_STREQ(settings.webhook, "http://127.0.0.1:9/hook?k=s");
    EXPECT_STREQ(LoadSettings().webhook, "http://127.0.0.1:9/hook?k=s");
    ASSERT_TRUE(ParseOptionsChange(R"({"webhook":""})", false, change, error)) << error;
    EXPECT_EQ(ApplyOptionsChange(change, settings), 1);
    EXPECT_STREQ(settings.webhook, "");
    char stored[16] = "untouched";
    EXPECT_EQ(ReadSettingString(kSettingWebhook, stored, sizeof stored), 0);
    EXPECT_STREQ(LoadSettings().webhook, "");
}

TEST(RequestText, QueriesAndCookiesAreReadWithinBounds) {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    const std::pair<const char *, Pairs> queries[] = {
        {"token=abc", {{"token", "abc"}}},
        {"a=1&b=2", {{"a", "1"}, {"b", "2"}}},
        {"a", {{"a", ""}}},
        {"a=%41%2b+b%2", {{"a", "A+ b%2"}}},
        {"a=%zz&%62=%00", {{"a", "%zz"}, {"b", std::string(1, '\0')}}},
        {"&&a=1&", {{"a", "1"}}},
        {"=v&k==", {{"", "v"}, {"k", "="}}},
        {"", {}},
    };
    for (const auto &[query, expected] : queries) EXPECT_EQ(ParseQuery(query), expected) << query;
    std::string many;
    for (int i = 0; i < 1000; ++i) many += "p" + std::to_string(i) + "=1&";
    EXPECT_EQ(ParseQuery(many).size(), kMaxQueryParameters);
    std::string value;
    EXPECT_TRUE(QueryValue("x=1&token=t%20u&token=2", "token", value));
    EXPECT_EQ(value, "t u") << "the first one counts";
    EXPECT_FALSE(QueryValue("tokens=1", "token", value));

    const std::tuple<const char *, const char *, const char *> cookies[] = {
        {"a=1; b=2", "b", "2"}, {"ab=1; b=2", "b", "2"}, {"b=2;b=3", "b", "2"},
        {" b = 2 ;", "b", "2"}, {"a=1", "b", ""},        {"b", "b", ""},
    };
    for (const auto &[header, name, expected] : cookies) EXPECT_EQ(CookieValue(header, name), expected) << header;
}

TEST(ChangeToken, CarriedByHeaderOrCookieAndComparedWhole) {
    const std::tuple<const char *, const char *, const char *> carried[] = {
        {"Bearer abc", "", "abc"},     {"bearer  abc ", "", "abc"}, {"token abc", "c=zzz", "abc"},
        {"Basic abc", "c=zzz", "zzz"}, {"", "x=1; c=zzz", "zzz"},   {"Bearerabc", "", ""},
    };
    for (const auto &[authorization, cookies, expected] : carried) {
        EXPECT_EQ(RequestToken(authorization, cookies, "c"), expected) << authorization << " | " << cookies;
    }
    const std::string token(48, 'a');
    const std::pair<std::string, bool> candidates[] = {
        {token, true},         {std::string(47, 'a') + "b", false}, {token.substr(1), false},
        {token + "a", false},  {"", false},
    };
    for (const auto &[candidate, same] : candidates) EXPECT_EQ(SameToken(token, candidate), same) << candidate;
    EXPECT_FALSE(SameToken("", "")) << "no token: nothing matches";
    for (const char *text : {"0123456789abcdef0123456789abcdef", "f00d"}) {
        EXPECT_EQ(IsToken(text), std::strlen(text) >= 32) << text;
    }
    EXPECT_FALSE(IsToken("0123456789ABCDEF0123456789ABCDEF"));
}

}  // namespace
