// Tests of whole-file replacement: the old or the whole new file, links kept as links, nothing planted followed, paths at the limit.
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

TEST_F(ReplaceFile, AFailedWriteKeepsTheOldFile) {
    const std::string missing = In("no-such-folder") + kSeparator + "status.htm";
    EXPECT_EQ(Write(missing, "x"), 0);

    // The rename fails: the target is a folder.
    const std::string folder = In("taken.htm");
    ASSERT_TRUE(fs::create_directory(folder));
    EXPECT_EQ(Write(folder, "report"), 0);
    EXPECT_TRUE(fs::is_directory(folder));
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

TEST_F(ReplaceFile, APrivateFileIsTheOwnersAlone) {
    const mode_t mask = umask(022);
    const std::string shared = In("shared"), secret = In("secret");
    ASSERT_EQ(WriteFileAtomic(shared.c_str(), "s", 1), 1);
    ASSERT_EQ(WritePrivateFileAtomic(secret.c_str(), "t", 1), 1);
    umask(mask);
    struct stat st{};
    ASSERT_EQ(stat(shared.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat(secret.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
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
