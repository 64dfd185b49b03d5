// The oracle of the parser's tests and fuzz target: the state machine
// transcribed as plainly as it can be, reading one byte at a time with an
// explicit held-back buffer, and never searching ahead; each limit refuses
// the byte (or the line, the part, the text) that would pass it. The real parser jumps
// through data; on every body and every cut into blocks both must leave
// exactly the same results after every block.
//
// Also here: Describe(), one text holding every result a parse leaves, so a
// comparison is one string equality and a mismatch shows what differs.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "process/file_names.h"
#include "process/multipart_parser.h"
#include "textutils/system_text.h"
#include "textutils/textconv.h"

namespace velmora::reference {

class TReferenceParser {
 public:
  using Charset = TMultipartParser::Charset;

  TReferenceParser(TUploadResults& results, Charset charset, IFileDestinations* direct,
                   const TParserLimits& limits = TParserLimits())
      : results_(results), charset_(charset), direct_(direct), limits_(limits) {}

  void ParseBlock(const uint8_t* block, size_t size) {
    size_t pos = 0;
    while (pos < size) {
      switch (state_) {
        case kFindingBoundary: {
          const uint8_t b = block[pos++];
          if (b != 13) {
            if (boundary_.size() == limits_.delimiterLine) refuse(TParserLimit::DelimiterLine);
            boundary_.push_back(b);
          } else {
            state_ = kInBetween;
            pattern_ = {13, 10};
            pattern_.insert(pattern_.end(), boundary_.begin(), boundary_.end());
            suspected_.assign(pattern_.size(), 0);
          }
          break;
        }
        case kInBetween: {
          const uint8_t b = block[pos++];
          if (b != 13 && b != 10) {
            --pos;
            if (parts_ == limits_.parts) refuse(TParserLimit::Parts);
            ++parts_;
            headerLines_ = 0;
            state_ = kReadingInformation;
            results_.FormEntities.emplace_back();
          }
          break;
        }
        case kReadingInformation: {
          const uint8_t b = block[pos++];
          if (b == 10) {
            lineComplete();
          } else if (b != 13) {
            if (static_cast<size_t>(entity().CurrentStream.size()) == limits_.headerLine)
              refuse(TParserLimit::HeaderLine);
            entity().CurrentStream.write(&b, 1);
          }
          break;
        }
        default:
          pos = scanData(block, size, pos);
      }
    }
  }

 private:
  enum State { kFindingBoundary, kInBetween, kReadingInformation, kReadingData, kReadingFile, kEmptyFile };

  TFormEntity& entity() { return results_.FormEntities.back(); }

  [[noreturn]] void refuse(TParserLimit limit) { throw EUploadLimitError(limitMessage(limit, limits_)); }
  void keepText(size_t count) {
    formText_ += count;
    if (formText_ > limits_.formText) refuse(TParserLimit::FormText);
  }
  TFileRecord& file() { return results_.Files[static_cast<size_t>(results_.FileQty - 1)]; }

  ustring decode(TMemoryStream& stream) {
    stream.seek(0);
    if (charset_ == Charset::Utf8) return StreamToString(stream, stream.size());
    std::string ansi = StreamToAnsiString(stream, stream.size());
    return systext::ansiToUnicode(reinterpret_cast<const uint8_t*>(ansi.data()), ansi.size());
  }

  static ustring extractHeaderParam(const ustring& param, const ustring& line) {
    size_t p = line.find(param, param.size());
    ustring text = p == ustring::npos ? line : line.substr(p + 1);
    size_t q = text.find(u'"');
    if (q != ustring::npos) text = text.substr(q + 1);
    q = text.find(u'"');
    return q == ustring::npos ? ustring() : text.substr(0, q);
  }

  void lineComplete() {
    TFormEntity& e = entity();
    const ustring line = decode(e.CurrentStream);
    if (!line.empty() && ++headerLines_ > limits_.headerLines) refuse(TParserLimit::HeaderLines);
    if (line.find(u"Content-Disposition") != ustring::npos) {
      e.Name = extractHeaderParam(u" name=", line);
      if (line.find(u" filename=") != ustring::npos) {
        e.FileName = extractHeaderParam(u" filename=", line);
        e.IsFile = true;
      }
    }
    if (line.find(u"Content-Type") != ustring::npos)
      e.ContentType = line.size() >= 15 ? line.substr(14) : ustring();
    if (line.empty()) {
      keepText(e.Name.size() + e.FileName.size() + e.ContentType.size());
      if (!e.IsFile) {
        state_ = kReadingData;
      } else if (e.FileName.empty()) {
        state_ = kEmptyFile;
      } else {
        state_ = kReadingFile;
        makeFileRecord(e);
      }
      suspectedCount_ = 0;
    }
    e.CurrentStream.clear();
  }

