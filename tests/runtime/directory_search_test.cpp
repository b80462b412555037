// Directory search: patterns, the files-only switch and attribute masks, over a real folder.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "runtime/directory_search.h"
#include "runtime/memory.h"
#include "support/child.h"

namespace {

using namespace rt;
using namespace testing_support;

// Every name one search gives, to its end (the search handle is closed by then).
std::multiset<std::string> Search(const std::string& pattern, std::uint32_t mask,
                                  std::uint32_t filesOnly) {
    std::multiset<std::string> names;
    plat::FindHandle search = nullptr;
    for (TextValue name = FindEntry(pattern.c_str(), mask, filesOnly, &search); name;
         name = FindEntry(nullptr, mask, filesOnly, &search)) {
        names.insert(name);
        SvcFree(name);
    }
    EXPECT_EQ(search, nullptr) << "the end of a search closes it";
    return names;
}

class DirectorySearch : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = MakeTempDir();
        WriteFile(dir_ + "/a.txt", "a");
        WriteFile(dir_ + "/b.log", "b");
        WriteFile(dir_ + "/c.txt", "c");
        std::filesystem::create_directory(dir_ + "/sub");
        WriteFile(dir_ + "/sub/inner.txt", "i");
    }
    void TearDown() override { RemoveTree(dir_); }
    std::string In(const std::string& pattern) const { return dir_ + "\\" + pattern; }
    std::string dir_;
};

TEST_F(DirectorySearch, FilesOnlyKeepsEveryFileThatMatchesAndNoDirectory) {
    using Names = std::multiset<std::string>;
    EXPECT_EQ(Search(In("*.txt"), 0, 1), (Names{"a.txt", "c.txt"}));
    EXPECT_EQ(Search(In("*"), 0, 1), (Names{"a.txt", "b.log", "c.txt"}));
    EXPECT_EQ(Search(In("*"), plat::kAttrDirectory, 1), (Names{"a.txt", "b.log", "c.txt"}))
        << "the switch wins over the mask";
    EXPECT_EQ(Search(In("*.none"), 0, 1), Names{});
    EXPECT_EQ(Search(dir_ + "\\missing\\*", 0, 1), Names{});
}

TEST_F(DirectorySearch, AMaskKeepsEntriesWithOneOfItsAttributes) {
    const auto directories = Search(In("*"), plat::kAttrDirectory, 0);
    EXPECT_EQ(directories.count("sub"), 1u);
    EXPECT_EQ(directories.count("a.txt"), 0u);
    const auto files = Search(In("*"), plat::kAttrArchive, 0);
    EXPECT_EQ(files.count("a.txt"), 1u) << "a file written here carries the archive bit";
    EXPECT_EQ(files.count("sub"), 0u);
}

TEST_F(DirectorySearch, ANextWithoutASearchFindsNothing) {
    plat::FindHandle search = nullptr;
    EXPECT_EQ(FindEntry(nullptr, 0, 1, &search), nullptr);
    EXPECT_EQ(FindEntry("", 0, 1, &search), nullptr);
    // A new pattern starts over, closing the search before it.
    TextValue first = FindEntry(In("a.*").c_str(), 0, 1, &search);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "a.txt");
    SvcFree(first);
    ASSERT_NE(search, nullptr);
    TextValue again = FindEntry(In("c.*").c_str(), 0, 1, &search);
    ASSERT_NE(again, nullptr);
    EXPECT_STREQ(again, "c.txt");
    SvcFree(again);
    EXPECT_EQ(FindEntry(nullptr, 0, 1, &search), nullptr);
    EXPECT_EQ(search, nullptr);
}

#ifndef _WIN32
TEST_F(DirectorySearch, ALeadingDotIsHiddenOnLinux) {
    WriteFile(dir_ + "/.hidden", "h");
    const auto hidden = Search(In("*"), plat::kAttrHidden, 0);
    EXPECT_EQ(hidden, (std::multiset<std::string>{".hidden"})) << "never . or ..";
}
#endif

}  // namespace
