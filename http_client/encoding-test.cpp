// The portable procedures of the HTTP client: the multipart body, the
// boundary, the form and URL encodings. Runs natively (Windows-1252 built in)
// and under Wine (code page 1252).
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

#include "http_client/form_variables.h"
#include "http_client/multipart_body.h"
#include "http_client/url.h"
#include "io/stream.h"

using namespace velmora;

namespace {

const ustring kBoundary = u"---------------------------0f3a9c21b7d4e8";
const std::string kDelimiter = "-----------------------------0f3a9c21b7d4e8";

std::string bytesOf(const TMemoryStream& s) {
  return std::string(reinterpret_cast<const char*>(s.data()), static_cast<size_t>(s.size()));
}

ustring pngOnly(const ustring& extension) {
  return extension == u".png" ? u"image/png" : u"";
}

struct Built {
  std::string body;
  ustring header;
  int64_t position;
};

Built build(const TFormVariables& vars, const std::string& data, const ustring& fileName,
            const ustring& tagName, const MimeTypeLookup& lookup = pngOnly) {
  TMemoryStream body;
  body.write("stale", 5);  // emptied first
  ustring header;
  ByteSpan span{reinterpret_cast<const uint8_t*>(data.data()), data.size()};
  BuildMultipartBody(body, span, header, vars, fileName, tagName, kBoundary, lookup);
  return {bytesOf(body), header, body.position()};
}

// Variables written as name=value lines, split at the first "=".
TFormVariables listOf(std::initializer_list<ustring> lines) {
  TFormVariables list;
  for (const ustring& line : lines) {
    const size_t equals = line.find(u'=');
    list.add(line.substr(0, equals), line.substr(equals + 1));
  }
  return list;
}

}  // namespace

TEST(MultipartBody, VariablesThenFileThenClosingLine) {
  TFormVariables vars = listOf({u"a=1", u"b=x y"});
  const std::string variables = kDelimiter + "\r\n" +
                                "Content-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n" +
                                kDelimiter + "\r\n" +
                                "Content-Disposition: form-data; name=\"b\"\r\n\r\nx y\r\n";
  const std::string closing = kDelimiter + "--\r\n";

  Built plain = build(vars, "", u"", u"");
  EXPECT_EQ(plain.body, variables + closing);
  EXPECT_EQ(plain.header, u"Content-type: multipart/form-data; boundary=" + kBoundary);
  EXPECT_EQ(plain.position, 0);

  Built withFile = build(vars, std::string("\x01\x02\x03", 3), u"pic.png", u"file");
  EXPECT_EQ(withFile.body, variables + kDelimiter + "\r\n" +
                               "Content-Disposition: form-data; name=\"file\"; filename=\"pic.png\"\r\n"
                               "Content-Type: image/png\r\n\r\n"
                               "\x01\x02\x03\r\n" +
                               closing);
}

TEST(MultipartBody, NothingToSendIsTheClosingLineAlone) {
  EXPECT_EQ(build({}, "", u"pic.png", u"file").body, kDelimiter + "--\r\n");
}

TEST(MultipartBody, FilePartDetails) {
  // An empty tag name stays empty; the raw bytes pass unchanged, zeros and
  // line breaks included; an unknown or failing lookup gives octet-stream.
  const std::string data("\r\n\0--\xFF", 6);
  Built b = build({}, data, u"a.bin", u"");
  EXPECT_NE(b.body.find("Content-Disposition: form-data; name=\"\"; filename=\"a.bin\"\r\n"
                        "Content-Type: application/octet-stream\r\n\r\n" + data + "\r\n" + kDelimiter + "--\r\n"),
            std::string::npos);

  auto failing = [](const ustring&) -> ustring { throw std::runtime_error("registry"); };
  EXPECT_NE(build({}, "x", u"pic.png", u"f", failing).body.find("Content-Type: application/octet-stream\r\n"),
            std::string::npos);

  // The lookup is asked with the extension of the file name.
  ustring asked = u"(not asked)";
  build({}, "x", u"C:\\dir.old\\archive.tar.gz", u"f", [&](const ustring& e) { asked = e; return u"t/gz"; });
  EXPECT_EQ(asked, u".gz");
}

