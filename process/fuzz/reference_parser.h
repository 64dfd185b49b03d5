// The oracle of the parser's tests and fuzz target: the state machine
// transcribed as plainly as it can be, reading one byte at a time with an
// explicit held-back buffer, and never searching ahead; each limit refuses
// the byte (or the line, the part, the text) that would pass it. The real
// parser jumps through data; on every body and every cut into blocks both
// must have reported exactly the same events after every block.
//
// Also here: TEventLog, the events as one text, and Describe(), one text
// holding every result the upload's receiver makes of them, so a comparison
// is one string equality and a mismatch shows what differs.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/system_text.h"
#include "process/file_names.h"
#include "process/multipart_parser.h"
#include "process/upload_receiver.h"
#include "text/textconv.h"

namespace velmora::reference {

class TReferenceParser {
 public:
  using Charset = TMultipartParser::Charset;

  TReferenceParser(IMultipartReceiver& receiver, Charset charset,
                   const TParserLimits& limits = TParserLimits())
      : receiver_(receiver), charset_(charset), limits_(limits) {}

  void parseBlock(const uint8_t* block, size_t size) {
    size_t pos = 0;
    while (pos < size) {
      switch (state_) {
        case kFindingBoundary: {
          const uint8_t b = block[pos++];
          if (b != 13) {
            if (boundary_.size() == limits_.delimiterLine) refuse(TParserLimit::DelimiterLine);
            boundary_.push_back(b);
          } else {
            state_ = kDelimiterCR;
            pattern_ = {13, 10};
            pattern_.insert(pattern_.end(), boundary_.begin(), boundary_.end());
            suspected_.assign(pattern_.size(), 0);
          }
          break;
        }
        // After a delimiter: "--" closes, CR LF opens a part, anything
        // else opens none and is skipped to the next delimiter.
        case kAfterDelimiter: {
          if (block[pos] == '-') {
            ++pos;
            state_ = kClosingDash;
          } else if (block[pos] == 13) {
            ++pos;
            state_ = kDelimiterCR;
          } else {
            skip();
          }
          break;
        }
        case kClosingDash: {
          if (block[pos] == '-') {
            ++pos;
            state_ = kEpilogue;
          } else {
            skip();
          }
          break;
        }
        case kDelimiterCR: {
          if (block[pos] == 10) {
            ++pos;
            state_ = kInBetween;
          } else {
            skip();
          }
          break;
        }
        case kEpilogue: ++pos; break;
        case kInBetween: openPart(); break;
        case kReadingInformation: {
          if (headerBytes_ == limits_.headerBlock) refuseHeader(TParserLimit::HeaderBlock);
          ++headerBytes_;
          const uint8_t b = block[pos++];
          if (b == 10)
            lineComplete();
          else
            line_.push_back(static_cast<char>(b));
          break;
        }
        default:
          pos = scanData(block, size, pos);
      }
    }
  }

  bool finish() {
    const State last = state_;
    state_ = kEpilogue;
    if (last == kReadingInformation) receiver_.partHeadersCut(finalHead());
    if (last == kInBetween && parts_ == 0) return false;  // the first line alone
    return last != kFindingBoundary && last != kEpilogue;
  }

 private:
  enum State {
    kFindingBoundary,
    kAfterDelimiter,
    kClosingDash,
    kDelimiterCR,
    kInBetween,
    kReadingInformation,
    kReadingData,
    kReadingFile,
    kEmptyFile,
    kSkipping,
    kEpilogue,
  };

  void skip() {
    state_ = kSkipping;
    suspectedCount_ = 0;
    missed_ = 0;
  }

  void openPart() {
    if (parts_ == limits_.parts) refuse(TParserLimit::Parts);
    ++parts_;
    headerLines_ = headerBytes_ = 0;
    dispositionSeen_ = typeSeen_ = formData_ = octetStream_ = broken_ = false;
    state_ = kReadingInformation;
    head_ = TPartHead();
    receiver_.partBegin();
  }

  [[noreturn]] void refuse(TParserLimit limit) {
    throw EUploadLimitError(LimitMessage(limit, limits_));
  }
  // Refused inside a header: the part is dropped.
  [[noreturn]] void refuseHeader(TParserLimit limit) {
    broken_ = true;
    refuse(limit);
  }
  void keepText(size_t count) {
    formText_ += count;
    if (formText_ > limits_.formText) refuse(TParserLimit::FormText);
  }

  ustring decode(const std::string& bytes) {
    TMemoryStream stream;
    stream.write(bytes.data(), bytes.size());
    stream.seek(0);
    if (charset_ == Charset::Utf8) return StreamToString(stream, stream.size());
    std::string ansi = StreamToAnsiString(stream, stream.size());
    return systext::ansiToUnicode(reinterpret_cast<const uint8_t*>(ansi.data()), ansi.size());
  }

