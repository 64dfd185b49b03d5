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

}  // namespace

void TUploadReceiver::partBegin() {
  kind_ = TPartKind::Discarded;
  destination_ = nullptr;
}

// A part cut inside its headers has its line as one cut inside its data.
void TUploadReceiver::partHeadersCut(TPartHead&& head) {
  takeHead(std::move(head));
  if (kind_ == TPartKind::Value) listValue(u"");
  kind_ = TPartKind::Discarded;
}

void TUploadReceiver::partHeadersEnd(TPartHead&& head) {
  takeHead(std::move(head));
  if (kind_ == TPartKind::Value) {
    valueBytes_.setSize(0);
    destination_ = &valueBytes_;
  } else if (kind_ == TPartKind::File) {
    makeFileRecord();
  }
}

// Every file part has its line, with or without a file name.
void TUploadReceiver::takeHead(TPartHead&& head) {
  head_ = std::move(head);
  if (!head_.IsFile) {
    kind_ = TPartKind::Value;
    return;
  }
  results_.FVariableList.addPair(head_.Name, head_.FileName);
  kind_ = head_.FileName.empty() ? TPartKind::Discarded : TPartKind::File;
}

// A value without a name is no variable, not even a repeat of a file input
// that had no name either.
void TUploadReceiver::listValue(ustring_view value) {
  if (head_.Name.empty()) return;
  if (results_.FVariableList.indexOfName(head_.Name) >= 0)
    results_.FMultiVar.addPair(head_.Name, value);
  else
    results_.FVariableList.addPair(head_.Name, value);
}

// The record is counted before its storage opens: a direct-save target that
// cannot be created leaves it counted, and the read fails. The file before it
// is settled first, so that this one's target is chosen knowing its name.
void TUploadReceiver::makeFileRecord() {
  settleLastFile();
  TFileRecord record;
  record.LocalName = head_.FileName;
  record.ContentType = head_.ContentType;
  nameFile(record);
  results_.FFiles.push_back(std::move(record));
  ++results_.FFileQty;

  TFileRecord& file = results_.FFiles.back();
  if (!direct_) {
    file.Storage.keepInMemory();
  } else {
    direct_->openFile(file);
    if (file.Storage.kind() == TFileStorage::TKind::Staging)
      waitingFile_ = results_.FFiles.size() - 1;
  }
  destination_ = file.Storage.writer();
}

// A settle that fails (the name cannot be taken) leaves the file staged: it
// is deleted with its record.
void TUploadReceiver::settleLastFile() {
  if (waitingFile_ >= results_.FFiles.size()) return;
  TFileRecord& record = results_.FFiles[std::exchange(waitingFile_, kNoFile)];
  if (record.Storage.kind() != TFileStorage::TKind::Staged) return;
  record.NewName = AfterLastSeparator(record.Storage.settle(), kScriptSeparators);
}

void TUploadReceiver::dropCutFile() {
  if (kind_ != TPartKind::File) return;
  if (waitingFile_ == results_.FFiles.size() - 1) waitingFile_ = kNoFile;
  results_.FFiles.pop_back();
  --results_.FFileQty;
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
  switch (kind_) {
    case TPartKind::File:
      results_.FTagNameList.add(head_.Name);
      results_.FFiles.back().Storage.complete();
      break;
    case TPartKind::Value: listValue(DecodeFormText(valueBytes_, charset_)); break;
    case TPartKind::Discarded: break;
  }
  kind_ = TPartKind::Discarded;
  destination_ = nullptr;
}

// A cut file part stays open: dropCutFile may still take it.
void TUploadReceiver::bodyEnded() {
  if (kind_ == TPartKind::Value) {
    listValue(u"");
    kind_ = TPartKind::Discarded;
  }
  destination_ = nullptr;
}

}  // namespace velmora
