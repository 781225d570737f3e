#include "web/mime_table.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace sl {
namespace {

TEST(MimeTableTest, BuiltInEntries) {
  ASSERT_EQ(TMimeTable::BuiltInEntries().size(), 136u);
  TMimeTable t(std::vector<std::string>{});
  // .xbm and .xml stand twice: 134 distinct extensions, the first wins.
  EXPECT_EQ(t.Count(), 134u);
  EXPECT_EQ(t.TypeOfExtension(".xbm"), "image/xbm");
  EXPECT_EQ(t.TypeOfExtension(".xml"), "text/xml");
  EXPECT_EQ(t.Extensions().front(), ".aiff");
  EXPECT_EQ(t.Extensions().back(), ".sgml");
  // Types are stored in lower case.
  EXPECT_EQ(t.TypeOfExtension(".mjf"), "audio/x-vnd.audioexplosion.mjuicemediafile");
  EXPECT_EQ(t.LookupMimeType("/www/pic.GIF"), "image/gif");
  EXPECT_EQ(t.LookupMimeType("a.b.htm"), "text/html");
  EXPECT_EQ(t.LookupMimeType("x.png"), "image/x-png");
  EXPECT_EQ(t.LookupMimeType("file.unknownext"), "application/octet-stream");
  EXPECT_EQ(t.LookupMimeType("noextension"), "application/octet-stream");
  EXPECT_EQ(t.LookupMimeType("/dir.htm/noext"), "application/octet-stream");
  EXPECT_EQ(t.LookupMimeType(""), "application/octet-stream");
}

TEST(MimeTableTest, SystemFileOverridesAndAppends) {
  std::vector<std::string> entries = {".png=image/x-png", ".a=x/a", ".A=x/second"};
  MergeMimeTypesText(
      "# comment line\n"
      "image/png\t\tpng  PNGX\n"
      "text/x-new new # trailing comment\n"
      "application/only-type\n"
      "  \n"
      "x/upper A\r\n",
      entries);
  EXPECT_EQ(entries, (std::vector<std::string>{".png=image/png", ".A=x/upper", ".A=x/second",
                                               ".PNGX=image/png", ".new=text/x-new"}));

  char path[] = "/tmp/sl_mime_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream out(path);
    out << "image/png png\nVideo/Odd ODD\n";
  }
  TMimeTable t({path, "/nonexistent/mime.types"});
  EXPECT_EQ(t.LookupMimeType("a.png"), "image/png");
  EXPECT_EQ(t.LookupMimeType("a.odd"), "video/odd");
  EXPECT_EQ(t.LookupMimeType("a.gif"), "image/gif");
  unlink(path);
}

TEST(MimeTableTest, DefaultTableReadsSystemFiles) {
  TMimeTable t;
  EXPECT_GE(t.Count(), 134u);
  EXPECT_EQ(t.LookupMimeType("index.html"), "text/html");
}

}  // namespace
}  // namespace sl
