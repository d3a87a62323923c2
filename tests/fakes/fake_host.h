#pragma once

// Fakes of the host seams the provider uses besides flows and connections: console user, file
// system, loggers and the notification centre. All are safe to share between threads.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "platform/console_user.h"
#include "platform/file_system.h"
#include "platform/logger.h"
#include "platform/notification_center.h"
#include "platform/observer_list.h"
#include "text/text.h"

namespace sieveharbor::fakes {

// The console user's list wherever the test says, or nothing, as if no person were there.
// switchTo changes the user and tells the watchers at once, on the calling thread.
class FakeConsoleUser final : public platform::ConsoleUser {
  public:
    explicit FakeConsoleUser(std::optional<std::string> path = std::nullopt)
        : path_(std::move(path)) {}

    void set(std::optional<std::string> path) {
        std::lock_guard lock(mutex_);
        path_ = std::move(path);
    }
    void switchTo(std::optional<std::string> path) {
        set(std::move(path));
        watchers_.deliver();
    }
    bool watched() const { return !watchers_.empty(); }

    std::optional<std::string> blocklistPath() override {
        std::lock_guard lock(mutex_);
        return path_;
    }
    void watch(const void* observer, Callback changed) override {
        watchers_.add(observer, std::move(changed));
    }
    void stopWatching(const void* observer) override { watchers_.removeEvery(observer); }

  private:
    std::mutex mutex_;
    std::optional<std::string> path_;
    platform::ObserverList watchers_;
};

// Files held in memory. A path can also exist without being readable (a folder, no permission).
// Like a real file, one written again while it is read reads as changed.
class FakeFileSystem final : public platform::FileSystem {
  public:
    void write(const std::string& path, std::string bytes) {
        std::lock_guard lock(mutex_);
        files_[path] = std::move(bytes);
        unreadable_.erase(path);
        ++versions_[path];
    }
    void remove(const std::string& path) {
        std::lock_guard lock(mutex_);
        files_.erase(path);
        unreadable_.erase(path);
        ++versions_[path];
    }
    void makeUnreadable(const std::string& path) {
        std::lock_guard lock(mutex_);
        unreadable_.insert(path);
    }
    // Runs after the first piece of every read, with no lock held: a test's way to change the
    // file, hold the reader, or fail, in the middle of a read.
    void duringRead(std::function<void(const std::string& path)> hook) {
        std::lock_guard lock(mutex_);
        duringRead_ = std::move(hook);
    }
    bool fileExistsAtPath(const std::string& path) override {
        std::lock_guard lock(mutex_);
        return files_.contains(path) || unreadable_.contains(path);
    }
    std::optional<std::string> readUtf8File(const std::string& path) override {
        std::optional<std::string> text;
        const auto status = readUtf8FileInPieces(path, [&text](std::string_view piece, auto) {
            text = text.value_or("") + std::string(piece);
            return true;
        });
        return status == ReadStatus::complete ? text.value_or("") : std::optional<std::string>();
    }
    // Small pieces cut at character boundaries, so the loader's handling of lines that run
    // across pieces is exercised by every load.
    ReadStatus readUtf8FileInPieces(const std::string& path, const TextPieces& consume) override {
        std::uint64_t version = 0;
        std::function<void(const std::string&)> hook;
        std::optional<std::string> text;
        {
            std::lock_guard lock(mutex_);
            version = versions_[path];
            hook = duringRead_;
            const auto file = files_.find(path);
            if (file == files_.end() || unreadable_.contains(path)) {
                return ReadStatus::unreadable;
            }
            text = file->second;
        }
        if (!text::isWellFormedUtf8(*text)) {
            return ReadStatus::notUtf8;
        }
        constexpr std::size_t kPiece = 7;
        for (std::size_t start = 0; start < text->size();) {
            std::size_t end = std::min(start + kPiece, text->size());
            while (end < text->size() && text::isContinuationByte((*text)[end])) {
                ++end;
            }
            if (!consume(std::string_view(*text).substr(start, end - start), text->size())) {
                return ReadStatus::stopped;
            }
            if (start == 0 && hook) {
                hook(path);
            }
            start = end;
        }
        std::lock_guard lock(mutex_);
        return version == versions_[path] ? ReadStatus::complete : ReadStatus::changedWhileRead;
    }

  private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> files_;
    std::set<std::string> unreadable_;
    std::map<std::string, std::uint64_t> versions_;  // bumped by each write or removal
    std::function<void(const std::string&)> duringRead_;
};

// Loggers with debug off, which the core writes nothing through.
class FakeLoggerFactory final : public platform::LoggerFactory {
  public:
    std::shared_ptr<platform::Logger> makeLogger(std::string_view, std::string_view) override {
        struct Quiet final : platform::Logger {
            bool isDebugEnabled() const override { return false; }
            void debug(std::string_view) override {}
        };
        return std::make_shared<Quiet>();
    }
};

// Delivers a post at once, on the posting thread, to every subscription of its name.
class FakeNotificationCenter final : public platform::NotificationCenter {
  public:
    void addObserver(const void* observer, std::string_view name, SuspensionBehavior /*behavior*/,
                     Callback callback) override {
        std::lock_guard lock(mutex_);
        subscriptions_.push_back({observer, std::move(callback), std::string(name)});
    }
    void removeEveryObserver(const void* observer) override {
        std::lock_guard lock(mutex_);
        std::erase_if(subscriptions_,
                      [observer](const Subscription& s) { return s.observer == observer; });
    }
    void post(std::string_view name) override {
        std::vector<Subscription> targets;
        {
            std::lock_guard lock(mutex_);
            for (const auto& s : subscriptions_) {
                if (s.name == name) {
                    targets.push_back(s);
                }
            }
        }
        for (const auto& s : targets) {
            s.callback();
        }
    }
    std::size_t subscriptionsOf(const void* observer) const {
        std::lock_guard lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(subscriptions_.begin(), subscriptions_.end(),
                          [observer](const Subscription& s) { return s.observer == observer; }));
    }

  private:
    struct Subscription {
        const void* observer;
        Callback callback;
        std::string name;
    };
    mutable std::mutex mutex_;
    std::vector<Subscription> subscriptions_;
};

}  // namespace sieveharbor::fakes
