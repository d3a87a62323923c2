#pragma once

// The converter both programs run: sieveharbor-list on Linux and `sieveharbor list` on macOS.
// Only where the list goes differs.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/option_parser.h"
#include "lists/list_builder.h"

namespace sieveharbor::lists {

struct Conversion {
    std::optional<FinishedList> list;  // nothing when an input failed
    std::string error;                 // then one line naming it and why, "program: ..."
};

// Reads the allow lists, then the inputs ("-" is standard input), into one list. Allow lists come
// first so that a missing one fails the run before the long read of the lists. May throw
// std::bad_alloc.
Conversion convertLists(const std::vector<std::string>& allow,
                        const std::vector<std::string>& inputs, bool minimise,
                        std::string_view program, blocklist::PageAdvice advice = nullptr);

// The converter's options on both command lines: --allow FILE, repeatable, which refuses
// standard input; and the inputs, "-" at most once.
cli::Option allowOption(std::vector<std::string>& allow);
std::function<std::string(std::string_view)> inputOperand(std::vector<std::string>& inputs);

}  // namespace sieveharbor::lists
