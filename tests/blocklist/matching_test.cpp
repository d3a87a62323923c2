#include "blocklist/matching.h"

#include <gtest/gtest.h>

#include "set_of.h"

namespace sieveharbor::blocklist {
namespace {

using testing::setOf;

// The rule: a name is blocked when, lowered and composed, it is an entry or ends with "." and an
// entry. Entries are taken literally: no wildcards, no trimming of dots or spaces.
TEST(IsNameBlocked, blocks_an_entry_and_names_beneath_it_only) {
    struct Row {
        const char* what;
        DomainSet set;
        std::string_view name;
        bool blocked;
    };
    const auto com = [] { return setOf({"example.com"}); };
    // clang-format off
    const Row rows[] = {
        {"the entry itself", com(), "example.com", true},
        {"two labels beneath, mixed case", com(), "A.Ads.Example.COM", true},
        {"suffix lookalike", com(), "badexample.com", false},
        {"entry not at the end", com(), "example.com.test", false},
        {"parent of an entry", com(), "com", false},
        {"trailing dot is part of the name", com(), "example.com.", false},
        {"empty name", com(), "", false},
        {"leading dot", com(), ".example.com", true},
        {"doubled dot before the entry", com(), "a..example.com", true},
        {"surrounding space is not stripped", com(), " example.com", false},
        {"ill-formed name matched by its bytes", com(), "\xFF.example.com", true},
        {"empty set", setOf({}), "example.com", false},
        {"top-level entry blocks beneath", setOf({"com"}), "ads.example.com", true},
        {"leading-dot entry is not the bare name", setOf({".example.com"}), "example.com", false},
        {"leading-dot entry is not a wildcard", setOf({".example.com"}), "ads.example.com", false},
        {"leading-dot entry needs a doubled dot", setOf({".example.com"}), "ads..example.com", true},
        {"star is not a wildcard", setOf({"*.example.com"}), "ads.example.com", false},
        {"star entry blocks beneath its text", setOf({"*.example.com"}), "a.*.example.com", true},
        {"overlapping entries", setOf({"example.com", "ads.example.com"}), "ads.example.com", true},
        {"precomposed entry, decomposed name", setOf({"caf\xC3\xA9.example"}), "x.cafe\xCC\x81.example", true},
        {"decomposed entry, precomposed capital", setOf({"cafe\xCC\x81.example"}), "x.CAF\xC3\x89.example", true},
        {"accent must match", setOf({"cafe.example"}), "caf\xC3\xA9.example", false},
        {"many labels beyond one probe batch", setOf({"z.example"}), "a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.r.s.t.u.v.w.x.y.z.example", true},
    };
    // clang-format on
    for (const auto& row : rows) {
        EXPECT_EQ(isNameBlocked(row.name, row.set), row.blocked) << row.what;
    }
}

}  // namespace
}  // namespace sieveharbor::blocklist
