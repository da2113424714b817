#include "install/bank_files.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "test_util.h"

namespace upkeep {
namespace {

TEST(InstallBankFiles, PathsThatWouldNotFitAreLeftAlone) {
  test::TempDir dir;
  // Each level adds 41 characters; the walk stops where 255 is passed.
  const std::string segment(40, 's');
  std::string relative;
  std::vector<std::string> files;
  for (int depth = 0; depth < 7; ++depth) {
    relative += (depth == 0 ? "" : "/") + segment;
    GetFileSystem()->CreateDir(dir.Join(relative));
    // The ANSI file API sees no path beyond 259 characters.
    const std::string file = relative + "/bank.dat";
    if (dir.path().size() + 1 + file.size() <= 259 && test::WriteFileText(dir.Join(file), "b")) {
      files.push_back(file);
    }
  }
  ASSERT_GE(files.size(), 4u);
  // A name that would make its folder's path 257 characters long.
  std::string deepest = files.back().substr(0, files.back().rfind('/'));
  const size_t base = dir.path().size() + 1 + deepest.size() + 1;
  ASSERT_LT(base + 8, 257u);
  const std::string longName = deepest + "/bank" + std::string(257 - base - 8, 'x') + ".dat";
  ASSERT_TRUE(test::WriteFileText(dir.Join(longName), "b"));
  files.push_back(longName);
  DeleteBankFiles(dir.path());
  int deleted = 0;
  for (const std::string& file : files) {
    const size_t full = dir.path().size() + 1 + file.size();
    EXPECT_EQ(PathExists(dir.Join(file)), full > 255) << full;
    deleted += full <= 255 ? 1 : 0;
  }
  EXPECT_GT(deleted, 0);
  EXPECT_TRUE(PathExists(dir.Join(longName)));
  DeleteBankFiles(dir.Join("no such folder"));  // nothing to report
}

}  // namespace
}  // namespace upkeep
