// Tests of the settings store and of loading the settings values: a scratch registry key on Windows, a temporary config folder on POSIX.
#include "settings.h"
#include "settings_store.h"
#include "settings_store_raw.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
// Maps HKEY_CURRENT_USER of this process onto a fresh scratch key, so the
// store's real operations run on a real registry without touching the
// prefix's own settings.
class Sandbox {
public:
    Sandbox() {
        static int serial = 0;
        scratch_ = "Software\\PellickTests\\" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, scratch_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root_,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, root_), ERROR_SUCCESS);
    }
    ~Sandbox() {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(root_);
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\PellickTests");  // only when nothing else is in it
    }
    bool KeyExists() const {
        HKEY key;
        if (RegOpenKeyExA(root_, "Software\\Zandrel\\Pellick", 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        RegCloseKey(key);
        return true;
    }
    // Stores a value of any type and size straight into the settings key.
    void Plant(const char *name, DWORD type, const void *data, DWORD size) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(root_, "Software\\Zandrel\\Pellick\\", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // The value's type and bytes as stored, or false when it is not there.
    bool Fetch(const char *name, DWORD &type, std::string &bytes) const {
        HKEY key;
        if (RegOpenKeyExA(root_, "Software\\Zandrel\\Pellick", 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
        char data[1024];
        DWORD size = sizeof data;
        const LONG result = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(data), &size);
        RegCloseKey(key);
        if (result != ERROR_SUCCESS) return false;
        bytes.assign(data, size);
        return true;
    }

private:
    std::string scratch_;
    HKEY root_ = nullptr;
};
#else
// Points XDG_CONFIG_HOME at a fresh temporary folder.
class Sandbox {
public:
    Sandbox() {
        char pattern[] = "/tmp/pellick-settings-XXXXXX";
        const char *made = mkdtemp(pattern);
        EXPECT_NE(made, nullptr);
        root_ = made ? made : "/nonexistent";
        Remember("XDG_CONFIG_HOME", savedXdg_, hadXdg_);
        Remember("HOME", savedHome_, hadHome_);
        setenv("XDG_CONFIG_HOME", root_.c_str(), 1);
    }
    ~Sandbox() {
        Restore("XDG_CONFIG_HOME", savedXdg_, hadXdg_);
        Restore("HOME", savedHome_, hadHome_);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    const std::string &Root() const { return root_; }
    std::string Folder() const { return root_ + "/Zandrel/Pellick"; }
    std::string File() const { return Folder() + "/settings.ini"; }
    void WriteIni(const std::string &content) const {
        std::filesystem::create_directories(Folder());
        std::ofstream(File(), std::ios::binary) << content;
    }
    std::string ReadIni() const {
        std::ifstream in(File(), std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

private:
    static void Remember(const char *name, std::string &value, bool &had) {
        const char *v = getenv(name);
        had = v != nullptr;
        if (v) value = v;
    }
    static void Restore(const char *name, const std::string &value, bool had) {
        if (had) {
            setenv(name, value.c_str(), 1);
        } else {
            unsetenv(name);
        }
    }
    std::string root_, savedXdg_, savedHome_;
    bool hadXdg_ = false, hadHome_ = false;
};
#endif

class SettingsStore : public ::testing::Test {
protected:
    Sandbox sandbox;
    ServerSettings settings;
};

// A path the platform's file chooser could give.
#ifdef _WIN32
constexpr const char *kPath = "C:\\www\\render status.htm";
#else
constexpr const char *kPath = "/srv/www/render status.htm";
#endif

TEST_F(SettingsStore, FirstStartWithoutStoredValuesRunsOnDefaults) {
    settings = LoadSettings();
    EXPECT_EQ(settings.maxScale, 3);
    EXPECT_EQ(settings.resolution, 4);
    EXPECT_EQ(settings.stallSeconds, 600);
    EXPECT_EQ(settings.htmlOutput, 0);
    EXPECT_STREQ(settings.htmlPath, "");
}

TEST_F(SettingsStore, WrittenValuesLoadAtTheNextStart) {
    EXPECT_EQ(WriteSettingString(kSettingHtml, kPath), 1);
    EXPECT_EQ(WriteSettingInt(kSettingMaxScale, 2), 1);
    EXPECT_EQ(WriteSettingInt(kSettingResolution, 1), 1);
    EXPECT_EQ(WriteSettingInt(kSettingResolution, 0), 1);  // a later write replaces the value
    EXPECT_EQ(SetStallSeconds(settings, 45), 1);
    EXPECT_EQ(settings.stallSeconds, 45);
    settings = LoadSettings();
    EXPECT_EQ(settings.stallSeconds, 45);
    EXPECT_STREQ(settings.htmlPath, kPath);
    EXPECT_EQ(settings.htmlOutput, 1);
    EXPECT_EQ(settings.maxScale, 2);
    EXPECT_EQ(settings.resolution, 0);
}

TEST_F(SettingsStore, ValuesOutOfRangeOrNotNumbersGiveTheDefaultWhole) {
    struct Case {
        const char *name;
        int32_t stored;
        int32_t loaded;
    };
    const Case cases[] = {
        {kSettingResolution, 9, 4},  {kSettingResolution, 5, 4},  {kSettingResolution, -1, 4},
        {kSettingResolution, 0, 0},  {kSettingResolution, 4, 4},  {kSettingResolution, 2, 2},
        {kSettingMaxScale, -1, 3},   {kSettingMaxScale, 4, 3},    {kSettingMaxScale, 0, 0},
        {kSettingMaxScale, 1, 1},    {kSettingMaxScale, INT32_MIN, 3},
        {kSettingStallSeconds, 9, 600},  {kSettingStallSeconds, 10, 10},       {kSettingStallSeconds, 86400, 86400},
        {kSettingStallSeconds, 86401, 600}, {kSettingStallSeconds, -600, 600}, {kSettingStallSeconds, 0, 600},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(WriteSettingInt(c.name, c.stored), 1);
        settings = LoadSettings();
        const int32_t loaded = std::strcmp(c.name, kSettingMaxScale) == 0     ? settings.maxScale
                               : std::strcmp(c.name, kSettingStallSeconds) == 0 ? settings.stallSeconds
                                                                                : settings.resolution;
        EXPECT_EQ(loaded, c.loaded) << c.name << " stored as " << c.stored;
    }
    // A text where a number belongs: on Windows "abc" with its NUL is four
    // bytes, taken as a number far out of range; on POSIX it does not parse.
    ASSERT_EQ(WriteSettingString(kSettingMaxScale, "abc"), 1);
    EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, 0, 3), 3);
    ASSERT_EQ(WriteSettingString(kSettingStallSeconds, "60s"), 1);
    EXPECT_EQ(LoadSettings().stallSeconds, 600);
}

TEST_F(SettingsStore, EmptyOrMissingTextDeletesAndDeletingAgainSucceeds) {
    ASSERT_EQ(WriteSettingString(kSettingHtml, kPath), 1);
    EXPECT_EQ(WriteSettingString(kSettingHtml, ""), 1);
    EXPECT_EQ(WriteSettingString(kSettingHtml, ""), 1);
    EXPECT_EQ(WriteSettingString(kSettingHtml, nullptr), 1);
    EXPECT_EQ(WriteSetting("", kSettingMaxScale, kSettingDword, nullptr, 0), 1);  // never stored
    char buffer[260] = "kept";
    EXPECT_EQ(ReadSettingString(kSettingHtml, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "kept");  // a missing value leaves the buffer alone
    settings = LoadSettings();
    EXPECT_EQ(settings.htmlOutput, 0);
}

TEST_F(SettingsStore, StringsMustFitTheBufferWithTheirNul) {
    const std::string longest(259, 'p');
    ASSERT_EQ(WriteSettingString(kSettingHtml, longest.c_str()), 1);
    settings = LoadSettings();
    EXPECT_EQ(settings.htmlPath, longest);
    EXPECT_EQ(settings.htmlOutput, 1);

    char small[10];
    std::memcpy(small, "untouched", 10);
    ASSERT_EQ(WriteSettingString(kSettingHtml, "0123456789"), 1);
    EXPECT_EQ(ReadSettingString(kSettingHtml, small, sizeof small), 0);  // 11 bytes do not fit 10
    EXPECT_STREQ(small, "untouched");
    char exact[11];
    EXPECT_EQ(ReadSettingString(kSettingHtml, exact, sizeof exact), 10);
    EXPECT_STREQ(exact, "0123456789");

    const std::string tooLong(300, 'q');
    ASSERT_EQ(WriteSettingString(kSettingHtml, tooLong.c_str()), 1);
    settings = ServerSettings();
    settings = LoadSettings();
    EXPECT_STREQ(settings.htmlPath, "");  // treated as absent
    EXPECT_EQ(settings.htmlOutput, 0);
}

TEST_F(SettingsStore, SubkeysAreSeparateKeysAndMustFitThePath) {
    ASSERT_EQ(WriteSettingInt(kSettingMaxScale, 1), 1);
    ASSERT_EQ(WriteSettingDwordAt("Sub", kSettingMaxScale, 2), 1);
    EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, 0, 3), 1);
    EXPECT_EQ(ReadSettingDwordAt("Sub", kSettingMaxScale, 3, 0, 3), 2);

    // "Software\Zandrel\Pellick\" takes 25 of the 259 characters.
    const std::string fits(234, 's'), overlong(235, 's');
    EXPECT_EQ(WriteSettingDwordAt(fits.c_str(), kSettingMaxScale, 0), 1);
    EXPECT_EQ(ReadSettingDwordAt(fits.c_str(), kSettingMaxScale, 3, 0, 3), 0);
    EXPECT_EQ(WriteSettingDwordAt(overlong.c_str(), kSettingMaxScale, 0), 0);
    EXPECT_EQ(WriteSettingStringAt(overlong.c_str(), kSettingHtml, ""), 0);
    EXPECT_EQ(ReadSettingDwordAt(overlong.c_str(), kSettingMaxScale, 3, 0, 3), 3);
    char buffer[260] = "kept";
    EXPECT_EQ(ReadSettingStringAt(overlong.c_str(), kSettingHtml, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "kept");
}

#ifdef _WIN32

TEST_F(SettingsStore, FirstReadCreatesTheEmptyKey) {
    ASSERT_FALSE(sandbox.KeyExists());
    EXPECT_EQ(ReadSettingInt(kSettingResolution, 4, 0, 4), 4);
    EXPECT_TRUE(sandbox.KeyExists());
}

TEST_F(SettingsStore, WritesStoreRegistryTypesAndBytes) {
    ASSERT_EQ(WriteSettingString(kSettingHtml, "a.htm"), 1);
    ASSERT_EQ(WriteSettingInt(kSettingMaxScale, 0x01020302), 1);
    DWORD type = 0;
    std::string bytes;
    ASSERT_TRUE(sandbox.Fetch("HTML", type, bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(bytes, std::string("a.htm", 6));  // the NUL is stored
    ASSERT_TRUE(sandbox.Fetch("MaxScale", type, bytes));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(bytes, std::string("\x02\x03\x02\x01", 4));  // little-endian
    EXPECT_EQ(WriteSettingString(kSettingHtml, ""), 1);
    EXPECT_FALSE(sandbox.Fetch("HTML", type, bytes));
}

TEST_F(SettingsStore, DwordReadsFollowTheFourByteRule) {
    struct Case {
        const char *what;
        DWORD type;
        std::string bytes;
        int32_t read;  // with default 4, range 0..4
    };
    const Case cases[] = {
        {"REG_DWORD 2", REG_DWORD, std::string("\x02\0\0\0", 4), 2},
        {"REG_BINARY 02 00 00 00", REG_BINARY, std::string("\x02\0\0\0", 4), 2},
        {"REG_BINARY of 8 bytes", REG_BINARY, std::string("\x01\0\0\0\0\0\0\0", 8), 4},
        {"REG_QWORD 1", REG_QWORD, std::string("\x01\0\0\0\0\0\0\0", 8), 4},
        {"REG_NONE of 4 bytes", REG_NONE, std::string("\x01\0\0\0", 4), 1},
        {"REG_BINARY 03 00 (short: zero-extended)", REG_BINARY, std::string("\x03\0", 2), 3},
        {"REG_BINARY 01 (short)", REG_BINARY, std::string("\x01", 1), 1},
        {"REG_BINARY of no bytes", REG_BINARY, std::string(), 4},
        {"REG_NONE of 2 bytes", REG_NONE, std::string("\x01\0", 2), 4},
        {"REG_DWORD 9, out of range", REG_DWORD, std::string("\x09\0\0\0", 4), 4},
        {"REG_DWORD -1, out of range", REG_DWORD, std::string("\xff\xff\xff\xff", 4), 4},
    };
    for (const Case &c : cases) {
        sandbox.Plant("Resolution", c.type, c.bytes.data(), static_cast<DWORD>(c.bytes.size()));
        EXPECT_EQ(ReadSettingInt(kSettingResolution, 4, 0, 4), c.read) << c.what;
    }
    // A 3-character string with its NUL is 4 bytes: taken as a number.
    sandbox.Plant("MaxScale", REG_SZ, "abc", 4);
    EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, INT32_MIN, INT32_MAX), 0x00636261);
    EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, 0, 3), 3);
}

TEST_F(SettingsStore, HtmlValuesThatAreNotPlainStrings) {
    // An empty REG_SZ (only its NUL) reads as length 0: output stays off.
    sandbox.Plant("HTML", REG_SZ, "", 1);
    char buffer[260] = "kept";
    EXPECT_EQ(ReadSettingString(kSettingHtml, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "");
    settings = LoadSettings();
    EXPECT_EQ(settings.htmlOutput, 0);

    // A string stored without its NUL is terminated.
    sandbox.Plant("HTML", REG_SZ, "out.htm", 7);
    EXPECT_EQ(ReadSettingString(kSettingHtml, buffer, sizeof buffer), 7);
    EXPECT_STREQ(buffer, "out.htm");

    // Another type is not a path: the buffer is left alone and output stays off.
    const char bytes[4] = {'x', 'y', 'z', 0};
    sandbox.Plant("HTML", REG_BINARY, bytes, 4);
    std::memcpy(buffer, "kept", 5);
    EXPECT_EQ(ReadSettingString(kSettingHtml, buffer, sizeof buffer), 0);
    EXPECT_STREQ(buffer, "kept");
    settings = ServerSettings();
    settings = LoadSettings();
    EXPECT_EQ(settings.htmlOutput, 0);
    EXPECT_STREQ(settings.htmlPath, "");

    // A raw query reports type and size.
    sandbox.Plant("HTML", REG_SZ, "a", 2);
    uint32_t type = 0, size = sizeof buffer;
    EXPECT_EQ(QuerySetting("", "HTML", &type, buffer, &size), 1);
    EXPECT_EQ(type, kSettingString);
    EXPECT_EQ(size, 2u);
    size = 1;
    EXPECT_EQ(QuerySetting("", "HTML", &type, buffer, &size), 0);  // larger than the buffer
}

#else

TEST_F(SettingsStore, ReadsCreateNothingAndTheFirstWriteCreatesFoldersAndFile) {
    settings = LoadSettings();
    EXPECT_FALSE(std::filesystem::exists(sandbox.Root() + "/Zandrel"));
    ASSERT_EQ(WriteSettingInt(kSettingMaxScale, 2), 1);
    EXPECT_EQ(sandbox.ReadIni(), "MaxScale=2\n");
    struct stat st{};
    ASSERT_EQ(stat(sandbox.Folder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(WriteSettingString(kSettingHtml, kPath), 1);
    ASSERT_EQ(WriteSettingInt(kSettingResolution, -1), 1);  // signed decimal
    EXPECT_EQ(sandbox.ReadIni(), std::string("MaxScale=2\nHTML=") + kPath + "\nResolution=-1\n");
    // Only the file itself is left: the temporary file was renamed over it.
    int entries = 0;
    for (const auto &entry : std::filesystem::directory_iterator(sandbox.Folder())) {
        EXPECT_EQ(entry.path().filename(), "settings.ini");
        ++entries;
    }
    EXPECT_EQ(entries, 1);
}

// settings.ini (its webhook address may hold a secret) and the token file are
// the user's alone whatever the umask, and files an older version left
// readable are tightened by the first read.
TEST_F(SettingsStore, TheFilesAreTheUsersAloneWhateverTheUmask) {
    const std::string token = sandbox.Folder() + "/" + kDashboardTokenFile;
    auto mode = [](const std::string &path) {
        struct stat st{};
        return stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
    };
    const mode_t saved = umask(0);
    ASSERT_EQ(WriteSettingInt(kSettingMaxScale, 2), 1);
    ASSERT_EQ(WriteSettingString(kSettingDashboardToken, "secret"), 1);
    umask(saved);
    EXPECT_EQ(mode(sandbox.Folder()), 0700u);
    EXPECT_EQ(mode(sandbox.Root() + "/Zandrel"), 0700u);
    EXPECT_EQ(mode(sandbox.File()), 0600u);
    EXPECT_EQ(mode(token), 0600u);

    for (const std::string &path : {sandbox.File(), token, sandbox.Folder()}) {
        ASSERT_EQ(chmod(path.c_str(), path == sandbox.Folder() ? 0755 : 0644), 0);
    }
    settings = LoadSettings();
    char buffer[64];
    EXPECT_GT(ReadSettingString(kSettingDashboardToken, buffer, sizeof buffer), 0);
    EXPECT_EQ(settings.maxScale, 2);
    EXPECT_EQ(mode(sandbox.File()), 0600u) << "tightened by the first read";
    EXPECT_EQ(mode(token), 0600u);
    ASSERT_EQ(WriteSettingInt(kSettingMaxScale, 1), 1);
    EXPECT_EQ(mode(sandbox.Folder()), 0700u) << "tightened by the first write";
}

TEST_F(SettingsStore, ConfigFolderFallsBackToHomeDotConfig) {
    const std::string home = sandbox.Root() + "/home";
    setenv("HOME", home.c_str(), 1);
    for (const char *xdg : {"", "relative/path"}) {
        setenv("XDG_CONFIG_HOME", xdg, 1);
        EXPECT_EQ(WriteSettingInt(kSettingMaxScale, 1), 1) << "XDG_CONFIG_HOME=" << xdg;
    }
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, 0, 3), 1);
    EXPECT_TRUE(std::filesystem::exists(home + "/.config/Zandrel/Pellick/settings.ini"));
}

TEST_F(SettingsStore, WritesKeepOtherLinesReplaceInPlaceAndDropRepeats) {
    sandbox.WriteIni("# saved by hand\r\nOther=x\nmaxscale=1\nResolution=3\nMaxScale=0\nLast=y");
    EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, 0, 3), 1);  // names ignore case; first line wins
    ASSERT_EQ(WriteSettingInt(kSettingMaxScale, 2), 1);
    EXPECT_EQ(sandbox.ReadIni(), "# saved by hand\r\nOther=x\nMaxScale=2\nResolution=3\nLast=y");
    ASSERT_EQ(WriteSettingString(kSettingHtml, "a.htm"), 1);
    EXPECT_EQ(sandbox.ReadIni(), "# saved by hand\r\nOther=x\nMaxScale=2\nResolution=3\nLast=y\nHTML=a.htm\n");
    ASSERT_EQ(WriteSettingInt(kSettingResolution, 0), 1);
    ASSERT_EQ(WriteSettingString(kSettingHtml, ""), 1);
    EXPECT_EQ(sandbox.ReadIni(), "# saved by hand\r\nOther=x\nMaxScale=2\nResolution=0\nLast=y\n");
}

TEST_F(SettingsStore, GarbledLinesGiveTheDefault) {
    struct Case {
        const char *file;
        int32_t maxScale;  // default 3, range 0..3
    };
    const Case cases[] = {
        {"MaxScale=2\n", 2},
        {"MaxScale=2", 2},
        {"  MaxScale = 2 \r\n", 2},
        {"MaxScale=-0\n", 0},
        {"MaxScale=2x\n", 3},
        {"MaxScale=\n", 3},
        {"MaxScale= \n", 3},
        {"MaxScale=+2\n", 3},
        {"MaxScale=0x2\n", 3},
        {"MaxScale=2.0\n", 3},
        {"MaxScale=99999999999999999999\n", 3},
        {"MaxScale=4294967298\n", 3},  // not cut to 32 bits
        {"MaxScale\n", 3},
        {"=2\n", 3},
        {"Max Scale=2\n", 3},
        {"\x01\xff\xfe=\x80\n\nMaxScale=1", 1},
    };
    for (const Case &c : cases) {
        sandbox.WriteIni(c.file);
        EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, 0, 3), c.maxScale) << "file: " << c.file;
    }
    sandbox.WriteIni(std::string("MaxScale=1\0junk\n", 16));
    EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, 0, 3), 3);
    char path[260] = "kept";
    sandbox.WriteIni(std::string("HTML=a\0b\n", 9));
    EXPECT_EQ(ReadSettingString(kSettingHtml, path, sizeof path), 1);  // a text ends at a NUL
    EXPECT_STREQ(path, "a");
}

