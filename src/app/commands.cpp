#include "app/commands.h"

#include <charconv>
#include <new>
#include <string>
#include <vector>

#include "blocklist/blocklist_text.h"
#include "lists/convert.h"
#include "lists/list_builder.h"
#include "platform/console_user.h"
#include "text/text.h"

namespace sieveharbor::app {

namespace {

// What every line of the program starts with.
std::string prefix() {
    return std::string(kProgramName) + ": ";
}

std::string line(std::string_view text) {
    return prefix() + std::string(text);
}

std::string minutes(std::chrono::seconds bound) {
    return std::to_string(bound.count() / 60) + " minutes";
}

// Where the system's settings keep the approval: System Settings from macOS 13, and its own
// pane for extensions from macOS 15.
std::string approvalPlace(SystemSeam& system) {
    const int major = system.systemMajorVersion();
    return major >= 15   ? "System Settings, General, Login Items & Extensions"
           : major >= 13 ? "System Settings, Privacy & Security"
                         : "System Preferences, Security & Privacy";
}

// Dotted numbers compared as numbers ("1.10" after "1.9"); a part that is not a number, as text.
int compareDotted(std::string_view a, std::string_view b) {
    while (!a.empty() || !b.empty()) {
        const auto take = [](std::string_view& text) {
            const auto dot = text.find('.');
            const auto part = text.substr(0, dot);
            text = dot == std::string_view::npos ? std::string_view() : text.substr(dot + 1);
            return part;
        };
        const auto partA = take(a);
        const auto partB = take(b);
        unsigned long long numberA = 0;
        unsigned long long numberB = 0;
        const auto endA = partA.data() + partA.size();
        const auto endB = partB.data() + partB.size();
        const bool numbers = std::from_chars(partA.data(), endA, numberA).ptr == endA &&
                             std::from_chars(partB.data(), endB, numberB).ptr == endB;
        if (numbers && numberA != numberB) {
            return numberA < numberB ? -1 : 1;
        }
        if (!numbers && partA != partB) {
            return partA < partB ? -1 : 1;
        }
    }
    return 0;
}

std::string versionText(const ExtensionVersion& version) {
    return version.shortVersion + " (" + version.bundleVersion + ")";
}

// What to do about a failed system extension request.
std::string requestFailure(const SystemError& error, std::string_view what) {
    namespace code = extension_error;
    const std::string detail = " (" + error.description + ")";
    if (error.domain != ErrorDomain::systemExtension) {
        return line("the system refused to " + std::string(what) + " the extension" + detail);
    }
    switch (error.code) {
        case code::kUnsupportedParentBundleLocation:
            return line(
                "move SieveHarbor.app to /Applications and run it from there: the system "
                "takes extensions only from apps in /Applications");
        case code::kMissingEntitlement:
            return line(
                "SieveHarbor.app is not signed with the entitlement to install system "
                "extensions: sign it with its provisioning profile (packaging/macos/sign.sh)");
        case code::kCodeSignatureInvalid:
        case code::kValidationFailed:
            return line("the system refused the extension's code signature or validation" + detail +
                        ": install a SieveHarbor.app signed with a Developer ID and notarized");
        case code::kForbiddenBySystemPolicy:
            return line("the system's policy forbids this extension" + detail +
                        ": ask whoever manages this Mac");
        case code::kRequestSuperseded:
            return line(
                "another request for the extension took this one's place: run the command "
                "again once that one has finished");
        case code::kAuthorizationRequired:
            return line(
                "the request needs an administrator's approval, which was refused: run it "
                "again and approve it when asked");
        case code::kRequestCanceled:
            return line("the request was cancelled" + detail + ": run the command again");
        case code::kExtensionNotFound:
            return line(
                "SieveHarbor.app holds no extension com.brackenmoor.sieveharbor.proxy: "
                "install SieveHarbor.app again");
        default:
            return line("the system could not " + std::string(what) + " the extension" + detail);
    }
}

std::string configurationFailure(std::string_view what, const SystemError& error) {
    const std::string detail = " (" + error.description + ")";
    if (error.is(ErrorDomain::dnsProxy, dns_proxy_error::kConfigurationStale)) {
        return line("the DNS proxy configuration changed meanwhile" + detail +
                    ": run the command again");
    }
    if (error.is(ErrorDomain::dnsProxy, dns_proxy_error::kConfigurationCannotBeRemoved)) {
        return line("the DNS proxy configuration cannot be removed" + detail +
                    ": it may come from a configuration profile, removed in the system's "
                    "settings");
    }
    return line("the system refused to " + std::string(what) + " the DNS proxy configuration" +
                detail + ": allow it when macOS asks, as an administrator");
}

// Waits for a request with a progress line first; the approval line when the system asks.
RequestOutcome waitFor(SystemSeam& system, const Console& console, bool activation,
                       RequestEvents events) {
    console.out(line(std::string(activation ? "activating" : "deactivating") +
                     " the extension (waiting up to " + minutes(kRequestBound) + ")..."));
    events.needsUserApproval = [&] {
        console.out(line("approve the extension from \"SieveHarbor\" in " + approvalPlace(system) +
                         "; this waits for it"));
    };
    return activation ? system.activate(kRequestBound, events)
                      : system.deactivate(kRequestBound, events);
}

int configure(SystemSeam& system, const Console& console,
              const std::vector<std::string>& upstreams) {
    ProxyConfiguration loaded;
    if (const auto error = system.loadConfiguration(loaded)) {
        console.err(configurationFailure("read", *error));
        return kExitFailed;
    }
    const ProxyConfiguration wanted{true, true, std::string(kExtensionId),
                                    std::string(kConfigurationDescription), upstreams};
    if (loaded == wanted) {
        console.out(line("the DNS proxy is already enabled"));
        return kExitOk;
    }
    if (const auto error = system.saveConfiguration(wanted)) {
        console.err(configurationFailure("save", *error));
        return kExitFailed;
    }
    std::string to = "the filtering resolver " + std::string(provider::kDefaultResolver);
    if (!upstreams.empty()) {
        to.clear();
        for (const auto& upstream : upstreams) {
            to += (to.empty() ? "" : ", then ") + upstream;
        }
    }
    console.out(
        line("the DNS proxy is enabled: every DNS query now passes through SieveHarbor, "
             "and the ones it does not answer go to " +
             to));
    return kExitOk;
}

// The user the program writes the list for and that list's file, or the line saying why there
// is none.
struct ListOwner {
    UserAccount user;
    std::string path;
};
std::optional<ListOwner> listOwner(SystemSeam& system, std::string& why) {
    auto user = system.invokingUser();
    auto path = user ? platform::blocklistPathOfConsoleUser(user->name) : std::nullopt;
    if (!path) {
        why = line(
            "no user is logged in at the console: log in at the Mac's screen, then run it "
            "again");
        return std::nullopt;
    }
    return ListOwner{std::move(*user), std::move(*path)};
}

// What the system holds of the extension: a line for each copy, or the one line saying why
// there is none to show.
std::vector<std::string> extensionLines(SystemSeam& system) {
    const auto answer = system.extensionProperties();
    std::string why;
    if (!answer) {
        why = "the system tells from macOS 12 on";
    } else if (answer->request.kind == RequestOutcome::Kind::timedOut) {
        why = "no answer from the system";
    } else if (answer->request.kind == RequestOutcome::Kind::failed) {
        why = "the system could not tell: " + answer->request.error.description;
    } else if (!answer->found) {
        why = "the system answered without the extension's properties";
    }
    if (!why.empty()) {
        return {"extension: unknown (" + why + ")"};
    }
    if (answer->found->empty()) {
        return {"extension: not installed (run 'sieveharbor install')"};
    }
    std::vector<std::string> lines;
    for (const auto& copy : *answer->found) {
        // Being removed comes first: an enabled copy may run on until its removal is done.
        const std::string state = copy.uninstalling ? "being removed"
                                  : copy.enabled    ? "active"
                                  : copy.awaitingApproval
                                      ? "awaiting approval in " + approvalPlace(system)
                                      : "installed but not active (run 'sieveharbor install')";
        lines.push_back("extension " + versionText(copy.version) + ": " + state);
    }
    return lines;
}

bool systemListsACopy(SystemSeam& system) {
    const auto answer = system.extensionProperties();
    return answer && answer->found && !answer->found->empty();
}

// What the proxy makes of the list's text, read as the proxy reads it: its entries (each IDNA
// form of a name counted, as the proxy's own count does), or why it would refuse the list.
std::string listSummary(std::string_view text) {
    if (!text::isWellFormedUtf8(text)) {
        return "which the proxy refuses: it is not valid UTF-8";
    }
    const auto set = blocklist::parseBlocklist(text);
    if (!set) {
        return "which the proxy refuses: a line is longer than 65535 bytes, or it holds too much";
    }
    return std::to_string(set->size()) + " entries";
}

}  // namespace

int compareVersions(const ExtensionVersion& a, const ExtensionVersion& b) {
    const int byShort = compareDotted(a.shortVersion, b.shortVersion);
    return byShort != 0 ? byShort : compareDotted(a.bundleVersion, b.bundleVersion);
}

int install(SystemSeam& system, const Console& console, const std::vector<std::string>& upstreams) {
    std::optional<ExtensionVersion> kept;
    std::optional<ExtensionVersion> bundledVersion;
    RequestEvents events;
    events.replace = [&](const ExtensionVersion& installed, const ExtensionVersion& bundled) {
        // An older version is replaced; the same one (asked in the system's developer mode) or a
        // newer one stays, so that running install twice, or an old copy of the app, changes
        // nothing.
        if (compareVersions(installed, bundled) < 0) {
            console.out(line("replacing the extension's version " + versionText(installed) +
                             " with " + versionText(bundled)));
            return true;
        }
        kept = installed;
        bundledVersion = bundled;
        return false;
    };
    const auto outcome = waitFor(system, console, true, events);
    switch (outcome.kind) {
        case RequestOutcome::Kind::completed:
            console.out(line("the extension is active"));
            break;
        case RequestOutcome::Kind::willCompleteAfterReboot:
            console.out(line("the extension becomes active when the Mac restarts"));
            break;
        case RequestOutcome::Kind::timedOut:
            console.err(line("no answer from the system within " + minutes(kRequestBound) +
                             ": approve the extension in " + approvalPlace(system) +
                             ", then run 'sieveharbor install' again"));
            return kExitFailed;
        case RequestOutcome::Kind::failed:
            if (kept &&
                outcome.error.is(ErrorDomain::systemExtension, extension_error::kRequestCanceled)) {
                if (compareVersions(*kept, *bundledVersion) > 0) {
                    console.err(line("a newer version of the extension, " + versionText(*kept) +
                                     ", is installed than this app's " +
                                     versionText(*bundledVersion) +
                                     ": use the newer SieveHarbor.app, or run 'sieveharbor "
                                     "uninstall' first"));
                    return kExitFailed;
                }
                console.out(line("the extension's version " + versionText(*kept) +
                                 " is already installed"));
                break;
            }
            console.err(requestFailure(outcome.error, "activate"));
            return kExitFailed;
    }
    return configure(system, console, upstreams);
}

int uninstall(SystemSeam& system, const Console& console) {
    ProxyConfiguration loaded;
    if (const auto error = system.loadConfiguration(loaded)) {
        console.err(configurationFailure("read", *error));
        return kExitFailed;
    }
    if (loaded.exists) {
        // Off first: should the removal be refused, the proxy is at least no longer in the path.
        if (loaded.enabled) {
            auto disabled = loaded;
            disabled.enabled = false;
            if (const auto error = system.saveConfiguration(disabled)) {
                console.err(configurationFailure("save", *error));
                return kExitFailed;
            }
        }
        if (const auto error = system.removeConfiguration()) {
            console.err(configurationFailure("remove", *error));
            return kExitFailed;
        }
        console.out(line("the DNS proxy configuration is removed"));
    } else {
        console.out(line("there is no DNS proxy configuration to remove"));
    }
    const auto outcome = waitFor(system, console, false, {});
    switch (outcome.kind) {
        case RequestOutcome::Kind::completed:
            console.out(line("the extension is removed"));
            return kExitOk;
        case RequestOutcome::Kind::willCompleteAfterReboot:
            console.out(line("the extension is removed when the Mac restarts"));
            return kExitOk;
        case RequestOutcome::Kind::timedOut:
            console.err(line("no answer from the system within " + minutes(kRequestBound) +
                             ": run 'sieveharbor uninstall' again"));
            return kExitFailed;
        case RequestOutcome::Kind::failed:
            break;
    }
    // No extension to deactivate: none was ever activated, unless the system (from macOS 12 on)
    // still lists a copy, which this app's bundle then lacks.
    if (outcome.error.is(ErrorDomain::systemExtension, extension_error::kExtensionNotFound) &&
        !systemListsACopy(system)) {
        console.out(line("the extension is not installed: nothing to remove"));
        return kExitOk;
    }
    console.err(requestFailure(outcome.error, "deactivate"));
    return kExitFailed;
}

int status(SystemSeam& system, const Console& console) {
    int exit = kExitOk;
    ProxyConfiguration loaded;
    if (const auto error = system.loadConfiguration(loaded)) {
        console.err(configurationFailure("read", *error));
        exit = kExitFailed;
    } else if (!loaded.exists) {
        console.out("DNS proxy configuration: none (run 'sieveharbor install')");
    } else {
        std::string text = loaded.enabled ? "enabled" : "disabled";
        if (loaded.providerBundleId != kExtensionId) {
            text += ", for another provider: " + loaded.providerBundleId;
        }
        console.out("DNS proxy configuration: " + text);
    }
    for (const auto& each : extensionLines(system)) {
        console.out(each);
    }
    std::string why;
    const auto owner = listOwner(system, why);
    if (!owner) {
        console.out("list: none, " + why.substr(prefix().size()));
        return exit;
    }
    const auto text = system.readFile(owner->path);
    console.out("list: " + owner->path +
                (text ? ", " + listSummary(*text)
                      : ", not there or unreadable (make it with "
                        "'sieveharbor list')"));
    return exit;
}

int reload(SystemSeam& system, const Console& console) {
    if (!system.post(kReloadNotification)) {
        console.err(line("the system refused the notification " + std::string(kReloadNotification) +
                         ": the list was not reloaded"));
        return kExitFailed;
    }
    console.out(line("asked the proxy to read the list again"));
    return kExitOk;
}

int writeList(const Command& command, SystemSeam& system, const Console& console) {
    std::string why;
    const auto owner = listOwner(system, why);
    if (!owner) {
        console.err(why);
        return kExitFailed;
    }
    const auto& path = owner->path;
    auto converted =
        lists::convertLists(command.allow, command.inputs, command.minimise, kProgramName);
    if (!converted.list) {
        console.err(converted.error);
        return kExitFailed;
    }
    const auto& list = *converted.list;
    const auto folder = path.substr(0, path.rfind('/'));
    if (const auto error = system.makeFolders(folder, owner->user)) {
        console.err(line("cannot make the folder " + folder + " as " + owner->user.name + ": " +
                         error.message()));
        return kExitFailed;
    }
    if (const auto error =
            system.replaceFile(path, lists::renderList(list, kProgramName), owner->user)) {
        console.err(
            line("cannot write " + path + " as " + owner->user.name + ": " + error.message()));
        return kExitFailed;
    }
    console.err(lists::summaryText(list, kProgramName));
    if (!system.post(kReloadNotification)) {
        console.err(
            line("the list is written, but the system refused to tell the proxy: run "
                 "'sieveharbor reload'"));
        return kExitFailed;
    }
    console.out(line("wrote " + std::to_string(list.entries.size()) + " entries to " + path +
                     "; the proxy reads it again now"));
    return kExitOk;
}

int runProgram(std::span<const std::string_view> args, SystemSeam& system, const Console& console,
               std::string_view version) {
    const auto parsed = parseCommand(args);
    if (!parsed.command) {
        console.err(parsed.error);
        return kExitUsage;
    }
    switch (parsed.command->verb) {
        case Verb::help:
            console.out(usageText());
            return kExitOk;
        case Verb::version:
            console.out(std::string(kProgramName) + " " + std::string(version));
            return kExitOk;
        case Verb::install:
            return install(system, console, parsed.command->upstreams);
        case Verb::uninstall:
            return uninstall(system, console);
        case Verb::status:
            return status(system, console);
        case Verb::reload:
            return reload(system, console);
        case Verb::list:
            try {
                return writeList(*parsed.command, system, console);
            } catch (const std::bad_alloc&) {
                console.err(line("there is not enough memory for the lists; nothing written"));
                return kExitFailed;
            }
    }
    return kExitFailed;
}

}  // namespace sieveharbor::app
