// Direct saving on Windows. A part is written beside its target under a
// staging name and takes the target's name only when its record is settled,
// so a part cut off or failing (disk full), or a read that stops before its
// body ends, never replaces or truncates a file there.
#include <windows.h>

#include "process/direct_save.h"

#include "io/fileutils.h"
#include "io/paths.h"
#include "io/staged_file.h"
#include "process/overwrite_policy.h"
#include "process/upload_error.h"

namespace velmora {

namespace {

// "Error creating file: " and the path, then the system's reason.
ustring CreationFailure(const ustring& path, const EStreamError& e) {
  const ustring reason = e.systemCode() ? SysErrorMessage(e.systemCode()) : ustring();
  return u"Error creating file: " + path + (reason.empty() ? ustring() : u". " + reason);
}

// One part's file: staged beside its target (base + extension), committed
// under the policy.
class TDirectFile final : public IStagedFile {
 public:
  TDirectFile(ustring base, ustring extension, const TDirectSaveOptions& o)
      : staged_(base + extension),
        base_(std::move(base)),
        extension_(std::move(extension)),
        mode_(o.Mode),
        overwriteChr_(o.OverwriteChr),
        renames_(*o.renames) {}

  TStream& bytes() override { return staged_; }

  ustring commit() override {
    try {
      return CommitUniqueTarget(staged_, base_, extension_, mode_, overwriteChr_, renames_);
    } catch (const EStreamError& e) {
      throw EUploadError(CreationFailure(base_ + extension_, e));
    }
  }

 private:
  TStagedFile staged_;
  const ustring base_, extension_;
  const TowModeType mode_;
  const ustring overwriteChr_;
  TRenameCounters& renames_;
};

class TDirectSave final : public IFileDestinations {
 public:
  explicit TDirectSave(TDirectSaveOptions options) : o_(std::move(options)) {}

  void openFile(TFileRecord& record) override {
    // The client's name is the reduced one (record.Name), so a hostile name
    // can neither leave the folder nor reach a device.
    const ustring name = o_.UseExistingName ? record.Name : o_.Name;
    const ustring target = o_.Path + name;
    // owNever and the target exists: the part's data is discarded.
    if (o_.Mode == owNever && IsExistingFile(target)) return;

    // owRename numbers the name before its extension; a dot before any of
    // "\", "/" or ":" is not one.
    const size_t dot = ExtensionStart(name, kClientSeparators);
    const ustring base = o_.Path + name.substr(0, dot), extension = name.substr(dot);
    std::unique_ptr<TDirectFile> file;
    try {
      file = std::make_unique<TDirectFile>(base, extension, o_);
    } catch (const EStreamError& e) {
      throw EUploadError(CreationFailure(target, e));
    }
    // NewName stays empty until the file is settled under its name: a read
    // that stops before names nothing, so no page deletes another's file.
    record.Storage.stage(std::move(file));
  }

 private:
  const TDirectSaveOptions o_;
};

}  // namespace

std::unique_ptr<IFileDestinations> MakeDirectSave(TDirectSaveOptions options) {
  return std::make_unique<TDirectSave>(std::move(options));
}

}  // namespace velmora