TEST_F(SettingsStore, SpacesAroundTheHtmlPathAreLayout) {
    struct Case {
        const char *file;
        const char *path;
    };
    const Case cases[] = {
        {"HTML=/srv/a.htm\n", "/srv/a.htm"},
        {"HTML =  /srv/a.htm  \r\n", "/srv/a.htm"},
        {"HTML=\t/srv/render status.htm\t\n", "/srv/render status.htm"},
        {"HTML=   \n", ""},
    };
    for (const Case &c : cases) {
        sandbox.WriteIni(c.file);
        settings = LoadSettings();
        EXPECT_STREQ(settings.htmlPath, c.path) << "file: " << c.file;
        EXPECT_EQ(settings.htmlOutput, c.path[0] ? 1 : 0) << "file: " << c.file;
    }
}

TEST_F(SettingsStore, UnusableFoldersAndFilesReadAsDefaultsAndFailWrites) {
    auto expectUnusable = [this](const char *what) {
        settings = ServerSettings();
        settings = LoadSettings();
        EXPECT_EQ(settings.maxScale, 3) << what;
        EXPECT_EQ(settings.resolution, 4) << what;
        EXPECT_EQ(settings.htmlOutput, 0) << what;
        EXPECT_EQ(WriteSettingInt(kSettingMaxScale, 1), 0) << what;
        EXPECT_EQ(WriteSettingString(kSettingHtml, "x.htm"), 0) << what;
    };
    // A regular file where a folder belongs.
    const std::string blocker = sandbox.Root() + "/file";
    std::ofstream(blocker) << "x";
    setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    expectUnusable("config folder is a file");
    setenv("XDG_CONFIG_HOME", sandbox.Root().c_str(), 1);

    // A folder where the file belongs.
    std::filesystem::create_directories(sandbox.File());
    expectUnusable("settings.ini is a folder");
    std::filesystem::remove(sandbox.File());

    // A file too large to be settings is neither read nor replaced.
    sandbox.WriteIni("MaxScale=1\n" + std::string(2 << 20, '#'));
    expectUnusable("settings.ini is 2 MiB");
    EXPECT_EQ(std::filesystem::file_size(sandbox.File()), 11u + (2u << 20));
    std::filesystem::remove(sandbox.File());

    // A read-only folder (root may write anyway, so only checked for others).
    if (geteuid() != 0) {
        sandbox.WriteIni("MaxScale=1\n");
        chmod(sandbox.Folder().c_str(), 0500);
        EXPECT_EQ(WriteSettingInt(kSettingMaxScale, 2), 0);
        EXPECT_EQ(ReadSettingInt(kSettingMaxScale, 3, 0, 3), 1);
        chmod(sandbox.Folder().c_str(), 0700);
    }
}

