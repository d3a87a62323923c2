#include "lists/list_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "fakes/temp_folder.h"

namespace sieveharbor::lists {
namespace {

namespace fs = std::filesystem;
using fakes::TempFolder;

std::string contentOf(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    ::stat(path.c_str(), &info);
    return info.st_mode & 07777;
}

TEST(ReadInto, takes_every_line_and_drops_only_the_overlong_one) {
    const TempFolder folder;
    const std::string endless(200'000, 'x');  // longer than any rule, and than one read
    writeFile(folder.path() / "list",
              "a.example\r\n" + endless + "\n\nb.example\n" + endless + "\nc.example");
    lists::ListBuilder builder;
    builder.beginInput("list");
    bool full = true;
    EXPECT_FALSE(readInto(folder.path() / "list", builder, full));
    EXPECT_FALSE(full);
    const auto list = std::move(builder).finish(true);
    EXPECT_EQ(std::vector<std::string>(list.entries.begin(), list.entries.end()),
              (std::vector<std::string>{"a.example", "b.example", "c.example"}));
    EXPECT_EQ(list.counts.inputs[0].lines, 6u);
    EXPECT_EQ(list.counts.skipped[static_cast<std::size_t>(lists::Skip::lineTooLong)], 2u);

    EXPECT_EQ(readInto(folder.path() / "missing", builder, full),
              std::errc::no_such_file_or_directory);
    EXPECT_EQ(readInto(folder.path(), builder, full), std::errc::is_a_directory);
}

TEST(WriteAtomically, keeps_the_mode_and_a_link_and_leaves_nothing_behind) {
    const TempFolder folder;
    const auto list = folder.path() / "list.txt";
    ASSERT_FALSE(writeAtomically(list, "new\n"));
    EXPECT_EQ(modeOf(list), 0644u) << "a new list is readable by the service";

    // Readable by a group only, as a list for the service may be: mode and group stay.
    fs::permissions(list, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    const gid_t group = ::getuid() == 0 ? 1 : ::getgid();  // root can give any group
    ASSERT_EQ(::chown(list.c_str(), static_cast<uid_t>(-1), group), 0);
    ASSERT_FALSE(writeAtomically(list, "second\n"));
    EXPECT_EQ(contentOf(list), "second\n");
    EXPECT_EQ(modeOf(list), 0640u);
    struct stat info {};
    ASSERT_EQ(::stat(list.c_str(), &info), 0);
    EXPECT_EQ(info.st_gid, group);

    const auto link = folder.path() / "link.txt";
    fs::create_symlink(list, link);
    ASSERT_FALSE(writeAtomically(link, "through the link\n"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(contentOf(list), "through the link\n");

    // A folder in the way: the rename fails, and the old file and the folder stay as they were.
    fs::create_directory(folder.path() / "taken");
    EXPECT_TRUE(writeAtomically(folder.path() / "taken", "x"));
    EXPECT_FALSE(writeAtomically(folder.path() / "none" / "list.txt", "x") == std::error_code());
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(folder.path())) {
        ++files;
    }
    EXPECT_EQ(files, 3u) << "a temporary file was left behind";
}

}  // namespace
}  // namespace sieveharbor::lists
