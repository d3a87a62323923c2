#include "main/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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

std::string upstreamTexts(const Options& options) {
    std::string texts;
    for (const auto& upstream : options.upstreams) {
        texts += (texts.empty() ? "" : " ") + upstream.text();
    }
    return texts;
}

TEST(CommandLine, no_arguments_give_loopback_listeners_and_the_filtering_upstream) {
    const auto parsed = parse({});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(listenTexts(*parsed.options), (std::vector<std::string>{"127.0.0.1:53", "[::1]:53"}));
    EXPECT_TRUE(parsed.options->defaultListen);
    EXPECT_TRUE(parsed.options->tcp);
    EXPECT_EQ(upstreamTexts(*parsed.options), "1.1.1.3:53");
    EXPECT_FALSE(parsed.options->blocklist || parsed.options->metrics);
    EXPECT_FALSE(parsed.options->debug || parsed.options->help || parsed.options->version);
}

TEST(CommandLine, good_arguments_are_read_as_given) {
    struct Row {
        std::vector<std::string_view> args;
        std::vector<std::string> listen;
        std::string upstream;
        std::string blocklist;
        bool debug;
    };
    // clang-format off
    const Row rows[] = {
        {{"--listen", "127.0.0.1:5353"}, {"127.0.0.1:5353"}, "1.1.1.3:53", "", false},
        {{"--listen", "[::1]:5300", "--listen=0.0.0.0:65535"}, {"[::1]:5300", "0.0.0.0:65535"}, "1.1.1.3:53", "", false},
        {{"--listen", "127.0.0.1:1", "--upstream", "9.9.9.9"}, {"127.0.0.1:1"}, "9.9.9.9:53", "", false},
        {{"--listen", "127.0.0.1:53", "--upstream", "[2001:db8::1]:5300"}, {"127.0.0.1:53"}, "[2001:db8::1]:5300", "", false},
        {{"--listen", "127.0.0.1:53", "--upstream=[::1]"}, {"127.0.0.1:53"}, "[::1]:53", "", false},
        {{"--listen", "127.0.0.1:53", "--upstream", "1.1.1.3", "--upstream", "1.0.0.3", "--upstream", "[2606:4700:4700::1113]"}, {"127.0.0.1:53"}, "1.1.1.3:53 1.0.0.3:53 [2606:4700:4700::1113]:53", "", false},
        {{"--debug", "--blocklist", "/etc/b.txt", "--listen", "127.0.0.1:53"}, {"127.0.0.1:53"}, "1.1.1.3:53", "/etc/b.txt", true},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args.front());
        const auto parsed = parse(row.args);
        ASSERT_TRUE(parsed.options) << parsed.error;
        const auto& o = *parsed.options;
        EXPECT_EQ(std::tuple(listenTexts(o), o.defaultListen, upstreamTexts(o),
                             o.blocklist.value_or(""), o.debug),
                  std::tuple(row.listen, false, row.upstream, row.blocklist, row.debug));
    }
    EXPECT_FALSE(parse({"--no-tcp"}).options->tcp);
    EXPECT_EQ(parse({"--metrics", "[::1]:9353"}).options->metrics->text(), "[::1]:9353");
    EXPECT_TRUE(parse({"--help"}).options->help);
    EXPECT_TRUE(parse({"--version"}).options->version);
    EXPECT_NE(usageText().find("--listen ADDR:PORT"), std::string::npos);
}

