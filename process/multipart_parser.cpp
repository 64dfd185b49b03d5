// The multipart/form-data parser. The body's first line is the delimiter
// line; CR LF followed by that line ends every part, so the line break before
// a delimiter never belongs to the part's data. Each block is consumed by one
// loop with one case per state; data leaves the block as whole ranges, and the
// only bytes kept between blocks are a partial delimiter match (at most the
// pattern's length minus one), which is always a prefix of the pattern itself.
#include "process/multipart_parser.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/system_text.h"

namespace velmora {
namespace {

constexpr uint8_t CR = 13;
constexpr uint8_t LF = 10;
constexpr size_t npos = ustring::npos;

enum TReadingState : uint8_t {
  rsFindingBoundary,     // collecting the delimiter line at the start of the body
  rsAfterDelimiter,      // just after a delimiter: "--" closes the body, CR LF opens a part
  rsClosingDash,         // one "-" of that "--" seen
  rsDelimiterCR,         // the CR of that CR LF seen
  rsInBetween,           // after a delimiter's CR LF: the next byte opens a part
  rsReadingInformation,  // a part's header lines
  rsReadingData,         // data of a non-file part
  rsReadingFile,         // data of a file part with a file name
  rsEmptyFile,           // data of a file part without a file name: discarded
  rsSkipping,            // after a delimiter followed by neither: no part, discarded
  rsEpilogue,            // after the closing delimiter: taken, never parsed
};

constexpr uint8_t kDash = '-';

// Finds the delimiter pattern: CR LF, then the delimiter line.
//
// The line holds no CR, so CR occurs in the pattern only at its start and two
// partial matches can never overlap. Hence the first occurrence of the
// pattern is exactly where a matcher reading one byte at a time (and
// restarting at the byte that broke a partial match) completes it, and the
// one partial match alive at the end of a run starts at the run's last CR.
//
// The scan jumps by Horspool's rule on the last byte of each window. A window
// is compared in full only when it starts with CR; since the bytes such a
// comparison matches are not CR, two comparisons share at most one byte and
// the scan stays linear whatever pattern and data a client sends.
class TDelimiterSearch {
 public:
  explicit TDelimiterSearch(std::vector<uint8_t> pattern = {CR, LF})
      : pattern_(std::move(pattern)) {
    const size_t length = pattern_.size();
    for (size_t& skip : skip_) skip = length;
    for (size_t i = 0; i + 1 < length; ++i) skip_[pattern_[i]] = length - 1 - i;
  }

  const uint8_t* pattern() const { return pattern_.data(); }
  size_t length() const { return pattern_.size(); }

  // The first occurrence in [first, last), or last.
  const uint8_t* find(const uint8_t* first, const uint8_t* last) const {
    const size_t length = pattern_.size();
    const uint8_t lastByte = pattern_[length - 1];
    while (static_cast<size_t>(last - first) >= length) {
      const uint8_t windowEnd = first[length - 1];
      if (windowEnd == lastByte && first[0] == CR &&
          std::memcmp(first + 1, pattern_.data() + 1, length - 2) == 0)
        return first;
      first += skip_[windowEnd];
    }
    return last;
  }

  // For a run that holds no whole occurrence: how many of its last bytes
  // match the start of the pattern.
  size_t partialMatchAtEnd(const uint8_t* first, const uint8_t* last) const {
    const size_t window = std::min(static_cast<size_t>(last - first), pattern_.size() - 1);
    for (const uint8_t* p = last; p != last - window;) {
      if (*--p == CR) {
        const size_t matched = static_cast<size_t>(last - p);
        return std::memcmp(p + 1, pattern_.data() + 1, matched - 1) == 0 ? matched : 0;
      }
    }
    return 0;
  }

