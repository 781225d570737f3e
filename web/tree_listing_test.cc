#include "web/tree_listing.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "web/admin_test_util.h"

namespace sl {
namespace {

using testing::ReadFile;
using testing::WriteFile;

TEST(TreeListingTest, RunsTheInstalledProgramIntoAPrivateFile) {
  testing::TempInstall install;
  TreeListing listing(install.base());
  EXPECT_EQ(listing.OutputFile(), "");
  std::filesystem::create_directory(install.Path("bin"));
  WriteFile(install.Path("bin/tree"), "#!/bin/sh\necho \"listing $*\"\n");
  chmod(install.Path("bin/tree").c_str(), 0755);
  EXPECT_EQ(listing.Run(), install.base() + "./data/treeout.txt");
  EXPECT_EQ(listing.OutputFile(), "./data/treeout.txt");
  EXPECT_EQ(ReadFile(install.Path("data/treeout.txt")), "listing -n /\n");
  struct stat st;
  ASSERT_EQ(stat(install.Path("data/treeout.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(install.Path("data/treeout.txt.part")));

  // Without the program the shell still creates the file, empty.
  std::filesystem::remove(install.Path("bin/tree"));
  listing.Run();
  EXPECT_EQ(ReadFile(install.Path("data/treeout.txt")), "");
}

}  // namespace
}  // namespace sl
