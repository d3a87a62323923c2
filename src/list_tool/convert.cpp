#include "list_tool/convert.h"

#include <filesystem>
#include <system_error>

#include "list_tool/list_files.h"

namespace sieveharbor::list_tool {

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
    lists::ListBuilder builder(inputBytes(inputs), advice);
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

}  // namespace sieveharbor::list_tool