TEST(MultipartBody, TextIsUtf8AndRepeatedNamesCarryTheFirstValue) {
  Built b = build(listOf({u"Name=\u00e9", u"name=2", u"n\u00e4me=\u20ac"}), "", u"", u"");
  EXPECT_NE(b.body.find("name=\"Name\"\r\n\r\n\xC3\xA9\r\n"), std::string::npos);
  EXPECT_NE(b.body.find("name=\"name\"\r\n\r\n\xC3\xA9\r\n"), std::string::npos);
  EXPECT_NE(b.body.find("name=\"n\xC3\xA4me\"\r\n\r\n\xE2\x82\xAC\r\n"), std::string::npos);
  EXPECT_EQ(b.body.find("\r\n2\r\n"), std::string::npos);
}

// A quote, CR or LF in a name would close the quotes or the header line and
// let the text forge headers; they are written as browsers write them.
TEST(MultipartBody, QuotesAndLineBreaksInNamesAreEscaped) {
  Built b = build(listOf({u"a\"b\r\nX-Injected: 1=v\"\r\n"}), "x", u"evil\".txt\r\nX: y", u"t\"ag");
  EXPECT_NE(b.body.find("name=\"a%22b%0D%0AX-Injected: 1\"\r\n\r\nv\"\r\n\r\n"), std::string::npos);
  EXPECT_NE(b.body.find("name=\"t%22ag\"; filename=\"evil%22.txt%0D%0AX: y\"\r\n"), std::string::npos);
}

// A NUL would cut the name where a reader stops at it; a registered content
// type holding a line break or NUL would forge or cut the part's head.
TEST(MultipartBody, NulsAndControlsInHeadTextAreNotSentRaw) {
  const ustring withNul(u"a\0b", 3);
  Built b = build(listOf({withNul + u"=v"}), "x", withNul + u".txt", withNul);
  EXPECT_NE(b.body.find("name=\"a%00b\"\r\n\r\nv\r\n"), std::string::npos);
  EXPECT_NE(b.body.find("name=\"a%00b\"; filename=\"a%00b.txt\"\r\n"), std::string::npos);
  EXPECT_EQ(b.body.find('\0'), std::string::npos);

  for (const ustring& type : {ustring(u"text/plain\r\nX-Injected: 1"), ustring(u"text/pl\0ain", 12),
                              ustring(u"text/plain\t")}) {
    SCOPED_TRACE(toUtf8(type));
    Built typed = build({}, "x", u"f.txt", u"f", [&](const ustring&) { return type; });
    EXPECT_NE(typed.body.find("Content-Type: application/octet-stream\r\n\r\nx"), std::string::npos);
    EXPECT_EQ(typed.body.find("text/pl"), std::string::npos);
  }
}

