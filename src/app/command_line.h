#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace sieveharbor::app {

inline constexpr std::string_view kProgramName = "sieveharbor";

enum class Verb { install, uninstall, status, reload, list, help, version };

struct Command {
    Verb verb = Verb::help;
    // install only: the upstreams, in order of preference, each as --upstream spelt it in its
    // canonical form; none: the compiled-in resolver
    std::vector<std::string> upstreams;
    // list only
    std::vector<std::string> allow;
    bool minimise = true;
    std::vector<std::string> inputs;  // "-" is standard input
};

// Either a command, or one line (no trailing newline) naming what is wrong.
struct ParsedCommand {
    std::optional<Command> command;
    std::string error;
};

// Pure: reads only args (without the program name).
ParsedCommand parseCommand(std::span<const std::string_view> args);

std::string usageText();

}  // namespace sieveharbor::app
