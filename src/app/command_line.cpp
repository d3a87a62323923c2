#include "app/command_line.h"

#include <algorithm>
#include <array>
#include <utility>

#include "cli/option_parser.h"
#include "lists/convert.h"
#include "platform/upstream.h"

namespace sieveharbor::app {

namespace {

constexpr std::array<std::pair<std::string_view, Verb>, 7> kVerbs = {{
    {"install", Verb::install},
    {"uninstall", Verb::uninstall},
    {"status", Verb::status},
    {"reload", Verb::reload},
    {"list", Verb::list},
    {"--help", Verb::help},
    {"--version", Verb::version},
}};

ParsedCommand refused(std::string why) {
    return {std::nullopt, std::string(kProgramName) + ": " + std::move(why)};
}

}  // namespace

ParsedCommand parseCommand(std::span<const std::string_view> args) {
    if (args.empty()) {
        return refused("no command given: install, uninstall, status, reload or list");
    }
    const auto found = std::find_if(kVerbs.begin(), kVerbs.end(),
                                    [&](const auto& verb) { return verb.first == args[0]; });
    if (found == kVerbs.end()) {
        return refused("unknown command " + cli::quoted(args[0]) +
                       ": install, uninstall, status, reload or list");
    }
    Command command;
    command.verb = found->second;
    const auto rest = args.subspan(1);
    // "sieveharbor list --help" and the like show the help, whatever else is there.
    if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
        command.verb = Verb::help;
        return {command, {}};
    }
    if (command.verb == Verb::install) {
        const cli::Option table[] = {
            {.name = "--upstream", .takesValue = true, .handle = [&](std::string_view value) {
                 auto parsed = platform::parseUpstream(value);
                 if (!parsed.upstream) {
                     return "bad --upstream " + cli::quoted(value) + ": " + parsed.error;
                 }
                 command.upstreams.push_back(parsed.upstream->text());
                 return std::string();
             }}};
        if (auto error = cli::parseOptions({kProgramName, table, "a value"}, rest);
            !error.empty()) {
            return {std::nullopt, std::move(error)};
        }
        return {command, {}};
    }
    if (command.verb != Verb::list) {
        if (!rest.empty()) {
            return refused(std::string(args[0]) + " takes no arguments, not " +
                           cli::quoted(rest[0]));
        }
        return {command, {}};
    }
    const cli::Option table[] = {
        lists::allowOption(command.allow),
        {.name = "--no-minimise", .handle = cli::sets(command.minimise, false)},
    };
    const auto input = lists::inputOperand(command.inputs);
    if (auto error = cli::parseOptions({kProgramName, table, "a file", input}, rest);
        !error.empty()) {
        return {std::nullopt, std::move(error)};
    }
    if (command.inputs.empty()) {
        return refused("list needs an INPUT: name the lists to read, or '-' for standard input");
    }
    return {command, {}};
}

std::string usageText() {
    return "Usage: sieveharbor COMMAND\n"
           "Installs, enables and feeds the SieveHarbor DNS proxy, a system extension inside\n"
           "SieveHarbor.app (which must be in /Applications).\n"
           "\n"
           "  install [--upstream ADDR[:PORT]]...\n"
           "               activate the extension (approve it when macOS asks) and enable the\n"
           "               DNS proxy, relaying to the upstreams given, in order of preference\n"
           "               (default: the filtering resolver 1.1.1.3); running it again with the\n"
           "               same upstreams changes nothing\n"
           "  uninstall    disable and remove the DNS proxy, then remove the extension\n"
           "  status       the DNS proxy configuration, the extension, and your list\n"
           "  reload       tell the proxy to read your list again\n"
           "  list [--allow FILE]... [--no-minimise] INPUT...\n"
           "               make your list, ~/Library/Application Support/SieveHarbor/\n"
           "               blocklist.txt, from hosts, adblock, dnsmasq, unbound or plain lists\n"
           "               ('-' reads standard input), replacing it in one step, then reload;\n"
           "               --allow leaves out the names FILE lists and every name beneath\n"
           "               them, --no-minimise keeps entries beneath another entry\n"
           "  --help       show this help\n"
           "  --version    show the version\n"
           "\n"
           "Exit status: 0 on success, 1 when the system or a file refuses, 2 for bad usage.\n";
}

}  // namespace sieveharbor::app