  static ustring lower(ustring word) {
    for (char16_t& c : word)
      if (c >= u'A' && c <= u'Z') c += 32;
    return word;
  }
  static bool isToken(char16_t c) {
    return c > 0x20 && c < 0x7F && ustring(u"()<>@,;:\\\"/[]?={}").find(c) == ustring::npos;
  }
  static bool isPlainText(char16_t c) { return c == u'\t' || (c >= 0x20 && c != 0x7F); }
  static bool isAlnum(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
  }

  // An ext-value's bytes as text: strict UTF-8, Latin-1 under its names, the
  // empty text in any charset; nothing else.
  static bool decodeExt(const ustring& charset, const std::string& bytes, ustring& text) {
    const ustring name = lower(charset);
    if (bytes.empty()) {
      text.clear();
      return true;
    }
    if (name == u"utf-8" || name == u"utf8")
      return systext::utf8ToUnicode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), text);
    for (const char16_t* latin1 : {u"iso-8859-1", u"iso8859-1", u"iso88591", u"iso_8859-1", u"latin1", u"ascii",
                                   u"us-ascii", u"windows-1252", u"cp1252", u"x-cp1252"}) {
      if (name == latin1) {
        text = fromLatin1(bytes);
        return true;
      }
    }
    return false;
  }

  // Content-Disposition's value: "form-data" then "; param=value" pairs, a
  // value a token, a quoted string (backslash escapes of quote and backslash,
  // no control characters) or, for a name ending in "*", charset'lang'text
  // with %XX bytes; names in any case, the first of each counting. Anything
  // else names nothing and no file: false.
  static bool readDisposition(const ustring& value, TPartHead& head) {
    size_t i = value.find_first_not_of(u" \t");
    if (i == ustring::npos) return false;
    size_t j = i;
    while (j < value.size() && isToken(value[j])) ++j;
    if (lower(value.substr(i, j - i)) != u"form-data") return false;
    std::map<ustring, ustring> params;
    for (i = j;;) {
      i = std::min(value.find_first_not_of(u" \t", i), value.size());
      if (i == value.size()) break;
      if (value[i] != u';') return false;
      i = std::min(value.find_first_not_of(u" \t", i + 1), value.size());
      j = i;
      while (j < value.size() && isToken(value[j])) ++j;
      if (j == i || j == value.size() || value[j] != u'=') return false;
      const ustring param = lower(value.substr(i, j - i));
      ustring text;
      i = j + 1;
      if (param.back() == u'*') {
        j = i;
        while (j < value.size() && (isAlnum(value[j]) || ustring(u"!#$%&+-^_`{}~").find(value[j]) != ustring::npos)) ++j;
        if (j == value.size() || value[j] != u'\'') return false;
        const ustring charset = value.substr(i, j - i);
        const size_t langEnd = value.find(u'\'', j + 1);
        if (langEnd == ustring::npos || langEnd + 1 == value.size()) return false;
        std::string bytes;
        for (i = langEnd + 1; i < value.size(); ++i) {
          const char16_t c = value[i];
          if (isAlnum(c) || ustring(u"!#$&+-.^_`|~").find(c) != ustring::npos) {
            bytes += static_cast<char>(c);
          } else if (c == u'%') {
            if (i + 2 >= value.size() || !std::isxdigit(value[i + 1] < 0x80 ? value[i + 1] : 0) ||
                !std::isxdigit(value[i + 2] < 0x80 ? value[i + 2] : 0))
              return false;
            bytes += static_cast<char>(std::stoi(toUtf8(value.substr(i + 1, 2)), nullptr, 16));
            i += 2;
          } else {
            break;
          }
        }
        if (!decodeExt(charset, bytes, text)) return false;
      } else if (i < value.size() && value[i] == u'"') {
        for (++i;; ++i) {
          if (i >= value.size()) return false;
          if (value[i] == u'"') break;
          if (value[i] == u'\\' && i + 1 < value.size() &&
              (value[i + 1] == u'"' || value[i + 1] == u'\\'))
            ++i;
          else if (!isPlainText(value[i]))
            return false;
          text += value[i];
        }
        ++i;
      } else {
        for (j = i; j < value.size() && isToken(value[j]);) ++j;
        if (j == i) return false;
        text = value.substr(i, j - i);
        i = j;
      }
      params.emplace(param, text);
    }
    head.Name = params[u"name"];
    head.IsFile = params.count(u"filename") + params.count(u"filename*") != 0;
    head.FileName = !params[u"filename*"].empty() ? params[u"filename*"] : params[u"filename"];
    return true;
  }

  // The bytes of a line, LF left out: a token, ":", text, CR.
  static bool isHeaderField(const std::string& line) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 || line.back() != '\r') return false;
    for (size_t k = 0; k < colon; ++k)
      if (!isToken(static_cast<uint8_t>(line[k]))) return false;
    for (size_t k = colon + 1; k + 1 < line.size(); ++k)
      if (!isPlainText(static_cast<uint8_t>(line[k]))) return false;
    return true;
  }

  TPartHead finalHead() {
    if (broken_) return TPartHead();
    if (formData_ && octetStream_) head_.IsFile = true;
    return std::move(head_);
  }

  void lineComplete() {
    const std::string raw = line_;
    line_.clear();
    if (raw.empty() || raw == "\r") {
      if (raw.empty()) broken_ = true;
      TPartHead head = finalHead();
      formText_ += head.Name.size() + head.FileName.size() + head.ContentType.size();
      if (formText_ > limits_.formText) refuseHeader(TParserLimit::FormText);
      state_ = !head.IsFile ? kReadingData : head.FileName.empty() ? kEmptyFile : kReadingFile;
      suspectedCount_ = 0;
      receiver_.partHeadersEnd(std::move(head));
      return;
    }
    if (++headerLines_ > limits_.headerLines) refuseHeader(TParserLimit::HeaderLines);
    const std::string delimiterLine(boundary_.begin(), boundary_.end());
    if (!delimiterLine.empty() && raw.compare(0, delimiterLine.size(), delimiterLine) == 0) {
      broken_ = true;
      throw EBodyRefused(u"A part's header holds a delimiter line (\"" + fromLatin1(delimiterLine) + u"\").");
    }
    if (!isHeaderField(raw)) broken_ = true;
    if (broken_) return;
    const ustring line = decode(raw.substr(0, raw.size() - 1));
    auto named = [&line](const ustring& name) {
      return line.size() > name.size() && line[name.size()] == u':' && lower(line.substr(0, name.size())) == lower(name);
    };
    if (!dispositionSeen_ && named(u"Content-Disposition")) {
      dispositionSeen_ = true;
      formData_ = line.rfind(u"Content-Disposition:", 0) == 0 && readDisposition(line.substr(20), head_);
    }
    if (!typeSeen_ && named(u"Content-Type")) {
      typeSeen_ = true;
      const ustring type = lower(line.substr(13));
      const size_t start = std::min(type.find_first_not_of(u" \t"), type.size());
      octetStream_ = type.compare(start, 24, u"application/octet-stream") == 0 &&
                     (start + 24 == type.size() || !isToken(type[start + 24]));
      if (line.rfind(u"Content-Type:", 0) == 0) head_.ContentType = line.size() >= 15 ? line.substr(14) : ustring();
    }
  }

  // Data of a value or a named file goes to the receiver; a value's counts
  // as form text first.
  void emit(const uint8_t* from, int64_t n) {
    if (n <= 0 || state_ == kEmptyFile || state_ == kSkipping) return;
    if (state_ == kReadingData) keepText(static_cast<size_t>(n));
    receiver_.partData(from, static_cast<size_t>(n));
  }

  size_t scanData(const uint8_t* block, size_t size, size_t pos) {
    const size_t blockStart = pos;
    const int64_t length = static_cast<int64_t>(pattern_.size());
    const State kind = state_;
    bool ended = false;
    while (pos < size) {
      const uint8_t b = block[pos++];
      if (b == pattern_[suspectedCount_]) {
        ++suspectedCount_;
        if (suspectedCount_ == pattern_.size()) {
          ended = true;
          break;
        }
        suspected_[suspectedCount_ - 1] = b;
      } else {
        if (missed_ > 0) {
          missedStream_.write(suspected_.data(), missed_);
          emit(missedStream_.data(), static_cast<int64_t>(missed_));
          missed_ = 0;
          missedStream_.clear();
        }
        if (suspectedCount_ > 0) --pos;
        suspectedCount_ = 0;
      }
    }
    const size_t blockEnd = pos;
    const int64_t scanned = static_cast<int64_t>(blockEnd) - static_cast<int64_t>(blockStart);
    if (!ended) {
      emit(block + blockStart, scanned - static_cast<int64_t>(suspectedCount_));
      missed_ = kind == kEmptyFile || kind == kSkipping ? 0 : suspectedCount_;
    } else {
      emit(block + blockStart, scanned - length);
      state_ = kAfterDelimiter;
      missed_ = 0;
      missedStream_.clear();
      if (kind != kSkipping) receiver_.partEnd();
    }
    return blockEnd;
  }

  IMultipartReceiver& receiver_;
  const Charset charset_;
  const TParserLimits limits_;
  size_t parts_ = 0, headerLines_ = 0, headerBytes_ = 0, formText_ = 0;
  // Of the open part's header: its first Content-Disposition and Content-Type
  // lines (any case) came, the first was well-formed form-data, the second
  // named application/octet-stream; a line broke the header.
  bool dispositionSeen_ = false, typeSeen_ = false, formData_ = false, octetStream_ = false, broken_ = false;

  State state_ = kFindingBoundary;
  std::vector<uint8_t> boundary_;
  std::vector<uint8_t> pattern_;
  std::vector<uint8_t> suspected_;
  TPartHead head_;
  std::string line_;
  size_t suspectedCount_ = 0;
  size_t missed_ = 0;
  TMemoryStream missedStream_;
};

