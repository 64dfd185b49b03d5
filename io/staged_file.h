// Writing a file so that a failure part-way leaves the target as it was: the
// bytes go into a new file of our own beside the target, which takes the
// target's name only once it is complete. A name taken meanwhile by someone
// else is noticed at that moment, never overwritten by accident.
#pragma once

#include <memory>

#include "base/ustring.h"
#include "io/filestream.h"

namespace velmora {

class TStagedFile final : public TStream {
 public:
  // Creates the staging file in target's folder. A failure raises
  // EFCreateError naming target, with the system's text (a missing folder
  // reads as for the target itself).
  explicit TStagedFile(const ustring& target);
  // Deletes the staging file unless it was committed; never throws.
  ~TStagedFile() override;
  TStagedFile(const TStagedFile&) = delete;
  TStagedFile& operator=(const TStagedFile&) = delete;

  // The staging file's bytes, until a commit closes it.
  int64_t size() const override { return file_->size(); }
  int64_t position() const override { return file_->position(); }
  void seek(int64_t position) override { file_->seek(position); }
  size_t read(void* buffer, size_t count) override { return file_->read(buffer, count); }
  void write(const void* buffer, size_t count) override { file_->write(buffer, count); }

  const ustring& stagingPath() const { return staging_; }

  // Gives the bytes the name target, replacing a file there. A refusal
  // (target is a directory, a device, in use, an invalid name) raises
  // EFCreateError naming target.
  void commitReplacing(const ustring& target);
  // Gives the bytes the name target only when no file has it; false when one
  // has (the staging file stays, for another name). Other refusals raise as
  // commitReplacing does.
  bool commitIfFree(const ustring& target);

 private:
  bool commit(const ustring& target, bool replace);

  ustring staging_;
  std::unique_ptr<TFileStream> file_;
  bool committed_ = false;
};

}  // namespace velmora
