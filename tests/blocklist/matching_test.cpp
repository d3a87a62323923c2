#include "blocklist/matching.h"

#include <gtest/gtest.h>

#include "set_of.h"

namespace sieveharbor::blocklist {
namespace {

using testing::setOf;

struct MatchCase {
    const char* what;
    std::string_view name;
    bool blocked;
};

TEST(IsNameBlocked, blocks_an_entry_and_names_beneath_it_only) {
    const DomainSet set = setOf({"example.com"});
    const MatchCase cases[] = {
        {"the entry itself", "example.com", true},
        {"one label beneath", "ads.example.com", true},
        {"two labels beneath", "a.b.example.com", true},
        {"mixed case is lowered first", "Ads.Example.COM", true},
        {"suffix lookalike", "badexample.com", false},
        {"entry not at the end", "example.com.test", false},
        {"parent of an entry", "com", false},
        {"trailing dot is part of the name", "example.com.", false},
        {"empty name", "", false},
        {"leading dot", ".example.com", true},
        {"doubled dot before the entry", "a..example.com", true},
        {"surrounding space is not stripped", " example.com", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNameBlocked(c.name, set), c.blocked) << c.what << ": " << c.name;
    }
}

TEST(IsNameBlocked, takes_entries_literally) {
    struct SetCase {
        const char* what;
        DomainSet set;
        std::string_view name;
        bool blocked;
    };
    const SetCase cases[] = {
        {"empty set", setOf({}), "example.com", false},
        {"top-level entry blocks itself", setOf({"com"}), "com", true},
        {"top-level entry blocks beneath", setOf({"com"}), "ads.example.com", true},
        {"top-level entry only its own", setOf({"com"}), "example.net", false},
        {"leading-dot entry is not the bare name", setOf({".example.com"}), "example.com", false},
        {"leading-dot entry is not a wildcard", setOf({".example.com"}), "ads.example.com", false},
        {"leading-dot entry needs a doubled dot", setOf({".example.com"}), "ads..example.com",
         true},
        {"star is not a wildcard", setOf({"*.example.com"}), "ads.example.com", false},
        {"star entry blocks its own text", setOf({"*.example.com"}), "*.example.com", true},
        {"star entry blocks beneath its text", setOf({"*.example.com"}), "a.*.example.com", true},
        {"overlapping entries", setOf({"example.com", "ads.example.com"}), "ads.example.com", true},
        {"precomposed entry, decomposed name", setOf({"caf\xC3\xA9.example"}),
         "cafe\xCC\x81.example", true},
        {"precomposed entry, decomposed name beneath", setOf({"caf\xC3\xA9.example"}),
         "x.cafe\xCC\x81.example", true},
        {"decomposed entry, precomposed capital name", setOf({"cafe\xCC\x81.example"}),
         "x.CAF\xC3\x89.example", true},
        {"accent must match", setOf({"cafe.example"}), "caf\xC3\xA9.example", false},
        {"ill-formed name matched by its bytes", setOf({"example.com"}), "\xFF.example.com", true},
        {"many labels beyond one probe batch", setOf({"z.example"}),
         "a.b.c.d.e.f.g.h.i.j.k.l.m.n.o.p.q.r.s.t.u.v.w.x.y.z.example", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isNameBlocked(c.name, c.set), c.blocked) << c.what;
    }
}

}  // namespace
}  // namespace sieveharbor::blocklist