TEST_F(SettingsStore, OnlyTextsWithoutLineBreaksAndFourByteNumbersAreStored) {
    sandbox.WriteIni("MaxScale=1\n");
    EXPECT_EQ(WriteSettingString(kSettingHtml, "a\nMaxScale=0"), 0);
    EXPECT_EQ(WriteSettingString(kSettingHtml, "a\rb"), 0);
    const uint8_t two[2] = {1, 0};
    EXPECT_EQ(WriteSetting("", kSettingMaxScale, kSettingBinary, two, 2), 0);
    EXPECT_EQ(WriteSetting("", "Bad=Name", kSettingString, "x", 2), 0);
    EXPECT_EQ(WriteSetting("", "", kSettingString, "x", 2), 0);
    EXPECT_EQ(sandbox.ReadIni(), "MaxScale=1\n");
    const uint8_t four[4] = {2, 0, 0, 0};
    EXPECT_EQ(WriteSetting("", kSettingMaxScale, kSettingBinary, four, 4), 1);
    EXPECT_EQ(sandbox.ReadIni(), "MaxScale=2\n");
    uint32_t type = 0, size = 2;
    char data[8];
    EXPECT_EQ(QuerySetting("", kSettingMaxScale, &type, data, &size), 1);
    EXPECT_EQ(type, kSettingString);
    EXPECT_EQ(size, 2u);
    EXPECT_STREQ(data, "2");
    size = 1;
    EXPECT_EQ(QuerySetting("", kSettingMaxScale, &type, data, &size), 0);
}

