#include "list_tool/command_line.h"

#include <algorithm>

#include "main/usage_text.h"

namespace sieveharbor::list_tool {

ParsedCommandLine parseCommandLine(std::span<const std::string_view> args) {
    const auto fail = [](const std::string& message) {
        return ParsedCommandLine{std::nullopt, std::string(kProgramName) + ": " + message};
    };
    Options options;
    bool optionsEnded = false;
    bool outputGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (optionsEnded || arg == "-" || !arg.starts_with('-')) {
            if (arg == "-" && std::count(options.inputs.begin(), options.inputs.end(), "-") != 0) {
                return fail("standard input ('-') given more than once");
            }
            options.inputs.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        // "--name value", "--name=value" or "-o value".
        const auto equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        if (name == "--no-minimise" || name == "--help" || name == "--version") {
            if (equals != std::string_view::npos) {
                return fail("option " + cli::quoted(name) + " takes no value");
            }
            options.minimise = options.minimise && name != "--no-minimise";
            options.help = options.help || name == "--help";
            options.version = options.version || name == "--version";
            continue;
        }
        if (name != "-o" && name != "--output" && name != "--allow") {
            return fail("unknown option " + cli::quoted(name));
        }
        std::string_view value;
        if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        }
        if (value.empty()) {
            return fail("option " + cli::quoted(name) + " needs a file");
        }
        if (name == "--allow") {
            if (value == "-") {
                return fail("--allow needs a file; standard input is for an INPUT");
            }
            options.allow.emplace_back(value);
        } else if (outputGiven) {
            return fail("the output (-o) given more than once");
        } else {
            outputGiven = true;
            if (value != "-") {
                options.output = std::string(value);
            }
        }
    }
    if (options.inputs.empty() && !options.help && !options.version) {
        return fail("no INPUT given: name the lists to read, or '-' for standard input");
    }
    return {options, {}};
}

std::string usageText() {
    const std::string name(kProgramName);
    return "Usage: " + name +
           " [-o OUT] [--allow FILE]... [--no-minimise] INPUT...\n"
           "Makes one blocklist for sieveharbor-proxy out of the lists people subscribe to:\n"
           "hosts files, adblock host rules (||host^), dnsmasq address=/server= lines, unbound\n"
           "local-zone lines, plain domains and wildcards (*.x, taken as x). Every other line\n"
           "(cosmetic filters, URL rules, exceptions, redirects, ...) is skipped and counted.\n"
           "\n"
           "  INPUT              a list to read; '-' reads standard input\n"
           "  -o, --output OUT   write the list to OUT, replacing it whole in one step, with\n"
           "                     its mode kept (default: standard output)\n"
           "  --allow FILE       leave out the names FILE lists, and every name beneath them;\n"
           "                     repeatable\n"
           "  --no-minimise      keep entries that lie beneath another entry\n"
           "  --help             show this help and exit\n"
           "  --version          show the version and exit\n"
           "\n"
           "A summary goes to stderr. Exit status: 0 on success, 1 when an input cannot be read\n"
           "or the output cannot be written, 2 for bad usage.\n";
}

}  // namespace sieveharbor::list_tool
