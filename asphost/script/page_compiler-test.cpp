#include "asphost/script/page_compiler.h"

#include <gtest/gtest.h>

#include <map>

namespace asphost {
namespace {

using velmora::toUtf8;

struct Site {
  std::map<ustring, ustring> files;

  CompiledPage Compile(const ustring& path) {
    return CompilePage(path, [this](const ustring& p) {
      auto it = files.find(p);
      if (it == files.end()) throw velmora::Exception(u"missing " + p);
      return it->second;
    });
  }
};

TEST(PageCompiler, LiteralsBecomeWritesWithEscaping) {
  struct Case {
    const char16_t* page;
    const char16_t* vbscript;
    const char16_t* jscript;
  } cases[] = {
      {u"<p class=\"a\">", u"Response.Write \"<p class=\"\"a\"\">\"\n",
       u"Response.Write(\"<p class=\\\"a\\\">\");\n"},
      {u"a\r\nb\nc\rd", u"Response.Write \"a\" & vbCrLf & \"b\" & vbLf & \"c\" & vbCr & \"d\"\n",
       u"Response.Write(\"a\\r\\nb\\nc\\rd\");\n"},
      {u"\r\n", u"Response.Write vbCrLf\n", u"Response.Write(\"\\r\\n\");\n"},
      {u"x\x01\ty\\\u2028", u"Response.Write \"x\" & Chr(1) & \"\ty\\\u2028\"\n",
       u"Response.Write(\"x\\u0001\\ty\\\\\\u2028\");\n"},
      {u"é<%= n %>€", u"Response.Write \"é\"\nResponse.Write  n \nResponse.Write \"€\"\n",
       u"Response.Write(\"é\");\nResponse.Write( n );\nResponse.Write(\"€\");\n"},
      {u"", u"", u""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.page));
    Site site;
    site.files[u"/vb.asp"] = c.page;
    site.files[u"/js.asp"] = ustring(u"<%@ Language=\"JScript\" %>") + c.page;
    EXPECT_EQ(toUtf8(site.Compile(u"/vb.asp").code), toUtf8(c.vbscript));
    CompiledPage js = site.Compile(u"/js.asp");
    EXPECT_EQ(js.language, u"JScript");
    EXPECT_EQ(toUtf8(js.code), toUtf8(c.jscript));
  }
}

TEST(PageCompiler, EveryScriptLineLeadsBackToItsPageLine) {
  Site site;
  site.files[u"/dir/page.asp"] =
      u"<html>\r\n"                           // 1
      u"<body>\r\n"                           // 2
      u"<% Dim x\r\n"                         // 3
      u"x = 1 %>\r\n"                         // 4
      u"<!-- #include file=\"inc.asp\" -->\r\n"  // 5
      u"<p><%= x %></p>\r\n"                  // 6
      u"</body>";                             // 7
  site.files[u"/dir/inc.asp"] = u"<%\r\nSub Hello\r\nEnd Sub\r\n%>";
  CompiledPage page = site.Compile(u"/dir/page.asp");
  auto origin = [&](const char16_t* text) {
    size_t at = page.code.find(text);
    EXPECT_NE(at, ustring::npos) << toUtf8(text);
    unsigned line = 1 + std::count(page.code.begin(), page.code.begin() + at, u'\n');
    PageLine where = page.Origin(line);
    return toUtf8(where.file) + ":" + std::to_string(where.line);
  };
  EXPECT_EQ(origin(u"<html>"), "/dir/page.asp:1");
  EXPECT_EQ(origin(u"Dim x"), "/dir/page.asp:3");
  EXPECT_EQ(origin(u"x = 1"), "/dir/page.asp:4");
  EXPECT_EQ(origin(u"Sub Hello"), "/dir/inc.asp:2");
  EXPECT_EQ(origin(u"End Sub"), "/dir/inc.asp:3");
  EXPECT_EQ(origin(u"Response.Write  x"), "/dir/page.asp:6");
  EXPECT_EQ(origin(u"</body>"), "/dir/page.asp:6");  // the literal starts on line 6
  EXPECT_EQ(page.lines.size(), std::count(page.code.begin(), page.code.end(), u'\n'));
}

TEST(PageCompiler, IncludesResolveByFileAndVirtualPath) {
  Site site;
  site.files[u"/a/page.asp"] =
      u"[<!-- #include file=\"b/one.inc\" -->|<!--#INCLUDE VIRTUAL = \"/two.inc\"-->|<!-- plain -->]";
  site.files[u"/a/b/one.inc"] = u"1<!-- #include file=\"../../two.inc\" -->";
  site.files[u"/two.inc"] = u"2";
  EXPECT_EQ(toUtf8(site.Compile(u"/a/page.asp").code), "Response.Write \"[12|2|<!-- plain -->]\"\n");
}

TEST(PageCompiler, RejectsBadPages) {
  struct Case {
    const char16_t* page;
    const char* message;
    unsigned line;
  } cases[] = {
      {u"a\r\n<% x = 1\r\n", "The <% block is not closed with %>.", 2},
      {u"\r\n<!-- #include file=\"../up.inc\" -->", "The include file '../up.inc' is outside the site.", 2},
      {u"<!-- #include file=\"self.asp\" -->", "Include files are nested too deeply.", 1},
      {u"<%@ Language=\"Perl\" %>", "The script language 'Perl' is not supported.", 1},
      {u"<% x %><%@ Language=\"JScript\" %>", "The @ directive must be the first thing in the page.", 1},
      {u"<%@ Language %>", "The @ directive is malformed.", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.page));
    Site site;
    site.files[u"/self.asp"] = c.page;
    try {
      site.Compile(u"/self.asp");
      ADD_FAILURE() << "no error";
    } catch (const PageError& e) {
      EXPECT_STREQ(e.what(), c.message);
      EXPECT_EQ(e.where().line, c.line);
    }
  }
  Site site;
  site.files[u"/p.asp"] = u"<!-- #include file=\"gone.inc\" -->";
  EXPECT_THROW(site.Compile(u"/p.asp"), velmora::Exception);

