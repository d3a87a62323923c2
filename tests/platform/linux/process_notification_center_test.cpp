#include "platform/linux/process_notification_center.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "fakes/wait_for.h"

namespace sieveharbor::platform::linux_host {
namespace {

using Behavior = platform::NotificationCenter::SuspensionBehavior;

// An observer that records the thread and name of each call; optionally blocks inside its
// callback until released, or runs a hook there.
struct Observer {
    std::mutex mutex;
    std::vector<std::string> names;
    std::vector<std::thread::id> threads;
    std::vector<int> nices;
    std::atomic<bool> inside{false};
    std::atomic<bool> finished{false};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool block = false;
    std::function<void(platform::NotificationCenter*)> hook;

    static void callback(platform::NotificationCenter* center, void* self, std::string_view name,
                         const void*, const void*) {
        auto& observer = *static_cast<Observer*>(self);
        observer.inside = true;
        {
            std::lock_guard lock(observer.mutex);
            observer.names.emplace_back(name);
            observer.threads.push_back(std::this_thread::get_id());
            observer.nices.push_back(::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid())));
        }
        if (observer.hook) {
            observer.hook(center);
        }
        if (observer.block) {
            observer.released.wait();
        }
        observer.finished = true;
    }
    std::size_t calls() {
        std::lock_guard lock(mutex);
        return names.size();
    }
};

TEST(ProcessNotificationCenter, delivers_each_post_in_order_on_its_own_low_priority_thread) {
    ProcessNotificationCenter center;
    Observer reload;
    reload.block = true;  // until released, the first delivery is still running
    Observer other;
    center.addObserver(&reload, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.addObserver(&other, &Observer::callback, "other", Behavior::deliverImmediately);

    center.post("reload");
    ASSERT_TRUE(waitFor([&] { return reload.inside.load(); }));
    // Posted while the first runs: the two waiting "reload" posts fold into one delivery.
    center.post("reload");
    center.post("unheard");
    center.post("reload");
    center.post("other");
    reload.release.set_value();
    ASSERT_TRUE(waitFor([&] { return other.calls() == 1; }));

    std::lock_guard lock(reload.mutex);
    EXPECT_EQ(reload.names, (std::vector<std::string>{"reload", "reload"}));
    EXPECT_NE(reload.threads[0], std::this_thread::get_id());
    EXPECT_EQ(reload.threads[0], reload.threads[1]);
    EXPECT_EQ(reload.nices[0], 19);
}

TEST(ProcessNotificationCenter, subscribing_twice_still_calls_once_per_post) {
    ProcessNotificationCenter center;
    Observer observer;
    Observer marker;
    center.addObserver(&observer, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.addObserver(&observer, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.addObserver(&marker, &Observer::callback, "done", Behavior::deliverImmediately);
    center.post("reload");
    center.post("done");
    // Posts are delivered in order, so once "done" arrived, "reload" has been delivered in full.
    ASSERT_TRUE(waitFor([&] { return marker.calls() == 1; }));
    EXPECT_EQ(observer.calls(), 1u);
}

TEST(ProcessNotificationCenter, removed_observer_is_never_called) {
    ProcessNotificationCenter center;
    Observer removed;
    Observer kept;
    center.addObserver(&removed, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.addObserver(&kept, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.removeEveryObserver(&removed);
    center.post("reload");
    ASSERT_TRUE(waitFor([&] { return kept.calls() == 1; }));
    EXPECT_EQ(removed.calls(), 0u);
}

TEST(ProcessNotificationCenter, remove_waits_for_a_running_callback) {
    ProcessNotificationCenter center;
    Observer observer;
    observer.block = true;
    center.addObserver(&observer, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.post("reload");
    ASSERT_TRUE(waitFor([&] { return observer.inside.load(); }));

    auto removal = std::async(std::launch::async, [&] { center.removeEveryObserver(&observer); });
    EXPECT_EQ(removal.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout)
        << "removeEveryObserver returned while the callback was still running";
    observer.release.set_value();
    ASSERT_EQ(removal.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(observer.finished);
}

TEST(ProcessNotificationCenter, a_callback_may_remove_itself_and_others) {
    ProcessNotificationCenter center;
    Observer first;
    Observer second;
    Observer marker;
    // The first removes itself and the second, which must then not be called for this post.
    first.hook = [&](platform::NotificationCenter* c) {
        c->removeEveryObserver(&first);
        c->removeEveryObserver(&second);
    };
    center.addObserver(&first, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.addObserver(&second, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.addObserver(&marker, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.post("reload");
    ASSERT_TRUE(waitFor([&] { return marker.calls() == 1; }));
    center.post("reload");
    ASSERT_TRUE(waitFor([&] { return marker.calls() == 2; }));
    EXPECT_EQ(first.calls(), 1u);
    EXPECT_EQ(second.calls(), 0u);
}

TEST(ProcessNotificationCenter, a_callback_may_subscribe_and_post) {
    ProcessNotificationCenter center;
    Observer first;
    Observer late;
    first.hook = [&](platform::NotificationCenter* c) {
        c->addObserver(&late, &Observer::callback, "later", Behavior::deliverImmediately);
        c->post("later");
    };
    center.addObserver(&first, &Observer::callback, "reload", Behavior::deliverImmediately);
    center.post("reload");
    ASSERT_TRUE(waitFor([&] { return late.calls() == 1; }));
}

TEST(ProcessNotificationCenter, destruction_waits_for_the_running_delivery) {
    Observer observer;
    observer.block = true;
    std::future<void> destroyed;
    {
        auto center = std::make_unique<ProcessNotificationCenter>();
        center->addObserver(&observer, &Observer::callback, "reload", Behavior::deliverImmediately);
        center->post("reload");
        ASSERT_TRUE(waitFor([&] { return observer.inside.load(); }));
        destroyed =
            std::async(std::launch::async, [c = std::move(center)]() mutable { c.reset(); });
    }
    EXPECT_EQ(destroyed.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    observer.release.set_value();
    ASSERT_EQ(destroyed.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_TRUE(observer.finished);
}

}  // namespace
}  // namespace sieveharbor::platform::linux_host
