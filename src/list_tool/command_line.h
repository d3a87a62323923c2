#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sieveharbor::list_tool {

inline constexpr std::string_view kProgramName = "sieveharbor-list";

struct Options {
    std::optional<std::string> output;  // nothing: standard output (also "-o -")
    std::vector<std::string> allow;
    bool minimise = true;
    std::vector<std::string> inputs;  // "-" is standard input
    bool help = false;
    bool version = false;
};

// Either options, or one line (no trailing newline) naming the bad argument.
struct ParsedCommandLine {
    std::optional<Options> options;
    std::string error;
};

// Pure: reads only args (without the program name). "--" ends the options; "-" is an input.
ParsedCommandLine parseCommandLine(std::span<const std::string_view> args);

std::string usageText();

}  // namespace sieveharbor::list_tool
