#include <gtest/gtest.h>

#include <string>

#include "install/terms_text.h"
#include "package_test_util.h"
#include "platform/file_system.h"

namespace upkeep {
namespace {

using test::Entry;
using test::PackageTableGuard;
using test::TempDir;

// Runs with a current directory of its own, so no stray "umowa.txt" is found.
class TermsTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = GetFileSystem()->GetCurrentDir();
    ASSERT_TRUE(GetFileSystem()->SetCurrentDir(cwd_.path()));
  }
  void TearDown() override { GetFileSystem()->SetCurrentDir(saved_); }
  void Mount(const std::vector<ArchiveEntry>& entries) {
    std::string path = test::WriteTestPackage(pkg_, "update.exe", entries);
    ASSERT_FALSE(path.empty());
    ASSERT_NE(OpenPackage(path.c_str()), nullptr);
  }

  TempDir cwd_;
  TempDir pkg_;
  PackageTableGuard guard_;
  std::string saved_;
};

TEST_F(TermsTextTest, NoTermsLeavesTheDestinationAlone) {
  Mount({Entry("Strings.scr", "x")});
  std::string text = "unchanged";
  EXPECT_FALSE(LoadTermsText(&text));
  EXPECT_EQ(text, "unchanged");
}

TEST_F(TermsTextTest, TheWholeTextAsStoredUpToAnyNul) {
  const std::string terms = "First line\r\n\xB3\xF3\xBF\r\nlast line\r\n";
  Mount({Entry("UMOWA.TXT", terms, /*packed=*/true)});
  std::string text;
  EXPECT_TRUE(LoadTermsText(&text));
  EXPECT_EQ(text, terms) << "bytes unchanged, the trailing line break kept";
}

TEST_F(TermsTextTest, ANulEndsTheTextAndAnEmptyFileStillCounts) {
  Mount({Entry("umowa.txt", std::string("before\0after", 12))});
  std::string text = "old";
  EXPECT_TRUE(LoadTermsText(&text));
  EXPECT_EQ(text, "before");
}

TEST_F(TermsTextTest, EmptyEntryGivesAnEmptyText) {
  Mount({Entry("umowa.txt", "")});
  std::string text = "old";
  EXPECT_TRUE(LoadTermsText(&text));
  EXPECT_EQ(text, "");
}

TEST_F(TermsTextTest, AFileInTheCurrentDirectoryWhenThePackageHasNone) {
  ASSERT_TRUE(test::WriteFileText(cwd_.Join("umowa.txt"), "on disk\n"));
  std::string text;
  EXPECT_TRUE(LoadTermsText(&text));
  EXPECT_EQ(text, "on disk\n");
}

}  // namespace
}  // namespace upkeep
