#include "process/file_names.h"

#include <gtest/gtest.h>

using namespace velmora;

TEST(ClientFileName, ReducesToTheNameWindowsStores) {
  const struct {
    ustring sent, name;
  } cases[] = {
      // The last segment, whichever separator.
      {u"C:\\docs\\report.final.pdf", u"report.final.pdf"},
      {u"../../wwwroot/x.asp", u"x.asp"},
      {u"dir/x.txt", u"x.txt"},
      {u"C:x.txt", u"x.txt"},
      {u"a\\b/c:d", u"d"},
      {u"plain.txt", u"plain.txt"},
      // Cut at the first NUL, as Windows would.
      {ustring(u"evil.asp\0.jpg", 13), u"evil.asp"},
      {ustring(u"evil.asp\0/x.jpg", 15), u"evil.asp"},
      {ustring(u"a\\b\0c\\d", 7), u"b"},
      // Trailing dots and blanks go; leading ones and inner ones stay.
      {u"evil.asp.", u"evil.asp"},
      {u"evil.asp . .", u"evil.asp"},
      {u"a..b", u"a..b"},
      {u" lead.txt", u" lead.txt"},
      {u".profile", u".profile"},
      // Devices, any case, with an extension, with blanks before the dot.
      {u"aux", u"_aux"},
      {u"CON", u"_CON"},
      {u"conin$", u"_conin$"},
      {u"CONOUT$.txt", u"_CONOUT$.txt"},
      {u"PRN.", u"_PRN"},
      {u"nul.txt", u"_nul.txt"},
      {u"Nul .tar.gz", u"_Nul .tar.gz"},
      {u"LPT1.txt", u"_LPT1.txt"},
      {u"com0", u"_com0"},
      {u"COM9.log", u"_COM9.log"},
      {u"COM\u00B9", u"_COM\u00B9"},
      {u"dir\\aux.", u"_aux"},
      // Not devices.
      {u"COM10", u"COM10"},
      {u"LPT", u"LPT"},
      {u"console.txt", u"console.txt"},
      {u"auxiliary", u"auxiliary"},
      {u"x.con", u"x.con"},
      {u"nul_.txt", u"nul_.txt"},
      // Never a staging file's name, in any case, whatever follows.
      {u"~velmora-0123456789abcdef0123456789abcdef.tmp",
       u"_~velmora-0123456789abcdef0123456789abcdef.tmp"},
      {u"dir\\~VELMORA-11c-6d-0.TMP", u"_~VELMORA-11c-6d-0.TMP"},
      {u"~velmora-", u"_~velmora-"},
      {u"~velmora.tmp", u"~velmora.tmp"},
      {u"x~velmora-1.tmp", u"x~velmora-1.tmp"},
      // Nothing left: a name of its own, never the folder.
      {u"..", u"_"},
      {u"...", u"_"},
      {u". .", u"_"},
      {u"dir\\", u"_"},
      {u"dir/..", u"_"},
      {ustring(u"\0x", 2), u"_"},
      // Each character Windows refuses in a name becomes "_", so the name
      // reported is the name a save stores.
      {u"a?b.txt", u"a_b.txt"},
      {u"*.txt", u"_.txt"},
      {u"<tag>|\"q\".txt", u"_tag___q_.txt"},
      {u"dir/a\tb\x1F.txt", u"a_b_.txt"},
      {u"name.txt\r", u"name.txt_"},
      {u"nul?.txt", u"nul_.txt"},
      {u"?", u"_"},
      // Characters Windows stores stay.
      {u"a#b%c&d'e;f[g]h{i}~.txt", u"a#b%c&d'e;f[g]h{i}~.txt"},
      {u"\u00E9t\u00E9 \u65E5\u672C.txt", u"\u00E9t\u00E9 \u65E5\u672C.txt"},
  };
  for (const auto& c : cases) EXPECT_EQ(ClientFileName(c.sent), c.name) << toUtf8(c.sent);
}
