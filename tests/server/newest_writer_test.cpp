// Tests of the writer thread for output that may block: the newest item wins, nothing is written twice, and closing writes the last one or gives up on a hung write.
#include "newest_writer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

namespace {

// A write that blocks until opened (or 30 s, so a broken test cannot hang), recording what it wrote.
struct GatedSink {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int entered = 0;  // writes started
    std::vector<std::string> written;

    void Write(const std::string &item) {
        std::unique_lock<std::mutex> lock(mutex);
        ++entered;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return open; });
        written.push_back(item);
    }
    void Open() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            open = true;
        }
        changed.notify_all();
    }
    void WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(30), [&] { return entered >= n; });
    }
};

TEST(NewestWriter, PostsWhileAWriteHangsReplaceEachOtherAndTheNewestIsWritten) {
    GatedSink sink;
    NewestWriter<std::string> writer([&](const std::string &s) { sink.Write(s); });
    writer.Post("first");
    sink.WaitEntered(1);
    // The write of "first" hangs; posting never waits for it.
    for (int i = 0; i < 1000; ++i) writer.Post("item " + std::to_string(i));
    EXPECT_FALSE(writer.Drain(50)) << "the hung write is still under way";
    sink.Open();
    EXPECT_TRUE(writer.Drain(-1));
    EXPECT_EQ(sink.written, (std::vector<std::string>{"first", "item 999"}));
    const auto totals = writer.Totals();
    EXPECT_EQ(totals.posted, 1001u);
    EXPECT_EQ(totals.written, 2u);
    EXPECT_EQ(totals.replaced, 999u);
}

TEST(NewestWriter, CloseWritesWhatIsStillWaiting) {
    std::vector<std::string> written;
    {
        NewestWriter<std::string> writer([&](const std::string &s) { written.push_back(s); });
        writer.Post("running");
        writer.Post("No render in progress");
        EXPECT_TRUE(writer.Close(-1));
        writer.Post("after close is written at once");
    }
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back(), "after close is written at once");
    EXPECT_EQ(written[written.size() - 2], "No render in progress");
}

TEST(NewestWriter, CloseGivesUpOnAWriteThatNeverEnds) {
    auto sink = std::make_shared<GatedSink>();
    {
        NewestWriter<std::string> writer([sink](const std::string &s) { sink->Write(s); });
        writer.Post("stuck");
        sink->WaitEntered(1);
        writer.Post("last");
        EXPECT_FALSE(writer.Close(100));
    }
    // The abandoned thread still finishes on its own once the write returns.
    sink->Open();
    for (int i = 0; i < 3000; ++i) {
        {
            std::lock_guard<std::mutex> lock(sink->mutex);
            if (sink->written.size() == 2) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::lock_guard<std::mutex> lock(sink->mutex);
    EXPECT_EQ(sink->written, (std::vector<std::string>{"stuck", "last"}));
}

}  // namespace
