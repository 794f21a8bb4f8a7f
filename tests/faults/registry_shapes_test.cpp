// Registry values of every wrong shape, loaded the way pellicksrv.exe loads them at start: defaults, no crash, always a terminated path.
#include "settings.h"
#include "settings_store.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// HKEY_CURRENT_USER of this process mapped onto a fresh scratch key, so the
// real registry calls run without touching the prefix's own settings.
class ScratchHive {
public:
    ScratchHive() {
        scratch_ = "Software\\PellickFaultTests\\" + std::to_string(GetCurrentProcessId());
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_.c_str());
        EXPECT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, scratch_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root_,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegOverridePredefKey(HKEY_CURRENT_USER, root_), ERROR_SUCCESS);
    }
    ~ScratchHive() {
        RegOverridePredefKey(HKEY_CURRENT_USER, nullptr);
        RegCloseKey(root_);
        RegDeleteTreeA(HKEY_CURRENT_USER, scratch_.c_str());
        RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\PellickFaultTests");
    }
    ScratchHive(const ScratchHive &) = delete;
    ScratchHive &operator=(const ScratchHive &) = delete;

    // Empties the settings key.
    void Clear() { RegDeleteTreeA(root_, "Software\\Zandrel\\Pellick"); }
    void Plant(const char *name, DWORD type, const std::string &bytes) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(root_, "Software\\Zandrel\\Pellick", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE *>(bytes.data()),
                                 static_cast<DWORD>(bytes.size())),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // A subkey where a value is expected.
    void PlantKey(const char *name) {
        HKEY key;
        const std::string path = std::string("Software\\Zandrel\\Pellick\\") + name;
        ASSERT_EQ(RegCreateKeyExA(root_, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

private:
    std::string scratch_;
    HKEY root_ = nullptr;
};

std::string Bytes(const char *text, size_t n) { return std::string(text, n); }

struct Value {
    const char *name;
    DWORD type;
    std::string bytes;
    bool asKey = false;
};

struct Case {
    const char *what;
    std::vector<Value> values;
    int32_t maxScale, resolution;
    std::string path;  // "" means HTML output off
};

TEST(RegistryShapes, EveryWrongShapeLoadsAsDefaults) {
    ScratchHive hive;
    const std::string path259(259, 'p');
    const Case cases[] = {
        {"nothing stored", {}, 3, 4, ""},
        {"valid values (the control)",
         {{"MaxScale", REG_DWORD, Bytes("\1\0\0\0", 4)}, {"Resolution", REG_DWORD, Bytes("\2\0\0\0", 4)},
          {"HTML", REG_SZ, Bytes("C:\\www\\s.htm", 13)}},
         1, 2, "C:\\www\\s.htm"},
        {"HTML longer than a path", {{"HTML", REG_SZ, std::string(300, 'p') + '\0'}}, 3, 4, ""},
        {"HTML of 260 bytes with no NUL", {{"HTML", REG_SZ, std::string(260, 'p')}}, 3, 4, ""},
        {"HTML of 259 characters and its NUL", {{"HTML", REG_SZ, path259 + '\0'}}, 3, 4, path259},
        {"HTML as REG_EXPAND_SZ", {{"HTML", REG_EXPAND_SZ, Bytes("C:\\a.htm", 9)}}, 3, 4, ""},
        {"HTML as REG_MULTI_SZ", {{"HTML", REG_MULTI_SZ, Bytes("C:\\a.htm\0\0", 10)}}, 3, 4, ""},
        {"HTML as REG_DWORD", {{"HTML", REG_DWORD, Bytes("C:\\\0", 4)}}, 3, 4, ""},
        {"HTML with a NUL inside", {{"HTML", REG_SZ, Bytes("C:\\a\0b.htm", 11)}}, 3, 4, "C:\\a"},
        {"HTML as a subkey", {{"HTML", 0, "", true}}, 3, 4, ""},
        {"numbers as 1-character strings",
         {{"MaxScale", REG_SZ, Bytes("1", 2)}, {"Resolution", REG_SZ, Bytes("2", 2)}}, 3, 4, ""},
        {"numbers of 5 bytes",
         {{"MaxScale", REG_DWORD, Bytes("\1\0\0\0\0", 5)}, {"Resolution", REG_BINARY, Bytes("\2\0\0\0\0", 5)}}, 3, 4,
         ""},
        {"numbers as REG_QWORD",
         {{"MaxScale", REG_QWORD, Bytes("\1\0\0\0\0\0\0\0", 8)}, {"Resolution", REG_QWORD, Bytes("\2\0\0\0\0\0\0\0", 8)}},
         3, 4, ""},
        {"numbers stored big-endian",
         {{"MaxScale", REG_DWORD, Bytes("\0\0\0\1", 4)}, {"Resolution", REG_DWORD, Bytes("\0\0\0\2", 4)}}, 3, 4, ""},
        {"numbers of no bytes", {{"MaxScale", REG_DWORD, ""}, {"Resolution", REG_BINARY, ""}}, 3, 4, ""},
        {"numbers as subkeys", {{"MaxScale", 0, "", true}, {"Resolution", 0, "", true}}, 3, 4, ""},
        {"everything wrong at once",
         {{"MaxScale", REG_DWORD, Bytes("\xff\xff\xff\x7f", 4)}, {"Resolution", REG_DWORD, Bytes("\x00\x00\x00\x80", 4)},
          {"HTML", REG_BINARY, std::string(1000, 'x')}},
         3, 4, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        hive.Clear();
        for (const Value &v : c.values) {
            if (v.asKey) {
                hive.PlantKey(v.name);
            } else {
                hive.Plant(v.name, v.type, v.bytes);
            }
        }
        const ServerSettings settings = LoadSettings();
        EXPECT_EQ(settings.maxScale, c.maxScale);
        EXPECT_EQ(settings.resolution, c.resolution);
        const size_t n = strnlen(settings.htmlPath, sizeof settings.htmlPath);
        ASSERT_LT(n, sizeof settings.htmlPath) << "the path is not terminated";
        EXPECT_EQ(std::string(settings.htmlPath, n), c.path);
        EXPECT_EQ(settings.htmlOutput, c.path.empty() ? 0 : 1);
    }
}

}  // namespace
