// An uploaded file: the names the client's name gives it, and where its
// bytes are. The storage owns the rule that a file left unfinished on disk
// does not outlive the upload object.
#pragma once

#include <cstdint>
#include <memory>

#include "base/ustring.h"
#include "io/stream.h"

namespace velmora {

class TFileStorage {
 public:
  enum class TKind : uint8_t {
    None,        // no bytes kept: a discarded part
    Memory,      // a chunked in-memory stream
    Unfinished,  // on disk at path: being written, or stored by a read that
                 // has not consumed its body yet; released with the object
    OnDisk,      // saved at path for good
  };

  TFileStorage() = default;
  // Releases: closes a file being written and deletes an unfinished one.
  ~TFileStorage();
  TFileStorage(TFileStorage&& other) noexcept;
  TFileStorage& operator=(TFileStorage&& other) noexcept;

  TKind kind() const { return kind_; }
  const ustring& path() const { return path_; }
  // The bytes of a file in memory; null for any other kind.
  const TChunkedMemoryStream* memory() const;
  // Where a part's data goes: the memory stream, or the disk file being
  // written; null otherwise.
  TStream* writer() const { return writer_.get(); }

  // Each releases what was there before.
  void keepInMemory();
  void beginWriting(std::unique_ptr<TStream> file, const ustring& path);
  void discard();
  // The file being written took its name: closes it, unfinished at path
  // until settled.
  void stored(const ustring& path);
  // The read that stored it has consumed its body (or another file's
  // writing began): a stored file stays. A file still being written stays
  // unfinished.
  void settle();

 private:
  void release() noexcept;

  TKind kind_ = TKind::None;
  std::unique_ptr<TStream> writer_;
  ustring path_;
};

// Deletes an unfinished file; never throws. At the platform's edge
// (direct_save_win32.cpp); without a file layer none is ever made.
void DeleteUnfinishedFile(const ustring& path) noexcept;

// One uploaded file.
struct TFileRecord {
  ustring Name;         // client's name without its directory part
  ustring LocalName;    // the filename parameter exactly as sent
  ustring Extension;    // of Name, without the dot
  ustring ContentType;  // as sent
  ustring NameOnly;     // Name without dot and extension
  ustring NewName;      // name last stored under (direct save, FileSave owRename)
  TFileStorage Storage;
};

}  // namespace velmora
