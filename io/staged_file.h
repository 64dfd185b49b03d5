// Writing a file so that a failure part-way leaves the target as it was: the
// bytes go into a new file of our own beside the target, which takes the
// target's name only once it is complete. A name taken meanwhile by someone
// else is noticed at that moment, never overwritten by accident.
#pragma once

#include <memory>

#include "base/ustring.h"
#include "io/filestream.h"

namespace velmora {

// Every staging file's name begins with this (any case), followed by 32
// random hexadecimal digits and ".tmp"; no name a client sends is reduced to
// one that does (ClientFileName).
inline constexpr char16_t kStagingPrefix[] = u"~velmora-";

class TStagedFile final : public TStream {
 public:
  // Creates the staging file in target's folder, under a name nobody can
  // guess, held open without sharing until it is committed. The first
  // staging file of a process in a folder (and again every 10 minutes)
  // removes the staging files there that no live process holds and that
  // nobody wrote for 10 minutes: those whose writer died. A failure raises
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

  // Closes the staging file, so that the system's own copy can fill it
  // (it stays under its name until committed or destroyed); bytes are no
  // longer read or written through this object.
  void close() { file_.reset(); }

  // Gives the bytes the name target, replacing a file there. A refusal
  // (target is a directory, a device, read-only, in use, an invalid name)
  // raises EFCreateError naming target. A refusal because another save is
  // replacing the same name at that moment is waited out (for at most about
  // 2 seconds).
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
