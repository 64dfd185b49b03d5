// A disk file as a stream, on the Win32 file calls.
#pragma once

#include "base/ustring.h"
#include "io/stream.h"

namespace velmora {

class TFileStream final : public TStream {
 public:
  enum class Mode {
    Create,    // created anew or emptied, read and write, not shared
    CreateNew, // created anew, failing when the name is taken; read and write, not shared
    OpenRead,  // existing file, read only, others may read but not write
  };

  // Create and CreateNew fail with EFCreateError "Cannot create file "%s".
  // %s"; OpenRead with EFOpenError.
  TFileStream(const ustring& path, Mode mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  int64_t size() const override;
  int64_t position() const override;
  void seek(int64_t position) override;
  size_t read(void* buffer, size_t count) override;
  void write(const void* buffer, size_t count) override;

  const ustring& path() const { return path_; }

 private:
  void* handle_;
  ustring path_;
};

}  // namespace velmora
