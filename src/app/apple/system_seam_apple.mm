// The system seam over the platform's calls. It decides nothing: what a result means is the
// commands' to say.

#include "app/apple/system_seam_apple.h"

#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#import <SystemConfiguration/SystemConfiguration.h>
#import <SystemExtensions/SystemExtensions.h>
#include <notify.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "app/request_record.h"
#include "app/user_files.h"
#include "platform/posix/posix_file_system.h"

using sieveharbor::app::ExtensionProperties;
using sieveharbor::app::ExtensionVersion;
using sieveharbor::app::RequestEvents;
using sieveharbor::app::RequestOutcome;
using sieveharbor::app::RequestRecord;
using sieveharbor::app::SystemError;

namespace {

// How long a configuration call may wait: saving one can wait on the person answering macOS's
// prompt to allow it.
constexpr NSTimeInterval kConfigurationBound = 300;
// The properties request asks no one: its answer comes at once or not at all.
constexpr NSTimeInterval kPropertiesBound = 30;

std::string text(NSString* string) {
    return string != nil ? std::string(string.UTF8String) : std::string();
}

NSString* upstreamsKey() {
    const auto key = sieveharbor::provider::kUpstreamsConfigurationKey;
    return [[NSString alloc] initWithBytes:key.data()
                                    length:key.size()
                                  encoding:NSUTF8StringEncoding];
}

SystemError systemError(NSError* error) {
    using sieveharbor::app::ErrorDomain;
    const ErrorDomain domain =
        [error.domain isEqualToString:OSSystemExtensionErrorDomain] ? ErrorDomain::systemExtension
        : [error.domain isEqualToString:NEDNSProxyErrorDomain]      ? ErrorDomain::dnsProxy
                                                                    : ErrorDomain::other;
    return {domain, static_cast<long>(error.code), text(error.localizedDescription)};
}

ExtensionVersion versionOf(OSSystemExtensionProperties* properties) {
    return {text(properties.bundleShortVersion), text(properties.bundleVersion)};
}

// Runs the main run loop until `done` or the bound passes; false when it passed. Completions the
// frameworks deliver on the main queue are served by it, so nothing waits on itself.
bool runUntil(BOOL (^done)(void), NSTimeInterval bound) {
    NSDate* deadline = [NSDate dateWithTimeIntervalSinceNow:bound];
    while (!done()) {
        if (deadline.timeIntervalSinceNow <= 0) {
            return false;
        }
        @autoreleasepool {
            [[NSRunLoop mainRunLoop] runMode:NSDefaultRunLoopMode
                                  beforeDate:[NSDate dateWithTimeIntervalSinceNow:1]];
        }
    }
    return true;
}

}  // namespace

// One request's delegate: it passes each question on to the caller's events and each end to its
// record. Called on the main queue, inside runUntil.
@interface SieveHarborRequestDelegate : NSObject <OSSystemExtensionRequestDelegate>
- (instancetype)initWithEvents:(const RequestEvents*)events;
- (const RequestRecord&)record;
@end

@implementation SieveHarborRequestDelegate {
    const RequestEvents* _events;
    RequestRecord _record;
}

- (instancetype)initWithEvents:(const RequestEvents*)events {
    self = [super init];
    if (self != nil) {
        _events = events;
    }
    return self;
}

- (const RequestRecord&)record {
    return _record;
}

- (OSSystemExtensionReplacementAction)request:(OSSystemExtensionRequest*)request
                  actionForReplacingExtension:(OSSystemExtensionProperties*)existing
                                withExtension:(OSSystemExtensionProperties*)ext {
    const bool replace = _events != nullptr && _events->replace &&
                         _events->replace(versionOf(existing), versionOf(ext));
    return replace ? OSSystemExtensionReplacementActionReplace
                   : OSSystemExtensionReplacementActionCancel;
}

- (void)requestNeedsUserApproval:(OSSystemExtensionRequest*)request {
    if (_events != nullptr && _events->needsUserApproval) {
        _events->needsUserApproval();
    }
}

- (void)request:(OSSystemExtensionRequest*)request
    didFinishWithResult:(OSSystemExtensionRequestResult)result {
    _record.finished(result == OSSystemExtensionRequestWillCompleteAfterReboot);
}

