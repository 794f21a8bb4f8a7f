// Fuzz target for the Linux settings store: a settings.ini of any content, then reads, a write and the server's start-up load.
//
// Reads must stay within range or give the default, strings must come back
// NUL-terminated, and a write must change only the value it names.
#include "fuzz_support.h"
#include "settings.h"
#include "settings_store.h"
#include "settings_store_raw.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string iniPath;

void Setup() {
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::string folder = std::string(base) + "/pellick-settings-fuzz-XXXXXX";
    FUZZ_CHECK(mkdtemp(folder.data()) != nullptr, "no scratch folder under %s", base);
    setenv("XDG_CONFIG_HOME", folder.c_str(), 1);
    const std::string key = folder + "/Zandrel";
    mkdir(key.c_str(), 0700);
    FUZZ_CHECK(mkdir((key + "/Pellick").c_str(), 0700) == 0, "cannot make the settings folder");
    iniPath = key + "/Pellick/settings.ini";
}

void WriteIni(std::span<const uint8_t> content) {
    const int fd = open(iniPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FUZZ_CHECK(fd >= 0, "cannot write %s", iniPath.c_str());
    FUZZ_CHECK(write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()), "short write");
    close(fd);
}

struct Dword {
    const char *name;
    int32_t def, lo, hi;
};
constexpr Dword kDwords[] = {
    {"MaxScale", kDefaultMaxScale, kMinMaxScale, kMaxMaxScale},
    {"Resolution", kDefaultResolution, kMinResolution, kMaxResolution},
    {"Wide", -7, INT32_MIN, INT32_MAX},
};

// Everything a reader can see of the store.
struct Snapshot {
    int32_t dwords[3];
    int htmlLength;
    char html[260];
    bool operator==(const Snapshot &) const = default;
};

Snapshot Read() {
    Snapshot s{};
    for (size_t i = 0; i < 3; ++i) {
        const Dword &d = kDwords[i];
        s.dwords[i] = ReadSettingInt(d.name, d.def, d.lo, d.hi);
        FUZZ_CHECK(s.dwords[i] == d.def || (s.dwords[i] >= d.lo && s.dwords[i] <= d.hi), "%s read as %d", d.name,
                   s.dwords[i]);
    }
    char buffer[260];
    std::memset(buffer, 'Q', sizeof buffer);
    s.htmlLength = ReadSettingString(kSettingHtml, buffer, sizeof buffer);
    FUZZ_CHECK(s.htmlLength >= 0 && s.htmlLength < 260, "HTML length %d", s.htmlLength);
    if (s.htmlLength > 0 || buffer[0] == '\0') {
        FUZZ_CHECK(strnlen(buffer, sizeof buffer) == static_cast<size_t>(s.htmlLength), "HTML read without its NUL");
        std::memcpy(s.html, buffer, static_cast<size_t>(s.htmlLength));
    } else {
        for (char c : buffer) FUZZ_CHECK(c == 'Q', "a failed read wrote into the buffer");
    }
    return s;
}

// The server's start-up load gives values within range and a terminated path.
void CheckLoad(const Snapshot &s) {
    const ServerSettings settings = LoadSettings();
    FUZZ_CHECK(settings.maxScale >= kMinMaxScale && settings.maxScale <= kMaxMaxScale, "MaxScale %d",
               settings.maxScale);
    FUZZ_CHECK(settings.resolution >= kMinResolution && settings.resolution <= kMaxResolution, "Resolution %d",
               settings.resolution);
    const size_t n = strnlen(settings.htmlPath, sizeof settings.htmlPath);
    FUZZ_CHECK(n < sizeof settings.htmlPath, "HTML path unterminated");
    FUZZ_CHECK(settings.htmlOutput == (n > 0 ? 1 : 0), "output %d for a path of %zu bytes", settings.htmlOutput, n);
    FUZZ_CHECK(n == static_cast<size_t>(s.htmlLength) && std::memcmp(settings.htmlPath, s.html, n) == 0,
               "the load took another path than the read");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static bool ready = (Setup(), true);
    (void)ready;
    FuzzInput in(data, size);
    const uint8_t op = in.Byte();
    const uint8_t which = in.Byte();
    const int32_t number = static_cast<int32_t>(in.U32());
    const std::span<const uint8_t> textBytes = in.Take(in.Byte());
    WriteIni(in.Rest());

    const Snapshot before = Read();
    CheckLoad(before);
    {
        uint32_t type = 0, room = op % 8;
        char small[8];
        if (QuerySetting("", kDwords[which % 3].name, &type, small, &room)) {
            FUZZ_CHECK(room <= op % 8 && room >= 1 && small[room - 1] == '\0', "query gave %u bytes", room);
        }
    }

    // One write, then only the value written may read differently.
    Snapshot expected = before;
    switch (op % 4) {
    case 0: {
        const Dword &d = kDwords[which % 3];
        if (!WriteSettingInt(d.name, number)) return 0;
        expected.dwords[which % 3] = number >= d.lo && number <= d.hi ? number : d.def;
        break;
    }
    case 1: {
        std::string text(textBytes.begin(), textBytes.end());
        text.resize(strnlen(text.c_str(), text.size()));
        const bool storable = text.find_first_of("\r\n") == std::string::npos;
        const int ok = WriteSettingString(kSettingHtml, text.c_str());
        FUZZ_CHECK(ok == (storable ? 1 : 0), "writing HTML of %zu bytes answered %d", text.size(), ok);
        if (!ok) break;
        // Spaces and tabs around the text are the file's layout, not the path.
        const size_t first = text.find_first_not_of(" \t");
        text = first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(" \t") + 1 - first);
        // A text too long for the buffer reads as missing.
        if (text.size() < sizeof expected.html) {
            expected.htmlLength = static_cast<int>(text.size());
            std::memset(expected.html, 0, sizeof expected.html);
            std::memcpy(expected.html, text.data(), text.size());
        } else {
            expected.htmlLength = 0;
            std::memset(expected.html, 0, sizeof expected.html);
        }
        break;
    }
    case 2: {
        const Dword &d = kDwords[which % 3];
        FUZZ_CHECK(WriteSetting("", d.name, kSettingDword, nullptr, 0) == 1, "deleting %s failed", d.name);
        expected.dwords[which % 3] = d.def;
        break;
    }
    default:
        return 0;
    }
    const Snapshot after = Read();
    for (size_t i = 0; i < 3; ++i)
        FUZZ_CHECK(after.dwords[i] == expected.dwords[i], "%s reads %d after the write, expected %d", kDwords[i].name,
                   after.dwords[i], expected.dwords[i]);
    FUZZ_CHECK(after.htmlLength == expected.htmlLength &&
                   std::memcmp(after.html, expected.html, static_cast<size_t>(after.htmlLength)) == 0,
               "HTML reads %d bytes after the write, expected %d", after.htmlLength, expected.htmlLength);
    return 0;
}