 private:
  std::vector<uint8_t> pattern_;
  size_t skip_[256];
};

bool IsToken(char16_t c) {
  return c > 0x20 && c < 0x7F && std::u16string_view(u"()<>@,;:\\\"/[]?={}").find(c) == npos;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// Text a quoted string may hold as it stands: no control character but the
// tab, no DEL; any character past ASCII.
bool IsQuotedText(char16_t c) { return c == u'\t' || (c >= 0x20 && c != 0x7F); }

// RFC 5987's characters of a charset name and of an ext-value's text.
bool IsCharsetChar(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
         std::u16string_view(u"!#$%&+-^_`{}~").find(c) != npos;
}
bool IsAttrChar(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
         std::u16string_view(u"!#$&+-.^_`|~").find(c) != npos;
}

// Whether word, in any case, is lower (written in small letters).
template <class Char>
bool IsWordInAnyCase(std::basic_string_view<Char> word, std::string_view lower) {
  if (word.size() != lower.size()) return false;
  for (size_t i = 0; i < word.size(); ++i) {
    const Char c = word[i] >= Char('A') && word[i] <= Char('Z') ? Char(word[i] + 32) : word[i];
    if (c != Char(lower[i])) return false;
  }
  return true;
}

// The text of an ext-value's bytes in its charset, as busboy and other
// readers of RFC 7578 decode it: UTF-8 (which must be valid), or Latin-1 under
// the names they read as Latin-1. Other charsets give nothing but the empty
// text: a reader may decode them otherwise, or refuse them.
template <class Char>
std::optional<ustring> DecodeExtValue(std::basic_string_view<Char> charset, const std::string& bytes) {
  if (bytes.empty()) return ustring();
  if (IsWordInAnyCase(charset, "utf-8") || IsWordInAnyCase(charset, "utf8")) {
    ustring text;
    if (!systext::utf8ToUnicode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), text))
      return std::nullopt;
    return text;
  }
  for (std::string_view latin1 : {"iso-8859-1", "iso8859-1", "iso88591", "iso_8859-1", "latin1", "ascii",
                                  "us-ascii", "windows-1252", "cp1252", "x-cp1252"})
    if (IsWordInAnyCase(charset, latin1)) return fromLatin1(bytes);
  return std::nullopt;
}

// The name and file name of a Content-Disposition value, read as an RFC 7578
// reader (busboy among them) reads it: "form-data", then "; param=value"
// pairs. A value is a token or a quoted string, where a backslash makes the
// next quote or backslash plain text and no control character may stand; a
// parameter whose name ends in "*" has an RFC 5987 ext-value instead
// (charset'language'text, with %XX for bytes). Parameter names count in any
// case; the first of each name counts. A file part is one with a "filename"
// or "filename*" parameter; "filename*", when it names something, is the
// file name. A value that breaks this syntax, or another type, names nothing
// and no file: other readers drop such a part, so nothing must come of a
// text they read otherwise. False then.
template <class Char>
bool ReadDisposition(std::basic_string_view<Char> value, TPartHead& head) {
  size_t i = 0;
  const size_t end = value.size();
  auto skipBlanks = [&] {
    while (i < end && IsBlank(value[i])) ++i;
  };
  auto token = [&] {
    const size_t start = i;
    while (i < end && IsToken(value[i])) ++i;
    return value.substr(start, i - start);
  };
  skipBlanks();
  if (!IsWordInAnyCase(token(), "form-data")) return false;
  std::optional<ustring> name, fileName, extFileName;
  for (;;) {
    skipBlanks();
    if (i == end) break;
    if (value[i++] != Char(';')) return false;
    skipBlanks();
    const std::basic_string_view<Char> param = token();
    if (param.empty() || i == end || value[i++] != Char('=')) return false;
    ustring text;
    if (param.back() == Char('*')) {
      const size_t charsetStart = i;
      while (i < end && IsCharsetChar(value[i])) ++i;
      const std::basic_string_view<Char> charset = value.substr(charsetStart, i - charsetStart);
      if (i == end || value[i++] != Char('\'')) return false;
      while (i < end && value[i] != Char('\'')) ++i;  // the language, not checked
      if (i == end || ++i == end) return false;
      std::string bytes;
      for (; i < end; ++i) {
        if (IsAttrChar(value[i])) {
          bytes += static_cast<char>(value[i]);
        } else if (value[i] == Char('%')) {
          const int high = i + 2 < end ? hexDigitValue(value[i + 1]) : -1;
          const int low = i + 2 < end ? hexDigitValue(value[i + 2]) : -1;
          if (high < 0 || low < 0) return false;
          bytes += static_cast<char>(high * 16 + low);
          i += 2;
        } else {
          break;
        }
      }
      std::optional<ustring> decoded = DecodeExtValue(charset, bytes);
      if (!decoded) return false;
      text = std::move(*decoded);
    } else if (i < end && value[i] == Char('"')) {
      bool closed = false;
      for (++i; i < end && !closed;) {
        Char c = value[i++];
        if (c == Char('"')) {
          closed = true;
          continue;
        }
        if (c == Char('\\') && i < end && (value[i] == Char('"') || value[i] == Char('\\'))) c = value[i++];
        else if (!IsQuotedText(static_cast<char16_t>(c))) return false;
        text += static_cast<char16_t>(c);
      }
      if (!closed) return false;
    } else {
      const std::basic_string_view<Char> word = token();
      if (word.empty()) return false;
      text.assign(word.begin(), word.end());
    }
    if (IsWordInAnyCase(param, "name") && !name) name = std::move(text);
    else if (IsWordInAnyCase(param, "filename") && !fileName) fileName = std::move(text);
    else if (IsWordInAnyCase(param, "filename*") && !extFileName) extFileName = std::move(text);
  }
  head.Name = name.value_or(ustring());
  head.IsFile = fileName || extFileName;
  head.FileName = extFileName && !extFileName->empty() ? *extFileName : fileName.value_or(ustring());
  return true;
}

// Whether a Content-Type value names application/octet-stream (any case),
// whatever its parameters: RFC 7578 readers take a part of that type for a
// file, file name or not.
template <class Char>
bool IsOctetStream(std::basic_string_view<Char> value) {
  size_t i = 0;
  while (i < value.size() && IsBlank(value[i])) ++i;
  constexpr std::string_view kType = "application/octet-stream";
  if (value.size() - i < kType.size() || !IsWordInAnyCase(value.substr(i, kType.size()), kType)) return false;
  i += kType.size();
  return i == value.size() || !IsToken(value[i]);
}

// The words a header line is searched for, in the line's character type.
template <class Char>
struct THeaderWords;
template <>
struct THeaderWords<char16_t> {
  static constexpr std::u16string_view disposition = u"Content-Disposition", type = u"Content-Type";
};
template <>
struct THeaderWords<char> {
  static constexpr std::string_view disposition = "Content-Disposition", type = "Content-Type";
};

// Whether line is a header line of that name, written in any case: the
// name, then ":".
template <class Char>
bool IsHeaderNamed(std::basic_string_view<Char> line, std::basic_string_view<Char> name) {
  if (line.size() <= name.size() || line[name.size()] != Char(':')) return false;
  for (size_t i = 0; i < name.size(); ++i)
    if (asciiUpper(static_cast<char16_t>(line[i])) != asciiUpper(static_cast<char16_t>(name[i]))) return false;
  return true;
}

// What the header lines of a part said so far.
struct THeaderFields {
  bool dispositionSeen = false, typeSeen = false;
  bool formData = false;     // the disposition was read: form-data, well formed
  bool octetStream = false;  // the type is application/octet-stream
};

// What a complete header line sets. Only the first line of each name counts,
// whatever the case of its name, as for a reader of the RFC, which takes the
// first; it is read only when its name is written as here, capitals included
// (another case names nothing). Works on the decoded line, or on the bytes of
// an ASCII line (which are its text, and are searched quicker).
template <class Char>
void setHeaderFields(TPartHead& head, std::basic_string_view<Char> line, THeaderFields& fields) {
  using Words = THeaderWords<Char>;
  auto text = [](std::basic_string_view<Char> part) { return ustring(part.begin(), part.end()); };
  auto writtenAsHere = [&line](std::basic_string_view<Char> name) { return line.substr(0, name.size()) == name; };
  if (!fields.dispositionSeen && IsHeaderNamed(line, Words::disposition)) {
    fields.dispositionSeen = true;
    fields.formData = writtenAsHere(Words::disposition) &&
                      ReadDisposition(line.substr(Words::disposition.size() + 1), head);
  }
  // The text after "Content-Type: ", counted, not searched for.
  constexpr size_t kTypeStart = std::char_traits<char>::length("Content-Type: ");
  if (!fields.typeSeen && IsHeaderNamed(line, Words::type)) {
    fields.typeSeen = true;
    fields.octetStream = IsOctetStream(line.substr(Words::type.size() + 1));
    if (writtenAsHere(Words::type)) head.ContentType = text(line.substr(std::min(kTypeStart, line.size())));
  }
}

// Whether the bytes of a header line, its CR LF left out, are a header field
// as RFC 7230 has it: a token, ":", then text without control characters
// (tab aside) or DEL. A line that starts with a blank (an obsolete folded
// line) is none.
bool IsHeaderField(const uint8_t* bytes, size_t size) {
  size_t i = 0;
  while (i < size && IsToken(bytes[i])) ++i;
  if (i == 0 || i == size || bytes[i] != ':') return false;
  for (++i; i < size; ++i)
    if (!IsQuotedText(bytes[i])) return false;
  return true;
}

}  // namespace

