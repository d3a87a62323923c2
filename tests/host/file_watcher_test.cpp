#include "host/file_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fakes/wait_for.h"
#include "temp_folder.h"

namespace sieveharbor::host {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class FileWatcherTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        folder_ = temp_.path();
        path_ = folder_ / "blocklist.txt";
        write(path_, "first.example\n");
    }
    void TearDown() override { watcher_.reset(); }

    void startWatching(std::chrono::milliseconds settle = 50ms) {
        auto started = FileWatcher::start(
            path_.string(), [this] { ++changes_; }, settle);
        ASSERT_TRUE(started.watcher) << started.error.message();
        watcher_ = std::move(started.watcher);
    }
    static void write(const fs::path& path, const std::string& text) {
        std::ofstream(path, std::ios::trunc) << text;
    }
    // No report arrives within a bound well beyond the settle time.
    bool staysAt(int count) {
        return !waitFor([&] { return changes_.load() != count; }, 300ms);
    }

    TempFolder temp_;
    fs::path folder_;
    fs::path path_;
    std::atomic<int> changes_{0};
    std::unique_ptr<FileWatcher> watcher_;
};

TEST_F(FileWatcherTest, sees_a_write_in_place) {
    startWatching();
    write(path_, "second.example\n");
    EXPECT_TRUE(waitFor([&] { return changes_ == 1; }, 1000ms));
}

TEST_F(FileWatcherTest, sees_a_temporary_file_renamed_over_it) {
    startWatching();
    const auto temporary = folder_ / ".blocklist.txt.new";
    write(temporary, "second.example\n");
    // The temporary file's own events are not the watched file's.
    EXPECT_TRUE(staysAt(0));
    fs::rename(temporary, path_);
    EXPECT_TRUE(waitFor([&] { return changes_ == 1; }, 1000ms));
}

TEST_F(FileWatcherTest, sees_removal_and_creation) {
    startWatching();
    fs::remove(path_);
    ASSERT_TRUE(waitFor([&] { return changes_ == 1; }, 1000ms));
    write(path_, "back.example\n");
    EXPECT_TRUE(waitFor([&] { return changes_ == 2; }, 1000ms));
}

TEST_F(FileWatcherTest, ignores_other_files_in_the_folder) {
    startWatching();
    write(folder_ / "blocklist.txt.bak", "x\n");
    write(folder_ / "other.txt", "x\n");
    EXPECT_TRUE(staysAt(0));
}

TEST_F(FileWatcherTest, a_burst_of_writes_is_reported_once) {
    startWatching(100ms);
    for (int i = 0; i < 10; ++i) {
        write(path_, "burst" + std::to_string(i) + ".example\n");
    }
    ASSERT_TRUE(waitFor([&] { return changes_ >= 1; }, 1000ms));
    EXPECT_TRUE(staysAt(1));
}

TEST_F(FileWatcherTest, a_file_rewritten_without_pause_is_still_reported) {
    startWatching(40ms);
    // Writes every 10 ms for 400 ms: never quiet for the settle time, yet reported meanwhile.
    const auto end = std::chrono::steady_clock::now() + 400ms;
    int reportsWhileWriting = 0;
    while (std::chrono::steady_clock::now() < end) {
        write(path_, "again.example\n");
        std::this_thread::sleep_for(10ms);
        reportsWhileWriting = changes_;
    }
    EXPECT_GE(reportsWhileWriting, 1);
}

TEST(FileWatcher, a_missing_folder_is_an_error) {
    const auto started = FileWatcher::start("/nonexistent-sieveharbor/blocklist.txt", [] {});
    EXPECT_FALSE(started.watcher);
    EXPECT_EQ(started.error, std::errc::no_such_file_or_directory);
}

TEST(FileWatcher, folder_of_a_path) {
    EXPECT_EQ(FileWatcher::folderOf("/etc/sieveharbor/blocklist.txt"), "/etc/sieveharbor");
    EXPECT_EQ(FileWatcher::folderOf("/blocklist.txt"), "/");
    EXPECT_EQ(FileWatcher::folderOf("blocklist.txt"), ".");
    EXPECT_EQ(FileWatcher::folderOf("lists/blocklist.txt"), "lists");
}

}  // namespace
}  // namespace sieveharbor::host
