// Direct saving on Windows. A part is written beside its target and takes
// the target's name when its delimiter arrives, so a part cut off or failing
// (disk full) never replaces or truncates a file there.
#include <windows.h>

#include "process/direct_save.h"
#include "base/errors.h"
#include "io/fileutils.h"
#include "io/paths.h"
#include "io/staged_file.h"
#include "process/overwrite_policy.h"

namespace velmora {

namespace {

class TDirectSave final : public IFileDestinations {
 public:
  explicit TDirectSave(TDirectSaveOptions options) : o_(std::move(options)) {}

  void OpenFile(TFileRecord& record) override {
    // The client's name is the reduced one (record.Name), so a hostile name
    // can neither leave the folder nor reach a device.
    const ustring name = o_.UseExistingName ? record.Name : o_.Name;
    target_ = o_.Path + name;
    // owNever and the target exists: the part's data is discarded.
    if (o_.Mode == owNever && IsExistingFile(target_)) return;

    std::unique_ptr<TStagedFile> staged;
    try {
      staged = std::make_unique<TStagedFile>(target_);
    } catch (const EStreamError&) {
      throw EUploadError(u"Error creating file: " + target_);
    }
    staged_ = staged.get();
    const ustring stagingPath = staged->stagingPath();
    record.Storage.beginWriting(std::move(staged), stagingPath);
    // owRename numbers the name before its extension; a dot before any of
    // "\", "/" or ":" is not one.
    const size_t extension = ExtensionStart(name, kClientSeparators);
    base_ = o_.Path + name.substr(0, extension);
    extension_ = name.substr(extension);
    // The name the part will most likely get; the commit has the last word.
    record.NewName = AfterLastSeparator(
        UniqueTarget(base_, extension_, o_.Mode, o_.OverwriteChr,
                     [](const ustring& candidate) { return !IsExistingFile(candidate); }),
        kScriptSeparators);
  }

  void CloseFile(TFileRecord& record) override {
    if (!staged_) return;  // a discarded part
    ustring target;
    try {
      target = CommitUniqueTarget(*staged_, base_, extension_, o_.Mode, o_.OverwriteChr);
    } catch (const EStreamError&) {
      throw EUploadError(u"Error creating file: " + target_);
    }
    staged_ = nullptr;
    // owNever: another request took the name meanwhile; nothing is stored
    // (closing the staging file deletes it).
    record.NewName = AfterLastSeparator(target, kScriptSeparators);
    if (target.empty())
      record.Storage.discard();
    else
      record.Storage.stored(target);
  }

 private:
  const TDirectSaveOptions o_;
  TStagedFile* staged_ = nullptr;  // the open part's file, owned by its record's storage
  ustring target_, base_, extension_;
};

}  // namespace

std::unique_ptr<IFileDestinations> MakeDirectSave(TDirectSaveOptions options) {
  return std::make_unique<TDirectSave>(std::move(options));
}

void DeleteUnfinishedFile(const ustring& path) noexcept { DeleteFileW(wstr(path)); }

}  // namespace velmora
