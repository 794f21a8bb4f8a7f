// Tests of whole-file replacement: the old or the whole new file, links kept as links, nothing planted followed, modes kept, failures named, paths at the limit.
#include "files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';
#endif

class ReplaceFile : public ::testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        dir = (fs::temp_directory_path() / ("pellick-files-" + std::to_string(random()))).string();
        ASSERT_TRUE(fs::create_directory(dir)) << dir;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }

    std::string In(const std::string &name) const { return dir + kSeparator + name; }
    static std::string Read(const std::string &path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }
    static int Write(const std::string &path, const std::string &text) {
        return WriteFileAtomic(path.c_str(), text.data(), text.size());
    }
    // Temporary files left in a folder.
    static std::vector<std::string> Leftovers(const std::string &folder) {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(folder)) {
            const std::string name = entry.path().filename().string();
            if (name.find(".tmp") != std::string::npos) names.push_back(name);
        }
        return names;
    }

    std::string dir;
};

TEST_F(ReplaceFile, WritesTheWholeFileAndLeavesNoTemporary) {
    const std::string path = In("status.htm");
    ASSERT_EQ(Write(path, "old"), 1);
    const std::string report(300000, 'r');
    ASSERT_EQ(Write(path, report), 1);
    EXPECT_EQ(Read(path), report);
    EXPECT_EQ(Write(path, ""), 1) << "an empty file is a file";
    EXPECT_EQ(Read(path), "");
    EXPECT_TRUE(Leftovers(dir).empty());
}

// A 259-byte path is the longest the settings hold: written whether the
// folder or the file name takes up the length (a temporary name beside it
// is longer than 259 bytes).
TEST_F(ReplaceFile, APathAtTheLimitIsWritten) {
    const size_t folderLength[] = {247, dir.size()};
    for (const size_t length : folderLength) {
        std::string folder = dir;
        if (length > folder.size() + 1) {
            folder += kSeparator + std::string(length - folder.size() - 1, 'd');
            ASSERT_TRUE(fs::create_directory(folder)) << folder.size();
        }
        const std::string name = std::string(259 - folder.size() - 1 - 4, 'n') + ".htm";
        const std::string path = folder + kSeparator + name;
        ASSERT_EQ(path.size(), 259u);
        EXPECT_EQ(Write(path, "at the limit"), 1) << "folder of " << folder.size() << " bytes";
        EXPECT_EQ(Read(path), "at the limit") << "folder of " << folder.size() << " bytes";
        EXPECT_TRUE(Leftovers(folder).empty());
    }
}

// Each failure leaves nothing behind and says why.
TEST_F(ReplaceFile, AFailedWriteKeepsTheOldFileAndSaysWhy) {
    const std::string folder = In("taken.htm");
    ASSERT_TRUE(fs::create_directory(folder));
    ASSERT_EQ(Write(In("plain"), "a file"), 1);
    const struct {
        std::string path;
        FileFault fault;
    } cases[] = {
        {In("no-such-folder") + kSeparator + "status.htm", FileFault::NoFolder},
        {In("plain") + kSeparator + "status.htm", FileFault::NoFolder},  // a file where a folder should be
        {folder, FileFault::IsFolder},
    };
    for (const auto &c : cases) {
        FileFault fault = FileFault::None;
        EXPECT_EQ(WriteFileAtomic(c.path.c_str(), "report", 6, &fault), 0) << c.path;
        EXPECT_EQ(static_cast<int>(fault), static_cast<int>(c.fault))
            << c.path << ": " << FileFaultText(fault) << ", not " << FileFaultText(c.fault);
    }
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_EQ(Read(In("plain")), "a file");
    EXPECT_TRUE(Leftovers(dir).empty()) << Leftovers(dir).front();
    EXPECT_EQ(WriteFileAtomic(nullptr, "x", 1), 0);
    EXPECT_EQ(WriteFileAtomic("", "x", 1), 0);
}

