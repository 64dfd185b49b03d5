// The parser of HTTP/1.x answers. Each block is consumed by one loop with one
// case per state. Lines (status line, field lines, chunk-size lines, trailer)
// are gathered in one buffer up to their LF, under the limit of what they
// belong to; body data leaves the block as whole ranges and is never kept.
//
// The answer is read as a careful user agent reads it: a line ends in CR LF
// or a bare LF, and a CR anywhere else is refused; interim 1xx heads are
// skipped; the body's length comes from the status, then Transfer-Encoding,
// then Content-Length, else the body runs to the close. Every error is found
// at the same byte whatever the cut into blocks, so that a parse reports the
// same events and the same message however the socket delivered the answer.
#include "http_client/answer_parser.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>

#include "base/ustring.h"

namespace velmora {
namespace {

constexpr uint8_t CR = 13;
constexpr uint8_t LF = 10;
constexpr size_t npos = std::string::npos;
constexpr std::string_view kVersionPrefix = "HTTP/1.";

enum TAnswerState : uint8_t {
  asStatusLine,    // the status line of a head
  asFieldLines,    // field lines of a head, up to its blank line
  asFixedBody,     // a body of Content-Length bytes
  asChunkSize,     // a chunk-size line, with its extensions
  asChunkData,     // a chunk's data
  asChunkDataEnd,  // the line end after a chunk's data
  asChunkDataLF,   // the CR of that line end seen
  asTrailer,       // trailer field lines after the last chunk
  asCloseBody,     // a body that runs to the close
  asEnded,         // ended by its framing: nothing after it is ours
  asMalformed,     // refused: every later call raises the same error
};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// RFC 9110's tchar.
bool IsToken(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u > 0x20 && u < 0x7F && std::string_view("()<>@,;:\\\"/[]?={}").find(c) == npos;
}

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

bool SameAsciiFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Calls take(element) for each element of a comma-separated field value,
// blanks around it removed.
template <class Take>
void ForEachListElement(std::string_view value, Take take) {
  for (;;) {
    const size_t comma = value.find(',');
    take(Trimmed(value.substr(0, comma)));
    if (comma == npos) return;
    value.remove_prefix(comma + 1);
  }
}

}  // namespace

const std::string* TAnswerHead::find(std::string_view name) const {
  for (const THeaderField& field : fields)
    if (SameAsciiFolded(field.name, name)) return &field.value;
  return nullptr;
}

std::string AnswerLimitMessage(TAnswerLimit limit, const TAnswerLimits& limits) {
  switch (limit) {
    case TAnswerLimit::HeadBytes:
      return "The answer's head is longer than " + std::to_string(limits.headBytes) + " bytes.";
    case TAnswerLimit::Fields:
      return "The answer's head or trailer has more than " + std::to_string(limits.fields) + " fields.";
    case TAnswerLimit::ChunkSizeLine:
      return "A chunk-size line of the answer is longer than " + std::to_string(limits.chunkSizeLine) + " bytes.";
    case TAnswerLimit::TrailerBytes:
      return "The answer's trailer is longer than " + std::to_string(limits.trailerBytes) + " bytes.";
  }
  return std::string();
}

struct TAnswerParser::State {
  State(IAnswerReceiver& receiver, const TAnswerLimits& limits) : receiver(receiver), limits(limits) {}

  IAnswerReceiver& receiver;
  const TAnswerLimits limits;
  TAnswerState state = asStatusLine;
  ustring error;  // of a malformed answer

  std::string line;      // the line being gathered, without its LF
  size_t counted = 0;    // bytes of the current head, chunk-size line or trailer
  size_t fieldCount = 0;  // fields of the current head or trailer
  TAnswerHead head;
  uint64_t remaining = 0;  // of a fixed body or of a chunk's data

  [[noreturn]] void malformed(const std::string& message) {
    state = asMalformed;
    error = fromLatin1(message);
    throw EAnswerMalformed(error);
  }
  [[noreturn]] void refuse(TAnswerLimit limit) { malformed(AnswerLimitMessage(limit, limits)); }

  void enter(TAnswerState next) {
    state = next;
    counted = 0;
    fieldCount = 0;
  }

  bool takeLine(const uint8_t* data, size_t size, size_t& pos, size_t limit, TAnswerLimit which);
  void checkVersionPrefix(const uint8_t* data, size_t size, size_t pos);
  void statusLine();
  void fieldLine(bool keep);
  void headEnded();
  void chunkSizeLine();
  size_t bodyData(const uint8_t* data, size_t size, size_t pos, TAnswerState whenDone);
};

// Gathers the line at pos up to its LF or the block's end; true, with pos
// past the LF and the line without its CR, once the line is whole. A CR
// must be followed by LF, and the bytes of what the line belongs to must
// stay within limit: whichever is broken first, by byte, is reported.
bool TAnswerParser::State::takeLine(const uint8_t* data, size_t size, size_t& pos, size_t limit,
                                    TAnswerLimit which) {
  const uint8_t* run = data + pos;
  const auto* lf = static_cast<const uint8_t*>(std::memchr(run, LF, size - pos));
  const size_t length = static_cast<size_t>((lf ? lf : data + size) - run);
  // The byte past the limit (the LF counts), and the byte after a CR that is
  // not LF, as offsets in the run.
  const size_t left = limit - counted;
  const size_t overLimit = left < length + (lf ? 1 : 0) ? left : npos;
  size_t afterLoneCR = npos;
  if (!line.empty() && line.back() == char(CR) && length > 0) {
    afterLoneCR = 0;
  } else if (const void* cr = std::memchr(run, CR, length)) {
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(cr) - run);
    if (at + 1 < length) afterLoneCR = at + 1;  // else the run's last byte: LF or the next block decides
  }
  if (afterLoneCR != npos && afterLoneCR <= overLimit) malformed("A CR in the answer is not followed by LF.");
  if (overLimit != npos) refuse(which);

