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

class TMultipartParser {
 public:
  enum class Charset { Utf8, Ansi };

  // direct: null keeps files in memory streams.
  TMultipartParser(TUploadResults& results, Charset charset, IFileDestinations* direct);
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
