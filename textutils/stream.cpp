#include "textutils/stream.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "textutils/errors.h"

namespace velmora {

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

// Geometric growth, so n bytes written in pieces cost O(n) copying in all.
void TMemoryStream::grow(size_t needed) {
  size_t next = capacity_ + capacity_ / 2;
  if (next < 4096) next = 4096;
  reserve(needed > next ? needed : next);
}

void TMemoryStream::clear() {
  std::free(data_);
  data_ = nullptr;
  size_ = capacity_ = position_ = 0;
}

}  // namespace velmora
