#include <gtest/gtest.h>

#include "harness.h"

namespace sieveharbor::provider {
namespace {

using testing::Harness;
using testing::kUserListPath;

void post(Harness& h) {
    h.notifications->post(blocklistUpdatedNotificationName());
}

TEST(Lifecycle, start_subscribes_loads_and_always_succeeds) {
    for (const bool atConsole : {true, false}) {
        Harness h;
        h.consoleUser->set(atConsole ? std::optional(kUserListPath) : std::nullopt);
        h.files->write(kUserListPath, "a.example\n");
        int completions = 0;
        h.provider->startProxyWithOptions({}, [&](std::optional<std::error_code> error) {
            EXPECT_FALSE(error);
            ++completions;
        });
        EXPECT_EQ(completions, 1);
        EXPECT_EQ(h.notifications->subscriptionsOf(h.provider.get()), 1u);
        EXPECT_EQ(h.provider->isDomainBlocked("a.example"), atConsole);
    }
}

// The two things that reload the list, each only while the provider runs: the update
// notification, and a change of console user.
TEST(Lifecycle, reloads_on_notification_or_console_change_only_while_running) {
    for (const bool byNotification : {true, false}) {
        Harness h;
        const auto trigger = [&] {
            if (byNotification) {
                post(h);
            } else {
                h.consoleUser->switchTo(kUserListPath);
            }
        };
        const auto subscriptions = [&] {
            return h.notifications->subscriptionsOf(h.provider.get()) +
                   (h.consoleUser->watched() ? 1 : 0);
        };
        h.files->write(kUserListPath, "a.example\n");
        h.provider->startProxyWithOptions({}, [](auto) {});
        ASSERT_TRUE(h.provider->isDomainBlocked("a.example"));
        EXPECT_EQ(subscriptions(), 2u);

        h.files->write(kUserListPath, "b.example\n");
        trigger();
        EXPECT_TRUE(h.provider->isDomainBlocked("b.example")) << "running: reloaded";

        int sleeps = 0;
        h.provider->sleepWithCompletionHandler([&] {
            EXPECT_EQ(subscriptions(), 0u);
            ++sleeps;
        });
        EXPECT_EQ(sleeps, 1);
        h.files->write(kUserListPath, "c.example\n");
        trigger();
        EXPECT_TRUE(h.provider->isDomainBlocked("b.example")) << "asleep: not reloaded";

        h.provider->wake();
        EXPECT_TRUE(h.provider->isDomainBlocked("b.example")) << "wake itself does not reload";
        trigger();
        EXPECT_TRUE(h.provider->isDomainBlocked("c.example")) << "awake again: reloaded";

        int stops = 0;
        h.provider->stopProxyWithReason(0, [&] {
            EXPECT_EQ(subscriptions(), 0u);
            ++stops;
        });
        EXPECT_EQ(stops, 1);
        h.files->write(kUserListPath, "d.example\n");
        trigger();
        EXPECT_FALSE(h.provider->isDomainBlocked("d.example")) << "stopped: not reloaded";

        // Started again and destroyed without a stop: its subscriptions go with it.
        h.provider->startProxyWithOptions({}, [](auto) {});
        const void* observer = h.provider.get();
        h.provider.reset();
        EXPECT_EQ(h.notifications->subscriptionsOf(observer), 0u);
        EXPECT_FALSE(h.consoleUser->watched());
        trigger();  // would reach freed memory if a subscription had stayed
    }
}

// A user who logs in after the start gets their list, and one switched in theirs; a host with a
// list of its own does not follow the console.
TEST(Lifecycle, the_list_follows_the_console_user) {
    const std::string otherList = "/Users/user2/blocklist.txt";
    Harness h;
    h.consoleUser->set(std::nullopt);  // the login window
    h.files->write(kUserListPath, "one.example\n");
    h.files->write(otherList, "two.example\n");
    h.provider->startProxyWithOptions({}, [](auto) {});
    EXPECT_FALSE(h.provider->isDomainBlocked("one.example"));
    h.consoleUser->switchTo(kUserListPath);
    EXPECT_TRUE(h.provider->isDomainBlocked("one.example")) << "logged in";
    h.consoleUser->switchTo(otherList);
    EXPECT_TRUE(h.provider->isDomainBlocked("two.example")) << "switched";
    EXPECT_FALSE(h.provider->isDomainBlocked("one.example"));

    Harness fixed([] {
        ProviderSettings ownList;
        ownList.fixedBlocklistPath = "/etc/list.txt";
        return ownList;
    }());
    fixed.provider->startProxyWithOptions({}, [](auto) {});
    EXPECT_FALSE(fixed.consoleUser->watched());
}

}  // namespace
}  // namespace sieveharbor::provider