  void makeFileRecord(const TFormEntity& e) {
    ++results_.FileQty;
    results_.Files.emplace_back();
    TFileRecord& f = file();
    f.LocalName = e.FileName;
    f.ContentType = e.ContentType;
    f.Name = ClientFileName(f.LocalName);
    size_t dot = f.Name.rfind(u'.');
    if (dot != ustring::npos && dot > 0) f.Extension = f.Name.substr(dot + 1);
    f.NameOnly = f.Extension.empty() ? f.Name : f.Name.substr(0, f.Name.size() - f.Extension.size() - 1);
    if (direct_)
      direct_->OpenFile(f);
    else
      f.FileStream = std::make_unique<TMemoryStream>();
  }

  TStream* destination() {
    if (state_ == kReadingData) return &entity().CurrentStream;
    if (state_ == kReadingFile) return file().FileStream.get();
    return nullptr;
  }

  static void copy(TStream* to, const uint8_t* from, int64_t n) {
    if (to && n > 0) to->write(from, static_cast<size_t>(n));
  }

  size_t scanData(const uint8_t* block, size_t size, size_t pos) {
    const size_t blockStart = pos;
    const int64_t length = static_cast<int64_t>(pattern_.size());
    while (pos < size) {
      const uint8_t b = block[pos++];
      if (b == pattern_[suspectedCount_]) {
        ++suspectedCount_;
        if (suspectedCount_ == pattern_.size()) {
          state_ = kInBetween;
          break;
        }
        suspected_[suspectedCount_ - 1] = b;
      } else {
        if (missed_ > 0) {
          if (state_ == kReadingData) keepText(missed_);
          missedStream_.write(suspected_.data(), missed_);
          missedStream_.seek(0);
          if (TStream* to = destination()) to->copyFrom(missedStream_, static_cast<int64_t>(missed_));
          missed_ = 0;
          missedStream_.clear();
        }
        if (suspectedCount_ > 0) --pos;
        suspectedCount_ = 0;
      }
    }
    const size_t blockEnd = pos;
    const int64_t scanned = static_cast<int64_t>(blockEnd) - static_cast<int64_t>(blockStart);
    if (state_ == kReadingFile || state_ == kReadingData) {
      const int64_t n = scanned - static_cast<int64_t>(suspectedCount_);
      if (state_ == kReadingData && n > 0) keepText(static_cast<size_t>(n));
      copy(destination(), block + blockStart, n);
      missed_ = suspectedCount_;
    } else {
      TFormEntity& e = entity();
      if (e.IsFile && !e.FileName.empty()) {
        copy(file().FileStream.get(), block + blockStart, scanned - length);
        results_.TagNameList.add(e.Name);
        if (direct_) direct_->CloseFile(file());
      } else if (!e.IsFile) {
        if (scanned - length > 0) keepText(static_cast<size_t>(scanned - length));
        copy(&e.CurrentStream, block + blockStart, scanned - length);
        e.Value = decode(e.CurrentStream);
      }
      missed_ = 0;
      missedStream_.clear();
    }
    return blockEnd;
  }

  TUploadResults& results_;
  const Charset charset_;
  IFileDestinations* const direct_;
  const TParserLimits limits_;
  size_t parts_ = 0, headerLines_ = 0, formText_ = 0;

  State state_ = kFindingBoundary;
  std::vector<uint8_t> boundary_;
  std::vector<uint8_t> pattern_;
  std::vector<uint8_t> suspected_;
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

// Every result of a parse as one text, one line per entity, file and tag
// name. File bytes are read without moving the stream, so a parse can go on.
inline std::string Describe(const TUploadResults& results) {
  std::string out;
  for (const TFormEntity& e : results.FormEntities) {
    out += "entity ";
    describeText(out, "Name", e.Name);
    describeText(out, "FileName", e.FileName);
    out += e.IsFile ? "IsFile " : "";
    describeText(out, "ContentType", e.ContentType);
    describeText(out, "Value", e.Value);
    out += '\n';
  }
  out += "FileQty=" + std::to_string(results.FileQty) + '\n';
  for (const TFileRecord& f : results.Files) {
    out += "file ";
    describeText(out, "Name", f.Name);
    describeText(out, "LocalName", f.LocalName);
    describeText(out, "Extension", f.Extension);
    describeText(out, "NameOnly", f.NameOnly);
    describeText(out, "ContentType", f.ContentType);
    describeText(out, "NewName", f.NewName);
    if (!f.FileStream) {
      out += "no stream";
    } else if (auto* memory = dynamic_cast<const TMemoryStream*>(f.FileStream.get())) {
      out += "bytes=";
      describeBytes(out, memory->data(), static_cast<size_t>(memory->size()));
    } else if (auto* chunks = dynamic_cast<const TChunkedMemoryStream*>(f.FileStream.get())) {
      // The same text as for one buffer: how bytes are held is no result.
      std::string bytes(static_cast<size_t>(chunks->size()), '\0');
      chunks->readAt(0, bytes.data(), bytes.size());
      out += "bytes=";
      describeBytes(out, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    } else {
      out += "stream of " + std::to_string(f.FileStream->size()) + " bytes";
    }
    out += '\n';
  }
  for (const ustring& tag : results.TagNameList) describeText(out += "tag ", "", tag);
  return out;
}

}  // namespace velmora::reference