- (void)request:(OSSystemExtensionRequest*)request didFailWithError:(NSError*)error {
    _record.failed(systemError(error));
}

- (void)request:(OSSystemExtensionRequest*)request
    foundProperties:(NSArray<OSSystemExtensionProperties*>*)properties API_AVAILABLE(macos(12.0)) {
    std::vector<ExtensionProperties> found;
    for (OSSystemExtensionProperties* each in properties) {
        found.push_back({versionOf(each), each.isEnabled == YES, each.isAwaitingUserApproval == YES,
                         each.isUninstalling == YES});
    }
    _record.foundProperties(std::move(found));
}

@end

namespace sieveharbor::app::apple {

namespace {

class AppleSystem final : public SystemSeam {
  public:
    RequestOutcome activate(std::chrono::seconds bound, const RequestEvents& events) override {
        @autoreleasepool {
            return submit(
                [OSSystemExtensionRequest activationRequestForExtension:identifier()
                                                                  queue:dispatch_get_main_queue()],
                bound, events);
        }
    }

    RequestOutcome deactivate(std::chrono::seconds bound, const RequestEvents& events) override {
        @autoreleasepool {
            return submit([OSSystemExtensionRequest
                              deactivationRequestForExtension:identifier()
                                                        queue:dispatch_get_main_queue()],
                          bound, events);
        }
    }

    std::optional<PropertiesOutcome> extensionProperties() override {
        // The properties request came with macOS 12. The class is asked rather than @available,
        // whose check needs a runtime helper of the compiler (compiler-rt) that the cross-build
        // here does not have.
        if (![OSSystemExtensionRequest
                respondsToSelector:@selector(propertiesRequestForExtension:queue:)]) {
            return std::nullopt;
        }
        @autoreleasepool {
            const RequestEvents none{};
            SieveHarborRequestDelegate* delegate =
                [[SieveHarborRequestDelegate alloc] initWithEvents:&none];
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wunguarded-availability"
#pragma clang diagnostic ignored "-Wunguarded-availability-new"
            OSSystemExtensionRequest* request =
                [OSSystemExtensionRequest propertiesRequestForExtension:identifier()
                                                                  queue:dispatch_get_main_queue()];
#pragma clang diagnostic pop
            if (!wait(request, delegate, kPropertiesBound)) {
                return PropertiesOutcome{{RequestOutcome::Kind::timedOut, {}}, std::nullopt};
            }
            return [delegate record].properties();
        }
    }

    int systemMajorVersion() override {
        return static_cast<int>(NSProcessInfo.processInfo.operatingSystemVersion.majorVersion);
    }

    std::optional<SystemError> loadConfiguration(ProxyConfiguration& loaded) override {
        @autoreleasepool {
            NEDNSProxyManager* manager = NEDNSProxyManager.sharedManager;
            auto error = complete(^(void (^handler)(NSError*)) {
              [manager loadFromPreferencesWithCompletionHandler:handler];
            });
            if (error) {
                return error;
            }
            NEDNSProxyProviderProtocol* protocol =
                (NEDNSProxyProviderProtocol*)manager.providerProtocol;
            loaded.exists = protocol != nil;
            loaded.enabled = manager.isEnabled;
            loaded.providerBundleId = text(protocol.providerBundleIdentifier);
            loaded.description = text(manager.localizedDescription);
            id upstreams = protocol.providerConfiguration[upstreamsKey()];
            if ([upstreams isKindOfClass:[NSArray class]]) {
                for (id upstream in static_cast<NSArray*>(upstreams)) {
                    if ([upstream isKindOfClass:[NSString class]]) {
                        loaded.upstreams.push_back(text(static_cast<NSString*>(upstream)));
                    }
                }
            }
            return std::nullopt;
        }
    }

