#include "asphost/script/page_compiler.h"

#include <cassert>

#include <algorithm>

namespace asphost {
namespace {

constexpr int kMaxIncludeDepth = 16;
// Depth alone does not bound a page whose files include each other several
// times over: the count of expansions does.
constexpr int kMaxIncludes = 1000;

char16_t lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; }

bool startsWithNoCase(ustring_view text, size_t pos, ustring_view word) {
  if (text.size() - pos < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (lower(text[pos + i]) != lower(word[i])) return false;
  return true;
}

bool isSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

size_t skipSpace(ustring_view text, size_t pos) {
  while (pos < text.size() && isSpace(text[pos])) ++pos;
  return pos;
}

ustring_view trim(ustring_view s) {
  size_t b = 0, e = s.size();
  while (b < e && isSpace(s[b])) ++b;
  while (e > b && isSpace(s[e - 1])) --e;
  return s.substr(b, e - b);
}

size_t countLines(ustring_view text) { return std::count(text.begin(), text.end(), u'\n'); }

// The page with its includes in place, and the origin of each of its lines.
struct Expanded {
  ustring text;
  std::vector<PageLine> lines;
  int includes = 0;

  void Append(ustring_view chunk, const ustring& file, unsigned line) {
    if (lines.empty()) lines.push_back({file, line});
    for (char16_t c : chunk) {
      if (c == u'\n') lines.push_back({file, ++line});
    }
    text.append(chunk);
  }
};

struct Include {
  size_t start, end;  // of the whole <!-- ... --> comment
  bool isVirtual;
  ustring target;
};

// Finds the next <!-- #include file="x" --> (or virtual=) at or after pos.
bool FindInclude(ustring_view text, size_t pos, Include* found) {
  for (;;) {
    size_t start = text.find(u"<!--", pos);
    if (start == ustring_view::npos) return false;
    pos = start + 4;
    size_t p = skipSpace(text, pos);
    if (!startsWithNoCase(text, p, u"#include")) continue;
    p = skipSpace(text, p + 8);
    bool isVirtual = startsWithNoCase(text, p, u"virtual");
    if (!isVirtual && !startsWithNoCase(text, p, u"file")) continue;
    p = skipSpace(text, p + (isVirtual ? 7 : 4));
    if (p >= text.size() || text[p] != u'=') continue;
    p = skipSpace(text, p + 1);
    if (p >= text.size() || text[p] != u'"') continue;
    size_t close = text.find(u'"', p + 1);
    if (close == ustring_view::npos) return false;
    size_t end = text.find(u"-->", close);
    if (end == ustring_view::npos) return false;
    *found = {start, end + 3, isVirtual, ustring(text.substr(p + 1, close - p - 1))};
    return true;
  }
}

ustring directoryOf(const ustring& virtualPath) { return virtualPath.substr(0, virtualPath.rfind(u'/') + 1); }

void Expand(const ustring& path, const PageLoader& load, int depth, Expanded& out) {
  ustring text = load(path);
  size_t pos = 0;
  unsigned line = 1;
  Include include;
  while (FindInclude(text, pos, &include)) {
    ustring_view before = ustring_view(text).substr(pos, include.start - pos);
    out.Append(before, path, line);
    line += countLines(before);
    PageLine where{path, line};
    ustring target = ResolveVirtualPath(include.isVirtual ? u"/" : directoryOf(path), include.target);
    if (target.empty()) throw PageError(u"The include file '" + include.target + u"' is outside the site.", where);
    if (depth >= kMaxIncludeDepth) throw PageError(u"Include files are nested too deeply.", where);
    if (++out.includes > kMaxIncludes) throw PageError(u"The page includes too many files.", where);
    Expand(target, load, depth + 1, out);
    line += countLines(ustring_view(text).substr(include.start, include.end - include.start));
    pos = include.end;
  }
  out.Append(ustring_view(text).substr(pos), path, line);
}

// Literal text as a script expression.
ustring VBScriptLiteral(ustring_view s) {
  std::vector<ustring> parts;
  ustring quoted;
  auto flush = [&] {
    if (!quoted.empty()) parts.push_back(u"\"" + quoted + u"\"");
    quoted.clear();
  };
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t c = s[i];
    if (c == u'"') {
      quoted += u"\"\"";
    } else if (c == u'\r' || c == u'\n' || (c < 0x20 && c != u'\t')) {
      flush();
      if (c == u'\r' && i + 1 < s.size() && s[i + 1] == u'\n') {
        parts.push_back(u"vbCrLf");
        ++i;
      } else if (c == u'\n') {
        parts.push_back(u"vbLf");
      } else if (c == u'\r') {
        parts.push_back(u"vbCr");
      } else {
        parts.push_back(u"Chr(" + velmora::toDecimal(c) + u")");
      }
    } else {
      quoted += c;
    }
  }
  flush();
  ustring result;
  for (const ustring& part : parts) result += (result.empty() ? u"" : u" & ") + part;
  return result;
}

ustring JScriptLiteral(ustring_view s) {
  static const char16_t hex[] = u"0123456789abcdef";
  ustring result = u"\"";
  for (char16_t c : s) {
    switch (c) {
      case u'"': result += u"\\\""; break;
      case u'\\': result += u"\\\\"; break;
      case u'\r': result += u"\\r"; break;
      case u'\n': result += u"\\n"; break;
      case u'\t': result += u"\\t"; break;
      default:
        if (c < 0x20 || c == 0x2028 || c == 0x2029) {
          result += u"\\u";
          for (int shift = 12; shift >= 0; shift -= 4) result += hex[(c >> shift) & 15];
        } else {
          result += c;
        }
    }
  }
  return result + u"\"";
}

class Compiler {
 public:
  Compiler(const Expanded& page, CompiledPage& out) : page_(page), out_(out) {}

