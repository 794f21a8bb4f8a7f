// The settings store's raw calls on POSIX: Name=value lines in settings.ini of the product folder under ${XDG_CONFIG_HOME:-$HOME/.config}.
#include "settings_store.h"
#include "settings_store_raw.h"

#include "ascii_case.h"
#include "data_folder.h"
#include "files.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t kKeyPathSize = 260;
constexpr size_t kMaxFileSize = 1 << 20;  // a larger file is not a settings file
constexpr char kFileName[] = "settings.ini";

// Where the key lives.
struct SettingsKey {
    std::string folder;
    std::string file;
};

std::string ConfigRoot() {
    const char *xdg = getenv("XDG_CONFIG_HOME");
    if (xdg && xdg[0] == '/') return xdg;  // empty or relative: ignored, as XDG says
    const char *home = getenv("HOME");
    if (home && home[0] == '/') return std::string(home) + "/.config";
    const passwd *pw = getpwuid(getuid());
    if (pw && pw->pw_dir && pw->pw_dir[0] == '/') return std::string(pw->pw_dir) + "/.config";
    return std::string();
}

// The folder of the key for subkey (its parts separated by backslashes);
// false when there is no config folder or the subkey is unusable.
bool OpenSettingsKey(const char *subkey, SettingsKey &key) {
    const size_t subkeyLength = subkey ? strnlen(subkey, kKeyPathSize) : 0;
    if (SettingsKeyPrefix().size() + subkeyLength >= kKeyPathSize) return false;  // as the registry allows
    const std::string root = ConfigRoot();
    if (root.empty()) return false;
    key.folder = root + '/' + ProductFolder('/');
    std::string_view rest(subkey ? subkey : "", subkeyLength);
    while (!rest.empty()) {
        const size_t cut = rest.find_first_of("\\/");
        const std::string_view part = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (part.empty()) continue;
        if (part == "." || part == "..") return false;
        key.folder += '/';
        key.folder += part;
    }
    key.file = key.folder + '/' + kFileName;
    return true;
}

enum class Loaded { Ok, Missing, Failed };

// The whole file; Missing when it does not exist, Failed when it cannot be
// read or is too large to be a settings file. A file an older version left
// readable by others is made private on the way (reads come first at start).
Loaded LoadFile(const std::string &file, std::string &content) {
    content.clear();
    KeepFilePrivate(file, false);
    const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? Loaded::Missing : Loaded::Failed;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 || content.size() + static_cast<size_t>(n) > kMaxFileSize) {
            close(fd);
            return Loaded::Failed;
        }
        if (n == 0) break;
        content.append(chunk, static_cast<size_t>(n));
    }
    close(fd);
    return Loaded::Ok;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

// Names are matched without regard to ASCII case, like registry names.
bool UsableName(const char *name) {
    if (!name || !*name) return false;
    const std::string_view n(name);
    return n.find_first_of("=\r\n") == std::string_view::npos && Trim(n) == n;
}

// Calls visit(lineStart, lineEnd, value) for each line that holds name;
// lineEnd includes the line break.
template <typename Visit>
void ForEachLine(std::string_view content, std::string_view name, Visit visit) {
    size_t start = 0;
    while (start < content.size()) {
        size_t end = content.find('\n', start);
        end = end == std::string_view::npos ? content.size() : end + 1;
        std::string_view line = content.substr(start, end - start);
        if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t eq = line.find('=');
        if (eq != std::string_view::npos && EqualsNoCase(Trim(line.substr(0, eq)), name)) {
            visit(start, end, line.substr(eq + 1));
        }
        start = end;
    }
}

// Values kept in a private file of their own: its path in the key's folder, or empty.
std::string PrivateFile(const SettingsKey &key, const char *name) {
    if (!EqualsNoCase(name, kSettingDashboardToken)) return std::string();
    return key.folder + '/' + kDashboardTokenFile;
}

// A private file holds its value on its first line.
bool FindPrivateValue(const std::string &file, std::string &value) {
    std::string content;
    if (LoadFile(file, content) != Loaded::Ok) return false;
    value.assign(Trim(std::string_view(content).substr(0, content.find('\n'))));
    return !value.empty();
}