inline void describeText(std::string& out, const char* label, const ustring& text) {
  out += label;
  out += '=';
  for (char16_t c : text) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[12];
      std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
      out += hex;
    }
  }
  out += ' ';
}

inline void describeBytes(std::string& out, const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    uint8_t b = bytes[i];
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out += static_cast<char>(b);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      out += hex;
    }
  }
}

// The events as text, one line each. Adjacent data joins into one line: how
// data is cut into ranges follows the blocks and is no result.
class TEventLog final : public IMultipartReceiver {
 public:
  const std::string& text() const { return text_; }

  void partBegin() override { line("begin"); }
  void partHeadersEnd(TPartHead&& head) override { line("headers end " + describeHead(head)); }
  void partHeadersCut(TPartHead&& head) override { line("headers cut " + describeHead(head)); }
  void partData(const uint8_t* data, size_t size) override {
    if (!inData_) text_ += "data ";
    inData_ = true;
    describeBytes(text_, data, size);
  }
  void partEnd() override { line("end"); }

 private:
  void line(const std::string& event) {
    if (inData_) text_ += '\n';
    inData_ = false;
    text_ += event + '\n';
  }
  static std::string describeHead(const TPartHead& head) {
    std::string out;
    describeText(out, "Name", head.Name);
    describeText(out, "FileName", head.FileName);
    out += head.IsFile ? "IsFile " : "";
    describeText(out, "ContentType", head.ContentType);
    return out;
  }

