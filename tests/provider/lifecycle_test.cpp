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
        h.provider->startProxyWithOptions([&](std::optional<std::error_code> error) {
            EXPECT_FALSE(error);
            ++completions;
        });
        EXPECT_EQ(completions, 1);
        EXPECT_EQ(h.notifications->subscriptionsOf(h.provider.get()), 1u);
        EXPECT_EQ(h.provider->isDomainBlocked("a.example"), atConsole);
    }
}

TEST(Lifecycle, reloads_on_notification_only_while_running) {
    Harness h;
    h.files->write(kUserListPath, "a.example\n");
    h.provider->startProxyWithOptions([](auto) {});
    ASSERT_TRUE(h.provider->isDomainBlocked("a.example"));

    h.files->write(kUserListPath, "b.example\n");
    post(h);
    EXPECT_TRUE(h.provider->isDomainBlocked("b.example")) << "running: reloaded";

    int sleeps = 0;
    h.provider->sleepWithCompletionHandler([&] {
        EXPECT_EQ(h.notifications->subscriptionsOf(h.provider.get()), 0u);
        ++sleeps;
    });
    EXPECT_EQ(sleeps, 1);
    h.files->write(kUserListPath, "c.example\n");
    post(h);
    EXPECT_TRUE(h.provider->isDomainBlocked("b.example")) << "asleep: not reloaded";

    h.provider->wake();
    EXPECT_TRUE(h.provider->isDomainBlocked("b.example")) << "wake itself does not reload";
    post(h);
    EXPECT_TRUE(h.provider->isDomainBlocked("c.example")) << "awake again: reloaded";

    int stops = 0;
    h.provider->stopProxyWithReason(0, [&] {
        EXPECT_EQ(h.notifications->subscriptionsOf(h.provider.get()), 0u);
        ++stops;
    });
    EXPECT_EQ(stops, 1);
    h.files->write(kUserListPath, "d.example\n");
    post(h);
    EXPECT_FALSE(h.provider->isDomainBlocked("d.example")) << "stopped: not reloaded";

    // Started again and destroyed without a stop: its subscription goes with it.
    h.provider->startProxyWithOptions([](auto) {});
    const void* observer = h.provider.get();
    h.provider.reset();
    EXPECT_EQ(h.notifications->subscriptionsOf(observer), 0u);
    post(h);  // would reach freed memory if the subscription had stayed
}

}  // namespace
}  // namespace sieveharbor::provider
