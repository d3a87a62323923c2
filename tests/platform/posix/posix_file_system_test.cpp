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

// Whole well-formed UTF-8 text, byte order mark and all, or nothing; which sequences are
// well-formed is the text module's to test.
TEST_F(PosixFileSystemTest, reads_whole_utf8_text_or_nothing) {
    struct Row {
        const char* what;
        std::string bytes;
        bool readable;
    };
    // clang-format off
    const Row rows[] = {
        {"empty", "", true},
        {"utf-8 with a byte order mark", "\xEF\xBB\xBF" "bücher.example\n# comment\n", true},
        {"one ill-formed byte", "ads.example.com\n\xFF\n", false},
        {"a sequence cut at the end", "ads.example.com\n\xC3", false},
    };
    // clang-format on
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        const auto path = make("list.txt", row.bytes);
        EXPECT_EQ(files_.readUtf8File(path),
                  row.readable ? std::optional(row.bytes) : std::nullopt);
    }
}

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

// What is not a readable regular file does not read; a fifo does not block the reader, and a link
// is followed.
TEST_F(PosixFileSystemTest, only_readable_regular_files_read) {
    const auto target = make("target.txt", "linked.example\n");
    fs::create_symlink(target, folder_ / "link.txt");
    fs::create_symlink(folder_ / "gone.txt", folder_ / "dangling.txt");
    ASSERT_EQ(::mkfifo((folder_ / "fifo").c_str(), 0600), 0);
    ::chmod(make("secret.txt", "x.example\n").c_str(), 0);
    const bool root = ::geteuid() == 0;  // reads files whatever their mode
    struct Row {
        const char* name;
        bool exists;
        std::optional<std::string> text;
    };
    const Row rows[] = {
        {"absent.txt", false, std::nullopt},
        {"", true, std::nullopt},  // the folder
        {"fifo", true, std::nullopt},
        {"link.txt", true, "linked.example\n"},
        {"dangling.txt", false, std::nullopt},
        {"secret.txt", true, root ? std::optional<std::string>("x.example\n") : std::nullopt},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto path = (folder_ / row.name).string();
        EXPECT_EQ(files_.fileExistsAtPath(path), row.exists);
        EXPECT_EQ(files_.readUtf8File(path), row.text);
    }
}

}  // namespace
}  // namespace sieveharbor::platform::posix
