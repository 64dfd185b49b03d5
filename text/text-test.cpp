// Text conversions, the system's text seam they stand on, and the name=value
// list. Runs natively (built-in Windows-1252) and under Wine with code page
// 1252 and, through the locale, 932.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/system_text.h"
#include "io/stream.h"
#include "io/testing/stream_bytes.h"
#include "text/stringlist.h"
#include "text/textconv.h"

using namespace velmora;
using velmora::testing::bytesOf;
using velmora::testing::streamOf;

namespace {


ustring decode(const std::string& bytes) {
  TMemoryStream s = streamOf(bytes);
  return StreamToString(s, static_cast<int64_t>(bytes.size()));
}

bool isCp1252() { return systext::ansiCodePage() == 1252; }

}  // namespace

// CTest names the code page a run is meant to have; make sure it has it.
TEST(SystemText, CodePageIsTheExpectedOne) {
  const char* expected = std::getenv("VELMORA_EXPECT_ACP");
  EXPECT_EQ(systext::ansiCodePage(), expected ? std::stoul(expected) : 1252u);
}

TEST(StringToStream, WritesUtf8WithoutMarkAtPosition) {
  TMemoryStream s;
  StringToStream(s, u"\u00e9");
  EXPECT_EQ(bytesOf(s), "\xC3\xA9");
  StringToStream(s, u"");
  EXPECT_EQ(s.size(), 2);

  TMemoryStream t = streamOf("0123456");
  t.seek(2);
  StringToStream(t, u"ab\U0001F600");
  EXPECT_EQ(bytesOf(t), "01ab\xF0\x9F\x98\x80");  // overwrites as far as it reaches
  EXPECT_EQ(t.position(), 8);
}

TEST(StreamToString, DecodesUtf8AndFallsBackToAnsi) {
  EXPECT_EQ(decode("caf\xC3\xA9"), u"caf\u00e9");
  EXPECT_EQ(decode("\xEF\xBB\xBF" "a"), u"a");
  EXPECT_EQ(decode(""), u"");
  if (isCp1252()) {
    EXPECT_EQ(decode("caf\xE9"), u"caf\u00e9");
    EXPECT_EQ(decode("\x80"), u"\u20ac");
    // A lone mark decodes to nothing as UTF-8, so the bytes read as ANSI.
    EXPECT_EQ(decode("\xEF\xBB\xBF"), u"\u00ef\u00bb\u00bf");
  } else {
    ASSERT_EQ(systext::ansiCodePage(), 932u);
    EXPECT_EQ(decode("\x82\xA0"), u"\u3042");           // Shift-JIS hiragana a
    EXPECT_EQ(decode("caf\x83\x41"), u"caf\u30a2");      // katakana a
  }
}

TEST(StreamToString, CountAndPosition) {
  TMemoryStream s = streamOf("hello world");
  s.seek(6);
  EXPECT_EQ(StreamToString(s, 5), u"world");
  s.seek(6);
  EXPECT_EQ(StreamToString(s, 0), u"hello world");  // 0: everything, from the start
  s.seek(6);
  EXPECT_THROW(StreamToString(s, 6), EReadError);
}

// A long text with one stray ANSI byte keeps every character: the whole run
// decodes in the ANSI code page instead of losing the piece around the byte.
TEST(StreamToString, LongTextWithOneStrayByteLosesNothing) {
  std::string text(3000, 'x');
  text[1500] = '\xA6';  // a single byte in both 1252 and 932
  ustring decoded = decode(text);
  ASSERT_EQ(decoded.size(), 3000u);
  EXPECT_EQ(decoded[0], u'x');
  EXPECT_EQ(decoded[2999], u'x');
  EXPECT_EQ(decoded[1500], isCp1252() ? u'\u00a6' : u'\uff66');

  // Valid UTF-8 across what would have been 1024-byte pieces stays UTF-8.
  std::string utf8;
  for (int i = 0; i < 700; ++i) utf8 += "\xC3\xA9";
  EXPECT_EQ(decode(utf8), ustring(700, u'\u00e9'));
}

