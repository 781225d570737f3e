#include "web/page_producer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

namespace sl {
namespace {

struct Call {
  TTag tag;
  std::string name;
  std::vector<std::string> params;
};

// A producer whose handler records every call and answers "[name]" for
// the names it knows.
class PageProducerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    producer_.OnHTMLTag = [this](TTag tag, const std::string& name,
                                 const std::vector<std::string>& params, std::string& reply) {
      EXPECT_TRUE(reply.empty());
      calls_.push_back({tag, name, params});
      if (name == "Name" || name == "Item" || name == "x") reply = "[" + name + "]";
    };
  }

  std::string Produce(std::string_view html) { return producer_.ProducePage(html); }

  TPageProducer producer_;
  std::vector<Call> calls_;
};

TEST_F(PageProducerTest, TextWithoutTagsPassesByteForByte) {
  std::string html = "<html>\r\n<b>\x82\xa0\x82\xa2</b>\t a < b\r\n</html>\r\n";
  std::string expected = "<html>\r\n<b>\x82\xa0\x82\xa2</b>\t a <b\r\n</html>\r\n";
  EXPECT_EQ(Produce(html), expected);
  EXPECT_EQ(Produce("x <"), "x <");
  EXPECT_EQ(Produce("<<#Name>"), "<<#Name>");
  EXPECT_TRUE(calls_.empty());
}

TEST_F(PageProducerTest, TagsAreReplaced) {
  EXPECT_EQ(Produce("a<#Name>b"), "a[Name]b");
  EXPECT_EQ(Produce("< #Name>|<# Name >"), "[Name]|[Name]");
  EXPECT_EQ(Produce("<#Other>-<#X a=1 b=2>."), "-.");
  EXPECT_EQ(Produce("line\n<#Name>\nnext"), "line\n[Name]\nnext");
  ASSERT_EQ(calls_.size(), 6u);
  EXPECT_EQ(calls_[4].name, "X");
  EXPECT_EQ(calls_[4].params, (std::vector<std::string>{"a=1", "b=2"}));
  EXPECT_EQ(calls_[4].tag, TTag::tgCustom);

  calls_.clear();
  Produce("<#link><#IMAGE><#Table><#imagemap><#object><#embed><#9>");
  ASSERT_EQ(calls_.size(), 7u);
  EXPECT_EQ(calls_[0].tag, TTag::tgLink);
  EXPECT_EQ(calls_[1].tag, TTag::tgImage);
  EXPECT_EQ(calls_[2].tag, TTag::tgTable);
  EXPECT_EQ(calls_[3].tag, TTag::tgImageMap);
  EXPECT_EQ(calls_[4].tag, TTag::tgObject);
  EXPECT_EQ(calls_[5].tag, TTag::tgEmbed);
  EXPECT_EQ(calls_[6].name, "9");  // a name that is not a symbol is one byte
  EXPECT_EQ(calls_[6].tag, TTag::tgCustom);
}

TEST_F(PageProducerTest, ParametersAndQuotes) {
  EXPECT_EQ(Produce("<#Item name=\"two words\" size=3>!"), "[Item]!");
  EXPECT_EQ(calls_.back().params, (std::vector<std::string>{"name=two words", "size=3"}));
  EXPECT_EQ(Produce("<#Name title=\"a>b\">!"), "[Name]!");
  EXPECT_EQ(calls_.back().params, (std::vector<std::string>{"title=a>b"}));
  EXPECT_EQ(Produce("<#Name t='x>y' u=\"it's\">!"), "[Name]!");
  EXPECT_EQ(calls_.back().params, (std::vector<std::string>{"t=x>y", "u=it&#39;s"}));
  Produce("<#Name v=a+b%41 w='say-\"hi\"'>");
  EXPECT_EQ(calls_.back().params, (std::vector<std::string>{"v=a bA", "w=say-&quot;hi&quot;"}));
  // Only double quotes keep a field together across a space.
  Produce("<#Name w='a b' \"c d\">");
  EXPECT_EQ(calls_.back().params, (std::vector<std::string>{"w='a", "b'", "c d"}));

  producer_.StripParamQuotes = false;
  Produce("<#Name t=\"q\">");
  EXPECT_EQ(calls_.back().params, (std::vector<std::string>{"t=\"q\""}));

  EXPECT_THROW(Produce("<#Name v=%zz>"), EPageProducerError);
  EXPECT_EQ(StripQuotes("\"lone"), "\"lone");
  EXPECT_EQ(StripQuotes("'a'\"b\""), "ab");
}

