#include "platform/posix/posix_file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "fakes/temp_folder.h"
#include "text/text.h"

namespace sieveharbor::platform::posix {
namespace {

namespace fs = std::filesystem;
using platform::FileSystem;

class PosixFileSystemTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(temp_.path().empty());
        folder_ = temp_.path();
    }
    std::string make(const std::string& name, const std::string& bytes) {
        const auto path = folder_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path.string();
    }

    fakes::TempFolder temp_;
    fs::path folder_;
    PosixFileSystem files_;
};

struct ReadCase {
    const char* name;
    std::string bytes;
    bool readable;
};

class ReadsFile : public PosixFileSystemTest, public testing::WithParamInterface<ReadCase> {};

TEST_P(ReadsFile, whole_text_or_nothing) {
    const auto& c = GetParam();
    const auto path = make("list.txt", c.bytes);
    EXPECT_TRUE(files_.fileExistsAtPath(path));
    const auto text = files_.readUtf8File(path);
    if (c.readable) {
        ASSERT_TRUE(text);
        EXPECT_EQ(*text, c.bytes);
    } else {
        EXPECT_FALSE(text);
    }
}

std::string large() {
    std::string text;
    for (int i = 0; i < 20000; ++i) {
        text += "host" + std::to_string(i) + ".example.com\n";
    }
    return text + "bücher.example\n";
}

INSTANTIATE_TEST_SUITE_P(
    PosixFileSystem, ReadsFile,
    testing::Values(ReadCase{"empty_file", "", true},
                    ReadCase{"ascii", "ads.example.com\n# comment\n", true},
                    ReadCase{"utf8_with_bom",
                             "\xEF\xBB\xBF"
                             "bücher.example\n",
                             true},
                    ReadCase{"larger_than_one_read", large(), true},
                    ReadCase{"one_ill_formed_byte", "ads.example.com\n\xFF\n", false},
                    ReadCase{"truncated_sequence_at_end", "ads.example.com\n\xC3", false},
                    ReadCase{"surrogate", "\xED\xA0\x80.example\n", false},
                    ReadCase{"overlong_slash", "\xC0\xAF", false}),
    [](const auto& info) { return std::string(info.param.name); });

// A big file comes in pieces that end on character boundaries, wherever its characters fall
// against the reader's buffer, and an ill-formed byte far into it still refuses the whole file.
TEST_F(PosixFileSystemTest, big_files_come_in_whole_characters) {
    constexpr std::size_t kPiece = PosixFileSystem::kPieceBytes;
    const std::string characters[] = {"\xC3\xA9", "\xE2\x80\xA8", "\xF0\x9F\x98\x80"};
    for (const auto& character : characters) {
        for (std::size_t before = 1; before < character.size(); ++before) {
            SCOPED_TRACE(testing::Message() << character.size() << " bytes, cut after " << before);
            const std::string bytes = std::string(kPiece - before, 'a') + character +
                                      std::string(kPiece, 'b') + character + "\n";
            const auto path = make("big.txt", bytes);
            std::string joined;
            std::size_t pieces = 0;
            ASSERT_EQ(
                files_.readUtf8FileInPieces(path,
                                            [&](std::string_view piece, std::size_t expected) {
                                                EXPECT_EQ(expected, bytes.size());
                                                EXPECT_LE(piece.size(), kPiece);
                                                EXPECT_TRUE(text::isWellFormedUtf8(piece));
                                                joined.append(piece);
                                                ++pieces;
                                                return true;
                                            }),
                FileSystem::ReadStatus::complete);
            EXPECT_EQ(joined, bytes);
            EXPECT_GE(pieces, 3u);

            std::string broken = bytes;
            broken[kPiece + 10] = '\xFF';
            EXPECT_EQ(
                files_.readUtf8FileInPieces(make("broken.txt", broken),
                                            [](std::string_view, std::size_t) { return true; }),
                FileSystem::ReadStatus::notUtf8);
            broken.resize(broken.size() - 2);  // ends inside the last character
            broken[kPiece + 10] = 'b';
            EXPECT_FALSE(files_.readUtf8File(make("cut.txt", broken)));
        }
    }
}

// A read that overlaps a change to the file (written in place, truncated, or another file renamed
// over it) is not complete: what it saw may be half of either version.
TEST_F(PosixFileSystemTest, a_file_changed_while_read_is_reported_as_changed) {
    const std::string bytes(3 * PosixFileSystem::kPieceBytes, 'a');
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> change;
    };
    const std::vector<Case> cases = {
        {"appended to",
         [](const std::string& path) { std::ofstream(path, std::ios::app) << "more.example\n"; }},
        {"truncated",
         [](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), 10), 0) << path; }},
        {"replaced by a rename",
         [this](const std::string& path) { fs::rename(make("next.txt", "next.example\n"), path); }},
        {"left alone", nullptr},
    };
    for (const auto& c : cases) {
        const auto path = make("list.txt", bytes);
        bool first = true;
        const auto status = files_.readUtf8FileInPieces(path, [&](std::string_view, std::size_t) {
            if (first && c.change) {
                c.change(path);
            }
            first = false;
            return true;
        });
        EXPECT_EQ(status, c.change ? FileSystem::ReadStatus::changedWhileRead
                                   : FileSystem::ReadStatus::complete)
            << c.what;
    }
}

TEST_F(PosixFileSystemTest, missing_file_neither_exists_nor_reads) {
    const auto path = (folder_ / "absent.txt").string();
    EXPECT_FALSE(files_.fileExistsAtPath(path));
    EXPECT_FALSE(files_.readUtf8File(path));
}

TEST_F(PosixFileSystemTest, folder_exists_but_does_not_read) {
    EXPECT_TRUE(files_.fileExistsAtPath(folder_.string()));
    EXPECT_FALSE(files_.readUtf8File(folder_.string()));
}

TEST_F(PosixFileSystemTest, fifo_is_refused_without_blocking) {
    const auto path = (folder_ / "fifo").string();
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_TRUE(files_.fileExistsAtPath(path));
    EXPECT_FALSE(files_.readUtf8File(path));
}

TEST_F(PosixFileSystemTest, symbolic_links_are_followed) {
    const auto target = make("target.txt", "linked.example\n");
    const auto link = folder_ / "link.txt";
    const auto dangling = folder_ / "dangling.txt";
    fs::create_symlink(target, link);
    fs::create_symlink(folder_ / "gone.txt", dangling);
    EXPECT_EQ(files_.readUtf8File(link.string()).value_or(""), "linked.example\n");
    EXPECT_FALSE(files_.fileExistsAtPath(dangling.string()));
}

TEST_F(PosixFileSystemTest, unreadable_file_reads_as_nothing) {
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root reads files whatever their mode";
    }
    const auto path = make("secret.txt", "x.example\n");
    ::chmod(path.c_str(), 0);
    EXPECT_TRUE(files_.fileExistsAtPath(path));
    EXPECT_FALSE(files_.readUtf8File(path));
}

}  // namespace
}  // namespace sieveharbor::platform::posix