  void Run() {
    const ustring& text = page_.text;
    size_t pos = 0;
    for (;;) {
      size_t open = text.find(u"<%", pos);
      Literal(pos, open == ustring::npos ? text.size() : open);
      if (open == ustring::npos) break;
      size_t close = text.find(u"%>", open + 2);
      if (close == ustring::npos) throw PageError(u"The <% block is not closed with %>.", OriginAt(open));
      if (text[open + 2] == u'@') {
        Directive(open, close);
      } else if (text[open + 2] == u'=') {
        Expression(open + 3, close);
      } else {
        Code(open + 2, close);
      }
      pos = close + 2;
    }
    if (!optionExplicit_.empty()) {
      out_.code = optionExplicit_ + u"\n" + out_.code;
      out_.lines.insert(out_.lines.begin(), optionExplicitLine_);
    }
  }

 private:
  bool vbscript() const { return out_.language == u"VBScript"; }

  // Lines are counted forward only: offsets come in ascending order.
  size_t LineAt(size_t offset) {
    assert(offset >= countedTo_);
    lineCount_ += countLines(ustring_view(page_.text).substr(countedTo_, offset - countedTo_));
    countedTo_ = offset;
    return lineCount_;
  }
  PageLine OriginAt(size_t offset) { return page_.lines[LineAt(offset)]; }

  // One piece of script; its lines follow the page's lines from offset on.
  void Emit(const ustring& script, size_t offset) {
    size_t line = LineAt(offset);
    out_.code += script;
    out_.code += u'\n';
    size_t count = countLines(script) + 1;
    for (size_t i = 0; i < count; ++i) out_.lines.push_back(page_.lines[std::min(line + i, page_.lines.size() - 1)]);
  }

  void Literal(size_t begin, size_t end) {
    if (begin == end) return;
    ustring_view text = ustring_view(page_.text).substr(begin, end - begin);
    // A single literal is written on one script line, so its line breaks
    // must not count as script lines: they are accounted for by LineAt.
    ustring script = vbscript() ? u"Response.Write " + VBScriptLiteral(text)
                                : u"Response.Write(" + JScriptLiteral(text) + u");";
    Emit(script, begin);
  }

  void Expression(size_t begin, size_t end) {
    ustring expr(page_.text, begin, end - begin);
    hasCode_ = true;
    Emit(vbscript() ? u"Response.Write " + expr : u"Response.Write(" + expr + u");", begin);
  }

