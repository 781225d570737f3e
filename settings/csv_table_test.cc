#include "settings/csv_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "testing/test_support.h"

namespace sl {
namespace {

class CsvTableTest : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    testing::WriteFile(path, bytes);
    return path;
  }
  static std::string Read(const std::string& path) { return testing::ReadFile(path); }
  CsvTable Loaded(const std::string& bytes) {
    CsvTable t;
    t.Separator = ",";
    t.LoadFromBytes(bytes);
    return t;
  }

  testing::TempDir temp_{"sl-csv"};
  std::string dir_ = temp_.path();
};

TEST_F(CsvTableTest, QuotedFileRoundTripsByteForByte) {
  const std::string bytes = "\"a\",\"b\"\n\"1\",\"\"\n";
  CsvTable t;
  t.Separator = ",";
  ASSERT_TRUE(t.LoadFromFile(Write("in.csv", bytes)));
  ASSERT_EQ(t.FieldNames(), (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(t.RowCount(), 1);
  EXPECT_EQ(t.GetValue("a"), "1");
  EXPECT_EQ(t.GetValue("b"), "");
  std::string out = dir_ + "/out.csv";
  ASSERT_TRUE(t.SaveToFile(out));
  EXPECT_EQ(Read(out), bytes);
}

TEST_F(CsvTableTest, BlanksVanishOutsideQuotesAndDoubledQuotesUnfold) {
  CsvTable t = Loaded("a,b\nx y,\"p \"\"q\"\" r\"\n");
  EXPECT_EQ(t.GetValue("a"), "xy");
  EXPECT_EQ(t.GetValue("b"), "p \"q\" r");
  // The unquoted first token typed column a FLOAT: saved unquoted.
  EXPECT_EQ(t.FieldTypes()[0], "FLOAT");
  EXPECT_EQ(t.Serialize(), "\"a\",\"b\"\nxy,\"p \"\"q\"\" r\"\n");
}

TEST_F(CsvTableTest, FloatCellThatWouldNotReadBackIsQuoted) {
  CsvTable t = Loaded("FileName,b\n/var/log/a.log,\"x\"\n");
  ASSERT_EQ(t.FieldTypes()[0], "FLOAT");
  ASSERT_TRUE(t.SetValue("FileName", "/var/log/my app,1.log"));
  CsvTable back = Loaded(t.Serialize());
  EXPECT_EQ(back.GetValue("FileName"), "/var/log/my app,1.log");
  // Values that read back unchanged keep their unquoted form.
  ASSERT_TRUE(t.SetValue("FileName", "42"));
  EXPECT_EQ(t.Serialize(), "\"FileName\",\"b\"\n42,\"x\"\n");
}

TEST_F(CsvTableTest, LastRowDecidesTypeOfFirstColumn) {
  EXPECT_EQ(Loaded("a\n1\n\"2\"\n").FieldTypes()[0], "STRING");
  EXPECT_EQ(Loaded("a\n\"1\"\n2\n").FieldTypes()[0], "FLOAT");
  // An empty quoted token leaves the type as it was.
  EXPECT_EQ(Loaded("a\n1\n\"\"\n").FieldTypes()[0], "FLOAT");
  EXPECT_EQ(Loaded("a\n1\n\n").FieldTypes()[0], "STRING");
}

TEST_F(CsvTableTest, QuotedSeparatorAndLineEndStayInOneCell) {
  CsvTable t = Loaded("\"a\",\"b\"\n\"x,\ny\",\"z\"\n");
  ASSERT_EQ(t.RowCount(), 1);
  EXPECT_EQ(t.GetValue("a"), "x,\ny");
  EXPECT_EQ(t.Serialize(), "\"a\",\"b\"\n\"x,\ny\",\"z\"\n");
}

TEST_F(CsvTableTest, ExtraTokensDroppedMissingCellsEmptyEmptyLinesAreRows) {
  CsvTable t = Loaded("\"a\",\"b\"\n\"1\",\"2\",\"3\"\n\n\"4\"\n");
  ASSERT_EQ(t.RowCount(), 3);
  EXPECT_EQ(t.Rows()[0], (std::vector<std::string>{"1", "2"}));
  EXPECT_EQ(t.Rows()[1], (std::vector<std::string>{"", ""}));
  EXPECT_EQ(t.Rows()[2], (std::vector<std::string>{"4", ""}));
  // A trailing empty line yields an empty last row.
  EXPECT_EQ(Loaded("\"a\"\n\"1\"\n\n").RowCount(), 2);
}

TEST_F(CsvTableTest, CrLfFilesReadAsLfFiles) {
  CsvTable t = Loaded("\"a\",\"b\"\r\n\"1\",\"x\r\ny\r\"\r\nz,w\r\n");
  EXPECT_EQ(t.FieldNames(), (std::vector<std::string>{"a", "b"}));
  ASSERT_EQ(t.RowCount(), 2);
  // A CR inside quotes is text; only the one ending a record goes.
  EXPECT_EQ(t.Rows()[0], (std::vector<std::string>{"1", "x\r\ny\r"}));
  EXPECT_EQ(t.Rows()[1], (std::vector<std::string>{"z", "w"}));
  EXPECT_EQ(t.Serialize(), "\"a\",\"b\"\n1,\"x\r\ny\r\"\nz,\"w\"\n");
}

TEST_F(CsvTableTest, HeaderOnlyEmptyFileAndMissingFile) {
  CsvTable header = Loaded("\"a\",\"b\"\n");
  EXPECT_EQ(header.FieldCount(), 2);
  EXPECT_EQ(header.RowCount(), 0);
  EXPECT_EQ(header.Serialize(), "\"a\",\"b\"\n");

  CsvTable empty;
  ASSERT_TRUE(empty.LoadFromFile(Write("zero.csv", "")));
  EXPECT_EQ(empty.FieldCount(), 0);
  EXPECT_EQ(empty.RowCount(), 0);
  EXPECT_EQ(empty.Serialize(), "");

  CsvTable kept = Loaded("\"a\"\n\"1\"\n");
  EXPECT_FALSE(kept.LoadFromFile(dir_ + "/missing.csv"));
  EXPECT_EQ(kept.RowCount(), 1);
  EXPECT_EQ(kept.GetValue("a"), "1");
}

TEST_F(CsvTableTest, RowsWithoutColumnsSaveAsEmptyFile) {
  CsvTable t;
  t.AppendRow();
  EXPECT_FALSE(t.SetValue("MailSubject", "x"));
  std::string out = dir_ + "/env.csv";
  ASSERT_TRUE(t.SaveToFile(out));
  EXPECT_EQ(Read(out), "");
}

TEST_F(CsvTableTest, ColumnNamesIgnoreLetterCaseAndCursorRules) {
  CsvTable t = Loaded("\"FileName\"\n\"x\"\n\"y\"\n");
  EXPECT_FALSE(t.AddField("filename"));
  EXPECT_FALSE(t.AddField("   "));
  ASSERT_TRUE(t.First());
  EXPECT_EQ(t.GetValue("FILENAME"), "x");
  EXPECT_TRUE(t.Next());
  EXPECT_FALSE(t.Next());
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.GetValue("FileName"), "y");  // cursor stays on the last row
  EXPECT_FALSE(t.SetCell(0, "z"));
  EXPECT_FALSE(t.SetCell(2, "z"));
  EXPECT_EQ(t.GetValue("nope"), "");
}

TEST_F(CsvTableTest, SaveIsAtomicAndKeepsPermissions) {
  std::string path = Write("keep.csv", "old");
  ASSERT_EQ(chmod(path.c_str(), 0640), 0);
  CsvTable t = Loaded("\"a\"\n\"1\"\n");
  ASSERT_TRUE(t.SaveToFile(path));
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(Read(path), "\"a\"\n\"1\"\n");
  // No temporary files are left in the directory.
  EXPECT_EQ(std::system(("test $(ls " + dir_ + " | wc -l) -eq 1").c_str()), 0);

  // A link stays a link; its target is replaced in the target's directory.
  ASSERT_EQ(mkdir((dir_ + "/real").c_str(), 0700), 0);
  ASSERT_EQ(rename(path.c_str(), (dir_ + "/real/keep.csv").c_str()), 0);
  ASSERT_EQ(symlink("real/keep.csv", path.c_str()), 0);
  t.AppendRow();
  ASSERT_TRUE(t.SaveToFile(path));
  struct stat link;
  ASSERT_EQ(lstat(path.c_str(), &link), 0);
  EXPECT_TRUE(S_ISLNK(link.st_mode));
  EXPECT_EQ(Read(dir_ + "/real/keep.csv"), "\"a\"\n\"1\"\n\"\"\n");
  EXPECT_EQ(std::system(("test $(ls " + dir_ + "/real | wc -l) -eq 1").c_str()), 0);
}

TEST_F(CsvTableTest, SaveIntoMissingDirectoryFailsWithCode3) {
  CsvTable t = Loaded("\"a\"\n\"1\"\n");
  EXPECT_FALSE(t.SaveToFile(dir_ + "/no/such/dir.csv"));
  EXPECT_EQ(t.LastErrorCode, 3);
  EXPECT_EQ(t.LastErrorText, "1-Unable to open the file for writing");
}

TEST_F(CsvTableTest, QuoteInColumnNameSurvivesSaveAndLoad) {
  CsvTable t = Loaded("\"col \"\"q\"\"\",\"b\"\n\"1\",\"2\"\n");
  ASSERT_EQ(t.FieldNames(), (std::vector<std::string>{"col \"q\"", "b"}));
  EXPECT_EQ(t.Serialize(), "\"col \"\"q\"\"\",\"b\"\n\"1\",\"2\"\n");
  CsvTable back = Loaded(t.Serialize());
  EXPECT_EQ(back.FieldNames(), t.FieldNames());
  EXPECT_EQ(back.Rows(), t.Rows());
}

}  // namespace
}  // namespace sl
