#include "process/file_record.h"

#include <cassert>
#include <utility>

namespace velmora {

TFileStorage::~TFileStorage() { release(); }

TFileStorage::TFileStorage(TFileStorage&& other) noexcept
    : kind_(std::exchange(other.kind_, TKind::None)),
      writer_(std::move(other.writer_)),
      path_(std::move(other.path_)) {}

TFileStorage& TFileStorage::operator=(TFileStorage&& other) noexcept {
  if (this != &other) {
    release();
    kind_ = std::exchange(other.kind_, TKind::None);
    writer_ = std::move(other.writer_);
    path_ = std::move(other.path_);
  }
  return *this;
}

const TChunkedMemoryStream* TFileStorage::memory() const {
  return kind_ == TKind::Memory ? static_cast<const TChunkedMemoryStream*>(writer_.get()) : nullptr;
}

void TFileStorage::keepInMemory() {
  release();
  writer_ = std::make_unique<TChunkedMemoryStream>();
  kind_ = TKind::Memory;
}

void TFileStorage::beginWriting(std::unique_ptr<TStream> file, const ustring& path) {
  assert(file);
  release();
  writer_ = std::move(file);
  path_ = path;
  kind_ = TKind::Unfinished;
}

void TFileStorage::discard() { release(); }

void TFileStorage::stored(const ustring& path) {
  assert(kind_ == TKind::Unfinished && writer_);
  writer_.reset();
  path_ = path;
}

void TFileStorage::settle() {
  if (kind_ == TKind::Unfinished && !writer_) kind_ = TKind::OnDisk;
}

// The file is closed before it is deleted; a staged file being written
// deletes its staging file itself as it closes.
void TFileStorage::release() noexcept {
  writer_.reset();
  if (kind_ == TKind::Unfinished && !path_.empty()) DeleteUnfinishedFile(path_);
  kind_ = TKind::None;
  path_.clear();
}

}  // namespace velmora
