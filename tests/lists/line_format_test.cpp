#include "lists/line_format.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "lists/list_builder.h"

namespace sieveharbor::lists {
namespace {

// What one line comes to once the whole tool has read it: its entries, and each reason a line
// or a name on it was skipped for. A comment gives neither.
struct Outcome {
    std::vector<std::string> entries;
    std::vector<Skip> skips;
    std::size_t widened = 0;
    friend bool operator==(const Outcome&, const Outcome&) = default;
    friend void PrintTo(const Outcome& o, std::ostream* out) {
        *out << "entries {";
        for (const auto& e : o.entries) {
            *out << " " << e;
        }
        *out << " } skips {";
        for (const auto s : o.skips) {
            *out << " " << describe(s);
        }
        *out << " } widened " << o.widened;
    }
};

Outcome outcomeOf(std::string_view line) {
    ListBuilder builder;
    builder.beginInput("test");
    EXPECT_TRUE(builder.addLine(line));
    auto list = std::move(builder).finish(false);
    Outcome out{{list.entries.begin(), list.entries.end()}, {}, list.counts.widened};
    for (std::size_t reason = 0; reason < kSkipReasons; ++reason) {
        out.skips.insert(out.skips.end(), list.counts.skipped[reason], static_cast<Skip>(reason));
    }
    EXPECT_EQ(list.counts.comments, out.entries.empty() && out.skips.empty() ? 1u : 0u) << line;
    return out;
}

struct LineCase {
    std::string line;
    Outcome expected;
};

Outcome entries(std::vector<std::string> names, std::vector<Skip> skips = {}) {
    return {std::move(names), std::move(skips), 0};
}
Outcome widened(std::string name) {
    return {{std::move(name)}, {}, 1};
}
Outcome skip(Skip reason) {
    return {{}, {reason}, 0};
}
const Outcome kComment{};

void expectOutcomes(const std::vector<LineCase>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(outcomeOf(c.line), c.expected) << "line: " << c.line;
    }
}

// Four labels of at most 63 bytes, `length` bytes in all.
std::string nameOfLength(std::size_t length) {
    return std::string(63, 'a') + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
           std::string(length - 192, 'd');
}

TEST(LineFormat, plain_domains_and_wildcards) {
    expectOutcomes({
        {"ads.example.com", entries({"ads.example.com"})},
        {"  Ads.Example.COM.\r", entries({"ads.example.com"})},
        {"ads.example.com # a tracker", entries({"ads.example.com"})},
        {"_dmarc.example.com", entries({"_dmarc.example.com"})},
        {"B\u00DCcher.example", entries({"b\u00FCcher.example"})},
        {"xn--bcher-kva.example", entries({"xn--bcher-kva.example"})},
        {"\uFF45\uFF58.\u200Bb\u00FCcher.example", entries({"ex.b\u00FCcher.example"})},
        {"a\u0639b.example", skip(Skip::badName)},
        {"*.ads.example.com", widened("ads.example.com")},
        {"", kComment},
        {"  # comment", kComment},
        {"192.0.2.1", skip(Skip::address)},
        {"2001:db8::1", skip(Skip::address)},
        {"10.0.0.0/8", skip(Skip::address)},
        // Adblock lists are full of URL fragments that must never become entries.
        {"-ad-banner-", skip(Skip::badName)},
        {"_728x90_", skip(Skip::badName)},
        {"_728x90.", skip(Skip::badName)},
        {"javascriptbasics", entries({"javascriptbasics"})},
        {".ad-banner.", skip(Skip::badName)},
        {"ads..example", skip(Skip::badName)},
        {std::string(64, 'a') + ".example", skip(Skip::badName)},
        {nameOfLength(253), entries({nameOfLength(253)})},
        {nameOfLength(254), skip(Skip::badName)},
        {"ads.\xFF.example", skip(Skip::badName)},
        {"ads\u00A0x.example", skip(Skip::badName)},
        {"ads\u2028x.example", skip(Skip::badName)},
        {"*", skip(Skip::urlRule)},
        {"ads.*.example", skip(Skip::urlRule)},
        {"example.com/ads", skip(Skip::urlRule)},
        {"example.com^", skip(Skip::urlRule)},
        {"&ad_type=", skip(Skip::urlRule)},
        {"two names.example", skip(Skip::unrecognised)},
    });
}

TEST(LineFormat, hosts_lines_take_every_name_on_a_sinkhole) {
    expectOutcomes({
        {"0.0.0.0 ads.example.com", entries({"ads.example.com"})},
        {"127.0.0.1\tads.example\ttracker.example  # inline",
         entries({"ads.example", "tracker.example"})},
        {":: ads.example", entries({"ads.example"})},
        {"::1 ads.example", entries({"ads.example"})},
        {"0:0:0:0:0:0:0:0 ads.example", entries({"ads.example"})},
        {"::ffff:0.0.0.0 ads.example", entries({"ads.example"})},
        {"0.0.0.0 *.ads.example", widened("ads.example")},
        {"0.0.0.0 localhost ads.example", entries({"ads.example"}, {Skip::boilerplate})},
        {"127.0.0.1 localhost localhost.localdomain",
         entries({}, {Skip::boilerplate, Skip::boilerplate})},
        {"::1 ip6-localhost ip6-loopback", entries({}, {Skip::boilerplate, Skip::boilerplate})},
        {"255.255.255.255 broadcasthost", entries({}, {Skip::boilerplate})},
        {"fe80::1%lo0 localhost", entries({}, {Skip::boilerplate})},
        {"0.0.0.0 0.0.0.0", entries({}, {Skip::boilerplate})},
        {"0.0.0.0 ip6-ads.example", entries({"ip6-ads.example"})},
        {"192.0.2.1 real.example", skip(Skip::redirect)},
        {"0.0.0.0 ads.example/path", entries({}, {Skip::badName})},
        {"0.0.0.0", skip(Skip::address)},
    });
}

TEST(LineFormat, adblock_rules_block_only_whole_hosts_for_every_request) {
    expectOutcomes({
        {"||ads.example.com^", entries({"ads.example.com"})},
        {"||ads.example.com^$third-party", entries({"ads.example.com"})},
        {"||ads.example.com^$3p,important", entries({"ads.example.com"})},
        {"||ads.example.com^$all", entries({"ads.example.com"})},
        {"||ads.example.com^$doc,document", entries({"ads.example.com"})},
        {"||*.ads.example.com^", widened("ads.example.com")},
        {"||ads.example.com^$script", skip(Skip::otherOptions)},
        {"||ads.example.com^$~third-party", skip(Skip::otherOptions)},
        {"||ads.example.com^$badfilter", skip(Skip::otherOptions)},
        {"||ads.example.com^$third-party,domain=site.example", skip(Skip::otherOptions)},
        {"||ads.example.com^$", skip(Skip::otherOptions)},
        {"||ads.example.com", skip(Skip::urlRule)},
        {"||ads.example.com/banner.js", skip(Skip::urlRule)},
        {"||ads.example.com^*/banner", skip(Skip::urlRule)},
        {"||ads.example.com:8080^", skip(Skip::urlRule)},
        {"||ads*.example.com^", skip(Skip::urlRule)},
        {"|https://ads.example.com/", skip(Skip::urlRule)},
        {"||192.0.2.1^", skip(Skip::address)},
        {"@@||good.example.com^", skip(Skip::exception)},
        {"/banner[0-9]+\\.gif/", skip(Skip::regex)},
        {"/ad\\.js/$script", skip(Skip::regex)},
        {"/ads/banner.js", skip(Skip::urlRule)},
        {"##.ad-banner", skip(Skip::cosmetic)},
        {"###ad-slot", skip(Skip::cosmetic)},
        {"example.com,example.net##.ad", skip(Skip::cosmetic)},
        {"example.com#@#.ad", skip(Skip::cosmetic)},
        {"example.com#?#div:has(> .ad)", skip(Skip::cosmetic)},
        {"example.com#$#body { margin: 0 }", skip(Skip::cosmetic)},
        {"example.com###\\30 _ad", skip(Skip::cosmetic)},
        {"$csp=child-src 'none',domain=site.example", skip(Skip::otherOptions)},
        {"! Title: EasyList", kComment},
        {"[Adblock Plus 2.0]", kComment},
        // Hosts files decorate their comments with "#".
        {"### Section ###", kComment},
        {"##########", kComment},
        {"## comment", kComment},
    });
}

TEST(LineFormat, dnsmasq_and_unbound_lines_that_refuse_or_sink_a_name) {
    expectOutcomes({
        {"address=/ads.example/0.0.0.0", entries({"ads.example"})},
        {"address=/ads.example/::", entries({"ads.example"})},
        {"address=/ads.example/#", entries({"ads.example"})},
        {"address=/ads.example/", entries({"ads.example"})},
        {"address=/a.example/b.example/127.0.0.1", entries({"a.example", "b.example"})},
        {"address=/ads.example/192.0.2.1", skip(Skip::redirect)},
        {"address=/#/0.0.0.0", entries({}, {Skip::badName})},
        {"address=///", skip(Skip::unrecognised)},
        {"server=/ads.example/", entries({"ads.example"})},
        {"local=/ads.example/", entries({"ads.example"})},
        {"server=/corp.example/10.0.0.1", skip(Skip::forwarding)},
        {"server=/corp.example/#", skip(Skip::forwarding)},
        {"server=1.1.1.1", skip(Skip::forwarding)},
        {"local-zone: \"ads.example.\" always_nxdomain", entries({"ads.example"})},
        {"  local-zone: \"ads.example\" always_null  # why", entries({"ads.example"})},
        {"local-zone: ads.example static", entries({"ads.example"})},
        {"local-zone: \"a.example\" refuse", entries({"a.example"})},
        {"local-zone: \"a.example\" deny", entries({"a.example"})},
        {"local-zone: \"a.example\" always_refuse", entries({"a.example"})},
        {"local-zone: \"a.example\" inform_deny", entries({"a.example"})},
        {"local-zone: \"ok.example\" transparent", skip(Skip::transparentZone)},
        {"local-zone: \"ok.example\" typetransparent", skip(Skip::transparentZone)},
        {"local-zone: \"x.example\" redirect", skip(Skip::redirect)},
        {"local-zone: \"x.example\" nonsense", skip(Skip::unrecognised)},
        {"local-zone: \"two names\" static", skip(Skip::badName)},
        {"local-data: \"x.example A 0.0.0.0\"", skip(Skip::redirect)},
        {"server:", kComment},
    });
}

}  // namespace
}  // namespace sieveharbor::lists