#endif

}  // namespace

// The webhook rule, and what of an address is shown to anyone reading the status.
TEST(Webhook, OnlyHttpAddressesWithinBoundsAndTheShownFormHidesPathAndUser) {
    struct Case {
        std::string url;
        bool ok;
        const char *shown;
    } cases[] = {
        {"http://127.0.0.1:8080/hook", true, "http://127.0.0.1:8080/..."},
        {"HTTPS://hooks.example.com/services/T0/B1/secret", true, "HTTPS://hooks.example.com/..."},
        {"https://user:pw@host.example?token=1", true, "https://host.example/..."},
        {"http://host.example/", true, "http://host.example/"},
        {"http://[::1]:9/", true, "http://[::1]:9/"},
        {"http://h", true, "http://h"},
        {"http://" + std::string(kMaxWebhookBytes - 7, 'a'), true, nullptr},
        {"http://" + std::string(kMaxWebhookBytes - 6, 'a'), false, nullptr},
        {"http://", false, nullptr},
        {"http://:80/x", false, nullptr},
        {"http:///x", false, nullptr},
        {"ftp://host/", false, nullptr},
        {"file:///etc/passwd", false, nullptr},
        {"host.example/hook", false, nullptr},
        {"http://host/a b", false, nullptr},
        {"http://host/\r\nX: 1", false, nullptr},
        {"http://host/\x7f", false, nullptr},
    };
    for (const Case &c : cases) {
        std::string reason;
        EXPECT_EQ(IsWebhookUrl(c.url, reason), c.ok) << c.url.substr(0, 80) << " -> " << reason;
        if (c.shown) {
            EXPECT_EQ(WebhookShown(c.url), c.shown) << c.url;
        }
    }
    EXPECT_EQ(WebhookShown(""), "");
}

