#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "app/commands.h"
#include "app/request_record.h"
#include "app/user_files.h"
#include "fakes/fake_system_seam.h"
#include "fakes/temp_folder.h"

namespace sieveharbor::app {
namespace {

using Kind = RequestOutcome::Kind;
using Calls = std::vector<std::string>;

const std::string kList = "/Users/ada/Library/Application Support/SieveHarbor/blocklist.txt";
const std::string kPost = "post com.brackenmoor.sieveharbor.blocklistUpdated";
const ProxyConfiguration kEnabled{
    true, true, "com.brackenmoor.sieveharbor.proxy", "SieveHarbor DNS filter", {}};

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
    return {ErrorDomain::systemExtension, code, "refused"};
}

// Built member by member: GCC 12 at -O3 takes the strings of nested braced aggregates for
// uninitialised.
PropertiesOutcome propertiesAnswer(Kind kind, std::optional<std::vector<ExtensionProperties>> found,
                                   SystemError error = {}) {
    PropertiesOutcome answer;
    answer.request.kind = kind;
    answer.request.error = std::move(error);
    answer.found = std::move(found);
    return answer;
}

TEST(AppCommandLine, refuses_bad_usage_with_one_line_and_status_2) {
    const std::pair<std::vector<std::string_view>, std::string> cases[] = {
        {{}, "no command given"},
        {{"instal"}, "unknown command 'instal'"},
        {{"status", "now"}, "status takes no arguments, not 'now'"},
        {{"list"}, "list needs an INPUT"},
        {{"list", "--allow", "-", "a"}, "--allow needs a file"},
        {{"list", "-o", "x", "a"}, "unknown option '-o'"},
        {{"install", "--upstream", "udp://1.1.1.3"},
         "bad --upstream 'udp://1.1.1.3': no transport"},
        {{"install", "--upstream", "1.1.1.3:0"}, "bad --upstream '1.1.1.3:0': port '0'"},
        {{"install", "now"}, "unexpected argument 'now'"},
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
         SystemError{ErrorDomain::other, 5, "denied"},
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
    const std::pair<int, std::string_view> places[] = {
        {12, "System Preferences, Security & Privacy"},
        {13, "System Settings, Privacy & Security"},
        {14, "System Settings, Privacy & Security"},
        {15, "System Settings, General, Login Items & Extensions"},
    };
    for (const auto& [major, place] : places) {
        fakes::FakeSystemSeam system;
        system.asksApproval = true;
        system.majorVersion = major;
        const auto out = run(system, {"install"}).out;
        EXPECT_NE(out.find("in " + std::string(place) + ";"), std::string::npos) << out;
    }
    fakes::FakeSystemSeam system;
    EXPECT_EQ(run(system, {"install"}).exit, kExitOk);
    system.calls.clear();
    const auto second = run(system, {"install"});
    EXPECT_EQ(second.exit, kExitOk);
    EXPECT_EQ(system.calls, (Calls{"activate", "load"}));
    EXPECT_NE(second.out.find("already enabled"), std::string::npos);
}

// The upstreams given are saved in the configuration, in order and in their canonical form, for
// the extension to start with; the same again changes nothing; none given leaves the default.
TEST(AppInstall, saves_the_upstreams_given_for_the_extension) {
    fakes::FakeSystemSeam system;
    const auto first =
        run(system, {"install", "--upstream", "tls://1.1.1.3#family.cloudflare-dns.com",
                     "--upstream", "1.0.0.3", "--upstream", "[2606:4700:4700:0::1113]:53"});
    EXPECT_EQ(first.exit, kExitOk) << first.err;
    EXPECT_EQ(system.stored.upstreams,
              (std::vector<std::string>{"tls://1.1.1.3:853#family.cloudflare-dns.com", "1.0.0.3:53",
                                        "[2606:4700:4700::1113]:53"}));
    EXPECT_NE(first.out.find("go to tls://1.1.1.3:853#family.cloudflare-dns.com, then 1.0.0.3:53, "
                             "then [2606:4700:4700::1113]:53"),
              std::string::npos)
        << first.out;
    system.calls.clear();
    EXPECT_EQ(run(system, {"install", "--upstream", "tls://1.1.1.3:853#family.cloudflare-dns.com",
                           "--upstream", "1.0.0.3:53", "--upstream", "[2606:4700:4700::1113]"})
                  .exit,
              kExitOk);
    EXPECT_EQ(system.calls, (Calls{"activate", "load"})) << "the same list: nothing saved";
    EXPECT_NE(run(system, {"install"}).out.find("go to the filtering resolver 1.1.1.3"),
              std::string::npos);
    EXPECT_TRUE(system.stored.upstreams.empty());
}

TEST(AppUninstall, turns_the_proxy_off_before_removing_it_and_the_extension_last) {
    const RequestOutcome done{Kind::completed, {}};
    const RequestOutcome notFound{Kind::failed, extensionError(4)};
    const auto oneCopy = propertiesAnswer(Kind::completed, {{{{"1.0", "1"}, true}}});
    struct Case {
        ProxyConfiguration stored;
        std::optional<SystemError> removeError;
        RequestOutcome deactivation;
        std::optional<PropertiesOutcome> properties;
        int exit;
        Calls calls;
        std::string said;  // in out on success, in err on failure
    };
    const Case cases[] = {
        {kEnabled,
         {},
         done,
         {},
         0,
         {"load", "save", "remove", "deactivate"},
         "extension is removed"},
        {{}, {}, done, {}, 0, {"load", "deactivate"}, "no DNS proxy configuration to remove"},
        {kEnabled,
         SystemError{ErrorDomain::dnsProxy, 4, "profile"},
         done,
         {},
         1,
         {"load", "save", "remove"},
         "cannot be removed (profile): it may come from a configuration profile"},
        {{}, {}, notFound, {}, 0, {"load", "deactivate", "properties"}, "nothing to remove"},
        {{},
         {},
         notFound,
         oneCopy,
         1,
         {"load", "deactivate", "properties"},
         "install SieveHarbor.app again"},
    };
    for (const auto& c : cases) {
        fakes::FakeSystemSeam system;
        system.stored = c.stored;
        system.removeError = c.removeError;
        system.deactivation = c.deactivation;
        system.properties = c.properties;
        const auto result = run(system, {"uninstall"});
        EXPECT_EQ(result.exit, c.exit) << result.err;
        EXPECT_EQ(system.calls, c.calls);
        EXPECT_FALSE(system.stored.enabled);
        EXPECT_NE((c.exit == 0 ? result.out : result.err).find(c.said), std::string::npos)
            << c.said << ": " << result.out << result.err;
    }
}

TEST(AppStatus, reports_configuration_extension_and_list) {
    fakes::FakeSystemSeam system;
    system.stored = kEnabled;
    system.properties = propertiesAnswer(Kind::completed, {{{{"1.0", "7"}, true}}});
    system.files[kList] = "# made by sieveharbor\nads.example\n\n  # note\ntrack.example\n";
    const auto result = run(system, {"status"});
    EXPECT_EQ(result.exit, kExitOk);
    EXPECT_EQ(result.out,
              "DNS proxy configuration: enabled\n"
              "extension 1.0 (7): active\n"
              "list: " +
                  kList + ", 2 entries\n");
    // Counted as the proxy loads it: equal entries once, a Unicode name with its IDNA form.
    const std::pair<std::string, std::string> lists[] = {
        {"a.example\nA.example\n", ", 1 entries"},
        {"b\xC3\xBC"
         "cher.example\n",
         ", 2 entries"},
        {"\xFF.example\n", ", which the proxy refuses: it is not valid UTF-8"},
        {std::string(70000, 'a') + "\n", ", which the proxy refuses: a line is longer"},
    };
    for (const auto& [text, said] : lists) {
        system.files[kList] = text;
        const auto out = run(system, {"status"}).out;
        EXPECT_NE(out.find(kList + said), std::string::npos) << out;
    }
    system.user.reset();
    EXPECT_NE(run(system, {"status"}).out.find("list: none, no user is logged in"),
              std::string::npos);
}

TEST(AppStatus, tells_each_copy_of_the_extension_as_the_system_reports_it) {
    const ExtensionVersion v1{"1.0", "1"};
    const ExtensionVersion v2{"1.1", "2"};
    const auto found = [](std::vector<ExtensionProperties> copies) {
        return propertiesAnswer(Kind::completed, std::move(copies));
    };
    const std::pair<std::optional<PropertiesOutcome>, std::string> cases[] = {
        {std::nullopt, "extension: unknown (the system tells from macOS 12 on)\n"},
        {propertiesAnswer(Kind::timedOut, {}), "extension: unknown (no answer from the system)\n"},
        {propertiesAnswer(Kind::failed, {}, extensionError(1)),
         "extension: unknown (the system could not tell: refused)\n"},
        {propertiesAnswer(Kind::completed, std::nullopt),
         "extension: unknown (the system answered without the extension's properties)\n"},
        {found({}), "extension: not installed (run 'sieveharbor install')\n"},
        {found({{v1, false, true, false}}),
         "extension 1.0 (1): awaiting approval in System Settings, Privacy & Security\n"},
        {found({{v1, true, false, true}, {v2, false, false, false}}),
         "extension 1.0 (1): being removed\n"
         "extension 1.1 (2): installed but not active (run 'sieveharbor install')\n"},
    };
    for (const auto& [properties, said] : cases) {
        fakes::FakeSystemSeam system;
        system.properties = properties;
        const auto out = run(system, {"status"}).out;
        const auto from = out.find("\nextension");
        const auto to = out.find("\nlist: ");
        EXPECT_EQ(out.substr(from + 1, to - from), said) << out;
    }
}

// The record is what the delegate keeps: an answer that never counts as an end would leave
// every properties request failed.
TEST(AppRequestRecord, keeps_the_first_end_and_the_properties_found) {
    using Step = std::function<void(RequestRecord&)>;
    const Step found = [](RequestRecord& r) { r.foundProperties({{{"1.0", "1"}, true}}); };
    const Step failed = [](RequestRecord& r) { r.failed(extensionError(4)); };
    const Step rebooting = [](RequestRecord& r) { r.finished(true); };
    const std::tuple<std::vector<Step>, bool, Kind, bool> cases[] = {
        {{}, false, Kind::failed, false},
        {{found}, true, Kind::completed, true},
        {{failed, found}, true, Kind::failed, false},
        {{rebooting, failed}, true, Kind::willCompleteAfterReboot, false},
    };
    for (const auto& [steps, ended, kind, hasFound] : cases) {
        RequestRecord record;
        for (const auto& step : steps) {
            step(record);
        }
        EXPECT_EQ(record.ended(), ended) << steps.size();
        EXPECT_EQ(record.outcome().kind, kind) << steps.size();
        EXPECT_EQ(record.properties().found.has_value(), hasFound) << steps.size();
    }
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
    const UserAccount self{"", ::getuid(), ::getgid()};
    const auto nested = (folder.path() / "Library/Application Support/SieveHarbor").string();
    EXPECT_FALSE(makeUserFolders(nested, self));
    EXPECT_FALSE(makeUserFolders(nested, self));
    EXPECT_FALSE(replaceUserFile(nested + "/blocklist.txt", "a.example\n", self));
    EXPECT_TRUE(std::filesystem::is_regular_file(nested + "/blocklist.txt"));
    EXPECT_TRUE(makeUserFolders(nested + "/blocklist.txt", self));
}

namespace fs = std::filesystem;

std::pair<uid_t, gid_t> ownerOf(const fs::path& path) {
    struct stat found {};
    ::lstat(path.c_str(), &found);
    return {found.st_uid, found.st_gid};
}

// The user is no one in the system's lists: a uid and a gid alone.
const UserAccount kNobody{"sieveharbor-test-nobody", 54321, 54322};

// A home as 'sudo sieveharbor list' finds it, beside a file and a folder of root's that links
// the user plants may point to.
struct HomeBesideRoots {
    fakes::TempFolder top;
    fs::path precious = top.path() / "sudoers";
    fs::path rootsFolder = top.path() / "etc";
    fs::path home = top.path() / "ada";
    fs::path support = home / "Library/Application Support";
    fs::path folder = support / "SieveHarbor";
    fs::path list = folder / "blocklist.txt";

    HomeBesideRoots() {
        fs::permissions(top.path(), fs::perms(0755));
        std::ofstream(precious) << "root ALL=(ALL) ALL\n";
        fs::permissions(precious, fs::perms(0440));
        fs::create_directory(rootsFolder);
        fs::create_directory(home);
        EXPECT_EQ(::chown(home.c_str(), kNobody.uid, kNobody.gid), 0);
    }
    // Nothing of root's is changed, and nothing is added beside it.
    void expectRootsUntouched(const char* name) const {
        std::ifstream text(precious);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), "root ALL=(ALL) ALL\n")
            << name;
        EXPECT_EQ(fs::status(precious).permissions(), fs::perms(0440)) << name;
        EXPECT_EQ(ownerOf(precious), std::make_pair(uid_t{0}, gid_t{0})) << name;
        EXPECT_TRUE(fs::is_empty(rootsFolder)) << name;
        EXPECT_EQ(std::distance(fs::directory_iterator(top.path()), {}), 3) << name;
    }
};

