// The multipart/form-data parser. The body's first line is the delimiter
// line; CR LF followed by that line ends every part, so the line break before
// a delimiter never belongs to the part's data. Each block is consumed by one
// loop with one case per state; data leaves the block as whole ranges, and the
// only bytes kept between blocks are a partial delimiter match (at most the
// pattern's length minus one), which is always a prefix of the pattern itself.
#include "process/multipart_parser.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "process/file_names.h"
#include "textutils/system_text.h"
#include "textutils/textconv.h"

namespace velmora {
namespace {

constexpr uint8_t CR = 13;
constexpr uint8_t LF = 10;
constexpr size_t npos = ustring::npos;

enum TReadingState : uint8_t {
  rsFindingBoundary,     // collecting the delimiter line at the start of the body
  rsInBetween,           // after a delimiter, skipping line breaks
  rsReadingInformation,  // a part's header lines
  rsReadingData,         // data of a non-file part
  rsReadingFile,         // data of a file part with a file name
  rsEmptyFile,           // data of a file part without a file name: discarded
};

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

// The value of a header parameter (" name=", " filename=", with the blank, so
// that " name=" never matches inside " filename="): the first quoted text
// after it. Without the parameter the search starts at the line's start, so
// an unquoted or missing value yields the next quoted text, or nothing.
template <class Char>
std::basic_string_view<Char> ExtractHeaderParam(std::basic_string_view<Char> param,
                                                std::basic_string_view<Char> line) {
  const size_t at = line.find(param, param.size());
  std::basic_string_view<Char> rest = at == npos ? line : line.substr(at + 1);
  const size_t open = rest.find(Char('"'));
  if (open != npos) rest.remove_prefix(open + 1);
  const size_t close = rest.find(Char('"'));
  return close == npos ? std::basic_string_view<Char>() : rest.substr(0, close);
}

// The words a header line is searched for, in the line's character type.
template <class Char>
struct THeaderWords;
template <>
struct THeaderWords<char16_t> {
  static constexpr std::u16string_view disposition = u"Content-Disposition", type = u"Content-Type",
                                       name = u" name=", filename = u" filename=";
};
template <>
struct THeaderWords<char> {
  static constexpr std::string_view disposition = "Content-Disposition", type = "Content-Type",
                                    name = " name=", filename = " filename=";
};

// What a complete header line sets. Header names count only as written here,
// capitals included. Works on the decoded line, or on the bytes of an ASCII
// line (which are its text, and are searched quicker).
template <class Char>
void setHeaderFields(TFormEntity& e, std::basic_string_view<Char> line) {
  using Words = THeaderWords<Char>;
  auto text = [](std::basic_string_view<Char> part) { return ustring(part.begin(), part.end()); };
  if (line.find(Words::disposition) != npos) {
    e.Name = text(ExtractHeaderParam(Words::name, line));
    if (line.find(Words::filename) != npos) {
      e.FileName = text(ExtractHeaderParam(Words::filename, line));
      e.IsFile = true;
    }
  }
  // The text after "Content-Type: ", counted, not searched for.
  if (line.find(Words::type) != npos) e.ContentType = text(line.substr(std::min<size_t>(14, line.size())));
}

std::string_view asChars(const TMemoryStream& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(bytes.size())};
}

void append(TStream* destination, const uint8_t* bytes, int64_t count) {
  // Memory streams grow without moving what they hold (files) or
  // geometrically (values), so data written block by block costs O(n).
  if (destination && count > 0) destination->write(bytes, static_cast<size_t>(count));
}

// Name, Extension and NameOnly of a new record from the name the client sent.
void nameFile(TFileRecord& record) {
  record.Name = ClientFileName(record.LocalName);
  const size_t dot = record.Name.rfind(u'.');
  if (dot != npos && dot != 0) record.Extension = record.Name.substr(dot + 1);
  record.NameOnly = record.Extension.empty()
                        ? record.Name
                        : record.Name.substr(0, record.Name.size() - record.Extension.size() - 1);
}

}  // namespace

struct TMultipartParser::State {
  State(TUploadResults& results, Charset charset, IFileDestinations* direct, const TParserLimits& limits)
      : results(results), charset(charset), direct(direct), limits(limits) {}

  TUploadResults& results;
  const Charset charset;
  IFileDestinations* const direct;
  const TParserLimits limits;
  // What the limits count: parts so far, header lines of the current part,
  // characters of form text kept.
  size_t partCount = 0;
  size_t headerLineCount = 0;
  size_t formText = 0;

  TReadingState ReadingState = rsFindingBoundary;
  std::vector<uint8_t> BoundaryBytes{CR, LF};  // grows by the first line until its CR
  TDelimiterSearch delimiter;                  // built from BoundaryBytes at that CR
  // Pattern bytes matched just before the position. Being a prefix of the
  // pattern, they need no buffer of their own.
  size_t SuspectedBoundaryCount = 0;
  // Of those, the bytes that ended the previous block and were held back.
  size_t MissedBytes = 0;
  size_t currentFile = 0;  // index in results.Files of the file part being read
  TMemoryStream spareStream;

