#pragma once

// What the sieveharbor program asks of macOS, as plain C++: the system extension requests, the
// DNS proxy configuration, the reload notification, the user whose list it writes, and files. The
// Objective-C++ in apple/ implements it with the platform's calls and decides nothing; the
// commands over it (commands.h) are tested through a fake. Every call is synchronous: it returns
// once the system has answered or the bound has passed.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "provider/identifiers.h"

namespace sieveharbor::app {

inline constexpr std::string_view kExtensionId = provider::kExtensionIdentifier;
inline constexpr std::string_view kReloadNotification = provider::kBlocklistUpdatedNotification;

// The error domains the program tells apart; the Objective-C++ maps the frameworks' constants to
// them.
enum class ErrorDomain {
    systemExtension,  // OSSystemExtensionErrorDomain
    dnsProxy,         // NEDNSProxyErrorDomain
    other,
};

// An error the system reported, as its NSError gives it.
struct SystemError {
    ErrorDomain domain = ErrorDomain::other;
    long code = 0;
    std::string description;  // localizedDescription
    bool is(ErrorDomain inDomain, long withCode) const {
        return domain == inDomain && code == withCode;
    }
};

// NEDNSProxyErrorDomain's codes this program acts on (NEDNSProxyManagerError).
namespace dns_proxy_error {
inline constexpr long kConfigurationStale = 3;
inline constexpr long kConfigurationCannotBeRemoved = 4;
}  // namespace dns_proxy_error

// OSSystemExtensionErrorDomain's codes this program acts on (OSSystemExtensionErrorCode).
namespace extension_error {
inline constexpr long kUnknown = 1;
inline constexpr long kMissingEntitlement = 2;
inline constexpr long kUnsupportedParentBundleLocation = 3;
inline constexpr long kExtensionNotFound = 4;
inline constexpr long kCodeSignatureInvalid = 8;
inline constexpr long kValidationFailed = 9;
inline constexpr long kForbiddenBySystemPolicy = 10;
inline constexpr long kRequestCanceled = 11;
inline constexpr long kRequestSuperseded = 12;
inline constexpr long kAuthorizationRequired = 13;
}  // namespace extension_error

// CFBundleShortVersionString and CFBundleVersion of an extension bundle.
struct ExtensionVersion {
    std::string shortVersion;
    std::string bundleVersion;
    bool operator==(const ExtensionVersion&) const = default;
};

// How an activation or deactivation request ended.
struct RequestOutcome {
    enum class Kind { completed, willCompleteAfterReboot, failed, timedOut };
    Kind kind = Kind::failed;
    SystemError error;  // when failed
};

// What a request asks of its caller while it runs; both are called on the caller's thread, from
// inside activate / deactivate.
struct RequestEvents {
    // Another version of the extension is installed: true replaces it with the bundled one,
    // false cancels the request (which then fails with kRequestCanceled).
    std::function<bool(const ExtensionVersion& installed, const ExtensionVersion& bundled)> replace;
    // The user must approve the extension before the request can go on.
    std::function<void()> needsUserApproval;
};

// One copy of the extension that the system holds, as the properties request reports it. There
// may be two: one being removed, the one that takes its place.
struct ExtensionProperties {
    ExtensionVersion version;
    bool enabled = false;
    bool awaitingApproval = false;
    bool uninstalling = false;
};

// How the properties request ended and, when the system answered with them, the copies found.
struct PropertiesOutcome {
    RequestOutcome request;
    std::optional<std::vector<ExtensionProperties>> found;
};

// The DNS proxy configuration of NEDNSProxyManager, as loaded or to be saved.
struct ProxyConfiguration {
    bool exists = false;  // a provider protocol is set
    bool enabled = false;
    std::string providerBundleId;
    std::string description;
    // The provider configuration's upstreams, in order; none: the extension's own default.
    std::vector<std::string> upstreams;
    bool operator==(const ProxyConfiguration&) const = default;
};

// The person whose list the program writes.
struct UserAccount {
    std::string name;
    unsigned uid = 0;
    unsigned gid = 0;
};

class SystemSeam {
  public:
    virtual ~SystemSeam() = default;

    // OSSystemExtensionRequest for kExtensionId, waited for at most `bound`.
    virtual RequestOutcome activate(std::chrono::seconds bound, const RequestEvents& events) = 0;
    virtual RequestOutcome deactivate(std::chrono::seconds bound, const RequestEvents& events) = 0;
    // The properties request for kExtensionId; nothing where the system has none (before
    // macOS 12).
    virtual std::optional<PropertiesOutcome> extensionProperties() = 0;
    // The major version of macOS (11, 12, 13, ...).
    virtual int systemMajorVersion() = 0;

    // NEDNSProxyManager's preferences: load, then save or remove what was loaded. A call fails
    // with the system's error.
    virtual std::optional<SystemError> loadConfiguration(ProxyConfiguration& loaded) = 0;
    virtual std::optional<SystemError> saveConfiguration(const ProxyConfiguration& wanted) = 0;
    virtual std::optional<SystemError> removeConfiguration() = 0;

    // notify_post; false when the system refused it.
    virtual bool post(std::string_view name) = 0;

    // The user who ran the program, or the console user when it runs as root (under sudo the
    // list still belongs to the person at the screen); nothing when there is none.
    virtual std::optional<UserAccount> invokingUser() = 0;

    // The whole file, or nothing when it cannot be read.
    virtual std::optional<std::string> readFile(const std::string& path) = 0;
    // Both work as `owner`, even when the program runs as root: nothing in the owner's home, a
    // link they planted included, leads root anywhere. Makes the folder and any missing parent.
    virtual std::error_code makeFolders(const std::string& path, const UserAccount& owner) = 0;
    // Replaces the file in one step, its mode kept.
    virtual std::error_code replaceFile(const std::string& path, std::string_view content,
                                        const UserAccount& owner) = 0;
};

}  // namespace sieveharbor::app
