#include "lists/convert.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "lists/list_files.h"

namespace sieveharbor::lists {

namespace {

// The bytes of the inputs that are regular files: a hint that sizes the name store up front.
std::size_t inputBytes(const std::vector<std::string>& inputs) {
    std::size_t bytes = 0;
    for (const auto& input : inputs) {
        std::error_code ignored;
        if (std::filesystem::is_regular_file(input, ignored)) {
            bytes += static_cast<std::size_t>(std::filesystem::file_size(input, ignored));
        }
    }
    return bytes;
}

}  // namespace

Conversion convertLists(const std::vector<std::string>& allow,
                        const std::vector<std::string>& inputs, bool minimise,
                        std::string_view program, blocklist::PageAdvice advice) {
    ListBuilder builder(inputBytes(inputs), advice);
    const std::string prefix = std::string(program) + ": ";
    const auto read = [&](const std::string& path, bool allowList) -> std::string {
        const std::string name = path == "-" ? "standard input" : path;
        builder.beginInput(name, allowList);
        bool full = false;
        if (const auto error = readInto(path, builder, full)) {
            return prefix + "cannot read " + name + ": " + error.message();
        }
        if (full) {
            return prefix + name + ": the names no longer fit in one list (4 GiB); nothing written";
        }
        return {};
    };
    for (const auto& path : allow) {
        if (auto error = read(path, true); !error.empty()) {
            return {std::nullopt, std::move(error)};
        }
    }
    for (const auto& path : inputs) {
        if (auto error = read(path, false); !error.empty()) {
            return {std::nullopt, std::move(error)};
        }
    }
    return {std::move(builder).finish(minimise), {}};
}

cli::Option allowOption(std::vector<std::string>& allow) {
    return {.name = "--allow", .takesValue = true, .handle = [&allow](std::string_view file) {
                if (file == "-") {
                    return std::string("--allow needs a file; standard input is for an INPUT");
                }
                allow.emplace_back(file);
                return std::string();
            }};
}

std::function<std::string(std::string_view)> inputOperand(std::vector<std::string>& inputs) {
    return [&inputs](std::string_view word) {
        if (word == "-" && std::count(inputs.begin(), inputs.end(), "-") != 0) {
            return std::string("standard input ('-') given more than once");
        }
        inputs.emplace_back(word);
        return std::string();
    };
}

}  // namespace sieveharbor::lists