  line.append(reinterpret_cast<const char*>(run), length);
  counted += length;
  if (!lf) {
    pos = size;
    return false;
  }
  ++counted;
  pos += length + 1;
  if (!line.empty() && line.back() == char(CR)) line.pop_back();
  return true;
}

// No HTTP/0.9 and no other protocol: a head that does not begin with
// "HTTP/1." is refused as soon as its first bytes show it, rather than read
// up to the head's limit. Called before the run joins the line, so that this
// comes first, as it does for a byte at a time (a CR there breaks it too).
void TAnswerParser::State::checkVersionPrefix(const uint8_t* data, size_t size, size_t pos) {
  if (line.size() >= kVersionPrefix.size()) return;
  const size_t have = line.size();
  const size_t take = std::min(kVersionPrefix.size() - have, size - pos);
  if (std::memcmp(data + pos, kVersionPrefix.data() + have, take) != 0)
    malformed("The answer does not begin with \"HTTP/1.\".");
}

// "HTTP/1." DIGIT SP 3DIGIT [ SP reason ]
void TAnswerParser::State::statusLine() {
  const std::string_view text = line;
  const bool wellFormed = text.size() >= 12 && IsDigit(text[7]) && text[8] == ' ' && IsDigit(text[9]) &&
                          IsDigit(text[10]) && IsDigit(text[11]) && (text.size() == 12 || text[12] == ' ');
  if (!wellFormed)
    malformed("The answer's status line is not \"HTTP/1.\", a digit, a blank and a three-digit status.");
  head.minorVersion = text[7] - '0';
  head.status = (text[9] - '0') * 100 + (text[10] - '0') * 10 + (text[11] - '0');
  if (head.status < 100 || head.status > 599)
    malformed("The answer's status " + std::to_string(head.status) + " is not between 100 and 599.");
  // Nothing we send asks to switch protocols.
  if (head.status == 101) malformed("The server switched protocols (status 101) unasked.");
  head.reason = text.size() > 12 ? std::string(text.substr(13)) : std::string();
}

// A field line of a head (kept) or of the trailer (checked and dropped): a
// new field, or a line beginning with a blank that continues the last one
// (the fold becomes one blank).
void TAnswerParser::State::fieldLine(bool keep) {
  const std::string_view text = line;
  if (IsBlank(text.front())) {
    if (fieldCount == 0) malformed("A field line of the answer begins with a blank but follows no field.");
    const std::string_view more = Trimmed(text);
    if (keep && !more.empty()) {
      std::string& value = head.fields.back().value;
      if (!value.empty()) value += ' ';
      value += more;
    }
  } else {
    const size_t colon = text.find(':');
    if (colon == npos) malformed("A field line of the answer has no colon.");
    const std::string_view name = text.substr(0, colon);
    if (name.empty() || !std::all_of(name.begin(), name.end(), IsToken))
      malformed("A field name of the answer is empty or holds a character a name cannot hold.");
    if (++fieldCount > limits.fields) refuse(TAnswerLimit::Fields);
    if (keep) head.fields.push_back({std::string(name), std::string(Trimmed(text.substr(colon + 1)))});
  }
  // A NUL would cut the value short for whoever reads it as a C string.
  if (text.find('\0') != npos) malformed("A field line of the answer holds a NUL byte.");
}