// The "WINDOWS-1252" charset of uploads reads names and values in two steps:
// StreamToAnsiString, then the ANSI code page to UTF-16. Both follow the
// system's ANSI code page, single-byte (1252) or double-byte (932).
TEST(StreamToAnsiString, ReadsInTheAnsiCodePage) {
  struct Case {
    std::string bytes;
    ustring in1252, in932;
  } cases[] = {
      // 932: two half-width katakana (te, small u), not the UTF-8 e-acute
      {"caf\xC3\xA9", u"caf\u00c3\u00a9", u"caf\uff83\uff69"},
      // 932: one double-byte character each (hiragana a, the kanji "one")
      {"\x82\xA0", u"\u201a\u00a0", u"\u3042"},
      {"x\x88\xEAy", u"x\u02c6\u00eay", u"x\u4e00y"},
      {"plain", u"plain", u"plain"},
  };
  const ustring Case::*expected = isCp1252() ? &Case::in1252 : &Case::in932;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    TMemoryStream s = streamOf(c.bytes);
    std::string ansi = StreamToAnsiString(s, static_cast<int64_t>(c.bytes.size()));
    EXPECT_EQ(ansi, c.bytes);  // every character has its bytes back
    ustring wide = systext::ansiToUnicode(reinterpret_cast<const uint8_t*>(ansi.data()), ansi.size());
    EXPECT_EQ(wide, c.*expected);
  }
}

TEST(SystemText, StrictUtf8RejectsMalformed) {
  const char* bad[] = {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80", "a\xE2\x82"};
  for (const char* b : bad) {
    ustring out = u"untouched";
    EXPECT_FALSE(systext::utf8ToUnicode(reinterpret_cast<const uint8_t*>(b), strlen(b), out)) << b;
    EXPECT_EQ(out, u"untouched");
  }
  ustring out;
  EXPECT_TRUE(systext::utf8ToUnicode(reinterpret_cast<const uint8_t*>("\xF0\x9F\x98\x80"), 4, out));
  EXPECT_EQ(out, u"\U0001F600");
}

TEST(SystemText, AnsiEncodeUsesDefaultCharacter) {
  // What the code page lacks becomes "?", or its best fit: 932 has no
  // e-acute and writes "e"; the kanji exists only in 932.
  const std::string expected = isCp1252() ? "\xE9\x80?" : "e?\x88\xEA";
  EXPECT_EQ(systext::unicodeToAnsi(u"\u00e9\u20ac\u4e00"), expected);
}

TEST(StringList, NamesValuesAndLookups) {
  TStringList list;
  list.add(u"a=1");
  list.addPair(u"B", u"x=y");
  list.add(u"A=3");
  list.add(u"novalue");
  EXPECT_EQ(list.count(), 4);
  EXPECT_EQ(list.name(1), u"B");
  EXPECT_EQ(list.value(1), u"x=y");  // the value runs from the first "="
  EXPECT_EQ(list.name(3), u"novalue");
  EXPECT_EQ(list.value(3), u"");
  EXPECT_EQ(list.indexOfName(u"A"), 0);  // first line, case ignored
  EXPECT_EQ(list.valueOf(u"b"), u"x=y");
  EXPECT_EQ(list.valueOf(u"missing"), u"");
  EXPECT_EQ(list.indexOfName(u"missing"), -1);
  EXPECT_EQ(list.indexOf(u"NOVALUE"), 3);
}

TEST(StringList, CaseIgnoredBeyondAscii) {
  TStringList list;
  list.add(u"\u00c9T\u00c9=summer");        // ÉTÉ
  list.add(u"\u0416\u0423\u041a=beetle");   // ЖУК
  EXPECT_EQ(list.valueOf(u"\u00e9t\u00e9"), u"summer");
  EXPECT_EQ(list.valueOf(u"\u0436\u0443\u043a"), u"beetle");
  EXPECT_EQ(list.indexOfName(u"ete"), -1);  // case, not accents
}

// Names whose matching differs between the system's compare and folding a
// to z alone, or that the system folds in ways a per-character fold does
// not: accents, ligatures, ß, Greek sigmas, Kelvin and Ångström signs,
// dotless and dotted i, ignorable characters, combining marks, NUL.
const std::vector<ustring>& trickyNames() {
  static const std::vector<ustring> names = {
      u"", u"a", u"A", u"ab", u"AB", u"a\u00ADb", u"a\u200Db", ustring(u"a\0b", 3), u"\u00AD",
      u"\u00E9", u"\u00C9", u"e\u0301", u"E", u"stra\u00DFe", u"STRASSE", u"strasse", u"\u00E6",
      u"ae", u"AE", u"\u00C6", u"\uFB01", u"fi", u"\u03C3", u"\u03A3", u"\u03C2", u"\u212A",
      u"K", u"k", u"\u212B", u"\u00C5", u"\u00E5", u"\u0131", u"I", u"i", u"\u0130", u"\uFF21",
      u"co-op", u"coop", u"a'b", u"\u0416\u0423\u041a", u"\u0436\u0443\u043a", u"x=y", u"x"};
  return names;
}

// A lookup by key finds a line only among those of the text's key: texts the
// system compare finds equal must never have different keys.
TEST(SystemText, EqualTextsHaveEqualKeys) {
  std::vector<ustring> texts = trickyNames();
  std::mt19937 rng(3);
  const ustring alphabet = u"aAbBsS\u00DF\u00AD\u200D\u00E6eE\u0301\u00E9\u00C9\u0131iI\u0130\u03C2\u03C3"
                           u"\u03A3\u212AkK\u0001-'\u00C5\u212B\u3042\u30A2\uFF71";
  for (int n = 0; n < 1500; ++n) {
    ustring text;
    for (size_t length = rng() % 5; length > 0; --length) text += alphabet[rng() % alphabet.size()];
    texts.push_back(text);
    if (n % 7 == 0) texts.back().insert(texts.back().begin(), u'\0');
  }
  std::vector<std::string> keys;
  for (const ustring& t : texts) keys.push_back(systext::caseInsensitiveKey(t));
  int equalPairs = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    for (size_t j = 0; j < texts.size(); ++j) {
      if (!systext::sameTextIgnoringCase(texts[i], texts[j])) continue;
      ++equalPairs;
      ASSERT_EQ(keys[i], keys[j]) << toUtf8(texts[i]) << " and " << toUtf8(texts[j]) << " (" << i << ", " << j << ")";
    }
  }
  EXPECT_GT(equalPairs, static_cast<int>(texts.size()));  // pairs of different texts were equal too
}

