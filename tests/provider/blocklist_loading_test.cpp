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

// Each row starts from a provider whose set holds old.example, changes one thing, loads, and
// says which of old.example and new.example are blocked afterwards.
TEST(LoadBlocklist, keeps_the_old_set_when_the_text_cannot_be_had) {
    struct Row {
        const char* what;
        std::function<void(Harness&)> arrange;
        bool oldBlocked;
        bool newBlocked;
    };
    const Row rows[] = {
        {"file rewritten", [](Harness& h) { h.files->write(kUserListPath, "new.example\n"); },
         false, true},
        {"no console user",
         [](Harness& h) {
             h.files->write(kUserListPath, "new.example\n");
             h.consoleUser->set(std::nullopt);
         },
         true, false},
        {"empty user name",
         [](Harness& h) {
             h.files->write(kUserListPath, "new.example\n");
             h.consoleUser->set("");
         },
         true, false},
        {"login window at the console",
         [](Harness& h) {
             h.files->write(
                 "/Users/loginwindow/Library/Application Support/SieveHarbor/"
                 "blocklist.txt",
                 "new.example\n");
             h.consoleUser->set("loginwindow");
         },
         true, false},
        {"user LoginWindow is a person",
         [](Harness& h) {
             h.files->write(
                 "/Users/LoginWindow/Library/Application Support/SieveHarbor/"
                 "blocklist.txt",
                 "new.example\n");
             h.consoleUser->set("LoginWindow");
         },
         false, true},
        {"file gone", [](Harness& h) { h.files->remove(kUserListPath); }, true, false},
        {"file exists but cannot be read",
         [](Harness& h) { h.files->makeUnreadable(kUserListPath); }, true, false},
        {"one ill-formed byte among good lines",
         [](Harness& h) { h.files->write(kUserListPath, "new.example\nbad\xFF.example\n"); }, true,
         false},
        {"empty file empties the set", [](Harness& h) { h.files->write(kUserListPath, ""); }, false,
         false},
        {"only comments empties the set",
         [](Harness& h) { h.files->write(kUserListPath, "# nothing\n\n"); }, false, false},
    };
    for (const auto& row : rows) {
        Harness h;
        h.useList("old.example\n");
        ASSERT_TRUE(h.provider->isDomainBlocked("old.example"));
        row.arrange(h);
        h.provider->loadBlocklist();
        EXPECT_EQ(h.provider->isDomainBlocked("x.old.example"), row.oldBlocked) << row.what;
        EXPECT_EQ(h.provider->isDomainBlocked("x.new.example"), row.newBlocked) << row.what;
    }
}

TEST(LoadBlocklist, looks_in_the_console_users_folder_under_users) {
    Harness h;
    h.consoleUser->set("user1");
    h.provider->loadBlocklist();
    ASSERT_FALSE(h.files->lookups().empty());
    EXPECT_EQ(h.files->lookups()[0],
              "/Users/user1/Library/Application Support/SieveHarbor/blocklist.txt");
}

TEST(LoadBlocklist, a_fixed_path_replaces_the_console_user) {
    ProviderSettings settings;
    settings.fixedBlocklistPath = "/etc/sieveharbor/blocklist.txt";
    Harness h(settings);
    h.consoleUser->set(std::nullopt);
    h.files->write("/etc/sieveharbor/blocklist.txt", "fixed.example\n");
    h.provider->loadBlocklist();
    EXPECT_TRUE(h.provider->isDomainBlocked("a.fixed.example"));
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

TEST(DNSProxyProvider, starts_with_its_defaults_and_an_empty_set) {
    Harness h;
    EXPECT_EQ(h.provider->safeDNSAddress, "1.1.1.3");
    EXPECT_EQ(h.provider->safeDNSPort, 53);
    ASSERT_NE(h.provider->logger, nullptr);
    EXPECT_EQ(h.loggers->made(), (std::vector<std::pair<std::string, std::string>>{
                                     {"com.brackenmoor.sieveharbor.proxy", "dns"}}));
    EXPECT_TRUE(h.provider->blockedDomains.snapshot()->empty());
    EXPECT_FALSE(h.provider->isDomainBlocked("example.com"));
    EXPECT_TRUE(h.files->lookups().empty()) << "creating the provider reads nothing";
}

}  // namespace
}  // namespace sieveharbor::provider