TEST(AppUserFiles, under_root_the_list_is_written_as_its_user_and_their_links_lead_nowhere) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root: it shows what 'sudo sieveharbor list' may touch";
    }
    const auto& user = kNobody;
    {
        HomeBesideRoots h;
        EXPECT_FALSE(makeUserFolders(h.folder.string(), user));
        EXPECT_FALSE(replaceUserFile(h.list.string(), "a.example\n", user));
        for (const auto& made : {h.home / "Library", h.support, h.folder, h.list}) {
            EXPECT_EQ(ownerOf(made), std::make_pair(user.uid, user.gid)) << made;
        }
        EXPECT_EQ(fs::status(h.list).permissions(), fs::perms(0644));
        fs::permissions(h.list, fs::perms(0600));
        EXPECT_FALSE(replaceUserFile(h.list.string(), "b.example\n", user));
        EXPECT_EQ(fs::status(h.list).permissions(), fs::perms(0600));
        EXPECT_EQ(ownerOf(h.list), std::make_pair(user.uid, user.gid));
        std::ifstream text(h.list);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), "b.example\n");
        h.expectRootsUntouched("written");
    }
    // What the user planted (as the user, in their home), and where it points.
    struct Case {
        const char* name;
        fs::path HomeBesideRoots::*link;
        fs::path HomeBesideRoots::*target;
        bool foldersRefused;  // the link stands where a folder is still to be made
    };
    const Case cases[] = {
        {"linked list", &HomeBesideRoots::list, &HomeBesideRoots::precious, false},
        {"linked list folder", &HomeBesideRoots::folder, &HomeBesideRoots::rootsFolder, false},
        {"linked parent folder", &HomeBesideRoots::support, &HomeBesideRoots::rootsFolder, true},
    };
    for (const auto& c : cases) {
        HomeBesideRoots h;
        fs::create_directories((h.*c.link).parent_path());
        fs::create_symlink(h.*c.target, h.*c.link);
        const auto folders = makeUserFolders(h.folder.string(), user);
        EXPECT_EQ(static_cast<bool>(folders), c.foldersRefused) << c.name << folders;
        EXPECT_TRUE(replaceUserFile(h.list.string(), "a.example\n", user)) << c.name;
        h.expectRootsUntouched(c.name);
    }
}

}  // namespace
}  // namespace sieveharbor::app