struct TMultipartParser::State {
  State(IMultipartReceiver& receiver, Charset charset, const TParserLimits& limits)
      : receiver(receiver), charset(charset), limits(limits) {}

  IMultipartReceiver& receiver;
  const Charset charset;
  const TParserLimits limits;
  // What the limits count: parts so far, header lines and bytes of the
  // current part's header, characters of form text kept.
  size_t partCount = 0;
  size_t headerLineCount = 0;
  size_t headerBytes = 0;
  // What the open part's header lines said so far; whether one of them broke
  // the syntax of header lines, which makes a part no reader takes.
  THeaderFields fields;
  bool malformed = false;
  // The delimiter line the request's Content-Type names, if it named one.
  std::optional<std::string> expectedLine;
  size_t formText = 0;

  TReadingState ReadingState = rsFindingBoundary;
  std::vector<uint8_t> BoundaryBytes{CR, LF};  // grows by the first line until its CR
  TDelimiterSearch delimiter;                  // built from BoundaryBytes at that CR
  // Pattern bytes matched just before the position. Being a prefix of the
  // pattern, they need no buffer of their own.
  size_t SuspectedBoundaryCount = 0;
  // Of those, the bytes that ended the previous block and were held back.
  size_t MissedBytes = 0;
  TPartHead head;        // of the open part
  TMemoryStream line;    // the header line being read, one buffer for all parts