  std::string text_;
  bool inData_ = false;
};

// Passes every event to two receivers.
class TTee final : public IMultipartReceiver {
 public:
  TTee(IMultipartReceiver& one, IMultipartReceiver& other) : one_(one), other_(other) {}
  void partBegin() override { one_.partBegin(), other_.partBegin(); }
  void partHeadersEnd(TPartHead&& head) override {
    TPartHead copy = head;
    one_.partHeadersEnd(std::move(copy)), other_.partHeadersEnd(std::move(head));
  }
  void partHeadersCut(TPartHead&& head) override {
    TPartHead copy = head;
    one_.partHeadersCut(std::move(copy)), other_.partHeadersCut(std::move(head));
  }
  void partData(const uint8_t* data, size_t size) override {
    one_.partData(data, size), other_.partData(data, size);
  }
  void partEnd() override { one_.partEnd(), other_.partEnd(); }

 private:
  IMultipartReceiver& one_;
  IMultipartReceiver& other_;
};

// Every result of a parse as one text, one line per variable, repeat, file
// and tag name. File bytes are read without moving the stream, so a parse
// can go on.
inline std::string Describe(const TUploadResults& results) {
  std::string out;
  auto describeLines = [&out](const char* label, const TStringList& lines) {
    for (const ustring& line : lines) {
      describeText(out, label, line);
      out += '\n';
    }
  };
  describeLines("variable", results.FVariableList);
  describeLines("repeat", results.FMultiVar);
  out += "FileQty=" + std::to_string(results.FFileQty) + '\n';
  for (const TFileRecord& f : results.FFiles) {
    out += "file ";
    describeText(out, "Name", f.Name);
    describeText(out, "LocalName", f.LocalName);
    describeText(out, "Extension", f.Extension);
    describeText(out, "NameOnly", f.NameOnly);
    describeText(out, "ContentType", f.ContentType);
    describeText(out, "NewName", f.NewName);
    if (const TChunkedMemoryStream* chunks = f.Storage.memory()) {
      std::string bytes(static_cast<size_t>(chunks->size()), '\0');
      chunks->readAt(0, bytes.data(), bytes.size());
      out += "bytes=";
      describeBytes(out, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    } else if (const TStream* file = f.Storage.writer()) {
      out += "stream of " + std::to_string(file->size()) + " bytes";
    } else {
      out += "no stream";
    }
    out += '\n';
  }
  for (const ustring& tag : results.FTagNameList) describeText(out += "tag ", "", tag);
  return out;
}

}  // namespace velmora::reference
