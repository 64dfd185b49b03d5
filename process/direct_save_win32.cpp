// Direct saving: file parts go to disk while Read runs, each into its own
// file, under the overwrite policy of FileSave. A part is written beside its
// target and takes the target's name when its delimiter arrives, so a part
// cut off or failing (disk full) never replaces or truncates a file there.
#include <windows.h>

#include "process/multipart_parser.h"
#include "process/process_state.h"
#include "textutils/errors.h"
#include "textutils/fileutils.h"
#include "textutils/paths.h"
#include "textutils/staged_file.h"

namespace velmora {

class TProcess::State::DirectSave final : public IFileDestinations {
 public:
  explicit DirectSave(State& state) : s_(state) {}

  void OpenFile(TFileRecord& record) override {
    // The client's name is the reduced one (record.Name), so a hostile name
    // can neither leave SaveDirectPath nor reach a device.
    const ustring name = s_.SaveDirectUseExistingName ? record.Name : s_.SaveDirectName;
    target_ = s_.SaveDirectPath + name;
    // owNever and the target exists: the part's data is discarded.
    if (s_.owMode == owNever && IsExistingFile(target_)) return;

    std::unique_ptr<TStagedFile> staged;
    try {
      staged = std::make_unique<TStagedFile>(target_);
    } catch (const EStreamError&) {
      throw EUploadError(u"Error creating file: " + target_);
    }
    staged_ = staged.get();
    s_.FileSaving = true;
    s_.FileSavePath = staged->stagingPath();
    record.FileStream = std::move(staged);
    // owRename numbers the name before its extension; a dot before any of
    // "\", "/" or ":" is not one.
    const size_t extension = ExtensionStart(name, kClientSeparators);
    base_ = s_.SaveDirectPath + name.substr(0, extension);
    extension_ = name.substr(extension);
    // The name the part will most likely get; the commit has the last word.
    record.NewName = AfterLastSeparator(
        UniqueTarget(base_, extension_, s_.owMode, s_.OverwriteChr,
                     [](const ustring& candidate) { return !IsExistingFile(candidate); }),
        kScriptSeparators);
  }

  void CloseFile(TFileRecord& record) override {
    if (!record.FileStream) return;  // a discarded part
    ustring target;
    try {
      target = CommitUniqueTarget(*staged_, base_, extension_, s_.owMode, s_.OverwriteChr);
    } catch (const EStreamError&) {
      throw EUploadError(u"Error creating file: " + target_);
    }
    record.FileStream.reset();  // deletes the staging file when nothing took it
    staged_ = nullptr;
    // owNever: another request took the name meanwhile; nothing is stored.
    record.NewName = AfterLastSeparator(target, kScriptSeparators);
    if (!target.empty()) s_.FileSavePath = target;
  }

 private:
  State& s_;
  TStagedFile* staged_ = nullptr;  // the open part's file, owned by its record
  ustring target_, base_, extension_;
};

std::unique_ptr<IFileDestinations> TProcess::State::MakeDirectSave() {
  return std::make_unique<DirectSave>(*this);
}

void TProcess::State::DeleteUnfinishedDirectSave() noexcept { DeleteFileW(wstr(FileSavePath)); }

}  // namespace velmora
