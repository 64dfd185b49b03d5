// Splitting paths at the last separator of a named set.
#include <gtest/gtest.h>

#include "io/paths.h"

using namespace velmora;

namespace {

struct PathCase {
  const char16_t* path;
  const char16_t* separators;
  const char16_t* folder;     // FolderOf
  const char16_t* name;       // AfterLastSeparator
  const char16_t* extension;  // from ExtensionStart on
};

std::string show(ustring_view text) { return toUtf8(text); }

TEST(Paths, SplitAtTheLastSeparatorOfTheNamedSet) {
  const PathCase cases[] = {
      {u"C:\\up\\a.txt", kClientSeparators, u"C:\\up\\", u"a.txt", u".txt"},
      {u"C:\\up\\a.txt", kScriptSeparators, u"C:\\up\\", u"a.txt", u".txt"},
      // "/" separates a client's name only.
      {u"dir/a.txt", kClientSeparators, u"dir/", u"a.txt", u".txt"},
      {u"dir/a.txt", kScriptSeparators, u"", u"dir/a.txt", u".txt"},
      {u"a.tar/gz", kClientSeparators, u"a.tar/", u"gz", u""},
      {u"a.tar/gz", kScriptSeparators, u"", u"a.tar/gz", u".tar/gz"},
      // A drive's ":" separates in both.
      {u"C:a.txt", kClientSeparators, u"C:", u"a.txt", u".txt"},
      {u"C:a.txt", kScriptSeparators, u"C:", u"a.txt", u".txt"},
      // A dot before the last separator, or opening the path, is no extension.
      {u"a.b\\c", kScriptSeparators, u"a.b\\", u"c", u""},
      {u".bashrc", kScriptSeparators, u"", u".bashrc", u""},
      {u"x\\.bashrc", kScriptSeparators, u"x\\", u".bashrc", u".bashrc"},
      {u"a.b.c", kClientSeparators, u"", u"a.b.c", u".c"},
      {u"up\\", kBackslash, u"up\\", u"", u""},
      {u"a:b\\c/d", kBackslash, u"a:b\\", u"c/d", u""},
      {u"", kClientSeparators, u"", u"", u""},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(show(c.path) + " with separators " + show(c.separators));
    EXPECT_EQ(FolderOf(c.path, c.separators), c.folder);
    EXPECT_EQ(AfterLastSeparator(c.path, c.separators), c.name);
    EXPECT_EQ(NameStart(c.path, c.separators), ustring_view(c.folder).size());
    const ustring_view path(c.path);
    EXPECT_EQ(path.substr(ExtensionStart(path, c.separators)), ustring_view(c.extension));
  }
}

}  // namespace