// The blank line after a head's fields. An interim head is dropped and the
// next head follows; the final one goes to the receiver with its body's
// framing decided.
void TAnswerParser::State::headEnded() {
  if (head.status < 200) {
    head = TAnswerHead();
    enter(asStatusLine);
    return;
  }
  TAnswerState body = asCloseBody;
  if (head.status == 204 || head.status == 304) {
    body = asEnded;
  } else {
    std::optional<std::string_view> lastCoding;
    std::optional<uint64_t> length;
    for (const THeaderField& field : head.fields) {
      if (SameAsciiFolded(field.name, "Transfer-Encoding")) {
        ForEachListElement(field.value, [&](std::string_view coding) {
          if (!coding.empty()) lastCoding = coding;
        });
      } else if (SameAsciiFolded(field.name, "Content-Length")) {
        ForEachListElement(field.value, [&](std::string_view digits) {
          if (digits.empty() || !std::all_of(digits.begin(), digits.end(), IsDigit))
            malformed("The answer's Content-Length is not a number.");
          uint64_t number = 0;
          for (char digit : digits) {
            const auto d = static_cast<uint64_t>(digit - '0');
            if (number > (std::numeric_limits<uint64_t>::max() - d) / 10)
              malformed("The answer's Content-Length is too large.");
            number = number * 10 + d;
          }
          if (length && *length != number) malformed("The answer's Content-Length values differ.");
          length = number;
        });
      }
    }
    if (lastCoding) {
      // Chunked last: its chunks frame the body, whatever Content-Length
      // says. Any other coding last leaves the body to run to the close.
      body = SameAsciiFolded(*lastCoding, "chunked") ? asChunkSize : asCloseBody;
    } else if (length) {
      remaining = *length;
      body = remaining == 0 ? asEnded : asFixedBody;
    }
  }
  enter(body);
  receiver.answerHead(std::exchange(head, TAnswerHead()));
}

// chunk-size [ BWS ";" chunk-ext ] : the size in hexadecimal; extensions are
// read past, never interpreted.
void TAnswerParser::State::chunkSizeLine() {
  const std::string_view text = line;
  uint64_t size = 0;
  size_t i = 0;
  for (; i < text.size(); ++i) {
    const char c = AsciiLower(text[i]);
    const int digit = IsDigit(c) ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    if (digit < 0) break;
    if (size > std::numeric_limits<uint64_t>::max() >> 4) malformed("A chunk size of the answer is too large.");
    size = size << 4 | static_cast<uint64_t>(digit);
  }
  if (i == 0) malformed("A chunk-size line of the answer does not begin with a hexadecimal size.");
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i < text.size() && text[i] != ';')
    malformed("A chunk-size line of the answer holds more than a size and extensions.");
  if (size == 0) {
    enter(asTrailer);
  } else {
    remaining = size;
    state = asChunkData;
  }
}

// Reports as much of the body's remaining bytes as the block holds, as one
// range.
size_t TAnswerParser::State::bodyData(const uint8_t* data, size_t size, size_t pos, TAnswerState whenDone) {
  const size_t n = static_cast<size_t>(std::min<uint64_t>(remaining, size - pos));
  remaining -= n;
  if (remaining == 0) enter(whenDone);
  receiver.answerData(data + pos, n);
  return pos + n;
}

TAnswerParser::TAnswerParser(IAnswerReceiver& receiver, const TAnswerLimits& limits)
    : s_(std::make_unique<State>(receiver, limits)) {}

TAnswerParser::~TAnswerParser() = default;

size_t TAnswerParser::parse(const uint8_t* data, size_t size) {
  State& s = *s_;
  const TAnswerLimits& limits = s.limits;
  if (s.state == asMalformed) throw EAnswerMalformed(s.error);
  size_t pos = 0;
  while (pos < size) {
    switch (s.state) {
      case asStatusLine:
        s.checkVersionPrefix(data, size, pos);
        if (s.takeLine(data, size, pos, limits.headBytes, TAnswerLimit::HeadBytes)) {
          s.statusLine();
          s.line.clear();
          s.state = asFieldLines;
        }
        break;
      case asFieldLines:
        if (s.takeLine(data, size, pos, limits.headBytes, TAnswerLimit::HeadBytes)) {
          if (s.line.empty()) {
            s.headEnded();
          } else {
            s.fieldLine(true);
            s.line.clear();
          }
        }
        break;
      case asFixedBody: pos = s.bodyData(data, size, pos, asEnded); break;
      case asChunkSize:
        if (s.takeLine(data, size, pos, limits.chunkSizeLine, TAnswerLimit::ChunkSizeLine)) {
          s.chunkSizeLine();
          s.line.clear();
        }
        break;
      case asChunkData: pos = s.bodyData(data, size, pos, asChunkDataEnd); break;
      case asChunkDataEnd:
      case asChunkDataLF: {
        const uint8_t c = data[pos++];
        if (c == LF) {
          s.enter(asChunkSize);
        } else if (c == CR && s.state == asChunkDataEnd) {
          s.state = asChunkDataLF;
        } else {
          s.malformed(s.state == asChunkDataLF ? "A CR in the answer is not followed by LF."
                                               : "A chunk's data in the answer is not followed by a line end.");
        }
        break;
      }
      case asTrailer:
        if (s.takeLine(data, size, pos, limits.trailerBytes, TAnswerLimit::TrailerBytes)) {
          if (s.line.empty()) {
            s.state = asEnded;
          } else {
            s.fieldLine(false);
            s.line.clear();
          }
        }
        break;
      case asCloseBody:
        s.receiver.answerData(data + pos, size - pos);
        pos = size;
        break;
      case asEnded:
      case asMalformed:  // reached only by throwing
        return pos;
    }
  }
  return pos;
}

bool TAnswerParser::ended() const { return s_->state == asEnded; }

bool TAnswerParser::finish() { return s_->state == asEnded || s_->state == asCloseBody; }

}  // namespace velmora