// The text of the first line that holds name.
bool FindValue(const char *subkey, const char *name, std::string &value) {
    SettingsKey key;
    std::string content;
    if (!UsableName(name) || !OpenSettingsKey(subkey, key)) return false;
    if (const std::string file = PrivateFile(key, name); !file.empty()) return FindPrivateValue(file, value);
    if (LoadFile(key.file, content) != Loaded::Ok) return false;
    bool found = false;
    ForEachLine(content, name, [&](size_t, size_t, std::string_view text) {
        if (!found) value.assign(text);
        found = true;
    });
    return found;
}

// Replaces the value's line (dropping repeats), appends it when new, or
// with value == nullptr deletes it; keeps every other line as it is.
int StoreValue(const char *subkey, const char *name, const std::string *value) {
    SettingsKey key;
    if (!UsableName(name) || !OpenSettingsKey(subkey, key)) return 0;
    if (const std::string file = PrivateFile(key, name); !file.empty()) {
        if (!value) return unlink(file.c_str()) == 0 || errno == ENOENT;
        if (!MakeParentFolders(file)) return 0;
        const std::string line = *value + '\n';
        return WritePrivateFileAtomic(file.c_str(), line.data(), line.size());
    }
    std::string content;
    const Loaded loaded = LoadFile(key.file, content);
    if (loaded == Loaded::Failed) return 0;  // never replace a file we could not read
    std::string updated;
    updated.reserve(content.size() + 64);
    size_t kept = 0;
    bool replaced = false, deleted = false;
    ForEachLine(content, name, [&](size_t start, size_t end, std::string_view) {
        updated.append(content, kept, start - kept);
        kept = end;
        if (value && !replaced) {
            updated += name;
            updated += '=';
            updated += *value;
            updated += '\n';
            replaced = true;
        }
        deleted = true;
    });
    updated.append(content, kept, std::string::npos);
    if (!value && !deleted) return 1;  // nothing to delete
    if (value && !replaced) {
        if (!updated.empty() && updated.back() != '\n') updated += '\n';
        updated += name;
        updated += '=';
        updated += *value;
        updated += '\n';
    }
    if (!MakeParentFolders(key.file)) return 0;
    // Private: the webhook's address may carry a secret.
    return WritePrivateFileAtomic(key.file.c_str(), updated.data(), updated.size());
}

}  // namespace

int QuerySetting(const char *subkey, const char *name, uint32_t *type, void *data, uint32_t *size) {
    if (!size) return 0;
    std::string value;
    if (!FindValue(subkey, name, value)) return 0;
    const size_t needed = value.size() + 1;
    if (data) {  // without data only the size is asked for
        if (needed > *size) return 0;
        std::memcpy(data, value.c_str(), needed);
    }
    if (type) *type = kSettingString;
    *size = static_cast<uint32_t>(needed);
    return 1;
}

int ReadSettingStringAt(const char *subkey, const char *name, char *buffer, uint32_t capacity) {
    if (!buffer || capacity == 0) return 0;
    std::string value;
    if (!FindValue(subkey, name, value)) return 0;
    // The text ends at a NUL; spaces around it are the file's layout, as around numbers.
    const std::string_view text = Trim(std::string_view(value.c_str(), strnlen(value.c_str(), value.size())));
    if (text.size() >= capacity) return 0;
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return static_cast<int>(text.size());
}

int32_t ReadSettingDwordAt(const char *subkey, const char *name, int32_t def, int32_t minimum, int32_t maximum) {
    std::string text;
    if (!FindValue(subkey, name, text)) return def;
    const std::string_view digits = Trim(text);
    int64_t value = 0;
    const char *first = digits.data(), *last = digits.data() + digits.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || first == last) return def;
    return value >= minimum && value <= maximum ? static_cast<int32_t>(value) : def;
}

int WriteSetting(const char *subkey, const char *name, uint32_t type, const void *data, uint32_t size) {
    if (!data) return StoreValue(subkey, name, nullptr);
    std::string value;
    if (type == kSettingString) {
        const char *text = static_cast<const char *>(data);
        value.assign(text, strnlen(text, size));
        if (value.find_first_of("\r\n") != std::string::npos) return 0;
    } else if ((type == kSettingDword || type == kSettingBinary) && size == 4) {
        const uint8_t *b = static_cast<const uint8_t *>(data);
        const uint32_t raw = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        value = std::to_string(static_cast<int32_t>(raw));
    } else {
        return 0;
    }
    return StoreValue(subkey, name, &value);
}
