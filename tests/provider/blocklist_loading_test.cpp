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
// (the console user, and what lies at the path it looks under), loads, and says which of
// old.example and new.example are blocked afterwards.
TEST(LoadBlocklist, keeps_the_old_set_when_the_text_cannot_be_had) {
    enum class File { written, gone, unreadable };
    struct Row {
        const char* what;
        std::optional<std::string> user;
        File file;
        std::string text;
        bool oldBlocked;
        bool newBlocked;
    };
    // clang-format off
    const Row rows[] = {
        {"file rewritten", "user1", File::written, "new.example\n", false, true},
        {"no console user", std::nullopt, File::written, "new.example\n", true, false},
        {"empty user name", "", File::written, "new.example\n", true, false},
        {"login window at the console", "loginwindow", File::written, "new.example\n", true, false},
        {"user LoginWindow is a person", "LoginWindow", File::written, "new.example\n", false, true},
        {"file gone", "user1", File::gone, "", true, false},
        {"file exists but cannot be read", "user1", File::unreadable, "", true, false},
        {"one ill-formed byte among good lines", "user1", File::written, "new.example\nbad\xFF.example\n", true, false},
        {"empty file empties the set", "user1", File::written, "", false, false},
        {"only comments empties the set", "user1", File::written, "# nothing\n\n", false, false},
    };
    // clang-format on
    for (const auto& row : rows) {
        Harness h;
        h.useList("old.example\n");
        ASSERT_TRUE(h.provider->isDomainBlocked("old.example"));
        h.consoleUser->set(row.user);
        // Under /Users/ by the user's name as the system gives it, whatever the user's home is.
        const std::string path = "/Users/" + row.user.value_or("user1") +
                                 "/Library/Application Support/SieveHarbor/blocklist.txt";
        if (row.file == File::written) {
            h.files->write(path, row.text);
        } else if (row.file == File::gone) {
            h.files->remove(path);
        } else {
            h.files->makeUnreadable(path);
        }
        h.provider->loadBlocklist();
        EXPECT_EQ(h.provider->isDomainBlocked("x.old.example"), row.oldBlocked) << row.what;
        EXPECT_EQ(h.provider->isDomainBlocked("x.new.example"), row.newBlocked) << row.what;
    }
}

// Every load that finds a file is reported, with why it was refused; a refused load leaves the
// old set in force.
TEST(LoadBlocklist, reports_each_load_and_why_it_was_refused) {
    using Outcome = LoadReport::Outcome;
    struct Row {
        const char* what;
        std::string text;
        std::function<void(Harness&)> duringRead;  // after the first piece of each read
        Outcome outcome;
        std::size_t entries;
    };
    const std::string endless(blocklist::BlocklistParser::kMaxLineBytes + 1, 'x');
    int reads = 0;
    const Row rows[] = {
        {"accepted", "new.example\nnew.example\nother.example\n", nullptr, Outcome::accepted, 2},
        {"ill-formed byte", "new.example\n\xFF\n", nullptr, Outcome::notUtf8, 0},
        {"line too long", "new.example\n" + endless + "\n", nullptr, Outcome::lineTooLong, 0},
        {"changed under two reads, then still", "new.example\n",
         [&reads](Harness& h) {
             if (++reads <= 2) {
                 h.files->write(kUserListPath, "new.example\nlater.example\n");
             }
         },
         Outcome::accepted, 2},
        {"changed under every read", "new.example\n",
         [](Harness& h) { h.files->write(kUserListPath, "new.example\nlater.example\n"); },
         Outcome::keptChanging, 0},
        {"out of memory", "new.example\n", [](Harness&) { throw std::bad_alloc(); },
         Outcome::outOfMemory, 0},
    };
    for (const auto& row : rows) {
        std::vector<LoadReport> reports;
        ProviderSettings settings;
        settings.onLoad = [&reports](const LoadReport& report) { reports.push_back(report); };
        Harness h(settings);
        h.useList("old.example\n");
        h.files->write(kUserListPath, row.text);
        if (row.duringRead) {
            h.files->duringRead([&h, &row](const std::string&) { row.duringRead(h); });
        }
        h.provider->loadBlocklist();
        ASSERT_EQ(reports.size(), 2u) << row.what;
        EXPECT_EQ(reports[1].path, kUserListPath) << row.what;
        EXPECT_EQ(reports[1].outcome, row.outcome) << row.what;
        const bool accepted = row.outcome == Outcome::accepted;
        EXPECT_EQ(reports[1].entries, row.entries) << row.what;
        EXPECT_EQ(h.provider->isDomainBlocked("old.example"), !accepted) << row.what;
        EXPECT_EQ(h.provider->isDomainBlocked("new.example"), accepted) << row.what;
    }
}

// A load that read its file earlier never publishes over a load that read later: here the
// console user changes while the first load is reading the old user's list.
TEST(LoadBlocklist, a_later_load_is_never_replaced_by_an_earlier_one) {
    Harness h;
    h.files->write(kUserListPath, "first-user.example\n");
    h.files->write("/Users/user2/Library/Application Support/SieveHarbor/blocklist.txt",
                   "second-user.example\n");
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
    h.consoleUser->set("user2");
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