  TFormEntity& entity() { return results.FormEntities.back(); }

  [[noreturn]] void refuse(TParserLimit limit) const { throw EUploadLimitError(limitMessage(limit, limits)); }
  // Counts characters about to be kept for the form.
  void keepText(size_t count) {
    if (count > limits.formText - formText) refuse(TParserLimit::FormText);
    formText += count;
  }
  // A value's bytes about to be written to its CurrentStream.
  void keepValueBytes(int64_t count) {
    if (ReadingState == rsReadingData && count > 0) keepText(static_cast<size_t>(count));
  }

  // Header lines and values are mostly ASCII, which as UTF-8 decodes to one
  // character per byte: the text is then the bytes themselves.
  bool isUtf8Ascii(const TMemoryStream& bytes) const {
    if (charset != Charset::Utf8) return false;
    uint8_t high = 0;
    for (size_t i = 0, n = static_cast<size_t>(bytes.size()); i < n; ++i) high |= bytes.data()[i];
    return high < 0x80;
  }

  ustring decode(TMemoryStream& bytes) const {
    const size_t size = static_cast<size_t>(bytes.size());
    if (isUtf8Ascii(bytes)) return fromLatin1(asChars(bytes));
    if (charset == Charset::Utf8) return DecodeUtf8OrAnsi(bytes.data(), size);
    const std::string ansi = StreamToAnsiString(bytes, 0);
    return systext::ansiToUnicode(reinterpret_cast<const uint8_t*>(ansi.data()), ansi.size());
  }

  // A part's CurrentStream takes over the memory of the previous part's once
  // that is done with, so small parts cost no buffer allocation each.
  void lendStream(TFormEntity& e) { e.CurrentStream = std::move(spareStream); }
  void takeBackStream(TFormEntity& e) {
    spareStream = std::move(e.CurrentStream);
    spareStream.setSize(0);
  }

  // Where the current part's data goes; none for discarded data.
  TStream* destination() {
    switch (ReadingState) {
      case rsReadingData: return &entity().CurrentStream;
      case rsReadingFile: return results.Files[currentFile].FileStream.get();
      default: return nullptr;
    }
  }

  size_t findBoundary(const uint8_t* block, size_t size, size_t pos);
  size_t skipLineBreaks(const uint8_t* block, size_t size, size_t pos);
  size_t readHeaders(const uint8_t* block, size_t size, size_t pos);
  bool headerLineDone(TFormEntity& e);
  void makeFileRecord(const TFormEntity& e);
  size_t readData(const uint8_t* block, size_t size, size_t pos);
  void endPart(const uint8_t* data, int64_t count);
};

// Whatever precedes the body's first CR is the delimiter line: no preamble is
// skipped and no "--" is required. The LF after the CR is left to the next
// state.
size_t TMultipartParser::State::findBoundary(const uint8_t* block, size_t size, size_t pos) {
  const void* cr = std::memchr(block + pos, CR, size - pos);
  const size_t end = cr ? static_cast<size_t>(static_cast<const uint8_t*>(cr) - block) : size;
  const size_t lineSoFar = BoundaryBytes.size() - 2;  // after the CR LF it starts with
  if (end - pos > limits.delimiterLine - lineSoFar) refuse(TParserLimit::DelimiterLine);
  BoundaryBytes.insert(BoundaryBytes.end(), block + pos, block + end);
  if (!cr) return size;
  delimiter = TDelimiterSearch(std::move(BoundaryBytes));
  BoundaryBytes.clear();
  ReadingState = rsInBetween;
  return end + 1;
}

// Any byte but CR or LF opens a part (also the "--" after the closing
// delimiter, which then collects the epilogue as header text).
size_t TMultipartParser::State::skipLineBreaks(const uint8_t* block, size_t size, size_t pos) {
  while (pos < size && (block[pos] == CR || block[pos] == LF)) ++pos;
  if (pos < size) {
    if (partCount == limits.parts) refuse(TParserLimit::Parts);
    ++partCount;
    headerLineCount = 0;
    results.FormEntities.emplace_back();
    lendStream(entity());
    ReadingState = rsReadingInformation;
  }
  return pos;
}

// Header lines end at LF; CR is ignored wherever it stands.
size_t TMultipartParser::State::readHeaders(const uint8_t* block, size_t size, size_t pos) {
  TFormEntity& e = entity();
  while (pos < size) {
    const void* lf = std::memchr(block + pos, LF, size - pos);
    const size_t lineEnd = lf ? static_cast<size_t>(static_cast<const uint8_t*>(lf) - block) : size;
    while (pos < lineEnd) {
      const void* cr = std::memchr(block + pos, CR, lineEnd - pos);
      const size_t runEnd = cr ? static_cast<size_t>(static_cast<const uint8_t*>(cr) - block) : lineEnd;
      if (runEnd - pos > limits.headerLine - static_cast<size_t>(e.CurrentStream.size()))
        refuse(TParserLimit::HeaderLine);
      append(&e.CurrentStream, block + pos, static_cast<int64_t>(runEnd - pos));
      pos = cr ? runEnd + 1 : runEnd;
    }
    if (!lf) break;
    ++pos;
    if (headerLineDone(e)) break;
  }
  return pos;
}

