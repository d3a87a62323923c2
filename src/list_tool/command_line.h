#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/option_parser.h"

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

// What the list commands of both programs (sieveharbor-list, `sieveharbor list`) share: --allow
// FILE, repeatable, which refuses standard input; and the inputs, "-" at most once.
cli::Option allowOption(std::vector<std::string>& allow);
std::function<std::string(std::string_view)> inputOperand(std::vector<std::string>& inputs);

}  // namespace sieveharbor::list_tool
