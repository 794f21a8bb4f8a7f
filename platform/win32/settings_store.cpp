// The settings store's raw calls on Windows: values under the product's key in HKEY_CURRENT_USER\Software in the registry.
#include "settings_store.h"
#include "settings_store_raw.h"

#include <windows.h>

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <type_traits>

// The portable named calls store with the raw type codes, which are the registry's own.
static_assert(kSettingString == REG_SZ && kSettingBinary == REG_BINARY && kSettingDword == REG_DWORD);

namespace {

constexpr size_t kKeyPathSize = 260;

// Closes the key when it goes out of scope.
struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using SettingsKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// Creates or opens the key with query and set rights; empty when that fails
// or when prefix and subkey do not fit the 260-byte path.
SettingsKey OpenSettingsKey(const char *subkey) {
    char path[kKeyPathSize];
    const std::string prefix = SettingsKeyPrefix();
    const size_t prefixLength = prefix.size();
    const size_t subkeyLength = subkey ? strnlen(subkey, kKeyPathSize) : 0;
    if (prefixLength + subkeyLength >= kKeyPathSize) return SettingsKey();
    std::memcpy(path, prefix.data(), prefixLength);
    if (subkeyLength) std::memcpy(path + prefixLength, subkey, subkeyLength);
    path[prefixLength + subkeyLength] = '\0';
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return SettingsKey();
    }
    return SettingsKey(key);
}

}  // namespace

int QuerySetting(const char *subkey, const char *name, uint32_t *type, void *data, uint32_t *size) {
    if (!size) return 0;
    SettingsKey key = OpenSettingsKey(subkey);
    if (!key) return 0;
    DWORD valueType = 0, valueSize = *size;
    if (RegQueryValueExA(key.get(), name, nullptr, &valueType, static_cast<BYTE *>(data), &valueSize) !=
        ERROR_SUCCESS) {
        return 0;
    }
    if (type) *type = valueType;
    *size = valueSize;
    return 1;
}

int ReadSettingStringAt(const char *subkey, const char *name, char *buffer, uint32_t capacity) {
    if (!buffer || capacity == 0) return 0;
    // Read into scratch, so a value that is not taken leaves the buffer alone.
    std::unique_ptr<char[]> scratch(new (std::nothrow) char[capacity]);
    if (!scratch) return 0;
    uint32_t type = 0, size = capacity;
    if (!QuerySetting(subkey, name, &type, scratch.get(), &size) || type != REG_SZ || size > capacity) return 0;
    // A string stored without its NUL is terminated here when there is room.
    const size_t length = strnlen(scratch.get(), size);
    if (length == capacity) return 0;
    std::memcpy(buffer, scratch.get(), length);
    buffer[length] = '\0';
    return static_cast<int>(length);
}

int32_t ReadSettingDwordAt(const char *subkey, const char *name, int32_t def, int32_t minimum, int32_t maximum) {
    uint8_t bytes[4] = {};
    uint32_t type = 0, size = sizeof bytes;
    if (!QuerySetting(subkey, name, &type, bytes, &size) || size == 0) return def;
    if (type != REG_DWORD && type != REG_BINARY && size != 4) return def;
    // Little-endian; a shorter value fills only the low bytes.
    const uint32_t raw = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    const int32_t value = static_cast<int32_t>(raw);
    return value >= minimum && value <= maximum ? value : def;
}

int WriteSetting(const char *subkey, const char *name, uint32_t type, const void *data, uint32_t size) {
    SettingsKey key = OpenSettingsKey(subkey);
    if (!key) return 0;
    if (data) {
        return RegSetValueExA(key.get(), name, 0, type, static_cast<const BYTE *>(data), size) == ERROR_SUCCESS;
    }
    const LONG result = RegDeleteValueA(key.get(), name);
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}
