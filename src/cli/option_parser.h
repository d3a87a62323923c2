#pragma once

#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace sieveharbor::cli {

// 'text', for naming an argument in a message.
std::string quoted(std::string_view text);

// The hint printed after a bad-usage line.
std::string usageHint(std::string_view program);

// One option of a program. handle takes its value ("" for an option without one) and returns
// why it is refused, or "" to take it; it writes what it takes wherever the program keeps it.
struct Option {
    std::string_view name;        // "--listen"
    std::string_view alias = {};  // another name of the same option, e.g. "-o" for "--output"
    bool takesValue = false;
    bool repeatable = true;
    std::function<std::string(std::string_view value)> handle;
    // Said when an option that is not repeatable comes again; by default it is named.
    std::string_view repeated = {};
};

// The handler of an option without value that sets `field` to `value`.
std::function<std::string(std::string_view)> sets(bool& field, bool value);

struct Grammar {
    std::string_view program;
    std::span<const Option> options;
    std::string_view valueNoun;  // "a file", for "option '-o' needs a file"
    // Takes a word that is no option (an input); returns why it is refused, or "". A program
    // without it refuses every such word. With it, "--" ends the options, "-" is an operand and
    // every other word starting with '-' is an option, so that a mistyped one is not taken for a
    // file.
    std::function<std::string(std::string_view word)> operand = {};
};

// Reads args (without the program name) in order: "--name value", "--name=value", or a short
// name and its value. A value is missing when the word after the name is absent, empty or
// itself an option (it starts with "--" or is one of the names). Returns the first refusal as one
// line without newline, "program: why"; "" when every argument is taken.
std::string parseOptions(const Grammar& grammar, std::span<const std::string_view> args);

}  // namespace sieveharbor::cli
