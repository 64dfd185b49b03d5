// The upload object's side of a parse: it turns the parser's events into
// form entities, file records (named, counted, tagged) and file contents, in
// memory or through the direct-save destinations.
#pragma once

#include <cstdint>
#include <vector>

#include "base/ustring.h"
#include "io/stream.h"
#include "process/multipart_parser.h"
#include "process/file_record.h"
#include "text/stringlist.h"

namespace velmora {

// One part while a body is parsed.
struct TFormEntity {
  ustring Name;         // name parameter of Content-Disposition
  ustring Value;        // decoded data of a completed non-file part
  ustring ContentType;  // text after "Content-Type: "
  ustring FileName;     // filename parameter as sent
  // A value's data until Value is decoded (the receiver then hands its
  // memory on to the next value).
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
  // was made: stage its storage, or leave it none to discard the part's
  // data. May raise (the read then fails).
  virtual void OpenFile(TFileRecord& record) = 0;
};

class TUploadReceiver final : public IMultipartReceiver {
 public:
  // direct: null keeps files in memory streams.
  TUploadReceiver(TUploadResults& results, TFormCharset charset, IFileDestinations* direct)
      : results_(results), charset_(charset), direct_(direct) {}

  void partBegin() override;
  void partHeadersEnd(TPartHead&& head) override;
  void partHeadersCut(TPartHead&& head) override;
  void partData(const uint8_t* data, size_t size) override;
  void partEnd() override;

  // The last direct-save file this parse staged, if complete, takes its
  // target's name: called when the next file part begins, and by Read once
  // it has taken the whole body.
  void settleLastFile();
  // The body ended inside a file part: its record goes, and a staged file
  // with it, so that no cut file is listed or stored.
  void dropCutFile();

 private:
  enum class TPartKind : uint8_t { Value, File, Discarded };

  static constexpr size_t kNoFile = static_cast<size_t>(-1);

  TFormEntity& entity() { return results_.FormEntities.back(); }
  void makeFileRecord(const TFormEntity& e);

  TUploadResults& results_;
  const TFormCharset charset_;
  IFileDestinations* const direct_;
  TPartKind kind_ = TPartKind::Discarded;
  // Where the open part's data goes: its value's stream, its file's stream,
  // or nowhere.
  TStream* destination_ = nullptr;
  TMemoryStream spareStream_;
  // The last file this parse staged on disk: it waits under its staging name
  // until the next file part begins or the whole body is taken.
  size_t waitingFile_ = kNoFile;
};

}  // namespace velmora
