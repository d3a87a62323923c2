#include "platform/linux/file_watcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fakes/loop_thread.h"
#include "fakes/temp_folder.h"
#include "fakes/wait_for.h"

namespace sieveharbor::platform::linux_host {
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

    void startWatching(std::chrono::milliseconds settle = 50ms) {
        auto started = FileWatcher::start(
            control_.loop, path_.string(), [this] { ++changes_; }, settle);
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

    fakes::TempFolder temp_;
    fakes::LoopThread control_;
    fs::path folder_;
    fs::path path_;
    std::atomic<int> changes_{0};
    std::unique_ptr<FileWatcher> watcher_;  // last, so it is gone before what it reports to
};

// Events lost to a full queue may have been the file's: the loss is reported as a change. The
// queue of the watcher's own inotify instance holds one event, so that a neighbour's creation,
// which brings several at once, overflows it however fast the watcher reads.
TEST_F(FileWatcherTest, events_lost_to_a_full_queue_are_reported_as_a_change) {
    const char* const knob = "/proc/sys/fs/inotify/max_queued_events";
    std::string saved;
    std::ifstream(knob) >> saved;
    if (saved.empty() || !(std::ofstream(knob) << "1").flush()) {
        GTEST_SKIP() << "cannot lower " << knob;
    }
    startWatching();
    std::ofstream(knob) << saved;
    for (int i = 0; i < 1000 && changes_.load() == 0; ++i) {
        write(folder_ / ("neighbour" + std::to_string(i)), "x");
    }
    EXPECT_TRUE(waitFor([&] { return changes_.load() > 0; }, 5s));
}

// A write in place, reported once the writer closes the file (truncated and written in two
// parts, as a download or a slow script does), a temporary file renamed over it, removal and
// creation are each reported; other files of the folder, the temporary one among them, are not.
// The folder removed and made again is reported, and watched again. (A folder missing from the
// start, two levels deep, is the end-to-end missing-folder test's.)
TEST_F(FileWatcherTest, reports_each_change_to_the_file_and_none_to_its_neighbours) {
    startWatching();
    const int fd = ::open(path_.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "half", 4), 4);
    EXPECT_TRUE(staysAt(0));
    ASSERT_EQ(::write(fd, ".example\n", 9), 9);
    ::close(fd);
    ASSERT_TRUE(waitFor([&] { return changes_ == 1; }));
    const auto temporary = folder_ / ".blocklist.txt.new";
    write(temporary, "third.example\n");
    write(folder_ / "blocklist.txt.bak", "x\n");
    EXPECT_TRUE(staysAt(1));
    fs::rename(temporary, path_);
    ASSERT_TRUE(waitFor([&] { return changes_ == 2; }));
    fs::remove(path_);
    ASSERT_TRUE(waitFor([&] { return changes_ == 3; }));
    write(path_, "back.example\n");
    ASSERT_TRUE(waitFor([&] { return changes_ == 4; }));

    fs::remove_all(folder_);
    ASSERT_TRUE(waitFor([&] { return changes_ >= 5; }));
    const int before = changes_;
    fs::create_directory(folder_);
    write(path_, "back.example\n");
    EXPECT_TRUE(waitFor([&] { return changes_ > before; }));
    const int after = changes_;
    write(path_, "again.example\n");
    EXPECT_TRUE(waitFor([&] { return changes_ > after; }));
}

TEST_F(FileWatcherTest, a_link_is_watched_where_it_points) {
    const auto lists = folder_ / "lists";
    fs::create_directory(lists);
    write(lists / "a.txt", "a.example\n");
    write(lists / "b.txt", "b.example\n");
    fs::remove(path_);
    fs::create_symlink("lists/a.txt", path_);
    startWatching();

    write(lists / "a.txt", "a2.example\n");
    ASSERT_TRUE(waitFor([&] { return changes_ == 1; }));
    // Pointed elsewhere, as "ln -sfn" does: a new link renamed over the old.
    fs::create_symlink("lists/b.txt", folder_ / "next-link");
    fs::rename(folder_ / "next-link", path_);
    ASSERT_TRUE(waitFor([&] { return changes_ == 2; }));
    write(lists / "b.txt", "b2.example\n");
    ASSERT_TRUE(waitFor([&] { return changes_ == 3; }));
    write(lists / "other.txt", "x\n");
    EXPECT_TRUE(staysAt(3));
}

// The settle rule, on given times: reports fall due after a quiet spell, or four settle times
// after the first change of a run that never pauses.
TEST(ChangeSettler, reports_once_per_run_of_changes) {
    using Clock = ChangeSettler::Clock;
    struct Row {
        const char* what;
        std::vector<int> changesAt;  // ms
        std::vector<int> reportsAt;  // ms, checked every millisecond up to 1 s
    };
    const Row rows[] = {
        {"one change", {0}, {100}},
        {"a burst", {0, 10, 20, 30}, {130}},
        {"two runs", {0, 10, 300, 310}, {110, 410}},
        {"never quiet", {0, 50, 100, 150, 200, 250, 300, 350, 400, 450}, {400, 550}},
        {"nothing", {}, {}},
    };
    for (const auto& row : rows) {
        ChangeSettler settler(std::chrono::milliseconds(100));
        const Clock::time_point zero{};
        std::vector<int> reports;
        std::size_t next = 0;
        for (int ms = 0; ms <= 1000; ++ms) {
            const auto now = zero + std::chrono::milliseconds(ms);
            while (next < row.changesAt.size() && row.changesAt[next] == ms) {
                settler.changed(now);
                ++next;
            }
            if (settler.takeDue(now)) {
                reports.push_back(ms);
            }
        }
        EXPECT_EQ(reports, row.reportsAt) << row.what;
        EXPECT_FALSE(settler.due()) << row.what;
    }
}

TEST(FileWatcher, folder_of_a_path) {
    EXPECT_EQ(FileWatcher::folderOf("/etc/sieveharbor/blocklist.txt"), "/etc/sieveharbor");
    EXPECT_EQ(FileWatcher::folderOf("/blocklist.txt"), "/");
    EXPECT_EQ(FileWatcher::folderOf("blocklist.txt"), ".");
    EXPECT_EQ(FileWatcher::folderOf("lists/blocklist.txt"), "lists");
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host
