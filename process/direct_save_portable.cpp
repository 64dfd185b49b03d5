// Without the Windows file layer there is nowhere to save directly: a
// direct-mode Read fails at its first file part, as with an unusable target.
#include "process/direct_save.h"

#include "process/upload_error.h"

namespace velmora {

namespace {

class TNoDirectSave final : public IFileDestinations {
 public:
  void openFile(TFileRecord&) override {
    throw EUploadError(u"Direct saving needs the Windows file system.");
  }
};

}  // namespace

std::unique_ptr<IFileDestinations> MakeDirectSave(TDirectSaveOptions) {
  return std::make_unique<TNoDirectSave>();
}

}  // namespace velmora