  [[noreturn]] void refuse(TParserLimit limit) const {
    throw EUploadLimitError(LimitMessage(limit, limits));
  }
  // A refusal while a part's header is read: the part is dropped, as a
  // reader that took the header otherwise would not have it as we do.
  [[noreturn]] void refuseHeader(TParserLimit limit) {
    malformed = true;
    refuse(limit);
  }
  // Counts characters about to be kept for the form.
  void keepText(size_t count) {
    if (count > limits.formText - formText) refuse(TParserLimit::FormText);
    formText += count;
  }
  // Reports data of the open part; a value's bytes count as form text
  // first. count is signed: a delimiter begun in an earlier block leaves
  // nothing of this one.
  void emitData(const uint8_t* bytes, int64_t count) {
    if (count <= 0 || ReadingState == rsEmptyFile || ReadingState == rsSkipping) return;
    if (ReadingState == rsReadingData) keepText(static_cast<size_t>(count));
    receiver.partData(bytes, static_cast<size_t>(count));
  }

  size_t findBoundary(const uint8_t* block, size_t size, size_t pos);
  size_t afterDelimiter(const uint8_t* block, size_t pos);
  size_t closingDash(const uint8_t* block, size_t pos);
  size_t delimiterCR(const uint8_t* block, size_t pos);
  void skipToNextDelimiter();
  void openPart();
  size_t readHeaders(const uint8_t* block, size_t size, size_t pos);
  bool headerLineDone();
  void takeHeaderLine();
  TPartHead finalHead();
  size_t readData(const uint8_t* block, size_t size, size_t pos);
};

// Whatever precedes the body's first CR is the delimiter line: no preamble is
// skipped and no "--" is required (unless the Content-Type named the
// boundary). The LF after the CR is left to the next state.
size_t TMultipartParser::State::findBoundary(const uint8_t* block, size_t size, size_t pos) {
  const void* cr = std::memchr(block + pos, CR, size - pos);
  const size_t end = cr ? static_cast<size_t>(static_cast<const uint8_t*>(cr) - block) : size;
  const size_t lineSoFar = BoundaryBytes.size() - 2;  // after the CR LF it starts with
  if (end - pos > limits.delimiterLine - lineSoFar) refuse(TParserLimit::DelimiterLine);
  BoundaryBytes.insert(BoundaryBytes.end(), block + pos, block + end);
  if (!cr) return size;
  if (expectedLine) {
    const std::string_view line(reinterpret_cast<const char*>(BoundaryBytes.data()) + 2,
                                BoundaryBytes.size() - 2);
    if (line.substr(0, expectedLine->size() + 2) == *expectedLine + "--") {
      // The closing delimiter first: a body without parts.
      ReadingState = rsEpilogue;
      return end + 1;
    }
    if (line != *expectedLine)
      throw EBodyRefused(u"The body does not begin with the delimiter its Content-Type names (\"" +
                         fromLatin1(*expectedLine) + u"\").");
  }
  delimiter = TDelimiterSearch(std::move(BoundaryBytes));
  BoundaryBytes.clear();
  ReadingState = rsDelimiterCR;
  return end + 1;
}