    std::optional<SystemError> saveConfiguration(const ProxyConfiguration& wanted) override {
        @autoreleasepool {
            NEDNSProxyManager* manager = NEDNSProxyManager.sharedManager;
            NEDNSProxyProviderProtocol* protocol = [[NEDNSProxyProviderProtocol alloc] init];
            protocol.providerBundleIdentifier = @(wanted.providerBundleId.c_str());
            // The extension is started with this dictionary as its options.
            if (!wanted.upstreams.empty()) {
                NSMutableArray<NSString*>* upstreams = [NSMutableArray array];
                for (const auto& upstream : wanted.upstreams) {
                    [upstreams addObject:@(upstream.c_str())];
                }
                protocol.providerConfiguration = @{upstreamsKey() : upstreams};
            }
            manager.providerProtocol = protocol;
            manager.localizedDescription = @(wanted.description.c_str());
            manager.enabled = wanted.enabled;
            return complete(^(void (^handler)(NSError*)) {
              [manager saveToPreferencesWithCompletionHandler:handler];
            });
        }
    }

    std::optional<SystemError> removeConfiguration() override {
        @autoreleasepool {
            NEDNSProxyManager* manager = NEDNSProxyManager.sharedManager;
            return complete(^(void (^handler)(NSError*)) {
              [manager removeFromPreferencesWithCompletionHandler:handler];
            });
        }
    }

    bool post(std::string_view name) override {
        return notify_post(std::string(name).c_str()) == NOTIFY_STATUS_OK;
    }

    std::optional<UserAccount> invokingUser() override {
        const uid_t uid = ::getuid();
        if (uid != 0) {
            const passwd* entry = ::getpwuid(uid);
            if (entry == nullptr) {
                return std::nullopt;
            }
            return UserAccount{entry->pw_name, uid, entry->pw_gid};
        }
        @autoreleasepool {
            uid_t consoleUid = 0;
            gid_t consoleGid = 0;
            NSString* name =
                CFBridgingRelease(SCDynamicStoreCopyConsoleUser(nullptr, &consoleUid, &consoleGid));
            if (name == nil) {
                return std::nullopt;
            }
            return UserAccount{text(name), consoleUid, consoleGid};
        }
    }

    std::optional<std::string> readFile(const std::string& path) override {
        return files_.readUtf8File(path);
    }

    std::error_code makeFolders(const std::string& path, const UserAccount& owner) override {
        return makeUserFolders(path, owner);
    }

    std::error_code replaceFile(const std::string& path, std::string_view content,
                                const UserAccount& owner) override {
        return replaceUserFile(path, content, owner);
    }

  private:
    static NSString* identifier() {
        return @(std::string(kExtensionId).c_str());
    }

    // Submits the request and waits for its end. Past the bound the delegate is let go first, so
    // that a late answer reaches nothing of this call.
    static bool wait(OSSystemExtensionRequest* request, SieveHarborRequestDelegate* delegate,
                     NSTimeInterval bound) {
        request.delegate = delegate;  // weak: `delegate` holds it for the wait
        [OSSystemExtensionManager.sharedManager submitRequest:request];
        const bool answered = runUntil(
            ^BOOL {
              return [delegate record].ended() ? YES : NO;
            },
            bound);
        request.delegate = nil;
        return answered;
    }

    static RequestOutcome submit(OSSystemExtensionRequest* request, std::chrono::seconds bound,
                                 const RequestEvents& events) {
        SieveHarborRequestDelegate* delegate =
            [[SieveHarborRequestDelegate alloc] initWithEvents:&events];
        if (!wait(request, delegate, static_cast<NSTimeInterval>(bound.count()))) {
            return {RequestOutcome::Kind::timedOut, {}};
        }
        return [delegate record].outcome();
    }

    // Starts a call with a completion handler and waits for the handler's error.
    static std::optional<SystemError> complete(void (^start)(void (^handler)(NSError*))) {
        __block BOOL done = NO;
        __block NSError* failure = nil;
        start(^(NSError* error) {
          // The header promises no thread for the completion: what the wait reads is set on the
          // main thread, which runs the wait.
          dispatch_async(dispatch_get_main_queue(), ^{
            failure = error;
            done = YES;
          });
        });
        if (!runUntil(
                ^{
                  return done;
                },
                kConfigurationBound)) {
            return SystemError{sieveharbor::app::ErrorDomain::other, 0,
                               "no answer from the system within 5 minutes"};
        }
        return failure != nil ? std::optional(systemError(failure)) : std::nullopt;
    }

    platform::posix::PosixFileSystem files_;
};

}  // namespace

std::unique_ptr<SystemSeam> makeSystemSeam() {
    return std::make_unique<AppleSystem>();
}

}  // namespace sieveharbor::app::apple
