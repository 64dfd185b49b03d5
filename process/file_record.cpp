#include "process/file_record.h"

#include <cassert>
#include <utility>

namespace velmora {

TFileStorage::TFileStorage(TFileStorage&& other) noexcept
    : kind_(std::exchange(other.kind_, TKind::None)),
      memory_(std::move(other.memory_)),
      staged_(std::move(other.staged_)) {}

TFileStorage& TFileStorage::operator=(TFileStorage&& other) noexcept {
  if (this != &other) {
    kind_ = std::exchange(other.kind_, TKind::None);
    memory_ = std::move(other.memory_);
    staged_ = std::move(other.staged_);
  }
  return *this;
}

const TChunkedMemoryStream* TFileStorage::memory() const { return memory_.get(); }

TStream* TFileStorage::writer() const {
  switch (kind_) {
    case TKind::Memory: return memory_.get();
    case TKind::Staging: return &staged_->bytes();
    default: return nullptr;
  }
}

void TFileStorage::keepInMemory() {
  discard();
  memory_ = std::make_unique<TChunkedMemoryStream>();
  kind_ = TKind::Memory;
}

void TFileStorage::stage(std::unique_ptr<IStagedFile> file) {
  assert(file);
  discard();
  staged_ = std::move(file);
  kind_ = TKind::Staging;
}

void TFileStorage::discard() {
  memory_.reset();
  staged_.reset();
  kind_ = TKind::None;
}

void TFileStorage::complete() {
  if (kind_ == TKind::Staging) kind_ = TKind::Staged;
}

ustring TFileStorage::settle() {
  assert(kind_ == TKind::Staged);
  const ustring target = staged_->commit();
  staged_.reset();  // committed, or deleted when the policy stored nothing
  kind_ = target.empty() ? TKind::None : TKind::OnDisk;
  return target;
}

}  // namespace velmora
