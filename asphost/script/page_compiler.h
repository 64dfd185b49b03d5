// Turns an .asp page into one script for a Windows Script engine, as ASP does:
// literal HTML becomes Response.Write calls, <%= x %> writes x, <% %> code
// stays as written, <!-- #include file|virtual="..." --> is expanded first.
// A line map leads every line of the script back to its page and line.
#pragma once

#include <functional>
#include <vector>

#include "base/errors.h"
#include "base/ustring.h"

namespace asphost {

using velmora::ustring;
using velmora::ustring_view;

// Where a line of the script came from.
struct PageLine {
  ustring file;  // virtual path, "/dir/page.asp"
  unsigned line;  // 1-based
};

struct CompiledPage {
  ustring language = u"VBScript";  // the script engine's ProgID
  unsigned codePage = 0;           // the page's CODEPAGE directive; 0 when absent
  ustring code;
  std::vector<PageLine> lines;  // one per line of code

  // The page line of a 1-based script line; the last one when past the end.
  PageLine Origin(unsigned scriptLine) const;
};

// A page that cannot be turned into a script: a bad directive, an include
// that is missing or leaves the site, an unterminated <% block.
class PageError : public velmora::Exception {
 public:
  PageError(ustring message, PageLine where) : Exception(std::move(message)), where_(std::move(where)) {}
  const PageLine& where() const { return where_; }

 private:
  PageLine where_;
};

// Gives the text of the file at a virtual path, or throws (PageError or
// another Exception) when there is none.
using PageLoader = std::function<ustring(const ustring& virtualPath)>;

CompiledPage CompilePage(const ustring& virtualPath, const PageLoader& load);

// "/a/b/../c.asp" -> "/a/c.asp"; relative paths are taken from baseDir
// ("/a/"). Returns empty when the path climbs above the root.
ustring ResolveVirtualPath(ustring_view baseDir, ustring_view path);

}  // namespace asphost