TEST_F(SettingsStore, StoredWebhookThatIsNotAnAddressIsIgnored) {
    struct Case {
        const char *stored;
        const char *loaded;
    } cases[] = {
        {"https://hooks.example.com/x", "https://hooks.example.com/x"},
        {"gopher://hooks.example.com/x", ""},
        {"no address", ""},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(WriteSettingString(kSettingWebhook, c.stored), 1);
        EXPECT_STREQ(LoadSettings().webhook, c.loaded) << c.stored;
    }
    ASSERT_EQ(SetWebhook(settings, std::string(kMaxWebhookBytes, 'h')), 1);
    EXPECT_EQ(std::strlen(settings.webhook), kMaxWebhookBytes) << "the longest address fits whole";
}

// The status port's rules: MaxCpusPerAddress within 1..1,048,576 (else the default), and
// StatusNetworks read so that nothing stored admits more than it says.
TEST_F(SettingsStore, MaxCpusPerAddressWithinItsRangeElseTheDefault) {
    EXPECT_EQ(LoadSettings().maxCpusPerAddress, 1024);
    const std::pair<int32_t, int32_t> cases[] = {{1, 1},          {64, 64},   {1048576, 1048576}, {0, 1024},
                                                 {1048577, 1024}, {-5, 1024}, {INT32_MAX, 1024}};
    for (const auto &[stored, loaded] : cases) {
        ASSERT_EQ(WriteSettingInt(kSettingMaxCpusPerAddress, stored), 1);
        EXPECT_EQ(LoadSettings().maxCpusPerAddress, loaded) << "stored as " << stored;
    }
    ASSERT_EQ(WriteSettingString(kSettingMaxCpusPerAddress, "many"), 1);
    EXPECT_EQ(LoadSettings().maxCpusPerAddress, 1024);
}

