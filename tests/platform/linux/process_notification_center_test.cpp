#include "platform/linux/process_notification_center.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/loop_thread.h"
#include "fakes/wait_for.h"

namespace sieveharbor::platform::linux_host {
namespace {

using Behavior = platform::NotificationCenter::SuspensionBehavior;

// An observer that records the thread of each call; optionally blocks inside its callback until
// released (boundedly), or runs a hook there.
struct Observer {
    std::mutex mutex;
    std::vector<std::thread::id> threads;
    std::atomic<bool> finished{false};
    bool block = false;
    Signal release;
    std::function<void()> hook;

    void subscribe(platform::NotificationCenter& center, std::string_view name) {
        center.addObserver(this, name, Behavior::deliverImmediately, [this] { called(); });
    }
    void called() {
        {
            std::lock_guard lock(mutex);
            threads.push_back(std::this_thread::get_id());
        }
        if (hook) {
            hook();
        }
        if (block) {
            release.wait(std::chrono::seconds(10));
        }
        finished = true;
    }
    std::size_t calls() {
        std::lock_guard lock(mutex);
        return threads.size();
    }
};

TEST(ProcessNotificationCenter, delivers_each_post_in_order_on_its_loop) {
    fakes::LoopThread control;
    ProcessNotificationCenter center(control.loop);
    Observer reload;
    reload.block = true;  // until released, the first delivery is still running
    Observer other;
    reload.subscribe(center, "reload");
    other.subscribe(center, "other");

    center.post("reload");
    ASSERT_TRUE(waitFor([&] { return reload.calls() == 1; }));
    // Posted while the first runs: the two waiting "reload" posts fold into one delivery.
    center.post("reload");
    center.post("unheard");
    center.post("reload");
    center.post("other");
    reload.release.notify();
    ASSERT_TRUE(waitFor([&] { return other.calls() == 1; }));

    std::lock_guard lock(reload.mutex);
    ASSERT_EQ(reload.threads.size(), 2u);
    EXPECT_EQ(reload.threads[0], control.id());
    EXPECT_EQ(reload.threads[1], control.id());
}

// An observer subscribed twice is called once per post; one removed, before a post or by a
// callback of it, is not called; a callback may subscribe and post.
TEST(ProcessNotificationCenter, callbacks_follow_the_subscriptions_as_they_stand) {
    fakes::LoopThread control;
    ProcessNotificationCenter center(control.loop);
    Observer twice;
    Observer removedBefore;
    Observer first;  // removes itself and the second, which must then not be called for this post
    Observer second;
    Observer late;
    Observer marker;
    first.hook = [&] {
        center.removeEveryObserver(&first);
        center.removeEveryObserver(&second);
        late.subscribe(center, "later");
        center.post("later");
    };
    for (auto* observer : {&twice, &twice, &removedBefore, &first, &second, &marker}) {
        observer->subscribe(center, "reload");
    }
    center.removeEveryObserver(&removedBefore);
    center.post("reload");
    // Posts are delivered in order: by the marker's second call, the "later" post made during the
    // first has been delivered too.
    ASSERT_TRUE(waitFor([&] { return marker.calls() == 1; }));
    center.post("reload");
    ASSERT_TRUE(waitFor([&] { return marker.calls() == 2; }));
    EXPECT_EQ(twice.calls(), 2u);
    EXPECT_EQ(removedBefore.calls(), 0u);
    EXPECT_EQ(first.calls(), 1u);
    EXPECT_EQ(second.calls(), 0u);
    EXPECT_EQ(late.calls(), 1u);
}

// Removing an observer, or destroying the centre, waits for a delivery running in the callback.
TEST(ProcessNotificationCenter, removal_and_destruction_wait_for_a_running_callback) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destruction" : "removal");
        Observer observer;
        observer.block = true;
        fakes::LoopThread control;
        auto center = std::make_unique<ProcessNotificationCenter>(control.loop);
        observer.subscribe(*center, "reload");
        center->post("reload");
        ASSERT_TRUE(waitFor([&] { return observer.calls() == 1; }));
        auto ending = std::async(std::launch::async, [&] {
            if (destroy) {
                center.reset();
            } else {
                center->removeEveryObserver(&observer);
            }
        });
        EXPECT_EQ(ending.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
        observer.release.notify();
        ASSERT_EQ(ending.wait_for(kPatience), std::future_status::ready);
        EXPECT_TRUE(observer.finished);
    }
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host
