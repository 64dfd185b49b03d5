// Direct saving: file parts go to disk while Read runs, each into its own
// file named when its headers end, under the overwrite policy of FileSave.
#include <windows.h>

#include "process/multipart_parser.h"
#include "process/process_state.h"
#include "textutils/errors.h"
#include "textutils/filestream.h"
#include "textutils/fileutils.h"

namespace velmora {

namespace {

// The text after the last "\" or ":".
ustring AfterLastSeparator(const ustring& path) {
  size_t sep = path.find_last_of(u"\\:");
  return sep == ustring::npos ? path : path.substr(sep + 1);
}

}  // namespace

class TProcess::State::DirectSave final : public IFileDestinations {
 public:
  explicit DirectSave(State& state) : s_(state) {}

  void OpenFile(TFileRecord& record) override {
    ustring target = MakeDirectSaveName(record.LocalName);
    if (target.empty()) return;  // owNever and the target exists: discard
    try {
      record.FileStream = std::make_unique<TFileStream>(target, TFileStream::Mode::Create);
    } catch (const EStreamError&) {
      throw EUploadError(u"Error creating file: " + target);
    }
    s_.FileSaving = true;
    s_.FileSavePath = target;
    record.NewName = AfterLastSeparator(target);
  }

  void CloseFile(TFileRecord& record) override { record.FileStream.reset(); }

 private:
  // The target path, or empty text when the part is not to be written. The
  // client's name is taken without any directory part ("/" included), so a
  // hostile name cannot leave SaveDirectPath.
  ustring MakeDirectSaveName(const ustring& sent) const {
    ustring name = s_.SaveDirectUseExistingName ? ClientFileName(sent) : s_.SaveDirectName;
    ustring candidate = s_.SaveDirectPath + name;
    switch (s_.owMode) {
      case owAlways:
        return candidate;
      case owNever:
        return IsExistingFile(candidate) ? ustring() : candidate;
      case owRename:
        break;
    }
    if (!IsExistingFile(candidate)) return candidate;

    size_t dot = name.rfind(u'.');
    if (dot == 0 || dot == ustring::npos || name.find_first_of(u"\\/:", dot) != ustring::npos)
      dot = name.size();
    ustring base = s_.SaveDirectPath + name.substr(0, dot) + s_.OverwriteChr;
    ustring extension = name.substr(dot);
    for (int64_t k = 1;; ++k) {
      candidate = base + toDecimal(k) + extension;
      if (!IsExistingFile(candidate)) return candidate;
    }
  }

  State& s_;
};

std::unique_ptr<IFileDestinations> TProcess::State::MakeDirectSave() {
  return std::make_unique<DirectSave>(*this);
}

void TProcess::State::DeleteUnfinishedDirectSave() noexcept { DeleteFileW(wstr(FileSavePath)); }

}  // namespace velmora
