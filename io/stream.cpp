#include "io/stream.h"

#include <algorithm>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

namespace velmora {

EReadError::EReadError() : EStreamError(u"Stream read error") {}
EWriteError::EWriteError(uint32_t systemCode, const ustring& systemText)
    : EStreamError(systemText.empty() ? ustring(u"Stream write error") : u"Stream write error. " + systemText,
                   systemCode) {}

EFCreateError::EFCreateError(const ustring& fullPath, const ustring& systemText,
                             uint32_t systemCode)
    : EStreamError(u"Cannot create file \"" + fullPath + u"\". " + systemText, systemCode) {}

EFOpenError::EFOpenError(const ustring& fullPath, const ustring& systemText, uint32_t systemCode)
    : EStreamError(u"Cannot open file \"" + fullPath + u"\". " + systemText, systemCode) {}

void TStream::readBuffer(void* buffer, size_t count) {
  if (count != 0 && read(buffer, count) != count) throw EReadError();
}

void TStream::copyFrom(TStream& source, int64_t count) {
  if (count <= 0) {
    source.seek(0);
    count = source.size();
  }
  char buffer[65536];
  while (count > 0) {
    size_t n = count < static_cast<int64_t>(sizeof buffer) ? static_cast<size_t>(count)
                                                            : sizeof buffer;
    source.readBuffer(buffer, n);
    write(buffer, n);
    count -= static_cast<int64_t>(n);
  }
}

TMemoryStream::~TMemoryStream() { std::free(data_); }

TMemoryStream::TMemoryStream(TMemoryStream&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_),
      position_(other.position_) {
  other.data_ = nullptr;
  other.size_ = other.capacity_ = other.position_ = 0;
}

TMemoryStream& TMemoryStream::operator=(TMemoryStream&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = other.data_;
    size_ = other.size_;
    capacity_ = other.capacity_;
    position_ = other.position_;
    other.data_ = nullptr;
    other.size_ = other.capacity_ = other.position_ = 0;
  }
  return *this;
}

void TMemoryStream::seek(int64_t position) {
  position_ = position < 0 ? 0 : static_cast<size_t>(position);
}

size_t TMemoryStream::read(void* buffer, size_t count) {
  if (position_ >= size_) return 0;
  size_t n = size_ - position_ < count ? size_ - position_ : count;
  std::memcpy(buffer, data_ + position_, n);
  position_ += n;
  return n;
}

void TMemoryStream::write(const void* buffer, size_t count) {
  if (count == 0) return;
  size_t end = position_ + count;
  if (end < position_) throw EWriteError();
  if (end > capacity_) grow(end);
  std::memcpy(data_ + position_, buffer, count);
  position_ = end;
  if (end > size_) size_ = end;
}

void TMemoryStream::setSize(size_t size) {
  if (size > capacity_) reserve(size);
  size_ = size;
  if (position_ > size_) position_ = size_;
}

// Exactly the room asked for: callers that know the final size grow once.
void TMemoryStream::reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  void* p = std::realloc(data_, capacity);
  if (!p) throw EWriteError();
  data_ = static_cast<uint8_t*>(p);
  capacity_ = capacity;
}

// Geometric growth, so n bytes written in pieces cost O(n) copying in all;
// a page at least, so that a stream of small writes does not start with
// several tiny reallocations.
void TMemoryStream::grow(size_t needed) {
  constexpr size_t kSmallestGrowth = 4096;
  size_t next = capacity_ + capacity_ / 2;
  if (next < kSmallestGrowth) next = kSmallestGrowth;
  reserve(needed > next ? needed : next);
}

void TMemoryStream::clear() {
  std::free(data_);
  data_ = nullptr;
  size_ = capacity_ = position_ = 0;
}

void TChunkedMemoryStream::seek(int64_t position) {
  position_ = position < 0 ? 0 : static_cast<size_t>(position);
}

size_t TChunkedMemoryStream::read(void* buffer, size_t count) {
  const size_t n = readAt(position_, buffer, count);
  position_ += n;
  return n;
}

size_t TChunkedMemoryStream::readAt(size_t offset, void* buffer, size_t count) const {
  if (offset >= size_) return 0;
  count = std::min(count, size_ - offset);
  auto* out = static_cast<uint8_t*>(buffer);
  for (size_t i = chunkAt(offset), done = 0; done < count; ++i) {
    const Chunk& chunk = chunks_[i];
    const size_t at = offset + done - chunk.start;
    const size_t n = std::min(count - done, chunk.capacity - at);
    std::memcpy(out + done, chunk.bytes.get() + at, n);
    done += n;
  }
  return count;
}

void TChunkedMemoryStream::write(const void* buffer, size_t count) {
  if (count == 0) return;
  const size_t end = position_ + count;
  if (end < position_) throw EWriteError();
  while (capacity_ < end) addChunk(end - capacity_);
  if (position_ > size_) place(size_, nullptr, position_ - size_);
  place(position_, static_cast<const uint8_t*>(buffer), count);
  position_ = end;
  size_ = std::max(size_, end);
}

