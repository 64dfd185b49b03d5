// The multipart/form-data parser: it consumes the body one block at a time,
// keeps all its state between blocks, and writes parts into the upload's
// results and file destinations. It knows nothing of the host or of COM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "process/process.h"
#include "textutils/stream.h"
#include "textutils/stringlist.h"
#include "textutils/ustring.h"

namespace velmora {

// One part while a body is parsed.
struct TFormEntity {
  ustring Name;         // name parameter of Content-Disposition
  ustring Value;        // decoded data of a completed non-file part
  ustring ContentType;  // text after "Content-Type: "
  ustring FileName;     // filename parameter as sent
  // Header line being read; then a value's data, until Value is decoded
  // (the parser then hands its memory on to the next part).
  TMemoryStream CurrentStream;
  bool IsFile = false;
};

// What a parse leaves behind; owned by the upload object, which keeps Files,
// FileQty and TagNameList across reads.
struct TUploadResults {
  std::vector<TFormEntity> FormEntities;
  std::vector<TFileRecord> Files;  // FileQty valid entries, in body order
  int32_t FileQty = 0;
  TStringList TagNameList;
};

// Direct saving: where a file part's data goes when it is not kept in memory.
class IFileDestinations {
 public:
  virtual ~IFileDestinations() = default;
  // The headers of a file part with a non-empty file name ended and record
  // was made: give it a FileStream to write to, or leave it empty to discard
  // the part's data. May raise (the read then fails).
  virtual void OpenFile(TFileRecord& record) = 0;
  // That part's delimiter arrived: close and drop record.FileStream.
  virtual void CloseFile(TFileRecord& record) = 0;
};

// Limits against hostile bodies: far above what browsers, curl and HTTP
// libraries send, and low enough that no body can make a parse hold memory
// or work on without end. Past one, ParseBlock raises EUploadLimitError with
// a message that names it (limitMessage). File data has no limit: in direct
// mode it goes to disk, in memory mode keeping it is the point.
struct TParserLimits {
  // Bytes of the body's first line, the delimiter line. RFC 2046 allows 72
  // with the "--"; browsers send about 40.
  size_t delimiterLine = 1024;
  // Bytes of one header line of a part, CRs not counted. A file name of a
  // thousand characters of four UTF-8 bytes each fits four times over.
  size_t headerLine = 16384;
  // Header lines of one part before the empty line that ends them; browsers
  // send one or two.
  size_t headerLines = 100;
  // Parts of one body, each of which costs memory however small it is, and
  // a variable or a file record at the end. Forms rarely have a thousand.
  size_t parts = 200000;
  // Characters of text kept for the form: every non-file value (a byte
  // counting as the character it becomes at most), and every part's name,
  // file name and content type.
  size_t formText = 16u << 20;
};

enum class TParserLimit { DelimiterLine, HeaderLine, HeaderLines, Parts, FormText };

// A body past one of the parser's limits.
VELMORA_DECLARE_EXCEPTION(EUploadLimitError, EUploadError);

// "A header line of a part is longer than 16384 bytes.", and so on.
ustring limitMessage(TParserLimit limit, const TParserLimits& limits);

class TMultipartParser {
 public:
  enum class Charset { Utf8, Ansi };

  // direct: null keeps files in memory streams.
  TMultipartParser(TUploadResults& results, Charset charset, IFileDestinations* direct,
                   const TParserLimits& limits = TParserLimits());
  ~TMultipartParser();
  TMultipartParser(const TMultipartParser&) = delete;
  TMultipartParser& operator=(const TMultipartParser&) = delete;

  // Consumes the whole block; results do not depend on where blocks are cut.
  void ParseBlock(const uint8_t* data, size_t size);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace velmora