TEST(CommandLine, bad_arguments_give_one_line_naming_the_argument) {
    struct Row {
        std::vector<std::string_view> args;
        const char* message;
    };
    // clang-format off
    const Row rows[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"-d"}, "unexpected argument '-d'"},
        {{"extra"}, "unexpected argument 'extra'"},
        {{"--listen"}, "option '--listen' needs a value"},
        {{"--blocklist="}, "option '--blocklist' needs a value"},
        {{"--upstream", "--blocklist", "/etc/b.txt"}, "option '--upstream' needs a value"},
        {{"--debug=yes"}, "option '--debug' takes no value"},
        {{"--listen", "127.0.0.1"}, "bad --listen '127.0.0.1': a port is required: expected ADDR:PORT, with IPv6 as [ADDR]:PORT"},
        {{"--listen", "127.0.0.1:0"}, "bad --listen '127.0.0.1:0': port '0' is not a number from 1 to 65535"},
        {{"--listen", "127.0.0.1:65536"}, "bad --listen '127.0.0.1:65536': port '65536' is not a number from 1 to 65535"},
        {{"--listen", "127.0.0.1:+53"}, "bad --listen '127.0.0.1:+53': port '+53' is not a number from 1 to 65535"},
        {{"--listen", "localhost:53"}, "bad --listen 'localhost:53': 'localhost' is not a numeric IPv4 address"},
        {{"--listen", "1.2.3:53"}, "bad --listen '1.2.3:53': '1.2.3' is not a numeric IPv4 address"},
        {{"--listen", "::1:53"}, "bad --listen '::1:53': an IPv6 address must be in brackets: [ADDR]:PORT"},
        {{"--listen", "[127.0.0.1]:53"}, "bad --listen '[127.0.0.1]:53': '127.0.0.1' is not a numeric IPv6 address"},
        {{"--listen", "[::1:53"}, "bad --listen '[::1:53': expected ADDR:PORT, with IPv6 as [ADDR]:PORT"},
        {{"--listen", "[::1]53"}, "bad --listen '[::1]53': expected ADDR:PORT, with IPv6 as [ADDR]:PORT"},
        {{"--listen", "127.0.0.1:53", "--listen=127.0.0.1:53"}, "--listen 127.0.0.1:53 given more than once"},
        {{"--upstream", "9.9.9.9", "--upstream", "9.9.9.9:53"}, "--upstream 9.9.9.9:53 given more than once"},
        {{"--upstream", "9.9.9.9:"}, "bad --upstream '9.9.9.9:': port '' is not a number from 1 to 65535"},
        {{"--upstream", "1.1.1.3:0"}, "bad --upstream '1.1.1.3:0': port '0' is not a number from 1 to 65535"},
        {{"--upstream", "udp://1.1.1.3"}, "bad --upstream 'udp://1.1.1.3': no transport 'udp://': an upstream is ADDR[:PORT] or tls://ADDR[:PORT][#NAME], with IPv6 as [ADDR]"},
        {{"--upstream="}, "option '--upstream' needs a value"},
        {{"--upstream", "tls://"}, "bad --upstream 'tls://': no address after 'tls://': an upstream is ADDR[:PORT] or tls://ADDR[:PORT][#NAME], with IPv6 as [ADDR]"},
        {{"--upstream", "tls://1.1.1.3#"}, "bad --upstream 'tls://1.1.1.3#': no NAME after '#': give the name the resolver's certificate holds, or leave out the '#'"},
        {{"--upstream", "tls://1.1.1.3:0#dns.example"}, "bad --upstream 'tls://1.1.1.3:0#dns.example': port '0' is not a number from 1 to 65535"},
        {{"--upstream", "tls://1.1.1.3#not_a.name"}, "bad --upstream 'tls://1.1.1.3#not_a.name': 'not_a.name' is not a host name"},
        {{"--metrics", "127.0.0.1"}, "bad --metrics '127.0.0.1': a port is required: expected ADDR:PORT, with IPv6 as [ADDR]:PORT"},
        {{"--metrics", "127.0.0.1:9153", "--metrics=[::1]:9153"}, "option '--metrics' given more than once"},
        {{"--blocklist", "a.txt", "--blocklist", "b.txt"}, "option '--blocklist' given more than once"},
        {{"--tls-ca", "a.pem", "--tls-ca=b.pem"}, "option '--tls-ca' given more than once"},
        {{"--help", "--nope"}, "unknown option '--nope'"},
    };
    // clang-format on
    for (const auto& row : rows) {
        const auto parsed = parse(row.args);
        EXPECT_FALSE(parsed.options) << row.message;
        EXPECT_EQ(parsed.error, std::string("sieveharbor-proxy: ") + row.message);
    }
}

