#include "web/admin_text.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/jconvert.h"

namespace sl {
namespace {

using Fields = std::vector<std::string>;

TEST(AdminTextTest, ParamValueMatchesNameWithoutCaseAndSplitsAtFirstEquals) {
  std::vector<std::string> params = {"novalue", "a=1", "Name=x=y", "name=second", "=empty"};
  EXPECT_EQ(ParamValue(params, "NAME"), "x=y");
  EXPECT_EQ(ParamValue(params, "a"), "1");
  EXPECT_EQ(ParamValue(params, "novalue"), "");  // a line without "=" has no name
  EXPECT_EQ(ParamValue(params, "missing"), "");
  EXPECT_EQ(ParamValue(params, ""), "empty");
}

TEST(AdminTextTest, SplitCommaFieldsQuotingAndBlanks) {
  EXPECT_EQ(SplitCommaFields(""), Fields{});
  EXPECT_EQ(SplitCommaFields("   "), Fields{});
  EXPECT_EQ(SplitCommaFields("\"a b\",x,1,m,c"), (Fields{"a b", "x", "1", "m", "c"}));
  // An unquoted field ends at a blank.
  EXPECT_EQ(SplitCommaFields("a b,x,1,m,c"), (Fields{"a", "b", "x", "1", "m", "c"}));
  EXPECT_EQ(SplitCommaFields("a,,b"), (Fields{"a", "", "b"}));
  EXPECT_EQ(SplitCommaFields(",a"), (Fields{"", "a"}));
  EXPECT_EQ(SplitCommaFields("a,"), (Fields{"a", ""}));
  EXPECT_EQ(SplitCommaFields("a , b "), (Fields{"a", "b"}));
  EXPECT_EQ(SplitCommaFields("\"say \"\"hi\"\"\",2"), (Fields{"say \"hi\"", "2"}));
  EXPECT_EQ(SplitCommaFields("\"q\"rest,z"), (Fields{"q", "rest", "z"}));
  EXPECT_EQ(SplitCommaFields("\"open, to end"), Fields{"open, to end"});
  EXPECT_EQ(SplitCommaFields("\"a\tb\",c"), (Fields{"a\tb", "c"}));
  EXPECT_EQ(SplitCommaFields(std::string_view("a,b\0,c", 6)), (Fields{"a", "b"}));
}

TEST(AdminTextTest, ExpandPathResolvesDotsTextually) {
  EXPECT_EQ(ExpandPath("/opt/sl/www/../data/env.csv"), "/opt/sl/data/env.csv");
  EXPECT_EQ(ExpandPath("/opt/sl/www/./a//b"), "/opt/sl/www/a/b");
  EXPECT_EQ(ExpandPath("/opt/sl/www/"), "/opt/sl/www/");
  EXPECT_EQ(ExpandPath("/../../etc/passwd"), "/etc/passwd");
  EXPECT_EQ(ExpandPath("/a/.."), "/");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(ExpandPath("x/y"), ExpandPath(std::string(cwd) + "/x/y"));
}

}  // namespace
}  // namespace sl