  void Code(size_t begin, size_t end) {
    hasCode_ = true;
    ustring code(page_.text, begin, end - begin);
    size_t first = skipSpace(code, 0);
    if (vbscript() && startsWithNoCase(code, first, u"option explicit")) {
      // It must be the script's first statement; literal text before it
      // would otherwise come first.
      optionExplicit_ = code.substr(first, 15);
      optionExplicitLine_ = page_.lines[LineAt(begin) + countLines(ustring_view(code).substr(0, first))];
      code.replace(first, 15, ustring(15, u' '));
    }
    Emit(code, begin);
  }

  void Directive(size_t open, size_t close) {
    PageLine where = OriginAt(open);
    if (hasCode_ || sawDirective_) throw PageError(u"The @ directive must be the first thing in the page.", where);
    sawDirective_ = true;
    ustring_view text = ustring_view(page_.text).substr(open + 3, close - open - 3);
    size_t p = 0;
    for (;;) {
      p = skipSpace(text, p);
      if (p >= text.size()) break;
      size_t eq = text.find(u'=', p);
      if (eq == ustring_view::npos) throw PageError(u"The @ directive is malformed.", where);
      ustring name = velmora::asciiUpper(trim(text.substr(p, eq - p)));
      p = skipSpace(text, eq + 1);
      ustring value;
      if (p < text.size() && text[p] == u'"') {
        size_t q = text.find(u'"', p + 1);
        if (q == ustring_view::npos) throw PageError(u"The @ directive is malformed.", where);
        value = text.substr(p + 1, q - p - 1);
        p = q + 1;
      } else {
        size_t q = p;
        while (q < text.size() && !isSpace(text[q])) ++q;
        value = text.substr(p, q - p);
        p = q;
      }
      if (name == u"LANGUAGE") {
        ustring upper = velmora::asciiUpper(value);
        if (upper == u"VBSCRIPT") {
          out_.language = u"VBScript";
        } else if (upper == u"JSCRIPT" || upper == u"JAVASCRIPT") {
          out_.language = u"JScript";
        } else {
          throw PageError(u"The script language '" + value + u"' is not supported.", where);
        }
      } else if (name == u"CODEPAGE") {
        unsigned cp = 0;
        for (char16_t c : value) {
          if (c < u'0' || c > u'9' || cp > 100000) throw PageError(u"The code page '" + value + u"' is invalid.", where);
          cp = cp * 10 + (c - u'0');
        }
        out_.codePage = cp;
      }
      // ENABLESESSIONSTATE, LCID, TRANSACTION: nothing to do in this host.
    }
  }

  const Expanded& page_;
  CompiledPage& out_;
  size_t countedTo_ = 0;
  size_t lineCount_ = 0;
  bool hasCode_ = false;
  bool sawDirective_ = false;
  ustring optionExplicit_;
  PageLine optionExplicitLine_;
};

}  // namespace

PageLine CompiledPage::Origin(unsigned scriptLine) const {
  if (lines.empty()) return {u"", 0};
  return lines[std::min<size_t>(scriptLine ? scriptLine - 1 : 0, lines.size() - 1)];
}

ustring ResolveVirtualPath(ustring_view baseDir, ustring_view path) {
  ustring joined = (!path.empty() && (path[0] == u'/' || path[0] == u'\\')) ? ustring(path) : ustring(baseDir) + ustring(path);
  std::vector<ustring> parts;
  size_t pos = 0;
  while (pos <= joined.size()) {
    size_t next = joined.find_first_of(u"/\\", pos);
    if (next == ustring::npos) next = joined.size();
    ustring part = joined.substr(pos, next - pos);
    if (part == u"..") {
      if (parts.empty()) return ustring();
      parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    pos = next + 1;
  }
  ustring result;
  for (const ustring& part : parts) result += u"/" + part;
  return result.empty() ? u"/" : result;
}

CompiledPage CompilePage(const ustring& virtualPath, const PageLoader& load) {
  Expanded expanded;
  Expand(virtualPath, load, 0, expanded);
  CompiledPage page;
  Compiler(expanded, page).Run();
  return page;
}

}  // namespace asphost