  // Shallow but wide: every include counts.
  site.files[u"/wide.asp"] = u"\n<!-- #include file=\"wide.inc\" -->";
  for (int i = 0; i < 1001; ++i) site.files[u"/wide.inc"] += u"<!-- #include file=\"leaf.inc\" -->";
  site.files[u"/leaf.inc"] = u"x";
  try {
    site.Compile(u"/wide.asp");
    ADD_FAILURE() << "no error";
  } catch (const PageError& e) {
    EXPECT_STREQ(e.what(), "The page includes too many files.");
    EXPECT_EQ(toUtf8(e.where().file), "/wide.inc");
  }
}

TEST(PageCompiler, DirectivesAndOptionExplicit) {
  Site site;
  site.files[u"/p.asp"] = u"<%@ LANGUAGE=VBScript CODEPAGE=65001 %>\r\n<% Option Explicit\r\nDim a %>";
  CompiledPage page = site.Compile(u"/p.asp");
  EXPECT_EQ(page.language, u"VBScript");
  EXPECT_EQ(page.codePage, 65001u);
  // Option Explicit comes first, before the literal line break.
  EXPECT_EQ(toUtf8(page.code), "Option Explicit\nResponse.Write vbCrLf\n                \r\nDim a \n");
  EXPECT_EQ(page.Origin(1).line, 2u);
  EXPECT_EQ(page.Origin(4).line, 3u);

  // The lines after it keep their own numbers, up to the page's end.
  site.files[u"/q.asp"] =
      u"<% Option Explicit %>\r\n"  // 1
      u"<p>one</p>\r\n"             // 2
      u"<%\r\n"                     // 3
      u"Dim a\r\n"                  // 4
      u"b = 2\r\n"                  // 5
      u"%>\r\n"                     // 6
      u"<p>end</p>\r\n";            // 7
  CompiledPage q = site.Compile(u"/q.asp");
  const auto lineOf = [&](const char16_t* text) {
    const size_t at = q.code.find(text);
    EXPECT_NE(at, ustring::npos) << toUtf8(text);
    return q.Origin(1 + static_cast<unsigned>(std::count(q.code.begin(), q.code.begin() + at, u'\n'))).line;
  };
  EXPECT_EQ(lineOf(u"Option Explicit"), 1u);
  EXPECT_EQ(lineOf(u"Dim a"), 4u);
  EXPECT_EQ(lineOf(u"b = 2"), 5u);
  EXPECT_EQ(lineOf(u"<p>end</p>"), 6u);  // the literal starts on line 6
}

TEST(PageCompiler, ResolveVirtualPath) {
  struct Case {
    const char16_t* base;
    const char16_t* path;
    const char16_t* expected;
  } cases[] = {
      {u"/a/", u"b.asp", u"/a/b.asp"},     {u"/a/", u"../b.asp", u"/b.asp"},
      {u"/a/", u"/c/./d.asp", u"/c/d.asp"}, {u"/a/", u"..\\..\\x", u""},
      {u"/", u"x//y\\z", u"/x/y/z"},         {u"/a/", u"..", u"/"},
  };
  for (const Case& c : cases) EXPECT_EQ(toUtf8(ResolveVirtualPath(c.base, c.path)), toUtf8(c.expected));
}

}  // namespace
}  // namespace asphost