TEST_F(SettingsStore, StatusNetworksNeverAdmitMoreThanWritten) {
    settings = LoadSettings();
    EXPECT_FALSE(settings.statusNetworks.restricted) << "missing: any address";
    EXPECT_EQ(settings.statusNetworksIssue, "");

    ASSERT_EQ(WriteSettingString(kSettingStatusNetworks, "10.20.0.0/16, 192.168.5.0/24"), 1);
    settings = LoadSettings();
    EXPECT_TRUE(settings.statusNetworks.restricted);
    EXPECT_EQ(NetworksText(settings.statusNetworks), "10.20.0.0/16, 192.168.5.0/24");
    EXPECT_EQ(settings.statusNetworksIssue, "");

    // Bad entries are left out and named in the one line.
    ASSERT_EQ(WriteSettingString(kSettingStatusNetworks, "10.300.0.0/16, 192.168.5.0/24, fe80::/10"), 1);
    settings = LoadSettings();
    EXPECT_EQ(NetworksText(settings.statusNetworks), "192.168.5.0/24");
    EXPECT_EQ(settings.statusNetworksIssue,
              "StatusNetworks: ignored 10.300.0.0/16 (an octet past 255), fe80::/10 (IPv6: the status port takes IPv4 "
              "only); status connections are taken from 192.168.5.0/24 only");

    // Nothing good in it: no address at all, and the line says so.
    ASSERT_EQ(WriteSettingString(kSettingStatusNetworks, "the farm"), 1);
    settings = LoadSettings();
    EXPECT_TRUE(settings.statusNetworks.restricted);
    EXPECT_TRUE(settings.statusNetworks.networks.empty());
    EXPECT_NE(settings.statusNetworksIssue.find("every status connection is refused"), std::string::npos)
        << settings.statusNetworksIssue;

    // Too long to be read: no address either.
    std::string longList;
    while (longList.size() <= kMaxStatusNetworksBytes) longList += "10.20.0.0/16, ";
    ASSERT_EQ(WriteSettingString(kSettingStatusNetworks, longList.c_str()), 1);
    settings = LoadSettings();
    EXPECT_TRUE(settings.statusNetworks.restricted);
    EXPECT_TRUE(settings.statusNetworks.networks.empty());
    EXPECT_NE(settings.statusNetworksIssue.find("not a text of at most 4096 bytes"), std::string::npos)
        << settings.statusNetworksIssue;

    // The longest list that is read is read whole.
    std::string longest;
    while (longest.size() + 14 <= kMaxStatusNetworksBytes) longest += "10.20.0.0/16, ";
    ASSERT_EQ(WriteSettingString(kSettingStatusNetworks, longest.c_str()), 1);
    settings = LoadSettings();
    EXPECT_EQ(settings.statusNetworks.networks.size(), longest.size() / 14);
    EXPECT_EQ(settings.statusNetworksIssue, "");

    // Deleted again: any address.
    ASSERT_EQ(WriteSettingString(kSettingStatusNetworks, ""), 1);
    EXPECT_FALSE(LoadSettings().statusNetworks.restricted);
}

