#include "core/jconvert.h"

#include <gtest/gtest.h>

#include <string>

#include "core/text.h"
#include "testing/test_support.h"

namespace sl {
namespace {

using testing::Euc;
using testing::Iconv;

// iconv's ISO-2022-JP also returns to ASCII at the very end.
std::string IconvJis(const std::string& euc) {
  std::string out;
  EXPECT_TRUE(Iconv("EUC-JP", "ISO-2022-JP", euc, &out));
  if (out.size() >= 3 && out.compare(out.size() - 3, 3, "\x1b(B") == 0) out.resize(out.size() - 3);
  return out;
}

TEST(EucToSjisTest, AgreesWithIconvOverEveryJisX0208Character) {
  int compared = 0;
  for (int row = 0xA1; row <= 0xFE; ++row) {
    for (int cell = 0xA1; cell <= 0xFE; ++cell) {
      std::string euc{static_cast<char>(row), static_cast<char>(cell)};
      std::string sjis;
      if (!Iconv("EUC-JP", "SHIFT_JIS", euc, &sjis)) continue;  // unassigned in either code
      ASSERT_EQ(EucToSjis(euc), sjis) << std::hex << row << " " << cell;
      ++compared;
    }
  }
  EXPECT_GT(compared, 6800);  // the 6879 characters of JIS X 0208
}

TEST(EucToSjisTest, HalfWidthKatakanaAsciiAndLineEnds) {
  std::string euc = Euc("ｱｲｳ ｶﾞ\r\nabc\n漢字");
  std::string sjis;
  ASSERT_TRUE(Iconv("EUC-JP", "SHIFT_JIS", euc, &sjis));
  EXPECT_EQ(EucToSjis(euc), sjis);
  EXPECT_EQ(EucToSjis("\xB4\xC1"), "\x8A\xBF");
  // 80 and FF are no lead bytes and pass as they are.
  EXPECT_EQ(EucToSjis(std::string("\x80\xFF", 2)), std::string("\x80\xFF", 2));
}

TEST(JisToSjisTest, OddAndEvenRows) {
  auto p = JisToSjis(0x34, 0x41);  // 漢
  EXPECT_EQ(p[0], 0x8A);
  EXPECT_EQ(p[1], 0xBF);
  p = JisToSjis(0x30, 0x21);  // 亜: even row
  EXPECT_EQ(p[0], 0x88);
  EXPECT_EQ(p[1], 0x9F);
  p = JisToSjis(0x60, 0x60);  // beyond 5F: second lead-byte block
  EXPECT_EQ(p[0], 0xE0);
  EXPECT_EQ(p[1], 0xDE);
}

TEST(EucToJisTest, AsciiUnchangedAndKanjiRuns) {
  EXPECT_EQ(EucToJis("plain text\r\n"), "plain text\r\n");
  EXPECT_EQ(EucToJis(""), "");
  // Two kanji then LF: ESC $ B, four 7-bit bytes, ESC ( B, LF.
  EXPECT_EQ(EucToJis(Euc("漢字\n")), "\x1b$B\x34\x41\x3b\x7a\x1b(B\n");
  std::string text = Euc("件名: 監視ワード ERROR を検出\r\n二行目。終わり");
  EXPECT_EQ(EucToJis(text), IconvJis(text));
  // A lead byte at the very end is paired with NUL.
  EXPECT_EQ(EucToJis("a\xB4"), std::string("a\x1b$B\x34\x00", 6));
}

TEST(EucToJisTest, HalfWidthKatakanaBecomeFullWidth) {
  const std::string half = "｡｢｣､･ｦｧｨｩｪｫｬｭｮｯｰｱｲｳｴｵｶｷｸｹｺｻｼｽｾｿﾀﾁﾂﾃﾄﾅﾆﾇﾈﾉﾊﾋﾌﾍﾎﾏﾐﾑﾒﾓﾔﾕﾖﾗﾘﾙﾚﾛﾜﾝﾞﾟ";
  const std::string full =
      "。「」、・ヲァィゥェォャュョッーアイウエオカキクケコサシスセソタチツテトナニヌネノハヒフヘホ"
      "マミムメモヤユヨラリルレロワン゛゜";
  EXPECT_EQ(EucToJis(Euc(half)), IconvJis(Euc(full)));
}

TEST(EucToJisTest, SoundMarksMergeWhereAFullWidthFormExists) {
  const std::string half = "ｶﾞｷﾞｸﾞｹﾞｺﾞｻﾞｼﾞｽﾞｾﾞｿﾞﾀﾞﾁﾞﾂﾞﾃﾞﾄﾞﾊﾞﾋﾞﾌﾞﾍﾞﾎﾞﾊﾟﾋﾟﾌﾟﾍﾟﾎﾟｳﾞ";
  const std::string full = "ガギグゲゴザジズゼゾダヂヅデドバビブベボパピプペポヴ";
  EXPECT_EQ(EucToJis(Euc(half)), IconvJis(Euc(full)));
  EXPECT_EQ(EucToJis(Euc("ｶﾞ")), "\x1b$B\x25\x2c");
  // No voiced form: the mark stands by itself.
  EXPECT_EQ(EucToJis(Euc("ｱﾞｶﾟﾞﾟ")), IconvJis(Euc("ア゛カ゜゛゜")));
  // A mark after the end of a kanji run, then ASCII.
  EXPECT_EQ(EucToJis(Euc("ﾊﾟa")), IconvJis(Euc("パa")));
}

TEST(SjisToEucTest, InvertsEucToSjis) {
  // Kanji, kana, half-width katakana, ASCII and line ends in EUC-JP.
  const std::string euc =
      "Log \xB4\xC1\xBB\xFA \xA5\xA8\xA5\xE9\xA1\xBC \x8E\xB1\x8E\xDE\r\n"
      "\xA4\xA2\xFE\xFE end";
  EXPECT_EQ(SjisToEuc(EucToSjis(euc)), euc);
  EXPECT_EQ(SjisToEuc("\x8A\xBF"), "\xB4\xC1");
  EXPECT_EQ(SjisToEuc("plain, ascii"), "plain, ascii");
  // A lone lead byte at the end, or one with an impossible trail byte, passes.
  EXPECT_EQ(SjisToEuc("a\x8A"), "a\x8A");
  EXPECT_EQ(SjisToEuc("\x8A\x20"), "\x8A\x20");
  // An IBM extension (FA 40) has no EUC-JP form; the text after it stays in step.
  EXPECT_EQ(SjisToEuc("\xFA\x40\x83\x41"), "\xA2\xAE\xA5\xA2");
}

TEST(MimeHeaderEncodeTest, PlainAndEncodedRuns) {
  EXPECT_EQ(MimeHeaderEncode(""), "");
  EXPECT_EQ(MimeHeaderEncode("ScanLantern Notify"), "ScanLantern Notify");
  std::string jis = IconvJis(Euc("監視通知"));
  std::string subject = MimeHeaderEncode("Notify " + Euc("監視通知"));
  EXPECT_EQ(subject, "Notify =?ISO-2022-JP?B?" + Base64Encode(jis) + "?=");
  EXPECT_EQ(subject.substr(0, 27), "Notify =?ISO-2022-JP?B?GyRC");  // ESC $ B
  // Runs alternate without blanks added; each run is its own word.
  EXPECT_EQ(MimeHeaderEncode(Euc("A漢B字")),
            "A=?ISO-2022-JP?B?" + Base64Encode(IconvJis(Euc("漢"))) + "?=B=?ISO-2022-JP?B?" +
                Base64Encode(IconvJis(Euc("字"))) + "?=");
  // Half-width katakana are two-byte characters of the run too.
  EXPECT_EQ(MimeHeaderEncode(Euc("ｶﾞ")),
            "=?ISO-2022-JP?B?" + Base64Encode("\x1b$B\x25\x2c") + "?=");
}

}  // namespace
}  // namespace sl