// The list's indexed lookups against a scan of its lines, over lists grown
// and looked up in turn, and cleared.
TEST(StringList, LookupsAgreeWithAScan) {
  const std::vector<ustring>& names = trickyNames();
  auto scanName = [](const TStringList& list, ustring_view name) {
    for (int i = 0; i < list.count(); ++i)
      if (systext::sameTextIgnoringCase(LineName(list[i]), name)) return i;
    return -1;
  };
  auto scanLine = [](const TStringList& list, ustring_view text) {
    for (int i = 0; i < list.count(); ++i)
      if (systext::sameTextIgnoringCase(list[i], text)) return i;
    return -1;
  };
  auto asciiMatches = [](const TStringList& list, ustring_view name) {
    std::vector<int> found;
    for (int i = 0; i < list.count(); ++i)
      if (asciiUpper(LineName(list[i])) == asciiUpper(name)) found.push_back(i);
    return found;
  };
  auto indexedAsciiMatches = [](const TStringList& list, ustring_view name) {
    std::vector<int> found;
    for (int i = list.firstOfNameAscii(name); i >= 0; i = list.nextOfNameAscii(i, name)) found.push_back(i);
    return found;
  };
  std::mt19937 rng(9);
  TStringList list;
  for (int round = 0; round < 3; ++round) {
    for (int step = 0; step < 400; ++step) {
      const ustring& name = names[rng() % names.size()];
      if (rng() % 3 == 0) list.add(name);  // a line without "="
      else list.addPair(name, toDecimal(step));
      for (const ustring& probe : {names[rng() % names.size()], names[rng() % names.size()]}) {
        SCOPED_TRACE(toUtf8(probe));
        ASSERT_EQ(list.indexOfName(probe), scanName(list, probe));
        ASSERT_EQ(list.indexOf(probe), scanLine(list, probe));
        const std::vector<int> expected = asciiMatches(list, probe);
        ASSERT_EQ(indexedAsciiMatches(list, probe), expected);
        ASSERT_EQ(list.lastOfNameAscii(probe), expected.empty() ? -1 : expected.back());
      }
      const int line = static_cast<int>(rng() % static_cast<unsigned>(list.count()));
      ASSERT_EQ(list.indexOfSameName(line), scanName(list, list.name(line))) << toUtf8(list[line]);
    }
    list.clear();
    EXPECT_EQ(list.indexOfName(u"a"), -1);
    EXPECT_EQ(list.firstOfNameAscii(u"a"), -1);
  }
}

TEST(StringList, IndexErrors) {
  TStringList list;
  list.add(u"a=1");
  for (int bad : {-1, 1, 7}) {
    try {
      (void)list[bad];
      FAIL() << bad;
    } catch (const EStringListError& e) {
      EXPECT_EQ(e.message(), u"List index out of bounds (" + toDecimal(bad) + u")");
    }
  }
}
