#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <string>
#include <thread>

#include "blocklist/blocklist_text.h"
#include "fakes/wait_for.h"
#include "harness.h"

namespace sieveharbor::provider {
namespace {

using testing::Harness;
using testing::kUserListPath;

// Each row starts from a provider whose set holds old.example, changes what the loader will find
// (the console user's list path, and what lies there), loads, and says how the load was
// reported (not at all when it found no file) and which of old.example and new.example are
// blocked afterwards: a refused load leaves the old set in force.
TEST(LoadBlocklist, reports_each_load_and_keeps_the_old_set_when_it_is_refused) {
    using Outcome = LoadReport::Outcome;
    enum class File { written, gone, unreadable };
    struct Row {
        const char* what;
        std::optional<std::string> path;  // the console user's list, nothing with no one there
        File file;
        std::string text;
        std::optional<Outcome> outcome;
        std::size_t entries;
        bool oldBlocked;
        bool newBlocked;
        std::function<void(Harness&)> duringRead = nullptr;  // after the first piece of each read
    };
    const std::string endless(blocklist::BlocklistParser::kMaxLineBytes + 1, 'x');
    const std::string later = "new.example\nlater.example\n";
    int reads = 0;
    const auto accepted = Outcome::accepted;
    // clang-format off
    const Row rows[] = {
        {"accepted", kUserListPath, File::written, "new.example\nnew.example\nother.example\n", accepted, 2, false, true},
        {"no person at the console", std::nullopt, File::written, "new.example\n", {}, 0, true, false},
        {"file gone", kUserListPath, File::gone, "", {}, 0, true, false},
        {"file exists but cannot be read", kUserListPath, File::unreadable, "", Outcome::unreadable, 0, true, false},
        {"one ill-formed byte among good lines", kUserListPath, File::written, "new.example\nbad\xFF.example\n", Outcome::notUtf8, 0, true, false},
        {"line too long", kUserListPath, File::written, "new.example\n" + endless + "\n", Outcome::lineTooLong, 0, true, false},
        {"empty file empties the set", kUserListPath, File::written, "", accepted, 0, false, false},
        {"only comments empties the set", kUserListPath, File::written, "# nothing\n\n", accepted, 0, false, false},
        {"changed under two reads, then still", kUserListPath, File::written, "new.example\n", accepted, 2, false, true,
         [&](Harness& h) { if (++reads <= 2) { h.files->write(kUserListPath, later); } }},
        {"changed under every read", kUserListPath, File::written, "new.example\n", Outcome::keptChanging, 0, true, false,
         [&](Harness& h) { h.files->write(kUserListPath, later); }},
        {"out of memory", kUserListPath, File::written, "new.example\n", Outcome::outOfMemory, 0, true, false,
         [](Harness&) { throw std::bad_alloc(); }},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        std::vector<LoadReport> reports;
        ProviderSettings settings;
        settings.onLoad = [&reports](const LoadReport& report) { reports.push_back(report); };
        Harness h(settings);
        h.useList("old.example\n");
        ASSERT_TRUE(h.provider->isDomainBlocked("old.example"));
        h.consoleUser->set(row.path);
        if (row.file == File::written) {
            h.files->write(kUserListPath, row.text);
        } else if (row.file == File::gone) {
            h.files->remove(kUserListPath);
        } else {
            h.files->makeUnreadable(kUserListPath);
        }
        if (row.duringRead) {
            h.files->duringRead([&h, &row](const std::string&) { row.duringRead(h); });
        }
        h.provider->loadBlocklist();
        ASSERT_EQ(reports.size(), row.outcome ? 2u : 1u);
        if (row.outcome) {
            EXPECT_EQ(reports[1].path, kUserListPath);
            EXPECT_EQ(reports[1].outcome, *row.outcome);
            EXPECT_EQ(reports[1].entries, row.entries);
        }
        EXPECT_EQ(h.provider->isDomainBlocked("x.old.example"), row.oldBlocked);
        EXPECT_EQ(h.provider->isDomainBlocked("new.example"), row.newBlocked);
    }
}

// A load that read its file earlier never publishes over a load that read later: here the
// console user changes while the first load is reading the old user's list.
TEST(LoadBlocklist, a_later_load_is_never_replaced_by_an_earlier_one) {
    Harness h;
    h.files->write(kUserListPath, "first-user.example\n");
    const std::string secondUsersList = "/Users/user2/blocklist.txt";
    h.files->write(secondUsersList, "second-user.example\n");
    std::atomic<bool> laterDone = false;
    std::atomic<int> reads = 0;
    h.files->duringRead([&](const std::string&) {
        if (reads++ == 0) {
            // Holds the first load in its read while the later one is given every chance to run
            // to its end; serialised, it cannot, and the wait runs out.
            waitFor([&] { return laterDone.load(); }, std::chrono::milliseconds(200));
        }
    });
    std::thread first([&] { h.provider->loadBlocklist(); });
    ASSERT_TRUE(waitFor([&] { return reads.load() == 1; }));
    h.consoleUser->set(secondUsersList);
    std::thread later([&] {
        h.provider->loadBlocklist();
        laterDone = true;
    });
    first.join();
    later.join();
    EXPECT_TRUE(h.provider->isDomainBlocked("second-user.example"));
    EXPECT_FALSE(h.provider->isDomainBlocked("first-user.example"));
}

std::atomic<std::size_t> advisedBytes = 0;

// The host's page advice reaches the memory of the sets its loads build: a list over a huge page
// has its arena advised.
TEST(LoadBlocklist, gives_the_hosts_page_advice_to_the_sets_it_builds) {
    ProviderSettings settings;
    settings.listPageAdvice = [](void*, std::size_t bytes) noexcept { advisedBytes += bytes; };
    Harness h(settings);
    std::string text;
    for (int i = 0; text.size() <= blocklist::LargePageAllocator<char>::kHugePage; ++i) {
        text += "host" + std::to_string(i) + ".example\n";
    }
    h.useList(text);
    EXPECT_TRUE(h.provider->isDomainBlocked("www.host7.example"));
    EXPECT_GE(advisedBytes.load(), text.size());
}

}  // namespace
}  // namespace sieveharbor::provider