// After a delimiter, "--" makes it the closing one: the parts end there, and
// what follows (RFC 2046's epilogue) is no part of the form. CR LF opens a
// part. Anything else (blanks, a bare LF, text) opens none: a reader of the
// RFC takes no part there, so neither do we, and the bytes up to the next
// delimiter are discarded.
size_t TMultipartParser::State::afterDelimiter(const uint8_t* block, size_t pos) {
  if (block[pos] == kDash) {
    ReadingState = rsClosingDash;
    return pos + 1;
  }
  if (block[pos] == CR) {
    ReadingState = rsDelimiterCR;
    return pos + 1;
  }
  skipToNextDelimiter();
  return pos;
}

size_t TMultipartParser::State::closingDash(const uint8_t* block, size_t pos) {
  if (block[pos] == kDash) {
    ReadingState = rsEpilogue;
    return pos + 1;
  }
  skipToNextDelimiter();
  return pos;
}

size_t TMultipartParser::State::delimiterCR(const uint8_t* block, size_t pos) {
  if (block[pos] == LF) {
    ReadingState = rsInBetween;
    return pos + 1;
  }
  skipToNextDelimiter();
  return pos;
}

void TMultipartParser::State::skipToNextDelimiter() {
  ReadingState = rsSkipping;
  SuspectedBoundaryCount = 0;
  MissedBytes = 0;
}

void TMultipartParser::State::openPart() {
  if (partCount == limits.parts) refuse(TParserLimit::Parts);
  ++partCount;
  headerLineCount = headerBytes = 0;
  fields = THeaderFields();
  malformed = false;
  head = TPartHead();
  ReadingState = rsReadingInformation;
  receiver.partBegin();
}

// Header lines end at LF. Every byte up to the empty line's counts against
// the header's limit.
size_t TMultipartParser::State::readHeaders(const uint8_t* block, size_t size, size_t pos) {
  while (pos < size) {
    const void* lf = std::memchr(block + pos, LF, size - pos);
    const size_t lineEnd = lf ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - block) : size;
    const size_t taken = lineEnd - pos + (lf ? 1 : 0);
    if (taken > limits.headerBlock - headerBytes) refuseHeader(TParserLimit::HeaderBlock);
    headerBytes += taken;
    line.write(block + pos, lineEnd - pos);
    pos += taken;
    if (lf && headerLineDone()) break;
  }
  return pos;
}

// A line of a part's header, its LF left out, is a header field ending in
// CR; anything else (a bare LF, a CR elsewhere, a control character, a line
// without a name or folded onto the one before) breaks the header: a reader
// of the RFC drops the part, and so do we. A line that begins with the
// delimiter line is where such a reader finds a delimiter in the middle of
// the header, and from there on reads the body otherwise: the body is refused.
void TMultipartParser::State::takeHeaderLine() {
  if (++headerLineCount > limits.headerLines) refuseHeader(TParserLimit::HeaderLines);
  const std::string_view bytes = asChars(line);
  const std::string_view delimiterLine(reinterpret_cast<const char*>(delimiter.pattern()) + 2,
                                       delimiter.length() - 2);
  if (!delimiterLine.empty() && bytes.substr(0, delimiterLine.size()) == delimiterLine) {
    malformed = true;
    throw EBodyRefused(u"A part's header holds a delimiter line (\"" + fromLatin1(delimiterLine) + u"\").");
  }
  if (bytes.back() != '\r' || !IsHeaderField(line.data(), line.size() - 1)) malformed = true;
  if (malformed) return;
  // The line is only searched and then dropped; an ASCII line needs no
  // decoding at all.
  line.setSize(line.size() - 1);
  if (IsUtf8Ascii(line, charset))
    setHeaderFields(head, asChars(line), fields);
  else
    setHeaderFields(head, ustring_view(DecodeFormText(line, charset)), fields);
}

