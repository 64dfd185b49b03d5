// Byte streams: the abstract stream the parser and the transfers write to,
// the growable in-memory stream that holds blocks and values, and the chunked
// one that holds uploaded files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "base/errors.h"

namespace velmora {

// A failed read, write, creation or opening. When the system refused, its
// error code travels beside the message (0 otherwise).
class EStreamError : public Exception {
 public:
  explicit EStreamError(ustring message, uint32_t systemCode = 0)
      : Exception(std::move(message)), systemCode_(systemCode) {}
  uint32_t systemCode() const noexcept { return systemCode_; }

 private:
  uint32_t systemCode_;
};

// "Stream read error"
class EReadError : public EStreamError {
 public:
  EReadError();
};

// "Stream write error" (a full disk, for one), followed by the system's text
// when the system gave a reason: "Stream write error. There is not enough
// space on the disk".
class EWriteError : public EStreamError {
 public:
  explicit EWriteError(uint32_t systemCode = 0, const ustring& systemText = ustring());
};

// "Cannot create file "%s". %s": the full path and the system's error text.
class EFCreateError : public EStreamError {
 public:
  EFCreateError(const ustring& fullPath, const ustring& systemText, uint32_t systemCode = 0);
};

// "Cannot open file "%s". %s": the full path and the system's error text.
class EFOpenError : public EStreamError {
 public:
  EFOpenError(const ustring& fullPath, const ustring& systemText, uint32_t systemCode = 0);
};

// A run of bytes owned by someone else.
struct ByteSpan {
  const uint8_t* data = nullptr;
  size_t size = 0;
};

class TStream {
 public:
  virtual ~TStream() = default;

  virtual int64_t size() const = 0;
  virtual int64_t position() const = 0;
  virtual void seek(int64_t position) = 0;
  // Reads up to count bytes from the position; returns how many it read.
  virtual size_t read(void* buffer, size_t count) = 0;
  // Writes all count bytes at the position, or raises EWriteError.
  virtual void write(const void* buffer, size_t count) = 0;

  // Exactly count bytes, or EReadError.
  void readBuffer(void* buffer, size_t count);
  // Copies count bytes from source's position into this stream; count <= 0
  // copies all of source from its start.
  void copyFrom(TStream& source, int64_t count);
};

class TMemoryStream final : public TStream {
 public:
  TMemoryStream() = default;
  ~TMemoryStream() override;
  TMemoryStream(const TMemoryStream&) = delete;
  TMemoryStream& operator=(const TMemoryStream&) = delete;
  TMemoryStream(TMemoryStream&& other) noexcept;
  TMemoryStream& operator=(TMemoryStream&& other) noexcept;

  int64_t size() const override { return static_cast<int64_t>(size_); }
  int64_t position() const override { return static_cast<int64_t>(position_); }
  void seek(int64_t position) override;
  size_t read(void* buffer, size_t count) override;
  void write(const void* buffer, size_t count) override;

  // New size in one step; the position is kept (clamped to the new size).
  void setSize(size_t size);
  // Room for at least capacity bytes without changing the size.
  void reserve(size_t capacity);
  void clear();  // size 0, position 0, memory released

  const uint8_t* data() const { return data_; }
  uint8_t* data() { return data_; }
  size_t capacity() const { return capacity_; }

 private:
  void grow(size_t needed);

  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t position_ = 0;
};

// Memory for the chunks of in-memory streams, kept by the process for the
// streams that come after: a large allocation is fresh pages (under Wine
// always a new mapping), and writing into fresh pages (a fault and the
// zeroing of each one) costs several times a copy into pages already
// touched. Kept are the full-size chunks and the smaller ones a stream grows
// through towards them (kChunk / 2, / 4, ... down to kSmallest), which make
// a file's first megabyte: without them a file of a few megabytes would
// write a third of its bytes into fresh pages. At most kKeptBytes stay kept
// in all; a full-size chunk given back when the bound is reached takes the
// place of smaller ones, and other chunks beyond it are freed. Safe for
// streams of several threads at once.
class TChunkPool {
 public:
  static constexpr size_t kChunk = size_t{1} << 20;
  static constexpr size_t kSmallest = kChunk >> 4;
  // Enough for a large upload to be stored again without a fresh page in a
  // 64-bit process; a 32-bit one, whose few gigabytes of address space all
  // its requests share, keeps less.
  static constexpr size_t kKeptBytes = (sizeof(void*) == 8 ? size_t{256} : size_t{64}) << 20;

  // The largest size the pool deals in that is no larger than size (kChunk
  // at most); 0 below kSmallest.
  static size_t pooledSize(size_t size) noexcept;
  // A chunk of a pooled size, kept or new; null when memory is exhausted.
  static uint8_t* take(size_t size = kChunk) noexcept;
  // Keeps the chunk, of the pooled size it was taken with, for the next
  // take, or frees it when the bound is reached.
  static void give(uint8_t* chunk, size_t size = kChunk) noexcept;
  static size_t keptBytes() noexcept;
};

// An in-memory stream kept in chunks that never move: bytes once stored are
// never copied again, however large the stream grows, and the memory held is
// its size plus at most one partly filled chunk. For files, whose size is
// known only at their last byte (a declared length is a client's claim).
class TChunkedMemoryStream final : public TStream {
 public:
  // The largest chunk; chunks grow towards it with the stream, so that small
  // files take little memory and large ones few allocations, and chunks of
  // kSmallest bytes and more come from the pool. Files are saved a chunk per write, and
  // under Wine writes above 1 MB were found slower.
  static constexpr size_t kMaxChunk = TChunkPool::kChunk;

  int64_t size() const override { return static_cast<int64_t>(size_); }
  int64_t position() const override { return static_cast<int64_t>(position_); }
  void seek(int64_t position) override;
  size_t read(void* buffer, size_t count) override;
  // Writing past the end fills the gap with zeros.
  void write(const void* buffer, size_t count) override;

  // Up to count bytes from offset, leaving the position alone; how many were read.
  size_t readAt(size_t offset, void* buffer, size_t count) const;
  // Calls visit(data, size) for each stored run of bytes, in order.
  template <class Visit>
  void forEachRun(Visit&& visit) const {
    for (const Chunk& chunk : chunks_) {
      if (chunk.start >= size_) break;
      const size_t used = size_ - chunk.start < chunk.capacity ? size_ - chunk.start : chunk.capacity;
      visit(static_cast<const uint8_t*>(chunk.bytes.get()), used);
    }
  }
  size_t capacity() const { return capacity_; }  // bytes allocated

 private:
  // Chunks of a pooled size go back to the pool, the others to the heap.
  struct ChunkRelease {
    size_t pooledSize;  // 0 for a chunk of the heap
    void operator()(uint8_t* bytes) const noexcept;
  };
  struct Chunk {
    std::unique_ptr<uint8_t[], ChunkRelease> bytes;
    size_t start;  // offset of its first byte in the stream
    size_t capacity;
  };
  size_t chunkAt(size_t offset) const;  // the chunk holding offset < capacity_
  void addChunk(size_t needed);
  // Copies count bytes from source (zeros when null) to offset < capacity_.
  void place(size_t offset, const uint8_t* source, size_t count);

  std::vector<Chunk> chunks_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t position_ = 0;
};

}  // namespace velmora
