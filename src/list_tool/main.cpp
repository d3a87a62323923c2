// sieveharbor-list: makes one blocklist for the proxy out of the lists people subscribe to.

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "cli/option_parser.h"
#include "list_tool/command_line.h"
#include "list_tool/list_files.h"
#include "lists/list_builder.h"
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

// The bytes of the inputs that are regular files: a hint that sizes the name store up front.
std::size_t inputBytes(const list_tool::Options& options) {
    std::size_t bytes = 0;
    for (const auto& input : options.inputs) {
        std::error_code ignored;
        if (std::filesystem::is_regular_file(input, ignored)) {
            bytes += static_cast<std::size_t>(std::filesystem::file_size(input, ignored));
        }
    }
    return bytes;
}

int run(const list_tool::Options& options) {
    lists::ListBuilder builder(inputBytes(options), platform::linux_host::adviseHugePages);
    const auto read = [&builder](const std::string& path, bool allow) {
        const std::string name = path == "-" ? "standard input" : path;
        builder.beginInput(name, allow);
        bool full = false;
        if (const auto error = list_tool::readInto(path, builder, full)) {
            printError(failure("read", name, error));
            return false;
        }
        if (full) {
            printError(std::string(list_tool::kProgramName) + ": " + name +
                       ": the names no longer fit in one list (4 GiB); nothing written");
        }
        return !full;
    };
    // Allow lists first: a missing one fails the run before the long read of the lists.
    for (const auto& path : options.allow) {
        if (!read(path, true)) {
            return kExitFailed;
        }
    }
    for (const auto& path : options.inputs) {
        if (!read(path, false)) {
            return kExitFailed;
        }
    }
    const auto list = std::move(builder).finish(options.minimise);
    const auto text = lists::renderList(list, list_tool::kProgramName);
    if (options.output) {
        if (const auto error = list_tool::writeAtomically(*options.output, text)) {
            printError(failure("write", *options.output, error));
            return kExitFailed;
        }
    } else if (const auto error = list_tool::writeAll(STDOUT_FILENO, text)) {
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