// What the header lines make of the part: a broken header, nothing; a
// form-data part of type application/octet-stream, a file part even without
// a file name.
TPartHead TMultipartParser::State::finalHead() {
  if (malformed) return TPartHead();
  if (fields.formData && fields.octetStream) head.IsFile = true;
  return std::move(head);
}

// A complete header line; true when it was the empty line that ends the
// headers.
bool TMultipartParser::State::headerLineDone() {
  const bool empty = line.size() == 0 || (line.size() == 1 && line.data()[0] == CR);
  if (!empty) {
    takeHeaderLine();
    line.setSize(0);
    return false;
  }
  if (line.size() == 0) malformed = true;  // a bare LF
  line.setSize(0);
  TPartHead done = finalHead();
  const size_t text = done.Name.size() + done.FileName.size() + done.ContentType.size();
  if (text > limits.formText - formText) refuseHeader(TParserLimit::FormText);
  formText += text;
  SuspectedBoundaryCount = 0;
  ReadingState = !done.IsFile ? rsReadingData : done.FileName.empty() ? rsEmptyFile : rsReadingFile;
  receiver.partHeadersEnd(std::move(done));
  return true;
}

// The data states. A match carried in from the previous block is resolved
// byte by byte (it is shorter than the pattern); then the block is searched
// for the whole pattern, and without one, a trailing partial match is held
// back. This gives exactly the positions, the ranges and the held-back count
// of matching every byte in turn.
size_t TMultipartParser::State::readData(const uint8_t* block, size_t size, size_t pos) {
  const uint8_t* pattern = delimiter.pattern();
  const size_t length = delimiter.length();
  const size_t start = pos;
  bool ended = false;

  if (SuspectedBoundaryCount > 0) {
    while (pos < size && block[pos] == pattern[SuspectedBoundaryCount]) {
      ++pos;
      if (++SuspectedBoundaryCount == length) {
        ended = true;
        break;
      }
    }
    if (!ended && pos < size) {
      // Broken: the bytes held back were data after all, and go first. The
      // ones of this block lie in its range below; the breaking byte may
      // itself begin a match, so the search starts at it.
      emitData(pattern, static_cast<int64_t>(MissedBytes));
      MissedBytes = 0;
      SuspectedBoundaryCount = 0;
    }
  }

  if (!ended && pos < size) {
    const uint8_t* found = delimiter.find(block + pos, block + size);
    if (found != block + size) {
      pos = static_cast<size_t>(found - block) + length;
      ended = true;
    } else {
      SuspectedBoundaryCount = delimiter.partialMatchAtEnd(block + pos, block + size);
      pos = size;
    }
  }

  // Signed: when the delimiter or the partial match began in an earlier
  // block, nothing of this block is data.
  const int64_t scanned = static_cast<int64_t>(pos - start);
  if (!ended) {
    emitData(block + start, scanned - static_cast<int64_t>(SuspectedBoundaryCount));
    MissedBytes = ReadingState == rsEmptyFile || ReadingState == rsSkipping ? 0 : SuspectedBoundaryCount;
    return pos;
  }
  // Held-back bytes that turned out to begin the delimiter are dropped.
  emitData(block + start, scanned - static_cast<int64_t>(length));
  MissedBytes = 0;
  const bool partOpen = ReadingState != rsSkipping;
  ReadingState = rsAfterDelimiter;
  if (partOpen) receiver.partEnd();
  return pos;
}

TMultipartParser::TMultipartParser(IMultipartReceiver& receiver, Charset charset, const TParserLimits& limits)
    : s_(std::make_unique<State>(receiver, charset, limits)) {}

TMultipartParser::~TMultipartParser() = default;

void TMultipartParser::expectBoundary(std::string boundary) {
  s_->expectedLine = "--" + boundary;
}

