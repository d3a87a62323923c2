// The macOS notification centre's own decisions, over a stand-in for notify(3): registrations
// across the provider's start, sleep, wake and stop, and no callback after an observer is gone.
#include "platform/apple/darwin_notification_center.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "fakes/fake_connection.h"
#include "fakes/fake_host.h"
#include "fakes/fake_queue.h"
#include "provider/dns_proxy_provider.h"

namespace sieveharbor::platform::apple {
namespace {

// notify(3) as the tests drive it: posts queue deliveries, which run when the test says, as
// the delivery queue would run them.
class FakeNotify final : public NotifyApi {
  public:
    std::optional<int> registerName(const std::string& name,
                                    std::function<void()> deliver) override {
        if (refuse) {
            return std::nullopt;
        }
        const int token = nextToken_++;
        registered_[token] = {name, std::move(deliver)};
        return token;
    }
    void cancel(int token) override {
        registered_.erase(token);
        ++cancels;
    }
    void post(const std::string& name) override {
        for (const auto& [token, registration] : registered_) {
            if (registration.name == name) {
                queued_.push_back(registration.deliver);
            }
        }
    }
    bool onDeliveryQueue() const override { return delivering_; }
    void awaitDelivery() override { ++waits; }

    // Runs the queued deliveries, as the delivery queue would.
    void deliverQueued() {
        while (!queued_.empty()) {
            auto deliver = std::move(queued_.front());
            queued_.pop_front();
            delivering_ = true;
            deliver();
            delivering_ = false;
        }
    }
    std::size_t registrations() const { return registered_.size(); }

    bool refuse = false;
    int cancels = 0;
    int waits = 0;

  private:
    struct Registration {
        std::string name;
        std::function<void()> deliver;
    };
    std::map<int, Registration> registered_;
    std::deque<std::function<void()>> queued_;
    int nextToken_ = 1;
    bool delivering_ = false;
};

const std::string kListPath = "/Users/user1/Library/Application Support/SieveHarbor/blocklist.txt";

constexpr auto kImmediately = NotificationCenter::SuspensionBehavior::deliverImmediately;

struct Harness {
    std::shared_ptr<FakeNotify> notify = std::make_shared<FakeNotify>();
    std::shared_ptr<DarwinNotificationCenter> center =
        std::make_shared<DarwinNotificationCenter>(notify);
    std::shared_ptr<fakes::FakeFileSystem> files = std::make_shared<fakes::FakeFileSystem>();
    std::shared_ptr<provider::DNSProxyProvider> provider = provider::DNSProxyProvider::create(
        {std::make_shared<fakes::FakeQueue>(), std::make_shared<fakes::FakeConnectionFactory>(),
         center, std::make_shared<fakes::FakeConsoleUser>(kListPath), files,
         std::make_shared<fakes::FakeLoggerFactory>()});

    // A companion changes the list and posts the name; true when the provider reloaded it.
    bool reloadsAfterPost(const std::string& entry) {
        files->write(kListPath, entry + "\n");
        center->post(provider::blocklistUpdatedNotificationName());
        notify->deliverQueued();
        return provider->isDomainBlocked(entry);
    }
};

// Registered while running, cancelled for sleep and stop. Subscribing again without a removal in
// between (a wake with no sleep before it) replaces the registration: one post, one reload.
TEST(DarwinNotificationCenter, registers_while_running_and_cancels_for_sleep_and_stop) {
    Harness h;
    h.files->write(kListPath, "a.example\n");
    h.provider->startProxyWithOptions({}, [](auto) {});
    h.provider->wake();
    EXPECT_EQ(h.notify->registrations(), 1u);
    EXPECT_EQ(h.notify->cancels, 1);
    EXPECT_TRUE(h.reloadsAfterPost("b.example"));

    h.provider->sleepWithCompletionHandler([] {});
    EXPECT_EQ(h.notify->registrations(), 0u);
    EXPECT_FALSE(h.reloadsAfterPost("c.example"));

    h.provider->wake();
    EXPECT_EQ(h.notify->registrations(), 1u);
    EXPECT_TRUE(h.reloadsAfterPost("d.example"));

    h.provider->stopProxyWithReason(0, [] {});
    EXPECT_EQ(h.notify->registrations(), 0u);
    EXPECT_FALSE(h.reloadsAfterPost("e.example"));
    EXPECT_EQ(h.notify->cancels, 3);
}

// A delivery queued before the provider went finds its subscription gone; removing from another
// thread waits out a delivery running on the queue, removing from within one does not.
TEST(DarwinNotificationCenter, no_delivery_reaches_an_observer_once_it_has_removed_itself) {
    Harness h;
    h.provider->startProxyWithOptions({}, [](auto) {});
    h.center->post(provider::blocklistUpdatedNotificationName());
    h.provider.reset();  // its destructor removes every subscription
    EXPECT_EQ(h.notify->waits, 1);
    h.notify->deliverQueued();  // would reach freed memory if the subscription had stayed

    int observer = 0;
    h.center->addObserver(&observer, "x", kImmediately, [&] {
        ++observer;
        h.center->removeEveryObserver(&observer);
    });
    h.center->post("x");
    h.center->post("x");
    h.notify->deliverQueued();
    EXPECT_EQ(observer, 1);
    EXPECT_EQ(h.notify->waits, 1) << "a removal from a delivery does not wait for itself";
}

// Nothing to cancel on removal.
TEST(DarwinNotificationCenter, a_name_notify_refuses_is_not_subscribed) {
    Harness h;
    h.notify->refuse = true;
    h.center->addObserver(&h, "x", kImmediately, [] {});
    h.center->removeEveryObserver(&h);
    EXPECT_EQ(h.notify->cancels, 0);
}

}  // namespace
}  // namespace sieveharbor::platform::apple
