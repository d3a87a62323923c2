#include "list_tool/command_line.h"

#include "cli/option_parser.h"
#include "lists/convert.h"

namespace sieveharbor::list_tool {

ParsedCommandLine parseCommandLine(std::span<const std::string_view> args) {
    Options options;
    const cli::Option table[] = {
        {.name = "--output",
         .alias = "-o",
         .takesValue = true,
         .repeatable = false,
         .handle =
             [&](std::string_view file) {
                 if (file != "-") {
                     options.output = std::string(file);
                 }
                 return std::string();
             },
         .repeated = "the output (-o) given more than once"},
        lists::allowOption(options.allow),
        {.name = "--no-minimise", .handle = cli::sets(options.minimise, false)},
        {.name = "--help", .handle = cli::sets(options.help, true)},
        {.name = "--version", .handle = cli::sets(options.version, true)},
    };
    const auto input = lists::inputOperand(options.inputs);
    if (auto error = cli::parseOptions({kProgramName, table, "a file", input}, args);
        !error.empty()) {
        return {std::nullopt, std::move(error)};
    }
    if (options.inputs.empty() && !options.help && !options.version) {
        return {std::nullopt, std::string(kProgramName) +
                                  ": no INPUT given: name the lists to read, or '-' for standard "
                                  "input"};
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