TEST_F(PageProducerTest, TemplateEndingInsideATag) {
  EXPECT_EQ(Produce("head<#Name x=1"), "head[Name]");
  EXPECT_EQ(calls_.back().params, (std::vector<std::string>{"x=1"}));
  EXPECT_EQ(Produce("head<#"), "head");
  EXPECT_EQ(calls_.back().name, "");
}

TEST_F(PageProducerTest, NulByteEndsTheOutput) {
  EXPECT_EQ(Produce(std::string_view("before\0after", 12)), "before");
  EXPECT_EQ(Produce(std::string_view("<#Name>\0<#Name>", 15)), "[Name]");
}

TEST_F(PageProducerTest, LineLimit) {
  EXPECT_EQ(Produce(std::string(4000, 'a')), std::string(4000, 'a'));
  try {
    Produce(std::string(5000, 'a'));
    FAIL() << "no error";
  } catch (const EParserError& e) {
    EXPECT_STREQ(e.what(), "Line too long on line 1");
  }
  EXPECT_THROW(Produce(std::string(4096, 'b')), EParserError);
  // 4095 bytes and their LF fill the buffer exactly and are fine; long
  // texts made of such lines work across many refills.
  std::string line = std::string(4095, 'c') + "\n";
  std::string many = line + line + line + "<#Name>";
  EXPECT_EQ(Produce(many), line + line + line + "[Name]");
  try {
    Produce("one\ntwo\n" + std::string(6000, 'd'));
    FAIL() << "no error";
  } catch (const EParserError& e) {
    EXPECT_STREQ(e.what(), "Line too long on line 3");
  }
}

TEST_F(PageProducerTest, FilesAndDocs) {
  char path[] = "/tmp/sl_page_XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    std::ofstream out(path, std::ios::binary);
    out << "<p><#Name></p>\r\n";
  }
  producer_.SetHTMLDoc({"doc <#x>", "second"});
  EXPECT_EQ(producer_.ProducePage(), "doc [x]\nsecond");
  producer_.SetHTMLFile(path);
  EXPECT_TRUE(producer_.HTMLDoc().empty());
  EXPECT_EQ(producer_.ProducePage(), "<p>[Name]</p>\r\n");
  // Same name in another letter case changes nothing.
  std::string upper = path;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  producer_.SetHTMLFile(upper);
  EXPECT_EQ(producer_.HTMLFile(), path);
  unlink(path);

  producer_.SetHTMLFile("/nonexistent/WatchSetting.html");
  try {
    producer_.ProducePage();
    FAIL() << "no error";
  } catch (const EPageProducerError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot open file \"/nonexistent/WatchSetting.html\". No such file or directory");
  }

  producer_.SetHTMLFile("/tmp");
  EXPECT_THROW(producer_.ProducePage(), EPageProducerError);

  TPageProducer bare;  // no handler: tags vanish
  EXPECT_EQ(bare.ProducePage(std::string_view("a<#T p=1>b")), "ab");
}

TEST_F(PageProducerTest, HandlerErrorLeavesProducePage) {
  producer_.OnHTMLTag = [](TTag, const std::string&, const std::vector<std::string>&,
                           std::string&) { throw std::runtime_error("tag failed"); };
  EXPECT_THROW(Produce("x<#Name>"), std::runtime_error);
}

}  // namespace
}  // namespace sl