// The part heads every builder writes: the client's, the stand-in's and the
// tests'.
TEST(MultipartBody, PartHeads) {
  const std::string file = QuotedParam("a\".txt");
  struct Case {
    const std::string* quotedFileName;
    const char* contentType;
    const char* head;
  } cases[] = {
      {nullptr, "", "--B\r\nContent-Disposition: form-data; name=\"f%0D%0A\"\r\n\r\n"},
      {&file, "text/plain",
       "--B\r\nContent-Disposition: form-data; name=\"f%0D%0A\"; filename=\"a%22.txt\"\r\n"
       "Content-Type: text/plain\r\n\r\n"},
      {&file, "", "--B\r\nContent-Disposition: form-data; name=\"f%0D%0A\"; filename=\"a%22.txt\"\r\n\r\n"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(MultipartPartHead("--B", QuotedParam("f\r\n"), c.quotedFileName, c.contentType), c.head);
}

TEST(FileExtension, LastDotAfterTheLastSeparator) {
  struct Case {
    const char16_t* name;
    const char16_t* extension;
  } cases[] = {
      {u"archive.tar.gz", u".gz"}, {u"pic.png", u".png"},     {u"README", u""},
      {u"dir.old\\README", u""},   {u"c:x.y:z", u""},         {u".png", u""},
      {u"name.", u"."},            {u"a/b.c/d", u".c/d"},     {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(FileExtension(c.name), c.extension) << toUtf8(c.name);
}

TEST(MakeRandomBoundary, ShapeAndFreshness) {
  std::set<ustring> seen;
  std::set<char16_t> digits;
  for (int i = 0; i < 2000; ++i) {
    ustring b = MakeRandomBoundary();
    ASSERT_EQ(b.size(), 41u);
    EXPECT_EQ(b.substr(0, 27), ustring(27, u'-'));
    for (char16_t c : b.substr(27)) {
      EXPECT_TRUE((c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f')) << toUtf8(b);
      digits.insert(c);
    }
    seen.insert(b);
  }
  EXPECT_EQ(seen.size(), 2000u);  // calls in the same instant differ too
  EXPECT_EQ(digits.size(), 16u);
}

TEST(URLEncodeAnsi, KeepsSeventyTwoBytesAndEscapesTheRest) {
  EXPECT_EQ(URLEncodeAnsi("a b&c=d"), "a+b%26c%3Dd");
  EXPECT_EQ(URLEncodeAnsi("~"), "%7E");
  EXPECT_EQ(URLEncodeAnsi("x-y_z.1"), "x-y_z.1");
  EXPECT_EQ(URLEncodeAnsi("\xE9/\x7F\x01"), "%E9%2F%7F%01");
  EXPECT_EQ(URLEncodeAnsi(std::string("ab\0cd", 5)), "ab");  // cut at a zero byte
  EXPECT_EQ(URLEncodeAnsi(""), "");

  std::string kept;
  for (int c = 1; c < 256; ++c) {
    std::string one(1, static_cast<char>(c));
    std::string encoded = URLEncodeAnsi(one);
    if (encoded == one) {
      kept += one;
    } else if (c != ' ') {
      EXPECT_EQ(encoded.size(), 3u) << c;
    }
  }
  EXPECT_EQ(kept, "!$'()*-.0123456789@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz");
}

TEST(EncodeFormVariables, PairsInOrderInTheAnsiCodePage) {
  EXPECT_EQ(EncodeFormVariables({}), u"");
  EXPECT_EQ(EncodeFormVariables(listOf({u"x=1", u"y=", u"z=a b"})), u"x=1&y=&z=a+b");
  // Windows-1252: é is E9; a character it lacks becomes "?".
  EXPECT_EQ(EncodeFormVariables(listOf({u"\u00e9=\u00e9", u"k=\u4e2d"})), u"%E9=%E9&k=%3F");
  // Repeated names (ignoring case) both send the first value.
  EXPECT_EQ(EncodeFormVariables(listOf({u"A=1", u"a=2"})), u"A=1&a=1");
  // A zero character ends the value.
  EXPECT_EQ(EncodeFormVariables(listOf({ustring(u"v=ab\0cd", 7)})), u"v=ab");
}

// A name keeps its "=": the page's own variable of the name before it still
// goes with its own value.
TEST(FormVariables, NamesMayHoldEqualsSigns) {
  TFormVariables vars;
  vars.add(u"role=admin", u"");
  vars.add(u"role", u"user");
  vars.add(u"ROLE=ADMIN", u"x");
  EXPECT_EQ(EncodeFormVariables(vars), u"role%3Dadmin=&role=user&ROLE%3DADMIN=");
  Built b = build(vars, "", u"", u"");
  EXPECT_NE(b.body.find("name=\"role=admin\"\r\n\r\n\r\n"), std::string::npos);
  EXPECT_NE(b.body.find("name=\"role\"\r\n\r\nuser\r\n"), std::string::npos);
}

TEST(PrepareURL, WhatMayGoOnTheWire) {
  struct Case {
    ustring url;
    bool ok;
    const char16_t* prepared;
  } cases[] = {
      {u"http://h/p?q=1", true, u"http://h/p?q=1"},
      {u"h:8080/p", true, u"http://h:8080/p"},
      {u"http://h/a#frag?x", true, u"http://h/a"},
      {u"http://h/caf\u00e9/\u4e2d?q=\U0001F600 x", true,
       u"http://h/caf%C3%A9/%E4%B8%AD?q=%F0%9F%98%80%20x"},
      {u"http://h/%41%zz", true, u"http://h/%41%zz"},  // escapes stay as written
      {u"http://h:1/", true, u"http://h:1/"},
      {u"http://h:65535/", true, u"http://h:65535/"},
      {u"http://u:p@h:80/", true, u"http://u:p@h:80/"},
      {u"http://[::1]:8080/", true, u"http://[::1]:8080/"},
      {u"http://[::1]/", true, u"http://[::1]/"},
      {u"http://h/a:99999", true, u"http://h/a:99999"},  // a colon in the path is no port
      {u"http://h:65536/", false, u""},
      {u"http://h:83617/", false, u""},
      {u"http://h:0/", false, u""},
      {u"http://h:/", false, u""},
      {u"http://h:8o/", false, u""},
      {u"http://h:99999999999999999999/", false, u""},
      {u"http://h/a\r\nX: 1", false, u""},
      {u"http://h/a\nb", false, u""},
      {ustring(u"http://h/secret\0.txt", 21), false, u""},
      {u"http://h/a\tb", false, u""},
      {u"http://h/a\x7f", false, u""},
      {u"http://h/a#\r\n", false, u""},  // refused wherever it stands
      // One reading of the authority, a browser's: "\\" before the query is
      // a "/", the host ends at the first ":" after the last "@", and a port
      // is digits alone.
      {u"http://good\\@evil/", true, u"http://good/@evil/"},
      {u"http://x\\@127.0.0.1:73637/ok", true, u"http://x/@127.0.0.1:73637/ok"},
      {u"HTTPS://h\\a\\b?q=\\x", true, u"HTTPS://h/a/b?q=\\x"},
      {u"ftp://h/a\\b", true, u"ftp://h/a\\b"},
      {u"http://127.0.0.1:73637]/ok", false, u""},
      {u"http://127.0.0.1:139173]/ok", false, u""},
      {u"http://h]:80/", false, u""},
      {u"http://[::1:80/", false, u""},
      {u"http://[::1]x/", false, u""},
      {u"http://:80/", false, u""},
      {u"http://u@/", false, u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.url));
    ustring prepared = u"(untouched)";
    EXPECT_EQ(PrepareURL(c.url, prepared), c.ok);
    EXPECT_EQ(prepared, c.ok ? ustring(c.prepared) : u"(untouched)");
  }
  EXPECT_TRUE(HasControlCharacter(u"agent\r\nX: 1"));
  EXPECT_FALSE(HasControlCharacter(u"Mozilla/5.0 (caf\u00e9)"));
}

TEST(WithDefaultScheme, OnlyASchemeAtTheStartCounts) {
  struct Case {
    const char16_t* url;
    const char16_t* expected;
  } cases[] = {
      {u"example.com/x", u"http://example.com/x"},
      {u"127.0.0.1:8080/p", u"http://127.0.0.1:8080/p"},
      {u"example.com/go?to=http://other/", u"http://example.com/go?to=http://other/"},
      {u"http://h/", u"http://h/"},
      {u"HTTPS://h/", u"HTTPS://h/"},
      {u"ftp://h/f", u"ftp://h/f"},
      {u"svn+ssh://h", u"svn+ssh://h"},
      {u"://h", u"http://://h"},
      {u"", u"http://"},
  };
  for (const Case& c : cases) EXPECT_EQ(WithDefaultScheme(c.url), c.expected) << toUtf8(c.url);
}

TEST(DecodeURLEscapes, RunsOfEscapesAreUtf8OrAnsiBytes) {
  struct Case {
    const char16_t* text;
    const char16_t* expected;
  } cases[] = {
      {u"us%40r", u"us@r"},         {u"p%3Aw%2F", u"p:w/"},     {u"caf%C3%A9", u"caf\u00e9"},
      {u"caf%e9", u"caf\u00e9"},    {u"%41%42c", u"ABc"},       {u"100%", u"100%"},
      {u"%4", u"%4"},               {u"%zz%", u"%zz%"},         {u"a+b", u"a+b"},
      {u"%2541", u"%41"},           {u"", u""},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeURLEscapes(c.text), c.expected) << toUtf8(c.text);
}