// A complete header line; true when it was the empty line that ends the
// headers.
bool TMultipartParser::State::headerLineDone(TFormEntity& e) {
  // The line is only searched and then dropped; an ASCII line needs no
  // decoding at all.
  bool empty;
  if (isUtf8Ascii(e.CurrentStream)) {
    const std::string_view line = asChars(e.CurrentStream);
    empty = line.empty();
    if (!empty && ++headerLineCount > limits.headerLines) refuse(TParserLimit::HeaderLines);
    setHeaderFields(e, line);
  } else {
    const ustring line = decode(e.CurrentStream);
    empty = line.empty();
    if (!empty && ++headerLineCount > limits.headerLines) refuse(TParserLimit::HeaderLines);
    setHeaderFields(e, ustring_view(line));
  }
  e.CurrentStream.setSize(0);
  if (!empty) return false;

  keepText(e.Name.size() + e.FileName.size() + e.ContentType.size());
  SuspectedBoundaryCount = 0;
  if (!e.IsFile) {
    ReadingState = rsReadingData;  // the value collects in CurrentStream
    return true;
  }
  takeBackStream(e);
  if (e.FileName.empty()) {
    ReadingState = rsEmptyFile;
  } else {
    ReadingState = rsReadingFile;
    makeFileRecord(e);
  }
  return true;
}

void TMultipartParser::State::makeFileRecord(const TFormEntity& e) {
  TFileRecord record;
  record.LocalName = e.FileName;
  record.ContentType = e.ContentType;
  nameFile(record);
  results.Files.push_back(std::move(record));
  ++results.FileQty;
  currentFile = results.Files.size() - 1;

  TFileRecord& file = results.Files[currentFile];
  if (direct)
    direct->OpenFile(file);
  else
    file.FileStream = std::make_unique<TChunkedMemoryStream>();
}

// The data states. A match carried in from the previous block is resolved
// byte by byte (it is shorter than the pattern); then the block is searched
// for the whole pattern, and without one, a trailing partial match is held
// back. This gives exactly the positions, the copies and the held-back count
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
      keepValueBytes(static_cast<int64_t>(MissedBytes));
      append(destination(), pattern, static_cast<int64_t>(MissedBytes));
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
    if (ReadingState == rsEmptyFile) {
      MissedBytes = 0;
    } else {
      keepValueBytes(scanned - static_cast<int64_t>(SuspectedBoundaryCount));
      append(destination(), block + start, scanned - static_cast<int64_t>(SuspectedBoundaryCount));
      MissedBytes = SuspectedBoundaryCount;
    }
    return pos;
  }
  // Held-back bytes that turned out to begin the delimiter are dropped.
  endPart(block + start, scanned - static_cast<int64_t>(length));
  MissedBytes = 0;
  ReadingState = rsInBetween;
  return pos;
}

// The part's delimiter is complete; its last data is count bytes at data.
void TMultipartParser::State::endPart(const uint8_t* data, int64_t count) {
  TFormEntity& e = entity();
  if (ReadingState == rsReadingFile) {
    TFileRecord& file = results.Files[currentFile];
    append(file.FileStream.get(), data, count);
    results.TagNameList.add(e.Name);
    if (direct) direct->CloseFile(file);
  } else if (ReadingState == rsReadingData) {
    keepValueBytes(count);
    append(&e.CurrentStream, data, count);
    e.Value = decode(e.CurrentStream);
    takeBackStream(e);  // the value holds the part now
  }
}

TMultipartParser::TMultipartParser(TUploadResults& results, Charset charset, IFileDestinations* direct,
                                   const TParserLimits& limits)
    : s_(std::make_unique<State>(results, charset, direct, limits)) {}

TMultipartParser::~TMultipartParser() = default;

void TMultipartParser::ParseBlock(const uint8_t* data, size_t size) {
  State& s = *s_;
  size_t pos = 0;
  while (pos < size) {
    switch (s.ReadingState) {
      case rsFindingBoundary: pos = s.findBoundary(data, size, pos); break;
      case rsInBetween: pos = s.skipLineBreaks(data, size, pos); break;
      case rsReadingInformation: pos = s.readHeaders(data, size, pos); break;
      case rsReadingData:
      case rsReadingFile:
      case rsEmptyFile: pos = s.readData(data, size, pos); break;
    }
  }
}

ustring limitMessage(TParserLimit limit, const TParserLimits& limits) {
  auto number = [](size_t n) { return toDecimal(static_cast<int64_t>(n)); };
  switch (limit) {
    case TParserLimit::DelimiterLine:
      return u"The body's first line, its delimiter, is longer than " + number(limits.delimiterLine) + u" bytes.";
    case TParserLimit::HeaderLine:
      return u"A header line of a part is longer than " + number(limits.headerLine) + u" bytes.";
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
