// An uploaded file: the names the client's name gives it, and where its
// bytes are. The storage is the one owner of a file's life on disk: it holds
// a directly saved file under a staging name of its own from the first byte
// until the file is settled under its target's name, and deletes it if the
// object goes first. Nothing is ever deleted by a target's name.
#pragma once

#include <cstdint>
#include <memory>

#include "base/ustring.h"
#include "io/stream.h"

namespace velmora {

// A file written under a name of its own beside its target. Destroying one
// that was not committed deletes its bytes: they are nobody else's.
class IStagedFile {
 public:
  virtual ~IStagedFile() = default;
  // Where the part's data goes.
  virtual TStream& bytes() = 0;
  // Gives the complete bytes their target's name under the overwrite policy
  // and returns that path; empty text when the policy stored nothing (the
  // name was taken under owNever). May raise: the file then stays staged.
  virtual ustring commit() = 0;
};

class TFileStorage {
 public:
  enum class TKind : uint8_t {
    None,     // no bytes kept: a discarded part
    Memory,   // a chunked in-memory stream
    Staging,  // on disk under its staging name, its part still arriving
    Staged,   // on disk under its staging name, complete, waiting to be settled
    OnDisk,   // settled under its target's name: no longer the object's to delete
  };

  TFileStorage() = default;
  // Releases: a file still staged is closed and deleted.
  ~TFileStorage() = default;
  TFileStorage(TFileStorage&& other) noexcept;
  TFileStorage& operator=(TFileStorage&& other) noexcept;

  TKind kind() const { return kind_; }
  // The bytes of a file in memory; null for any other kind.
  const TChunkedMemoryStream* memory() const;
  // Where a part's data goes: the memory stream, or the staged file while
  // its part arrives; null otherwise.
  TStream* writer() const;

  // Each releases what was there before.
  void keepInMemory();
  void stage(std::unique_ptr<IStagedFile> file);
  void discard();
  // The part's delimiter arrived: a staging file is complete.
  void complete();
  // A complete staged file takes its target's name; returns the path it
  // took (empty when the policy stored nothing). Raises as commit does.
  ustring settle();

 private:
  TKind kind_ = TKind::None;
  std::unique_ptr<TChunkedMemoryStream> memory_;
  std::unique_ptr<IStagedFile> staged_;
};

// One uploaded file.
struct TFileRecord {
  ustring Name;         // client's name without its directory part
  ustring LocalName;    // the filename parameter exactly as sent
  ustring Extension;    // of Name, without the dot
  ustring ContentType;  // as sent
  ustring NameOnly;     // Name without dot and extension
  ustring NewName;      // name stored under (direct save, FileSave owRename); empty for a
                        // direct-save file until it is settled under that name
  TFileStorage Storage;
};

}  // namespace velmora
