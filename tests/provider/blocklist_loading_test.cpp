#include <gtest/gtest.h>

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