#ifdef _WIN32
TEST_F(SettingsStore, StatusNetworksThatAreNotAStringAdmitNoOne) {
    sandbox.Plant("StatusNetworks", REG_SZ, "", 1);  // an empty text: any address
    settings = LoadSettings();
    EXPECT_FALSE(settings.statusNetworks.restricted);
    EXPECT_EQ(settings.statusNetworksIssue, "");
    const DWORD number = 0x0A140000;
    sandbox.Plant("StatusNetworks", REG_DWORD, &number, sizeof number);
    settings = LoadSettings();
    EXPECT_TRUE(settings.statusNetworks.restricted);
    EXPECT_TRUE(settings.statusNetworks.networks.empty());
    EXPECT_NE(settings.statusNetworksIssue, "");
    sandbox.Plant("MaxCpusPerAddress", REG_DWORD, &number, sizeof number);  // past 1,048,576
    EXPECT_EQ(LoadSettings().maxCpusPerAddress, 1024);
    const DWORD sixteen = 16;
    sandbox.Plant("MaxCpusPerAddress", REG_DWORD, &sixteen, sizeof sixteen);
    EXPECT_EQ(LoadSettings().maxCpusPerAddress, 16);
}
#else
TEST_F(SettingsStore, StatusNetworksLinesAsTheFileHoldsThem) {
    sandbox.WriteIni("StatusNetworks=\n");
    EXPECT_FALSE(LoadSettings().statusNetworks.restricted) << "an empty value: any address";
    sandbox.WriteIni("StatusNetworks =   \t\n");
    EXPECT_FALSE(LoadSettings().statusNetworks.restricted);
    sandbox.WriteIni("statusnetworks = 10.20.0.0/16 ,192.168.5.0/24\r\nMaxCpusPerAddress = 32\n");
    settings = LoadSettings();
    EXPECT_EQ(NetworksText(settings.statusNetworks), "10.20.0.0/16, 192.168.5.0/24");
    EXPECT_EQ(settings.maxCpusPerAddress, 32);
    std::string withNul = "StatusNetworks=10.20.0.0/16";
    withNul += '\0';
    sandbox.WriteIni(withNul + ", 0.0.0.0/0\n");  // a NUL ends the text
    EXPECT_EQ(NetworksText(LoadSettings().statusNetworks), "10.20.0.0/16");
}
#endif
