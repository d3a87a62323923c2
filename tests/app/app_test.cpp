#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/user_files.h"
#include "fakes/fake_system_seam.h"
#include "fakes/temp_folder.h"

namespace sieveharbor::app {
namespace {

using Kind = RequestOutcome::Kind;
using Calls = std::vector<std::string>;

const std::string kList = "/Users/ada/Library/Application Support/SieveHarbor/blocklist.txt";
const std::string kPost = "post com.brackenmoor.sieveharbor.blocklistUpdated";
const ProxyConfiguration kEnabled{true, true, "com.brackenmoor.sieveharbor.proxy",
                                  "SieveHarbor DNS filter"};

struct Run {
    int exit = -1;
    std::string out, err;
};

Run run(fakes::FakeSystemSeam& system, std::vector<std::string_view> args) {
    Run result;
    const Console console{[&](std::string_view l) { result.out += std::string(l) + "\n"; },
                          [&](std::string_view l) { result.err += std::string(l) + "\n"; }};
    result.exit = runProgram(args, system, console, "0.1.0");
    return result;
}

SystemError extensionError(long code) {
    return {"OSSystemExtensionErrorDomain", code, "refused"};
}

TEST(AppCommandLine, refuses_bad_usage_with_one_line_and_status_2) {
    const std::pair<std::vector<std::string_view>, std::string> cases[] = {
        {{}, "no command given"},
        {{"instal"}, "unknown command 'instal'"},
        {{"status", "now"}, "status takes no arguments, not 'now'"},
        {{"list"}, "list needs an INPUT"},
        {{"list", "--allow", "-", "a"}, "--allow needs a file"},
        {{"list", "-o", "x", "a"}, "unknown option '-o'"},
    };
    for (const auto& [args, error] : cases) {
        fakes::FakeSystemSeam system;
        const auto result = run(system, args);
        EXPECT_EQ(result.exit, kExitUsage);
        EXPECT_EQ(result.err.find("sieveharbor: " + error), 0U) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_TRUE(system.calls.empty());
    }
    fakes::FakeSystemSeam system;
    EXPECT_EQ(run(system, {"list", "--help"}).exit, kExitOk);
    EXPECT_TRUE(system.calls.empty());
}

TEST(AppVersions, compare_number_by_number_then_by_bundle_version) {
    const std::tuple<ExtensionVersion, ExtensionVersion, int> cases[] = {
        {{"1.9", "1"}, {"1.10", "1"}, -1},
        {{"1.2", "7"}, {"1.2", "7"}, 0},
        {{"1.2", "10"}, {"1.2", "9"}, 1},
        {{"1.2", "1"}, {"1.2.1", "1"}, -1},
    };
    for (const auto& [a, b, sign] : cases) {
        EXPECT_EQ(compareVersions(a, b), sign) << a.shortVersion << " " << b.shortVersion;
        EXPECT_EQ(compareVersions(b, a), -sign);
    }
}

struct InstallCase {
    const char* name;
    RequestOutcome activation;
    std::optional<std::pair<ExtensionVersion, ExtensionVersion>> installedAndBundled;
    std::optional<SystemError> saveError;
    int exit;
    Calls calls;
    std::string said;  // in out on success, in err on failure
};

// GCC 12 at -O3 takes the strings in this table's aggregates for uninitialised once it inlines
// their copies (a false positive of -Wmaybe-uninitialized).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
TEST(AppInstall, activates_then_enables_or_says_what_to_do) {
    const Calls configured = {"activate", "load", "save"};
    const Calls activatedOnly = {"activate"};
    const std::pair<ExtensionVersion, ExtensionVersion> older{{"0.9", "9"}, {"1.0", "1"}};
    const std::pair<ExtensionVersion, ExtensionVersion> same{{"1.0", "1"}, {"1.0", "1"}};
    const std::pair<ExtensionVersion, ExtensionVersion> newer{{"1.1", "1"}, {"1.0", "1"}};
    const InstallCase cases[] = {
        {"completed", {Kind::completed, {}}, {}, {}, 0, configured, "the DNS proxy is enabled"},
        {"after reboot",
         {Kind::willCompleteAfterReboot, {}},
         {},
         {},
         0,
         configured,
         "when the Mac restarts"},
        {"older replaced",
         {Kind::completed, {}},
         older,
         {},
         0,
         configured,
         "replacing the extension's version 0.9 (9) with 1.0 (1)"},
        {"same kept", {Kind::completed, {}}, same, {}, 0, configured, "1.0 (1) is already"},
        {"newer kept",
         {Kind::completed, {}},
         newer,
         {},
         1,
         activatedOnly,
         "a newer version of the extension, 1.1 (1)"},
        {"outside Applications",
         {Kind::failed, extensionError(3)},
         {},
         {},
         1,
         activatedOnly,
         "move SieveHarbor.app to /Applications"},
        {"signature",
         {Kind::failed, extensionError(8)},
         {},
         {},
         1,
         activatedOnly,
         "code signature or validation"},
        {"validation",
         {Kind::failed, extensionError(9)},
         {},
         {},
         1,
         activatedOnly,
         "code signature or validation"},
        {"superseded",
         {Kind::failed, extensionError(12)},
         {},
         {},
         1,
         activatedOnly,
         "took this one's place"},
        {"user refused",
         {Kind::failed, extensionError(13)},
         {},
         {},
         1,
         activatedOnly,
         "which was refused"},
        {"cancelled elsewhere",
         {Kind::failed, extensionError(11)},
         {},
         {},
         1,
         activatedOnly,
         "cancelled"},
        {"timed out",
         {Kind::timedOut, {}},
         {},
         {},
         1,
         activatedOnly,
         "approve the extension in System Settings, Privacy & Security"},
        {"save refused",
         {Kind::completed, {}},
         {},
         SystemError{"NEVPNErrorDomain", 5, "denied"},
         1,
         configured,
         "refused to save the DNS proxy configuration (denied)"},
    };
    for (const auto& c : cases) {
        fakes::FakeSystemSeam system;
        system.activation = c.activation;
        system.installedAndBundled = c.installedAndBundled;
        system.saveError = c.saveError;
        const auto result = run(system, {"install"});
        EXPECT_EQ(result.exit, c.exit) << c.name << result.err;
        EXPECT_EQ(system.calls, c.calls) << c.name;
        const auto& said = c.exit == 0 ? result.out : result.err;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
        if (c.exit == 0) {
            EXPECT_EQ(system.stored, kEnabled) << c.name;
        } else {
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << c.name;
        }
    }
}
#pragma GCC diagnostic pop

TEST(AppInstall, the_second_run_changes_nothing_and_approval_names_the_right_place) {
    fakes::FakeSystemSeam system;
    system.asksApproval = true;
    system.majorVersion = 12;
    const auto first = run(system, {"install"});
    EXPECT_NE(first.out.find("in System Preferences, Security & Privacy"), std::string::npos);
    system.calls.clear();
    const auto second = run(system, {"install"});
    EXPECT_EQ(second.exit, kExitOk);
    EXPECT_EQ(system.calls, (Calls{"activate", "load"}));
    EXPECT_NE(second.out.find("already enabled"), std::string::npos);
}

TEST(AppUninstall, turns_the_proxy_off_before_removing_it_and_the_extension_last) {
    struct Case {
        ProxyConfiguration stored;
        std::optional<SystemError> removeError;
        int exit;
        Calls calls;
    };
    const Case cases[] = {
        {kEnabled, {}, 0, {"load", "save", "remove", "deactivate"}},
        {{}, {}, 0, {"load", "deactivate"}},
        {kEnabled,
         SystemError{"NEDNSProxyErrorDomain", 4, "profile"},
         1,
         {"load", "save", "remove"}},
    };
    for (const auto& c : cases) {
        fakes::FakeSystemSeam system;
        system.stored = c.stored;
        system.removeError = c.removeError;
        const auto result = run(system, {"uninstall"});
        EXPECT_EQ(result.exit, c.exit) << result.err;
        EXPECT_EQ(system.calls, c.calls);
        EXPECT_FALSE(system.stored.enabled);
    }
}

TEST(AppStatus, reports_configuration_extension_and_list) {
    fakes::FakeSystemSeam system;
    system.stored = kEnabled;
    system.state = ExtensionState::awaitingApproval;
    system.files[kList] = "# made by sieveharbor\nads.example\n\n  # note\ntrack.example\n";
    const auto result = run(system, {"status"});
    EXPECT_EQ(result.exit, kExitOk);
    EXPECT_EQ(result.out,
              "DNS proxy configuration: enabled\n"
              "extension: awaiting approval in System Settings, Privacy & Security\n"
              "list: " +
                  kList + ", 2 entries\n");
    system.user.reset();
    EXPECT_NE(run(system, {"status"}).out.find("list: none, no user is logged in"),
              std::string::npos);
}

TEST(AppList, writes_the_users_list_in_one_step_then_tells_the_proxy) {
    fakes::TempFolder folder;
    const auto input = (folder.path() / "hosts").string();
    std::ofstream(input) << "0.0.0.0 ads.example\n0.0.0.0 a.ads.example\n||track.example^\n";
    const std::string missing = (folder.path() / "missing").string();
    struct Case {
        const char* name;
        bool user;
        std::error_code writeError;
        std::string inputPath;
        int exit;
        Calls calls;
        std::string said;
    };
    const std::string folderCall = "folder " + kList.substr(0, kList.rfind('/'));
    const auto eacces = std::make_error_code(std::errc::permission_denied);
    const Case cases[] = {
        {"written", true, {}, input, 0, {folderCall, "write " + kList, kPost}, "wrote 2 entries"},
        {"no console user", false, {}, input, 1, {}, "no user is logged in at the console"},
        {"unreadable input", true, {}, missing, 1, {}, "cannot read " + missing},
        {"write refused",
         true,
         eacces,
         input,
         1,
         {folderCall, "write " + kList},
         "cannot write " + kList},
    };
    for (const auto& c : cases) {
        fakes::FakeSystemSeam system;
        if (!c.user) {
            system.user.reset();
        }
        system.writeError = c.writeError;
        const auto result = run(system, {"list", c.inputPath});
        EXPECT_EQ(result.exit, c.exit) << c.name << result.err;
        EXPECT_EQ(system.calls, c.calls) << c.name;
        EXPECT_NE((c.exit == 0 ? result.out : result.err).find(c.said), std::string::npos)
            << c.name << result.err;
        if (c.exit == 0) {
            EXPECT_NE(system.files[kList].find("\nads.example\ntrack.example\n"), std::string::npos)
                << system.files[kList];
        }
    }
}

TEST(AppUserFiles, makes_each_missing_folder_and_refuses_a_file_in_the_way) {
    fakes::TempFolder folder;
    const auto nested = (folder.path() / "Library/Application Support/SieveHarbor").string();
    EXPECT_FALSE(makeUserFolders(nested, ::getuid(), ::getgid()));
    EXPECT_FALSE(makeUserFolders(nested, ::getuid(), ::getgid()));
    EXPECT_FALSE(replaceUserFile(nested + "/blocklist.txt", "a.example\n", ::getuid(), ::getgid()));
    EXPECT_TRUE(std::filesystem::is_regular_file(nested + "/blocklist.txt"));
    EXPECT_TRUE(makeUserFolders(nested + "/blocklist.txt", ::getuid(), ::getgid()));
}

}  // namespace
}  // namespace sieveharbor::app
