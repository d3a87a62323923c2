#include "lists/list_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "blocklist/blocklist_text.h"

namespace sieveharbor::lists {
namespace {

struct Input {
    std::string name;
    std::vector<std::string> lines;
    bool allow = false;
};

FinishedList build(const std::vector<Input>& inputs, bool minimise = true) {
    ListBuilder builder;
    for (const auto& input : inputs) {
        builder.beginInput(input.name, input.allow);
        for (const auto& line : input.lines) {
            EXPECT_TRUE(builder.addLine(line));
        }
    }
    return std::move(builder).finish(minimise);
}

std::vector<std::string> entriesOf(const FinishedList& list) {
    return {list.entries.begin(), list.entries.end()};
}

const std::vector<Input> kMixed = {
    {"hosts",
     {"0.0.0.0 example.com ads.example.com", "0.0.0.0 Example.COM", "0.0.0.0 badexample.com"}},
    {"adblock", {"||a.b.example.com^", "||tracker.example.net^$third-party"}},
    {"dnsmasq", {"address=/tracker.example.net/0.0.0.0", "server=/x.tracker.example.net/"}},
};

TEST(ListBuilder, merges_deduplicates_and_minimises_across_formats) {
    const auto minimised = build(kMixed);
    // A look-alike (badexample.com) is no child of example.com and stays.
    EXPECT_EQ(entriesOf(minimised),
              (std::vector<std::string>{"badexample.com", "example.com", "tracker.example.net"}));
    EXPECT_EQ(minimised.duplicates, 2u);
    EXPECT_EQ(minimised.beneathOthers, 3u);

    const auto whole = build(kMixed, false);
    EXPECT_EQ(
        entriesOf(whole),
        (std::vector<std::string>{"a.b.example.com", "ads.example.com", "badexample.com",
                                  "example.com", "tracker.example.net", "x.tracker.example.net"}));
    EXPECT_EQ(whole.beneathOthers, 0u);
}

TEST(ListBuilder, entries_are_sorted_byte_by_byte) {
    // Names alike in their first eight bytes, shorter ones, and bytes beyond ASCII.
    std::vector<std::string> names = {"abcdefgh-b.example", "abcdefgh",    "abcdefgh-a.example",
                                      "b.example",          "abcdefg",     "abcdefgh.example",
                                      "\u00E9.example",     "a-b.example", "abcdefgh0.example"};
    const auto list = build({{"list", names}}, false);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(entriesOf(list), names);
}

TEST(ListBuilder, allowed_names_take_out_their_subtree_and_warn_when_a_parent_still_blocks) {
    const auto list = build({
        {"list",
         {"example.com", "sub.example.com", "ads.example.net", "x.ads.example.net", "example.org",
          "a.example.org"}},
        {"allow",
         {"ads.example.net", "www.sub.example.com", "# a comment", "example.org", "a.example.org"},
         true},
    });
    EXPECT_EQ(entriesOf(list), (std::vector<std::string>{"example.com"}));
    EXPECT_EQ(list.allowed, 4u);
    // Named by the entry the written list holds, not the one minimising left out; an allowed name
    // whose parent is allowed too is no longer blocked.
    ASSERT_EQ(list.warnings.size(), 1u);
    EXPECT_EQ(list.warnings[0].allowed, "www.sub.example.com");
    EXPECT_EQ(list.warnings[0].blockedBy, "example.com");
    EXPECT_EQ(list.counts.inputs[1].names, 4u);
}

TEST(ListBuilder, byte_order_marks_of_joined_files_are_dropped) {
    const auto list = build({{"joined", {"\uFEFFa.example", "\uFEFF||b.example^"}}});
    EXPECT_EQ(entriesOf(list), (std::vector<std::string>{"a.example", "b.example"}));
}

TEST(ListBuilder, written_list_and_summary_tell_what_happened) {
    auto inputs = kMixed;
    inputs.push_back({"bad\nname", {"*.wild.example", "||x.example^$script", "##.ad", "# c", ""}});
    inputs.push_back({"allow", {"tracker.example.net", "www.example.com"}, true});
    const auto list = build(inputs);
    EXPECT_EQ(renderList(list, "prog"),
              "# Made by prog from: hosts, adblock, dnsmasq, bad?name\n"
              "# Allowed names from: allow\n"
              "# 3 entries (1 wildcards widened; left out: 2 duplicates, 2 beneath another entry, "
              "2 allowed)\n"
              "badexample.com\n"
              "example.com\n"
              "wild.example\n");
    EXPECT_EQ(summaryText(list, "prog"),
              "prog: hosts: 3 lines, 4 names\n"
              "prog: adblock: 2 lines, 2 names\n"
              "prog: dnsmasq: 2 lines, 2 names\n"
              "prog: bad?name: 5 lines, 1 names\n"
              "prog: allow (allowed names): 2 lines, 2 names\n"
              "prog: 3 entries written; 1 wildcards widened; left out: 2 duplicates, 2 beneath "
              "another entry, 2 allowed\n"
              "prog: 2 comments and blank lines\n"
              "prog: skipped 1 cosmetic filters\n"
              "prog: skipped 1 host rules with other options\n"
              "prog: warning: the allowed name www.example.com stays blocked by the entry "
              "example.com\n");
    // The proxy reads back exactly the entries written.
    const auto loaded = blocklist::parseBlocklist(renderList(list, "prog"));
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->size(), list.entries.size());
    for (const auto entry : list.entries) {
        EXPECT_TRUE(loaded->contains(entry)) << entry;
    }
}

}  // namespace
}  // namespace sieveharbor::lists
