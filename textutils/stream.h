// Byte streams: the abstract stream the parser and the transfers write to,
// and the growable in-memory stream that holds blocks, values and files.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora {

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

}  // namespace velmora
