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
          const uint8_t b = block[pos++];
          if (b == 10) {
            lineComplete();
          } else if (b != 13) {
            if (static_cast<size_t>(line_.size()) == limits_.headerLine) refuse(TParserLimit::HeaderLine);
            line_.write(&b, 1);
          }
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
    if (last == kReadingInformation) receiver_.partHeadersCut(std::move(head_));
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
    headerLines_ = 0;
    dispositionSeen_ = typeSeen_ = false;
    state_ = kReadingInformation;
    head_ = TPartHead();
    receiver_.partBegin();
  }

  [[noreturn]] void refuse(TParserLimit limit) {
    throw EUploadLimitError(LimitMessage(limit, limits_));
  }
  void keepText(size_t count) {
    formText_ += count;
    if (formText_ > limits_.formText) refuse(TParserLimit::FormText);
  }

  ustring decode(TMemoryStream& stream) {
    stream.seek(0);
    if (charset_ == Charset::Utf8) return StreamToString(stream, stream.size());
    std::string ansi = StreamToAnsiString(stream, stream.size());
    return systext::ansiToUnicode(reinterpret_cast<const uint8_t*>(ansi.data()), ansi.size());
  }

  // Content-Disposition's value: "form-data" then "; param=value" pairs, a
  // value a token or a quoted string with backslash escapes of quote and
  // backslash; names in any case, the first of each counting. Anything else
  // names nothing and no file.
  static void readDisposition(const ustring& value, TPartHead& head) {
    auto lower = [](ustring word) {
      for (char16_t& c : word)
        if (c >= u'A' && c <= u'Z') c += 32;
      return word;
    };
    auto isToken = [](char16_t c) {
      return c > 0x20 && c < 0x7F && ustring(u"()<>@,;:\\\"/[]?={}").find(c) == ustring::npos;
    };
    size_t i = value.find_first_not_of(u" \t");
    if (i == ustring::npos) return;
    size_t j = i;
    while (j < value.size() && isToken(value[j])) ++j;
    if (lower(value.substr(i, j - i)) != u"form-data") return;
    std::map<ustring, ustring> params;
    for (i = j;;) {
      i = std::min(value.find_first_not_of(u" \t", i), value.size());
      if (i == value.size()) break;
      if (value[i] != u';') return;
      i = std::min(value.find_first_not_of(u" \t", i + 1), value.size());
      j = i;
      while (j < value.size() && isToken(value[j])) ++j;
      if (j == i || j == value.size() || value[j] != u'=') return;
      const ustring param = lower(value.substr(i, j - i));
      ustring text;
      i = j + 1;
      if (i < value.size() && value[i] == u'"') {
        for (++i;; ++i) {
          if (i >= value.size()) return;
          if (value[i] == u'"') break;
          if (value[i] == u'\\' && i + 1 < value.size() &&
              (value[i + 1] == u'"' || value[i + 1] == u'\\'))
            ++i;
          text += value[i];
        }
        ++i;
      } else {
        for (j = i; j < value.size() && isToken(value[j]);) ++j;
        if (j == i) return;
        text = value.substr(i, j - i);
        i = j;
      }
      params.emplace(param, text);
    }
    head.Name = params[u"name"];
    head.IsFile = params.count(u"filename") != 0;
    if (head.IsFile) head.FileName = params[u"filename"];
  }

  void lineComplete() {
    const ustring line = decode(line_);
    line_.clear();
    if (!line.empty() && ++headerLines_ > limits_.headerLines) refuse(TParserLimit::HeaderLines);
    auto named = [&line](const ustring& name) { return line.rfind(name + u":", 0) == 0; };
    if (!dispositionSeen_ && named(u"Content-Disposition")) {
      dispositionSeen_ = true;
      readDisposition(line.substr(20), head_);
    }
    if (!typeSeen_ && named(u"Content-Type")) {
      typeSeen_ = true;
      head_.ContentType = line.size() >= 15 ? line.substr(14) : ustring();
    }
    if (!line.empty()) return;
    keepText(head_.Name.size() + head_.FileName.size() + head_.ContentType.size());
    state_ = !head_.IsFile ? kReadingData : head_.FileName.empty() ? kEmptyFile : kReadingFile;
    suspectedCount_ = 0;
    receiver_.partHeadersEnd(std::move(head_));
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
  size_t parts_ = 0, headerLines_ = 0, formText_ = 0;
  bool dispositionSeen_ = false, typeSeen_ = false;

  State state_ = kFindingBoundary;
  std::vector<uint8_t> boundary_;
  std::vector<uint8_t> pattern_;
  std::vector<uint8_t> suspected_;
  TPartHead head_;
  TMemoryStream line_;
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