// An upstream that is one of the proxy's own listeners would send every relayed query back in.
TEST(CommandLine, an_upstream_the_proxy_listens_on_is_refused) {
    struct Row {
        std::vector<std::string_view> args;
        bool loops;
    };
    const std::vector<platform::SocketAddress> machine = {
        *platform::SocketAddress::parse("192.0.2.7", 0),
        *platform::SocketAddress::parse("2001:db8::7", 0)};
    // clang-format off
    const Row rows[] = {
        {{"--upstream", "127.0.0.1"}, true},                 // same address and port
        {{"--upstream", "[0:0::1]:53"}, true},               // same IPv6 address, other spelling
        {{"--upstream", "127.0.0.1:5353"}, false},           // same address, other port
        {{"--upstream", "127.0.0.2"}, false},                // other loopback address
        {{"--listen", "0.0.0.0:53", "--upstream", "127.0.0.53"}, true},     // wildcard, loopback
        {{"--listen", "0.0.0.0:53", "--upstream", "192.0.2.7"}, true},      // wildcard, machine's
        {{"--listen", "[::]:53", "--upstream", "192.0.2.7"}, true},         // IPv6 wildcard takes IPv4
        {{"--listen", "[::]:53", "--upstream", "[::1]"}, true},             // wildcard, IPv6 loopback
        {{"--listen", "0.0.0.0:53", "--upstream", "[2001:db8::7]"}, false}, // IPv4 one not IPv6
        {{"--listen", "0.0.0.0:53", "--upstream", "192.0.2.8"}, false},     // outside resolver
        {{}, false},                                         // default upstream
    };
    // clang-format on
    for (const auto& row : rows) {
        const auto parsed = parse(row.args);
        ASSERT_TRUE(parsed.options);
        const auto error = upstreamLoopError(*parsed.options, machine);
        EXPECT_EQ(error.has_value(), row.loops) << (row.args.empty() ? "" : row.args.back());
        if (error) {
            EXPECT_NE(error->find("--upstream"), std::string::npos) << *error;
        }
    }
}

// The loop check needs every address the machine answers on, of both families: loopback's IPv4
// address is one on any machine.
TEST(CommandLine, the_machine_addresses_include_its_ipv4_ones) {
    const auto addresses = listMachineAddresses();
    EXPECT_NE(std::find(addresses.begin(), addresses.end(),
                        *platform::SocketAddress::parse("127.0.0.1", 0)),
              addresses.end());
}

TEST(CommandLine, a_refused_load_is_always_told_an_accepted_one_with_debug_only) {
    using Outcome = provider::LoadReport::Outcome;
    struct Row {
        Outcome outcome;
        bool debug;
        std::optional<std::string> line;
    };
    // clang-format off
    const Row rows[] = {
        {Outcome::accepted, false, std::nullopt},
        {Outcome::accepted, true, "sieveharbor-proxy: blocklist /etc/b.txt loaded: 3 entries in 12 ms"},
        {Outcome::notUtf8, false, "sieveharbor-proxy: blocklist /etc/b.txt refused, the previous list stays in force: it is not valid UTF-8"},
        {Outcome::lineTooLong, true, "sieveharbor-proxy: blocklist /etc/b.txt refused, the previous list stays in force: a line is longer than 65535 bytes"},
        {Outcome::keptChanging, false, "sieveharbor-proxy: blocklist /etc/b.txt refused, the previous list stays in force: it kept changing while it was read; the next change is waited for"},
    };
    // clang-format on
    for (const auto& row : rows) {
        const provider::LoadReport report{"/etc/b.txt", row.outcome, 3,
                                          std::chrono::milliseconds(12)};
        EXPECT_EQ(loadMessage(report, row.debug), row.line);
    }
}

TEST(CommandLine, listen_failure_names_address_reason_and_remedy) {
    struct Row {
        const char* address;
        std::uint16_t port;
        std::errc error;
        bool tcp;
        const char* line;
    };
    // clang-format off
    const Row rows[] = {
        {"127.0.0.1", 53, std::errc::permission_denied, false, "sieveharbor-proxy: cannot listen on 127.0.0.1:53: Permission denied (choose another port with --listen 127.0.0.1:5353, or grant CAP_NET_BIND_SERVICE)"},
        {"::1", 5353, std::errc::address_in_use, true, "sieveharbor-proxy: cannot listen for TCP on [::1]:5353: Address already in use (another program already answers there: stop it, or choose another port with --listen [::1]:5354)"},
        {"192.0.2.1", 53, std::errc::address_not_available, false, "sieveharbor-proxy: cannot listen on 192.0.2.1:53: Cannot assign requested address (this machine has no such address: listen on one of its own addresses)"},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(listenFailureMessage(*platform::SocketAddress::parse(row.address, row.port),
                                       std::make_error_code(row.error), row.tcp),
                  row.line);
    }
}

}  // namespace
}  // namespace sieveharbor::service