#ifndef _WIN32
// The write itself fails part way (the file-size limit stands in for a full disk).
TEST_F(ReplaceFile, AWriteCutShortKeepsTheOldFileAndRemovesItsTemporary) {
    const std::string path = In("status.htm");
    ASSERT_EQ(Write(path, "the old report"), 1);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const int written = Write(path, std::string(100000, 'n'));
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(Read(path), "the old report");
    EXPECT_TRUE(Leftovers(dir).empty()) << Leftovers(dir).front();
}

// A link planted where an older server put its temporary file leads nowhere now.
TEST_F(ReplaceFile, APlantedLinkIsNeverWrittenThrough) {
    const std::string victim = In("victim");
    ASSERT_EQ(Write(victim, "precious"), 1);
    const std::string path = In("status.htm");
    const std::string planted = path + ".tmp" + std::to_string(getpid());
    ASSERT_EQ(symlink(victim.c_str(), planted.c_str()), 0);
    ASSERT_EQ(Write(path, "report"), 1);
    EXPECT_EQ(Read(victim), "precious");
    struct stat st{};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << "the report is a file of its own";
    EXPECT_EQ(Read(path), "report");
}

TEST_F(ReplaceFile, ALinkedTargetIsReplacedWhereItLeadsAndStaysALink) {
    ASSERT_TRUE(fs::create_directory(In("real")));
    struct Case {
        const char *what;
        std::string link, target;  // target as the link holds it
        std::string final;         // where the report must land
    };
    const Case cases[] = {
        {"absolute", In("a.htm"), In("real") + "/a.htm", In("real") + "/a.htm"},
        {"relative", In("b.htm"), "real/b.htm", In("real") + "/b.htm"},
        {"a link to a link", In("c.htm"), "a.htm", In("real") + "/a.htm"},
        {"dangling", In("d.htm"), In("real") + "/new.htm", In("real") + "/new.htm"},
    };
    ASSERT_EQ(Write(In("real") + "/a.htm", "old"), 1);
    ASSERT_EQ(Write(In("real") + "/b.htm", "old"), 1);
    for (const Case &c : cases) {
        ASSERT_EQ(symlink(c.target.c_str(), c.link.c_str()), 0) << c.what;
        const std::string report = std::string("report through ") + c.what;
        ASSERT_EQ(Write(c.link, report), 1) << c.what;
        struct stat st{};
        ASSERT_EQ(lstat(c.link.c_str(), &st), 0) << c.what;
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.what << ": the link stays a link";
        EXPECT_EQ(Read(c.final), report) << c.what;
        EXPECT_TRUE(Leftovers(In("real")).empty()) << c.what;
    }
    EXPECT_TRUE(Leftovers(dir).empty());

    const std::string loop = In("loop.htm");
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    EXPECT_EQ(Write(loop, "x"), 0) << "a loop of links is refused";
}

