#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/system_seam.h"

namespace sieveharbor::fakes {

// The system as a script: what each request and configuration call answers, and a record of the
// calls in order ("activate", "load", "save", "remove", "deactivate", "properties", "post NAME",
// "folder PATH", "write PATH").
class FakeSystemSeam final : public app::SystemSeam {
  public:
    using Kind = app::RequestOutcome::Kind;

    app::RequestOutcome activation{Kind::completed, {}};
    app::RequestOutcome deactivation{Kind::completed, {}};
    // Another version installed: activate asks the caller to replace installed (first) with
    // bundled (second); a refusal fails the request as the system does, cancelled.
    std::optional<std::pair<app::ExtensionVersion, app::ExtensionVersion>> installedAndBundled;
    bool asksApproval = false;
    // Nothing: a system before macOS 12, which has no properties request.
    std::optional<app::PropertiesOutcome> properties;
    int majorVersion = 13;

    app::ProxyConfiguration stored;
    std::optional<app::SystemError> loadError, saveError, removeError;
    bool postAccepted = true;

    std::optional<app::UserAccount> user = app::UserAccount{"ada", 501, 20};
    std::map<std::string, std::string> files;
    std::error_code folderError, writeError;

    std::vector<std::string> calls;

    app::RequestOutcome activate(std::chrono::seconds, const app::RequestEvents& events) override {
        calls.emplace_back("activate");
        if (asksApproval) {
            events.needsUserApproval();
        }
        if (installedAndBundled &&
            !events.replace(installedAndBundled->first, installedAndBundled->second)) {
            return {Kind::failed,
                    {app::ErrorDomain::systemExtension, app::extension_error::kRequestCanceled,
                     "cancelled"}};
        }
        return activation;
    }
    app::RequestOutcome deactivate(std::chrono::seconds, const app::RequestEvents&) override {
        calls.emplace_back("deactivate");
        return deactivation;
    }
    std::optional<app::PropertiesOutcome> extensionProperties() override {
        calls.emplace_back("properties");
        return properties;
    }
    int systemMajorVersion() override { return majorVersion; }

    std::optional<app::SystemError> loadConfiguration(app::ProxyConfiguration& loaded) override {
        calls.emplace_back("load");
        loaded = stored;
        return loadError;
    }
    std::optional<app::SystemError> saveConfiguration(
        const app::ProxyConfiguration& wanted) override {
        calls.emplace_back("save");
        if (!saveError) {
            stored = wanted;
        }
        return saveError;
    }
    std::optional<app::SystemError> removeConfiguration() override {
        calls.emplace_back("remove");
        if (!removeError) {
            stored = {};
        }
        return removeError;
    }
    bool post(std::string_view name) override {
        calls.push_back("post " + std::string(name));
        return postAccepted;
    }
    std::optional<app::UserAccount> invokingUser() override { return user; }
    std::optional<std::string> readFile(const std::string& path) override {
        const auto found = files.find(path);
        return found == files.end() ? std::nullopt : std::optional(found->second);
    }
    std::error_code makeFolders(const std::string& path, const app::UserAccount&) override {
        calls.push_back("folder " + path);
        return folderError;
    }
    std::error_code replaceFile(const std::string& path, std::string_view content,
                                const app::UserAccount&) override {
        calls.push_back("write " + path);
        if (!writeError) {
            files[path] = std::string(content);
        }
        return writeError;
    }
};

}  // namespace sieveharbor::fakes
