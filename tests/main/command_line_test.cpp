#include "main/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "main/descriptor_limit.h"
#include "main/startup_messages.h"

namespace sieveharbor::service {
namespace {

ParsedCommandLine parse(std::vector<std::string_view> args) {
    return parseCommandLine(args);
}

std::vector<std::string> listenTexts(const Options& options) {
    std::vector<std::string> texts;
    for (const auto& address : options.listen) {
        texts.push_back(address.text());
    }
    return texts;
}

TEST(CommandLine, no_arguments_give_loopback_listeners_and_the_filtering_upstream) {
    const auto parsed = parse({});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(listenTexts(*parsed.options), (std::vector<std::string>{"127.0.0.1:53", "[::1]:53"}));
    EXPECT_TRUE(parsed.options->defaultListen);
    EXPECT_EQ(parsed.options->upstream.text(), "1.1.1.3:53");
    EXPECT_FALSE(parsed.options->blocklist);
    EXPECT_FALSE(parsed.options->metrics);
    EXPECT_FALSE(parsed.options->debug || parsed.options->help || parsed.options->version);
}

struct GoodCase {
    const char* name;
    std::vector<std::string_view> args;
    std::vector<std::string> listen;
    std::string upstream;
    std::string blocklist;
    bool debug;
};

class GoodArguments : public testing::TestWithParam<GoodCase> {};

TEST_P(GoodArguments, are_read_as_given) {
    const auto& c = GetParam();
    const auto parsed = parseCommandLine(c.args);
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(listenTexts(*parsed.options), c.listen);
    EXPECT_EQ(parsed.options->defaultListen, false);
    EXPECT_EQ(parsed.options->upstream.text(), c.upstream);
    EXPECT_EQ(parsed.options->blocklist.value_or(""), c.blocklist);
    EXPECT_EQ(parsed.options->debug, c.debug);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, GoodArguments,
    testing::Values(GoodCase{"listen_replaces_both_defaults",
                             {"--listen", "127.0.0.1:5353"},
                             {"127.0.0.1:5353"},
                             "1.1.1.3:53",
                             "",
                             false},
                    GoodCase{"listen_repeats_and_keeps_order",
                             {"--listen", "[::1]:5300", "--listen=0.0.0.0:65535"},
                             {"[::1]:5300", "0.0.0.0:65535"},
                             "1.1.1.3:53",
                             "",
                             false},
                    GoodCase{"upstream_without_port_uses_53",
                             {"--listen", "127.0.0.1:1", "--upstream", "9.9.9.9"},
                             {"127.0.0.1:1"},
                             "9.9.9.9:53",
                             "",
                             false},
                    GoodCase{"upstream_ipv6_with_port",
                             {"--listen", "127.0.0.1:53", "--upstream", "[2001:db8::1]:5300"},
                             {"127.0.0.1:53"},
                             "[2001:db8::1]:5300",
                             "",
                             false},
                    GoodCase{"upstream_ipv6_in_brackets_without_port",
                             {"--listen", "127.0.0.1:53", "--upstream=[::1]"},
                             {"127.0.0.1:53"},
                             "[::1]:53",
                             "",
                             false},
                    GoodCase{"blocklist_and_debug",
                             {"--debug", "--blocklist", "/etc/sieveharbor/blocklist.txt",
                              "--listen", "127.0.0.1:53"},
                             {"127.0.0.1:53"},
                             "1.1.1.3:53",
                             "/etc/sieveharbor/blocklist.txt",
                             true}),
    [](const auto& info) { return std::string(info.param.name); });

struct BadCase {
    const char* name;
    std::vector<std::string_view> args;
    std::string message;
};

class BadArguments : public testing::TestWithParam<BadCase> {};

TEST_P(BadArguments, give_one_line_naming_the_argument) {
    const auto& c = GetParam();
    const auto parsed = parseCommandLine(c.args);
    EXPECT_FALSE(parsed.options);
    EXPECT_EQ(parsed.error, "sieveharbor-proxy: " + c.message);
    EXPECT_EQ(parsed.error.find('\n'), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, BadArguments,
    testing::Values(
        BadCase{"unknown_option", {"--bogus"}, "unknown option '--bogus'"},
        BadCase{"single_dash_option", {"-d"}, "unexpected argument '-d'"},
        BadCase{"positional_argument", {"extra"}, "unexpected argument 'extra'"},
        BadCase{"listen_without_value", {"--listen"}, "option '--listen' needs a value"},
        BadCase{
            "blocklist_with_empty_value", {"--blocklist="}, "option '--blocklist' needs a value"},
        BadCase{"flag_with_value", {"--debug=yes"}, "option '--debug' takes no value"},
        BadCase{"listen_without_port",
                {"--listen", "127.0.0.1"},
                "bad --listen '127.0.0.1': a port is required: expected ADDR:PORT, with IPv6 as "
                "[ADDR]:PORT"},
        BadCase{"listen_port_zero",
                {"--listen", "127.0.0.1:0"},
                "bad --listen '127.0.0.1:0': port '0' is not a number from 1 to 65535"},
        BadCase{"listen_port_too_big",
                {"--listen", "127.0.0.1:65536"},
                "bad --listen '127.0.0.1:65536': port '65536' is not a number from 1 to 65535"},
        BadCase{"listen_port_with_sign",
                {"--listen", "127.0.0.1:+53"},
                "bad --listen '127.0.0.1:+53': port '+53' is not a number from 1 to 65535"},
        BadCase{"listen_host_name",
                {"--listen", "localhost:53"},
                "bad --listen 'localhost:53': 'localhost' is not a numeric IPv4 address"},
        BadCase{"listen_short_ipv4",
                {"--listen", "1.2.3:53"},
                "bad --listen '1.2.3:53': '1.2.3' is not a numeric IPv4 address"},
        BadCase{"listen_ipv6_without_brackets",
                {"--listen", "::1:53"},
                "bad --listen '::1:53': an IPv6 address must be in brackets: [ADDR]:PORT"},
        BadCase{"listen_ipv4_in_brackets",
                {"--listen", "[127.0.0.1]:53"},
                "bad --listen '[127.0.0.1]:53': '127.0.0.1' is not a numeric IPv6 address"},
        BadCase{"listen_unclosed_bracket",
                {"--listen", "[::1:53"},
                "bad --listen '[::1:53': expected ADDR:PORT, with IPv6 as [ADDR]:PORT"},
        BadCase{"listen_text_after_bracket",
                {"--listen", "[::1]53"},
                "bad --listen '[::1]53': expected ADDR:PORT, with IPv6 as [ADDR]:PORT"},
        BadCase{"listen_twice",
                {"--listen", "127.0.0.1:53", "--listen=127.0.0.1:53"},
                "--listen 127.0.0.1:53 given more than once"},
        BadCase{"upstream_twice",
                {"--upstream", "9.9.9.9", "--upstream", "1.1.1.1"},
                "option '--upstream' given more than once"},
        BadCase{"upstream_empty_port",
                {"--upstream", "9.9.9.9:"},
                "bad --upstream '9.9.9.9:': port '' is not a number from 1 to 65535"},
        BadCase{"metrics_without_port",
                {"--metrics", "127.0.0.1"},
                "bad --metrics '127.0.0.1': a port is required: expected ADDR:PORT, with IPv6 as "
                "[ADDR]:PORT"},
        BadCase{"metrics_twice",
                {"--metrics", "127.0.0.1:9153", "--metrics=[::1]:9153"},
                "option '--metrics' given more than once"},
        BadCase{"bad_argument_after_help", {"--help", "--nope"}, "unknown option '--nope'"}),
    [](const auto& info) { return std::string(info.param.name); });

// An upstream that is one of the proxy's own listeners would send every relayed query back in.
TEST(CommandLine, an_upstream_the_proxy_listens_on_is_refused) {
    struct Row {
        const char* what;
        std::vector<std::string_view> args;
        bool loops;
    };
    const std::vector<std::string> machine = {"192.0.2.7", "2001:db8::7"};
    const Row rows[] = {
        {"same address and port", {"--upstream", "127.0.0.1"}, true},
        {"same IPv6 address, other spelling", {"--upstream", "[0:0::1]:53"}, true},
        {"same address, other port", {"--upstream", "127.0.0.1:5353"}, false},
        {"other loopback address", {"--upstream", "127.0.0.2"}, false},
        {"wildcard listener, loopback upstream",
         {"--listen", "0.0.0.0:53", "--upstream", "127.0.0.53"},
         true},
        {"wildcard listener, machine's address",
         {"--listen", "0.0.0.0:53", "--upstream", "192.0.2.7"},
         true},
        {"IPv6 wildcard listener takes IPv4 too",
         {"--listen", "[::]:53", "--upstream", "192.0.2.7"},
         true},
        {"IPv4 wildcard does not take IPv6",
         {"--listen", "0.0.0.0:53", "--upstream", "[2001:db8::7]"},
         false},
        {"wildcard listener, outside resolver",
         {"--listen", "0.0.0.0:53", "--upstream", "192.0.2.8"},
         false},
        {"default upstream", {}, false},
    };
    for (const auto& row : rows) {
        const auto parsed = parse(row.args);
        ASSERT_TRUE(parsed.options) << row.what;
        const auto error = upstreamLoopError(*parsed.options, machine);
        EXPECT_EQ(error.has_value(), row.loops) << row.what;
        if (error) {
            EXPECT_NE(error->find("--upstream"), std::string::npos) << *error;
        }
    }
}

TEST(CommandLine, a_refused_load_is_always_told_an_accepted_one_with_debug_only) {
    using Outcome = provider::LoadReport::Outcome;
    const std::string path = "/etc/sieveharbor/blocklist.txt";
    const std::string refused =
        "sieveharbor-proxy: blocklist " + path + " refused, the previous list stays in force: ";
    struct Row {
        Outcome outcome;
        bool debug;
        std::optional<std::string> line;
    };
    const Row rows[] = {
        {Outcome::accepted, false, std::nullopt},
        {Outcome::accepted, true,
         "sieveharbor-proxy: blocklist " + path + " loaded: 3 entries in 12 ms"},
        {Outcome::notUtf8, false, refused + "it is not valid UTF-8"},
        {Outcome::lineTooLong, true, refused + "a line is longer than 65535 bytes"},
        {Outcome::keptChanging, false,
         refused + "it kept changing while it was read; the next change is waited for"},
    };
    for (const auto& row : rows) {
        provider::LoadReport report{path, row.outcome, 3, std::chrono::milliseconds(12)};
        EXPECT_EQ(loadMessage(report, row.debug), row.line);
    }
}

// Exchanges and connections fit beside what is open and the reserve; a generous limit leaves
// both caps alone.
TEST(CommandLine, the_caps_fit_the_descriptor_limit) {
    struct Row {
        std::size_t limit;
        std::size_t inFlight;
        std::size_t connections;
    };
    const Row rows[] = {
        {1 << 20, 4096, 1024},
        {8192, 4096, 1024},
        {1024, (1024 - 20 - kDescriptorReserve) - 243, 243},
        {64, 9, 3},
        {40, 1, 1},
    };
    for (const auto& row : rows) {
        const auto budget = budgetFor(row.limit, 20, 4096, 1024);
        EXPECT_EQ(budget.inFlight, row.inFlight) << row.limit;
        EXPECT_EQ(budget.tcpConnections, row.connections) << row.limit;
        EXPECT_LE(budget.inFlight + budget.tcpConnections + 20 + kDescriptorReserve,
                  std::max<std::size_t>(row.limit, 20 + kDescriptorReserve + 2))
            << row.limit;
    }
}

TEST(CommandLine, help_and_version_are_reported) {
    const auto help = parse({"--help"});
    ASSERT_TRUE(help.options);
    EXPECT_TRUE(help.options->help);
    const auto version = parse({"--version"});
    ASSERT_TRUE(version.options);
    EXPECT_TRUE(version.options->version);
    EXPECT_NE(usageText().find("--listen ADDR:PORT"), std::string::npos);
}

TEST(CommandLine, listen_failure_names_address_reason_and_remedy) {
    struct BindCase {
        const char* what;
        const char* host;
        std::uint16_t port;
        std::errc error;
        const char* remedy;
    };
    const BindCase cases[] = {
        {"privileged port", "127.0.0.1", 53, std::errc::permission_denied,
         "choose another port with --listen 127.0.0.1:5353, or grant CAP_NET_BIND_SERVICE"},
        {"port taken", "::1", 5353, std::errc::address_in_use,
         "another program already answers there: stop it, or choose another port with "
         "--listen [::1]:5354"},
        {"foreign address", "192.0.2.1", 53, std::errc::address_not_available,
         "this machine has no such address: listen on one of its own addresses"},
    };
    for (const auto& c : cases) {
        SocketAddress address;
        address.address = c.host;
        address.port = c.port;
        const auto error = std::make_error_code(c.error);
        std::string expected = "sieveharbor-proxy: cannot listen on ";
        expected += address.text();
        expected += ": ";
        expected += error.message();
        expected += " (";
        expected += c.remedy;
        expected += ")";
        EXPECT_EQ(listenFailureMessage(address, error), expected) << c.what;
    }
}

}  // namespace
}  // namespace sieveharbor::service
