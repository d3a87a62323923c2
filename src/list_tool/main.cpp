// sieveharbor-list: makes one blocklist for the proxy out of the lists people subscribe to.

#include <unistd.h>

#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/option_parser.h"
#include "list_tool/command_line.h"
#include "lists/convert.h"
#include "lists/list_builder.h"
#include "lists/list_files.h"
#include "platform/linux/huge_pages.h"

namespace {

using namespace sieveharbor;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

void printError(const std::string& line) {
    std::fputs((line + "\n").c_str(), stderr);
}

std::string failure(std::string_view what, const std::string& path, std::error_code error) {
    return std::string(list_tool::kProgramName) + ": cannot " + std::string(what) + " " + path +
           ": " + error.message();
}

int run(const list_tool::Options& options) {
    auto converted =
        lists::convertLists(options.allow, options.inputs, options.minimise,
                            list_tool::kProgramName, platform::linux_host::adviseHugePages);
    if (!converted.list) {
        printError(converted.error);
        return kExitFailed;
    }
    const auto& list = *converted.list;
    const auto text = lists::renderList(list, list_tool::kProgramName);
    if (options.output) {
        if (const auto error = lists::writeAtomically(*options.output, text)) {
            printError(failure("write", *options.output, error));
            return kExitFailed;
        }
    } else if (const auto error = lists::writeAll(STDOUT_FILENO, text)) {
        printError(failure("write", "standard output", error));
        return kExitFailed;
    }
    std::fputs(lists::summaryText(list, list_tool::kProgramName).c_str(), stderr);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto parsed = list_tool::parseCommandLine(args);
    if (!parsed.options) {
        printError(parsed.error);
        printError(cli::usageHint(list_tool::kProgramName));
        return kExitUsage;
    }
    if (parsed.options->help) {
        std::fputs(list_tool::usageText().c_str(), stdout);
        return kExitOk;
    }
    if (parsed.options->version) {
        std::printf("%s %s\n", std::string(list_tool::kProgramName).c_str(), SIEVEHARBOR_VERSION);
        return kExitOk;
    }
    try {
        return run(*parsed.options);
    } catch (const std::bad_alloc&) {
        printError(std::string(list_tool::kProgramName) +
                   ": there is not enough memory for the lists; nothing written");
        return kExitFailed;
    }
}
