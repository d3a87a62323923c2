// What the seam layer defines beside its interfaces, which both hosts build on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/console_user.h"
#include "platform/endpoint.h"
#include "platform/observer_list.h"
#include "platform/upstream.h"

namespace sieveharbor::platform {
namespace {

// A saved list of upstreams, as the extension reads what the app saved: used whole, or not at
// all, with the entry at fault named.
TEST(UpstreamList, is_read_whole_or_refused_naming_the_entry) {
    struct Row {
        std::vector<std::string> texts;
        const char* read;  // the list's texts, joined; or the error's start
    };
    const Row rows[] = {
        {{"1.1.1.3", "[2606:4700:4700::1113]:5353"}, "1.1.1.3:53 [2606:4700:4700::1113]:5353"},
        {{}, "no upstream is named"},
        {{"1.1.1.3", "one.one.one.one"}, "'one.one.one.one': 'one.one.one.one' is not a numeric"},
        {{"1.1.1.3:0"}, "'1.1.1.3:0': port '0'"},
        {{"tls://1.1.1.3#family.cloudflare-dns.com", "tls://[2606:4700:4700::1113]:8853"},
         "tls://1.1.1.3:853#family.cloudflare-dns.com tls://[2606:4700:4700::1113]:8853"},
        {{"tls://1.1.1.3#"}, "'tls://1.1.1.3#': no NAME after '#'"},
        {{"tls://1.1.1.3#-bad.example"}, "'tls://1.1.1.3#-bad.example': '-bad.example' is not a "},
        {{"tls://1.1.1.3#a..example"}, "'tls://1.1.1.3#a..example': 'a..example' is not a "},
        {{"tls://#dns.example"}, "'tls://#dns.example': no address after 'tls://'"},
        {{"https://1.1.1.3"}, "'https://1.1.1.3': no transport 'https://'"},
    };
    for (const auto& row : rows) {
        const auto parsed = parseUpstreamList(row.texts);
        std::string read;
        for (const auto& upstream : parsed.upstreams.value_or(UpstreamList{})) {
            read += (read.empty() ? "" : " ") + upstream.text();
        }
        EXPECT_EQ((parsed.upstreams ? read : parsed.error).find(row.read), 0u)
            << (parsed.upstreams ? read : parsed.error);
    }
}

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

// An observer that removed itself may be destroyed at once: removal waits out a delivery running
// its callback on another thread; a callback that removes itself, or another observer, does not
// wait, and the other is not called later in that delivery.
TEST(ObserverList, removal_waits_out_a_running_callback_but_not_its_own) {
    ObserverList list;
    std::promise<void> entered;
    std::atomic<bool> finished = false;
    const int a = 0;
    list.add(&a, [&] {
        entered.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        finished = true;
    });
    std::thread delivery([&] { list.deliver(); });
    entered.get_future().wait();
    list.removeEvery(&a);
    EXPECT_TRUE(finished) << "returned while the callback still ran";
    delivery.join();

    const int b = 0;
    const int c = 0;
    int calls = 0;
    list.add(&b, [&] {
        list.removeEvery(&b);
        list.removeEvery(&c);
        ++calls;
    });
    list.add(&c, [&] { ++calls; });
    list.deliver();
    list.deliver();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace sieveharbor::platform