mode_t ModeOf(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A new page is 0644 and a private file 0600 whatever the umask; a replaced
// page keeps its file's mode (never its set-id bits), a private file is
// always 0600.
TEST_F(ReplaceFile, ModesAreTheFilesOwnWhateverTheUmask) {
    const struct {
        const char *what;
        bool privateFile;
        mode_t before;  // 0: no file yet
        mode_t after;
    } cases[] = {
        {"a new page", false, 0, 0644},
        {"a page kept from its group", false, 0640, 0640},
        {"a page kept from everyone but its owner", false, 0600, 0600},
        {"a page open to all", false, 0666, 0666},
        {"a set-id page", false, 04755, 0755},
        {"a new private file", true, 0, 0600},
        {"a private file left readable", true, 0644, 0600},
    };
    for (const mode_t mask : {mode_t{0}, mode_t{022}, mode_t{077}, mode_t{0777}}) {
        for (const auto &c : cases) {
            const std::string path = In("mode.htm");
            unlink(path.c_str());
            if (c.before) {
                ASSERT_EQ(Write(path, "old"), 1);
                ASSERT_EQ(chmod(path.c_str(), c.before), 0);
            }
            const mode_t saved = umask(mask);
            const int written = c.privateFile ? WritePrivateFileAtomic(path.c_str(), "new", 3) : Write(path, "new");
            umask(saved);
            ASSERT_EQ(written, 1) << c.what;
            EXPECT_EQ(ModeOf(path), c.after) << c.what << " under umask 0" << std::oct << mask << ": 0" << ModeOf(path);
            EXPECT_EQ(Read(path), "new") << c.what;
        }
    }
}

// Root keeps the replaced page's group, so a 0640 page stays readable to the web server.
TEST_F(ReplaceFile, AReplacedPageKeepsItsGroupWhereAllowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file another group";
    const std::string path = In("group.htm");
    ASSERT_EQ(Write(path, "old"), 1);
    constexpr gid_t kOtherGroup = 65534;
    ASSERT_EQ(chown(path.c_str(), static_cast<uid_t>(-1), kOtherGroup), 0);
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    ASSERT_EQ(Write(path, "new"), 1);
    struct stat st{};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_gid, kOtherGroup);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// In a world-writable sticky folder (/tmp, a shared drop folder) another
// user may plant a link at the report's name; only links of this user or of
// root are followed, and a refused one leaves both the link and the file it
// points to as they were.
TEST_F(ReplaceFile, OnlyLinksOfThisUserOrRootAreFollowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a link that belongs to another user";
    const std::string shared = In("drop");
    ASSERT_TRUE(fs::create_directory(shared));
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    const std::string victim = In("victim"), report = shared + "/status.htm";
    constexpr uid_t kOtherUser = 65534;
    const struct {
        const char *what;
        uid_t linkOwner;
        bool followed;
    } cases[] = {
        {"this user's link", geteuid(), true},
        {"another user's link", kOtherUser, false},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(Write(victim, "precious"), 1);
        ASSERT_EQ(chmod(victim.c_str(), 0640), 0);
        unlink(report.c_str());
        ASSERT_EQ(symlink(victim.c_str(), report.c_str()), 0);
        ASSERT_EQ(lchown(report.c_str(), c.linkOwner, static_cast<gid_t>(-1)), 0);
        FileFault fault = FileFault::None;
        EXPECT_EQ(WriteFileAtomic(report.c_str(), "report", 6, &fault), c.followed ? 1 : 0) << c.what;
        EXPECT_EQ(Read(victim), c.followed ? "report" : "precious") << c.what;
        EXPECT_EQ(ModeOf(victim), 0640u) << c.what << ": the target keeps its mode";
        if (!c.followed) {
            EXPECT_EQ(static_cast<int>(fault), static_cast<int>(FileFault::ForeignLink)) << FileFaultText(fault);
        }
        struct stat st{};
        ASSERT_EQ(lstat(report.c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode)) << c.what << ": the link stays as it was";
        EXPECT_TRUE(Leftovers(shared).empty() && Leftovers(dir).empty()) << c.what;
    }

    // A chain is only as good as its worst link: this user's link to another's.
    const std::string middle = shared + "/middle.htm", first = In("first.htm");
    ASSERT_EQ(symlink(victim.c_str(), middle.c_str()), 0);
    ASSERT_EQ(lchown(middle.c_str(), kOtherUser, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(symlink(middle.c_str(), first.c_str()), 0);
    ASSERT_EQ(Write(victim, "precious"), 1);
    EXPECT_EQ(Write(first, "report"), 0);
    EXPECT_EQ(Read(victim), "precious");
}
#endif

TEST(LocalAbsolutePath, OnlyFullPathsOnALocalDrive) {
#ifdef _WIN32
    const std::pair<const char *, bool> cases[] = {
        {"C:\\web\\status.htm", true}, {"z:/w/s.htm", true},    {"C:status.htm", false},
        {"\\\\host\\share\\s.htm", false}, {"\\\\?\\C:\\s.htm", false}, {"\\web\\s.htm", false},
        {"status.htm", false},         {"/tmp/s.htm", false},   {"", false},
    };
#else
    const std::pair<const char *, bool> cases[] = {
        {"/var/www/status.htm", true}, {"/", true},       {"status.htm", false},
        {"./status.htm", false},       {"~/s.htm", false}, {"C:\\s.htm", false}, {"", false},
    };
#endif
    for (const auto &[path, absolute] : cases) EXPECT_EQ(IsLocalAbsolutePath(path), absolute) << path;
    EXPECT_FALSE(IsLocalAbsolutePath(nullptr));
}

}  // namespace
