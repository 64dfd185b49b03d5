// The upload object's side of a parse: it turns the parser's events into
// the form's variables, file records (named, counted, tagged) and file
// contents, in memory or through the direct-save destinations.
#pragma once

#include <cstdint>
#include <vector>

#include "base/ustring.h"
#include "io/stream.h"
#include "process/multipart_parser.h"
#include "process/file_record.h"
#include "text/stringlist.h"

namespace velmora {

// What reads leave for scripts to read: the form's variables, the field
// names of the file parts and the files. The receiver fills it as each part
// goes, so a parse leaves the final lists behind; Read empties FVariableList
// first, the rest accumulates across reads.
struct TUploadResults {
  // The first occurrence of every named value, and one line per file part
  // (name=file name), in body order.
  TStringList FVariableList;
  // Later occurrences of a value's name (by the system's compare) in
  // FVariableList.
  TStringList FMultiVar;
  // The field name of every complete file part with a file name.
  TStringList FTagNameList;
  std::vector<TFileRecord> FFiles;  // FFileQty valid entries, in body order
  int32_t FFileQty = 0;
};

// Direct saving: where a file part's data goes when it is not kept in memory.
class IFileDestinations {
 public:
  virtual ~IFileDestinations() = default;
  // The headers of a file part with a non-empty file name ended and record
  // was made: stage its storage, or leave it none to discard the part's
  // data. May raise (the read then fails).
  virtual void openFile(TFileRecord& record) = 0;
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

  // The body ended (after the parser's finish): a value whose delimiter
  // never came is listed with an empty value.
  void bodyEnded();
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

  void takeHead(TPartHead&& head);
  // A value's line: the first of its name in FVariableList, a later one in
  // FMultiVar; a nameless first value is not listed.
  void listValue(ustring_view value);
  void makeFileRecord();

  TUploadResults& results_;
  const TFormCharset charset_;
  IFileDestinations* const direct_;
  TPartKind kind_ = TPartKind::Discarded;
  TPartHead head_;  // of the open part
  // Where the open part's data goes: valueBytes_, its file's storage, or
  // nowhere.
  TStream* destination_ = nullptr;
  // The open value's bytes until its end decodes them; one buffer serves
  // every value, so small values cost no allocation each.
  TMemoryStream valueBytes_;
  // The last file this parse staged on disk: it waits under its staging name
  // until the next file part begins or the whole body is taken.
  size_t waitingFile_ = kNoFile;
};

}  // namespace velmora
