#include "list_tool/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sieveharbor::list_tool {
namespace {

struct GoodCase {
    std::vector<std::string_view> args;
    std::optional<std::string> output;
    std::vector<std::string> allow;
    bool minimise;
    std::vector<std::string> inputs;
};

TEST(ListCommandLine, reads_options_and_inputs_as_given) {
    // clang-format off
    const GoodCase cases[] = {
        {{"a.txt"}, std::nullopt, {}, true, {"a.txt"}},
        {{"-o", "out.txt", "--allow", "x", "--allow=y", "--no-minimise", "a", "-", "b"}, "out.txt", {"x", "y"}, false, {"a", "-", "b"}},
        {{"--output=out.txt", "a"}, "out.txt", {}, true, {"a"}},
        {{"-o", "-", "a"}, std::nullopt, {}, true, {"a"}},
        {{"--", "-o", "--weird"}, std::nullopt, {}, true, {"-o", "--weird"}},
    };
    // clang-format on
    for (const auto& c : cases) {
        const auto parsed = parseCommandLine(c.args);
        ASSERT_TRUE(parsed.options) << parsed.error;
        const auto& o = *parsed.options;
        EXPECT_EQ(std::tie(o.output, o.allow, o.minimise, o.inputs),
                  std::tie(c.output, c.allow, c.minimise, c.inputs))
            << c.args[0];
    }
}

TEST(ListCommandLine, names_the_bad_argument) {
    const std::pair<std::vector<std::string_view>, std::string> cases[] = {
        {{}, "no INPUT given: name the lists to read, or '-' for standard input"},
        {{"-o", "out.txt"}, "no INPUT given: name the lists to read, or '-' for standard input"},
        {{"--bogus", "a"}, "unknown option '--bogus'"},
        {{"-x", "a"}, "unknown option '-x'"},
        {{"a", "-o"}, "option '-o' needs a file"},
        {{"--allow=", "a"}, "option '--allow' needs a file"},
        {{"--allow", "-o", "out", "a"}, "option '--allow' needs a file"},
        {{"-o", "--no-minimise", "a"}, "option '-o' needs a file"},
        {{"--allow", "-", "a"}, "--allow needs a file; standard input is for an INPUT"},
        {{"-o", "x", "--output", "y", "a"}, "the output (-o) given more than once"},
        {{"-", "-"}, "standard input ('-') given more than once"},
        {{"--no-minimise=yes", "a"}, "option '--no-minimise' takes no value"},
    };
    for (const auto& [args, error] : cases) {
        const auto parsed = parseCommandLine(args);
        EXPECT_FALSE(parsed.options);
        EXPECT_EQ(parsed.error, "sieveharbor-list: " + error);
    }
    const std::vector<std::string_view> help = {"--help"};
    EXPECT_TRUE(parseCommandLine(help).options->help);
}

}  // namespace
}  // namespace sieveharbor::list_tool
