// The seams that are one system call each: notify(3) under the notification centre, the console
// user, unified logging.

#import <SystemConfiguration/SystemConfiguration.h>
#include <dispatch/dispatch.h>
#include <notify.h>
#include <os/log.h>

#include <mutex>
#include <string>

#include "platform/apple/apple_seams.h"
#include "platform/apple/darwin_notification_center.h"
#include "platform/observer_list.h"

namespace sieveharbor::platform::apple {

namespace {

// The key that marks the delivery queue, so that the centre knows when it is called from there.
char kDeliveryQueueKey;

class SystemNotify final : public NotifyApi {
  public:
    SystemNotify()
        : queue_(dispatch_queue_create("com.brackenmoor.sieveharbor.notifications",
                                       DISPATCH_QUEUE_SERIAL)) {
        dispatch_queue_set_specific(queue_, &kDeliveryQueueKey, &kDeliveryQueueKey, nullptr);
    }

    std::optional<int> registerName(const std::string& name,
                                    std::function<void()> deliver) override {
        auto shared = std::make_shared<std::function<void()>>(std::move(deliver));
        int token = 0;
        if (notify_register_dispatch(name.c_str(), &token, queue_, ^(int) {
              @autoreleasepool {
                  (*shared)();
              }
            }) != NOTIFY_STATUS_OK) {
            return std::nullopt;
        }
        return token;
    }
    void cancel(int token) override { notify_cancel(token); }
    void post(const std::string& name) override { notify_post(name.c_str()); }
    bool onDeliveryQueue() const override {
        return dispatch_get_specific(&kDeliveryQueueKey) == &kDeliveryQueueKey;
    }
    void awaitDelivery() override {
        dispatch_sync(queue_, ^{
                      });
    }

  private:
    dispatch_queue_t queue_;
};

class SystemConsoleUser final : public ConsoleUser {
  public:
    SystemConsoleUser()
        : queue_(dispatch_queue_create("com.brackenmoor.sieveharbor.console-user",
                                       DISPATCH_QUEUE_SERIAL)) {}

    ~SystemConsoleUser() override {
        const std::lock_guard lock(storeMutex_);
        if (store_ != nullptr) {
            // No callback is queued or running once the queue is unset and drained.
            SCDynamicStoreSetDispatchQueue(store_, nullptr);
            dispatch_sync(queue_, ^{
                          });
            CFRelease(store_);
        }
    }

    SystemConsoleUser(const SystemConsoleUser&) = delete;
    SystemConsoleUser& operator=(const SystemConsoleUser&) = delete;

    std::optional<std::string> blocklistPath() override {
        CFStringRef name = SCDynamicStoreCopyConsoleUser(nullptr, nullptr, nullptr);
        if (name == nullptr) {
            return std::nullopt;
        }
        const CFIndex capacity =
            CFStringGetMaximumSizeForEncoding(CFStringGetLength(name), kCFStringEncodingUTF8) + 1;
        std::string text(static_cast<std::size_t>(capacity), '\0');
        const bool converted =
            CFStringGetCString(name, text.data(), capacity, kCFStringEncodingUTF8) != 0;
        CFRelease(name);
        if (!converted) {
            return std::nullopt;
        }
        text.resize(std::char_traits<char>::length(text.c_str()));
        return blocklistPathOfConsoleUser(text);
    }

    // The store is made by the first watch: it tells of every change of the console-user key
    // (a login, a logout, a fast user switch) on the queue, until the object goes.
    void watch(const void* observer, Callback changed) override {
        watchers_.add(observer, std::move(changed));
        const std::lock_guard lock(storeMutex_);
        if (store_ != nullptr || unwatchable_) {
            return;
        }
        SCDynamicStoreContext context{0, &watchers_, nullptr, nullptr, nullptr};
        SCDynamicStoreRef store =
            SCDynamicStoreCreate(nullptr, CFSTR("com.brackenmoor.sieveharbor.proxy"),
                                 &SystemConsoleUser::changed, &context);
        CFStringRef key = SCDynamicStoreKeyCreateConsoleUser(nullptr);
        const void* keys[] = {key};
        CFArrayRef watched =
            key == nullptr ? nullptr : CFArrayCreate(nullptr, keys, 1, &kCFTypeArrayCallBacks);
        const bool started = store != nullptr && watched != nullptr &&
                             SCDynamicStoreSetNotificationKeys(store, watched, nullptr) &&
                             SCDynamicStoreSetDispatchQueue(store, queue_);
        if (watched != nullptr) {
            CFRelease(watched);
        }
        if (key != nullptr) {
            CFRelease(key);
        }
        if (!started) {
            if (store != nullptr) {
                CFRelease(store);
            }
            unwatchable_ = true;  // the list then changes only on the notification
            return;
        }
        store_ = store;
    }

    void stopWatching(const void* observer) override { watchers_.removeEvery(observer); }

  private:
    static void changed(SCDynamicStoreRef, CFArrayRef, void* info) {
        @autoreleasepool {
            static_cast<ObserverList*>(info)->deliver();
        }
    }

    dispatch_queue_t queue_;
    ObserverList watchers_;
    std::mutex storeMutex_;  // guards the two below
    SCDynamicStoreRef store_ = nullptr;
    bool unwatchable_ = false;
};

class UnifiedLogger final : public Logger {
  public:
    UnifiedLogger(std::string_view subsystem, std::string_view category)
        : log_(os_log_create(std::string(subsystem).c_str(), std::string(category).c_str())) {}

    bool isDebugEnabled() const override { return os_log_type_enabled(log_, OS_LOG_TYPE_DEBUG); }
    void debug(std::string_view message) override {
        if (isDebugEnabled()) {
            os_log_debug(log_, "%{public}s", std::string(message).c_str());
        }
    }

  private:
    os_log_t log_;
};

class UnifiedLoggerFactory final : public LoggerFactory {
  public:
    std::shared_ptr<Logger> makeLogger(std::string_view subsystem,
                                       std::string_view category) override {
        return std::make_shared<UnifiedLogger>(subsystem, category);
    }
};

}  // namespace

std::shared_ptr<NotificationCenter> makeDarwinNotificationCenter() {
    return std::make_shared<DarwinNotificationCenter>(std::make_shared<SystemNotify>());
}

std::shared_ptr<ConsoleUser> makeSystemConsoleUser() {
    return std::make_shared<SystemConsoleUser>();
}

std::shared_ptr<LoggerFactory> makeUnifiedLoggerFactory() {
    return std::make_shared<UnifiedLoggerFactory>();
}

}  // namespace sieveharbor::platform::apple
