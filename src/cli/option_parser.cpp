#include "cli/option_parser.h"

#include <algorithm>
#include <vector>

namespace sieveharbor::cli {

std::string quoted(std::string_view text) {
    // Appended piece by piece: GCC 12 at -O3 misreads "'" + std::string(...) as an overlapping
    // copy (-Wrestrict).
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('\'');
    out.append(text);
    out.push_back('\'');
    return out;
}

std::string usageHint(std::string_view program) {
    return "Try " + quoted(std::string(program) + " --help") + " for usage.";
}

std::function<std::string(std::string_view)> sets(bool& field, bool value) {
    return [&field, value](std::string_view) {
        field = value;
        return std::string();
    };
}

std::string parseOptions(const Grammar& grammar, std::span<const std::string_view> args) {
    const auto fail = [&](const std::string& why) {
        return std::string(grammar.program) + ": " + why;
    };
    const auto find = [&](std::string_view name) {
        return std::find_if(grammar.options.begin(), grammar.options.end(), [&](const Option& o) {
            return o.name == name || (!o.alias.empty() && o.alias == name);
        });
    };
    const auto isOption = [&](std::string_view word) {
        return word.starts_with("--") || find(word) != grammar.options.end();
    };
    const bool operands = static_cast<bool>(grammar.operand);
    std::vector<bool> seen(grammar.options.size());
    bool optionsEnded = false;

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        const bool optionWord = !optionsEnded && (arg.starts_with("--") ||
                                                  (operands && arg.starts_with('-') && arg != "-"));
        if (!optionWord) {
            if (!operands) {
                return fail("unexpected argument " + quoted(arg));
            }
            if (auto why = grammar.operand(arg); !why.empty()) {
                return fail(why);
            }
            continue;
        }
        if (operands && arg == "--") {
            optionsEnded = true;
            continue;
        }
        const auto equals = arg.starts_with("--") ? arg.find('=') : std::string_view::npos;
        const std::string_view name = arg.substr(0, equals);
        const auto option = find(name);
        if (option == grammar.options.end()) {
            return fail("unknown option " + quoted(name));
        }

        std::string_view value;
        if (!option->takesValue) {
            if (equals != std::string_view::npos) {
                return fail("option " + quoted(name) + " takes no value");
            }
        } else if (equals != std::string_view::npos) {
            value = arg.substr(equals + 1);
        } else if (i + 1 < args.size() && !isOption(args[i + 1])) {
            value = args[++i];
        }
        if (option->takesValue && value.empty()) {
            return fail("option " + quoted(name) + " needs " + std::string(grammar.valueNoun));
        }
        // The value first, so that a bad one is named even when the option came before.
        if (auto why = option->handle(value); !why.empty()) {
            return fail(why);
        }
        const auto index = static_cast<std::size_t>(option - grammar.options.begin());
        if (seen[index] && !option->repeatable) {
            return fail(option->repeated.empty()
                            ? "option " + quoted(option->name) + " given more than once"
                            : std::string(option->repeated));
        }
        seen[index] = true;
    }
    return {};
}

}  // namespace sieveharbor::cli
