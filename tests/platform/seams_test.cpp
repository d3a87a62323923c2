// What the seam layer defines beside its interfaces, which both hosts build on.
#include <gtest/gtest.h>

#include <vector>

#include "platform/console_user.h"
#include "platform/endpoint.h"

namespace sieveharbor::platform {
namespace {

// A platform object's reference count, as the Retainer sees it.
int references = 0;
const Endpoint::Retainer kCounting{[](const void*) noexcept { ++references; },
                                   [](const void*) noexcept { --references; }};

// An endpoint holding a platform object keeps exactly one reference per copy, whatever is done
// with it, and gives every one back: the object a reply is written to is the one that came with
// its query, and none leaks.
TEST(Endpoint, holds_one_reference_per_copy_of_a_platform_object_and_bytes_compare_as_bytes) {
    int object = 0;
    references = 1;  // the one the platform handed over with the datagram
    {
        const Endpoint received = Endpoint::adopt(&object, kCounting);
        EXPECT_EQ(references, 1);
        std::vector<Endpoint> copies(3, received);
        EXPECT_EQ(references, 4);
        Endpoint moved = std::move(copies[0]);
        EXPECT_EQ(references, 4);
        copies[1] = copies[2];
        EXPECT_EQ(references, 4);
        copies[2] = Endpoint(std::vector<std::uint8_t>{1, 2});
        EXPECT_EQ(references, 3);
        EXPECT_EQ(moved.object(), &object);
        EXPECT_EQ(moved, received);
        EXPECT_NE(copies[2], received);
    }
    EXPECT_EQ(references, 0);

    // Endpoints of bytes compare by their bytes, cut to the capacity.
    const std::vector<std::uint8_t> a{1, 2, 3};
    EXPECT_EQ(Endpoint(a), Endpoint(a));
    EXPECT_NE(Endpoint(a), Endpoint(std::vector<std::uint8_t>{1, 2}));
    EXPECT_TRUE(Endpoint().empty());
    EXPECT_FALSE(Endpoint(a).empty());
    EXPECT_TRUE(Endpoint::adopt(nullptr, kCounting).empty());
    EXPECT_EQ(Endpoint(std::vector<std::uint8_t>(40, 7)).bytes().size(), Endpoint::kCapacity);
}

// Under /Users/ by the user's name as the system gives it, whatever the user's home is. No name,
// or the login window's, is no person and has no list; the comparison is case-sensitive.
TEST(ConsoleUser, blocklist_path_by_name_and_none_for_no_person) {
    const std::pair<const char*, std::optional<std::string>> rows[] = {
        {"user1", "/Users/user1/Library/Application Support/SieveHarbor/blocklist.txt"},
        {"", std::nullopt},
        {"loginwindow", std::nullopt},
        {"LoginWindow", "/Users/LoginWindow/Library/Application Support/SieveHarbor/blocklist.txt"},
    };
    for (const auto& [user, path] : rows) {
        EXPECT_EQ(blocklistPathOfConsoleUser(user), path) << user;
    }
}

}  // namespace
}  // namespace sieveharbor::platform