void TMultipartParser::parseBlock(const uint8_t* data, size_t size) {
  State& s = *s_;
  size_t pos = 0;
  while (pos < size) {
    switch (s.ReadingState) {
      case rsFindingBoundary: pos = s.findBoundary(data, size, pos); break;
      case rsAfterDelimiter: pos = s.afterDelimiter(data, pos); break;
      case rsClosingDash: pos = s.closingDash(data, pos); break;
      case rsDelimiterCR: pos = s.delimiterCR(data, pos); break;
      case rsInBetween: s.openPart(); break;
      case rsReadingInformation: pos = s.readHeaders(data, size, pos); break;
      case rsReadingData:
      case rsReadingFile:
      case rsEmptyFile:
      case rsSkipping: pos = s.readData(data, size, pos); break;
      case rsEpilogue: pos = size; break;
    }
  }
}

bool TMultipartParser::finish() {
  State& s = *s_;
  const TReadingState last = std::exchange(s.ReadingState, rsEpilogue);  // reported once
  if (last == rsReadingInformation) s.receiver.partHeadersCut(s.finalHead());
  // Only the closing delimiter ends a body whole: one that stops after a
  // delimiter line (or its first "-") was cut as surely as one inside a part.
  // A body of its first line alone is the exception where no Content-Type
  // named the boundary: that line may well be the closing delimiter of an
  // empty form.
  if (last == rsInBetween && s.partCount == 0 && !s.expectedLine) return false;
  return last != rsFindingBoundary && last != rsEpilogue;
}

// type "/" subtype *( OWS ";" OWS name "=" ( token / quoted-string ) ) OWS,
// read strictly: whatever a reader of the RFC would not take, nor do we.
std::optional<std::string> MultipartBoundary(ustring_view contentType) {
  ustring_view rest = contentType;
  while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
  while (!rest.empty() && IsBlank(rest.back())) rest.remove_suffix(1);
  auto token = [&rest] {
    size_t n = 0;
    while (n < rest.size() && IsToken(rest[n])) ++n;
    ustring_view t = rest.substr(0, n);
    rest.remove_prefix(n);
    return t;
  };
  const ustring_view type = token();
  if (rest.empty() || rest.front() != u'/') return std::nullopt;
  rest.remove_prefix(1);
  const ustring_view subtype = token();
  if (!sameTextAsciiFolded(type, u"multipart") || !sameTextAsciiFolded(subtype, u"form-data"))
    return std::nullopt;
  std::optional<std::string> boundary;
  while (!rest.empty()) {
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    if (rest.empty() || rest.front() != u';') return std::nullopt;
    rest.remove_prefix(1);
    while (!rest.empty() && IsBlank(rest.front())) rest.remove_prefix(1);
    const ustring_view name = token();
    if (name.empty() || rest.empty() || rest.front() != u'=') return std::nullopt;
    rest.remove_prefix(1);
    ustring_view value;
    if (!rest.empty() && rest.front() == u'"') {
      const size_t close = rest.find(u'"', 1);
      if (close == npos) return std::nullopt;
      value = rest.substr(1, close - 1);
      rest.remove_prefix(close + 1);
      // An escape would make two readers disagree on the text; no boundary
      // needs one.
      for (char16_t c : value)
        if (c == u'\\' || c >= 0x7F || (c < 0x20 && c != u'\t')) return std::nullopt;
    } else {
      value = token();
      if (value.empty()) return std::nullopt;
    }
    // The first boundary parameter counts, as for the RFC's readers.
    if (!boundary && sameTextAsciiFolded(name, u"boundary")) boundary = std::string(value.begin(), value.end());
  }
  return boundary;
}

ustring LimitMessage(TParserLimit limit, const TParserLimits& limits) {
  auto number = [](size_t n) { return toDecimal(static_cast<int64_t>(n)); };
  switch (limit) {
    case TParserLimit::DelimiterLine:
      return u"The body's first line, its delimiter, is longer than " + number(limits.delimiterLine) + u" bytes.";
    case TParserLimit::HeaderBlock:
      return u"The header of a part is longer than " + number(limits.headerBlock) + u" bytes.";
    case TParserLimit::HeaderLines:
      return u"A part has more than " + number(limits.headerLines) + u" header lines.";
    case TParserLimit::Parts:
      return u"The body has more than " + number(limits.parts) + u" parts.";
    case TParserLimit::FormText:
      return u"The form's text (names, values, file names, content types) is longer than " +
             number(limits.formText) + u" characters.";
  }
  return ustring();
}

}  // namespace velmora