size_t TChunkedMemoryStream::chunkAt(size_t offset) const {
  if (offset >= chunks_.back().start) return chunks_.size() - 1;  // appending
  auto after = std::upper_bound(chunks_.begin(), chunks_.end(), offset,
                                [](size_t at, const Chunk& chunk) { return at < chunk.start; });
  return static_cast<size_t>(after - chunks_.begin()) - 1;
}

// A new chunk is as large as all before it, or as the write that needs it,
// kMaxChunk at most, and from kSmallest on the pooled size below that: the
// last chunk, the only one with room to spare, wastes less than the stream
// holds and less than kMaxChunk, and a file of a few bytes takes a few bytes.
void TChunkedMemoryStream::addChunk(size_t needed) {
  size_t capacity = std::min(kMaxChunk, std::max(needed, capacity_));
  const size_t pooledSize = TChunkPool::pooledSize(capacity);
  if (pooledSize != 0) capacity = pooledSize;
  std::unique_ptr<uint8_t[], ChunkRelease> bytes(
      pooledSize != 0 ? TChunkPool::take(pooledSize) : new (std::nothrow) uint8_t[capacity],
      ChunkRelease{pooledSize});
  if (!bytes) throw EWriteError();
  chunks_.push_back({std::move(bytes), capacity_, capacity});
  capacity_ += capacity;
}

void TChunkedMemoryStream::ChunkRelease::operator()(uint8_t* bytes) const noexcept {
  if (pooledSize != 0)
    TChunkPool::give(bytes, pooledSize);
  else
    delete[] bytes;
}

void TChunkedMemoryStream::place(size_t offset, const uint8_t* source, size_t count) {
  for (size_t i = chunkAt(offset); count > 0; ++i) {
    Chunk& chunk = chunks_[i];
    const size_t at = offset - chunk.start;
    const size_t n = std::min(count, chunk.capacity - at);
    if (source) {
      std::memcpy(chunk.bytes.get() + at, source, n);
      source += n;
    } else {
      std::memset(chunk.bytes.get() + at, 0, n);
    }
    offset += n;
    count -= n;
  }
}

namespace {

// A list of chunks linked through the chunks themselves, so that keeping one
// never allocates.
struct TChunkList {
  struct Link {
    Link* next;
  };
  Link* head = nullptr;

  void push(uint8_t* chunk) { head = new (chunk) Link{head}; }
  uint8_t* pop() {
    Link* link = head;
    if (link) head = link->next;
    return reinterpret_cast<uint8_t*>(link);
  }
  void freeAll() {
    while (uint8_t* chunk = pop()) delete[] chunk;
  }
};

// The chunks kept, a list per pooled size (kChunk, kChunk / 2, ...
// kSmallest). Freed with the module.
struct TKeptChunks {
  static constexpr int kSizes = 5;
  static_assert(TChunkPool::kChunk >> (kSizes - 1) == TChunkPool::kSmallest);

  std::mutex lock;
  TChunkList lists[kSizes];
  size_t bytes = 0;

  ~TKeptChunks() {
    for (TChunkList& list : lists) list.freeAll();
  }

  static int indexOf(size_t size) {
    int i = 0;
    while (i < kSizes && (TChunkPool::kChunk >> i) != size) ++i;
    assert(i < kSizes);
    return i;
  }

  bool fits(size_t size) const { return bytes + size <= TChunkPool::kKeptBytes; }

  // Moves smaller chunks, the smallest first, to freed until a full-size one
  // fits within the bound; false when they are too few.
  bool makeRoomForFullChunk(TChunkList& freed) {
    for (int i = kSizes - 1; i > 0 && !fits(TChunkPool::kChunk); --i) {
      while (!fits(TChunkPool::kChunk) && lists[i].head) {
        freed.push(lists[i].pop());
        bytes -= TChunkPool::kChunk >> i;
      }
    }
    return fits(TChunkPool::kChunk);
  }
};

TKeptChunks& keptChunks() {
  static TKeptChunks kept;
  return kept;
}

}  // namespace

size_t TChunkPool::pooledSize(size_t size) noexcept {
  if (size < kSmallest) return 0;
  size_t pooled = kChunk;
  while (pooled > size) pooled >>= 1;
  return pooled;
}

uint8_t* TChunkPool::take(size_t size) noexcept {
  TKeptChunks& kept = keptChunks();
  {
    std::lock_guard<std::mutex> guard(kept.lock);
    if (uint8_t* chunk = kept.lists[TKeptChunks::indexOf(size)].pop()) {
      kept.bytes -= size;
      return chunk;
    }
  }
  return new (std::nothrow) uint8_t[size];
}

void TChunkPool::give(uint8_t* chunk, size_t size) noexcept {
  if (!chunk) return;
  TKeptChunks& kept = keptChunks();
  TChunkList freed;
  {
    std::lock_guard<std::mutex> guard(kept.lock);
    if (kept.fits(size) || (size == kChunk && kept.makeRoomForFullChunk(freed))) {
      kept.lists[TKeptChunks::indexOf(size)].push(chunk);
      kept.bytes += size;
      chunk = nullptr;
    }
  }
  delete[] chunk;
  freed.freeAll();
}

size_t TChunkPool::keptBytes() noexcept {
  TKeptChunks& kept = keptChunks();
  std::lock_guard<std::mutex> guard(kept.lock);
  return kept.bytes;
}

}  // namespace velmora
