#include "process/upload_receiver.h"

#include <cassert>
#include <memory>
#include <utility>

#include "io/paths.h"
#include "process/file_names.h"

namespace velmora {

namespace {

// Name, Extension and NameOnly of a new record from the name the client sent.
void nameFile(TFileRecord& record) {
  record.Name = ClientFileName(record.LocalName);
  const size_t dot = ExtensionStart(record.Name, kClientSeparators);
  record.Extension = dot < record.Name.size() ? record.Name.substr(dot + 1) : ustring();
  record.NameOnly = record.Extension.empty() ? record.Name : record.Name.substr(0, dot);
}

void setHead(TFormEntity& e, TPartHead&& head) {
  e.Name = std::move(head.Name);
  e.FileName = std::move(head.FileName);
  e.ContentType = std::move(head.ContentType);
  e.IsFile = head.IsFile;
}

}  // namespace

void TUploadReceiver::partBegin() {
  results_.FormEntities.emplace_back();
  kind_ = TPartKind::Discarded;
  destination_ = nullptr;
}

void TUploadReceiver::partHeadersCut(TPartHead&& head) { setHead(entity(), std::move(head)); }

void TUploadReceiver::partHeadersEnd(TPartHead&& head) {
  TFormEntity& e = entity();
  setHead(e, std::move(head));
  if (!e.IsFile) {
    // A value's stream takes over the memory of the previous value's once
    // that is decoded, so small values cost no buffer allocation each.
    kind_ = TPartKind::Value;
    e.CurrentStream = std::move(spareStream_);
    destination_ = &e.CurrentStream;
  } else if (e.FileName.empty()) {
    kind_ = TPartKind::Discarded;
  } else {
    kind_ = TPartKind::File;
    makeFileRecord(e);
  }
}

// The record is counted before its storage opens: a direct-save target that
// cannot be created leaves it counted, and the read fails. The file before it
// is settled first, so that this one's target is chosen knowing its name.
void TUploadReceiver::makeFileRecord(const TFormEntity& e) {
  settleLastFile();
  TFileRecord record;
  record.LocalName = e.FileName;
  record.ContentType = e.ContentType;
  nameFile(record);
  results_.Files.push_back(std::move(record));
  ++results_.FileQty;

  TFileRecord& file = results_.Files.back();
  if (!direct_) {
    file.Storage.keepInMemory();
  } else {
    direct_->OpenFile(file);
    if (file.Storage.kind() == TFileStorage::TKind::Staging)
      waitingFile_ = results_.Files.size() - 1;
  }
  destination_ = file.Storage.writer();
}

// A settle that fails (the name cannot be taken) leaves the file staged: it
// is deleted with its record.
void TUploadReceiver::settleLastFile() {
  if (waitingFile_ >= results_.Files.size()) return;
  TFileRecord& record = results_.Files[std::exchange(waitingFile_, kNoFile)];
  if (record.Storage.kind() != TFileStorage::TKind::Staged) return;
  record.NewName = AfterLastSeparator(record.Storage.settle(), kScriptSeparators);
}

void TUploadReceiver::dropCutFile() {
  if (kind_ != TPartKind::File) return;
  if (waitingFile_ == results_.Files.size() - 1) waitingFile_ = kNoFile;
  results_.Files.pop_back();
  --results_.FileQty;
  kind_ = TPartKind::Discarded;
  destination_ = nullptr;
}

// Memory streams grow without moving what they hold (files) or
// geometrically (values), so data written range by range costs O(n).
void TUploadReceiver::partData(const uint8_t* data, size_t size) {
  assert(kind_ != TPartKind::Discarded || !destination_);
  if (destination_) destination_->write(data, size);
}

void TUploadReceiver::partEnd() {
  TFormEntity& e = entity();
  switch (kind_) {
    case TPartKind::File:
      results_.TagNameList.add(e.Name);
      results_.Files.back().Storage.complete();
      break;
    case TPartKind::Value:
      e.Value = DecodeFormText(e.CurrentStream, charset_);
      // The value holds the part now; its memory serves the next one.
      spareStream_ = std::move(e.CurrentStream);
      spareStream_.setSize(0);
      break;
    case TPartKind::Discarded:
      break;
  }
  kind_ = TPartKind::Discarded;
  destination_ = nullptr;
}

}  // namespace velmora
