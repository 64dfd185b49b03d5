#include <windows.h>

#include "base/wide.h"
#include "io/fileutils.h"
#include "io/paths.h"
#include "io/staged_file.h"

namespace velmora {

namespace {

// A name no client sends and no device has; the process id and a counter make
// it unique among our own, CREATE_NEW against everyone else's.
ustring stagingName(const ustring& folder, unsigned attempt) {
  static volatile LONG counter = 0;
  wchar_t name[64];
  wsprintfW(name, L"~velmora-%lx-%lx-%x.tmp", GetCurrentProcessId(),
            static_cast<unsigned long>(InterlockedIncrement(&counter)), attempt);
  return folder + fromWide(name);
}

bool isDirectory(const ustring& path) {
  DWORD attributes = GetFileAttributesW(wstr(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

TStagedFile::TStagedFile(const ustring& target) {
  // Any separator Windows accepts: the staging file must land in the target's folder.
  const ustring folder = FolderOf(target, kClientSeparators);
  // Names collide only by chance (or by a hostile file laid in the way):
  // after a few tries the folder is not fit for staging.
  constexpr unsigned kAttempts = 16;
  for (unsigned attempt = 0;; ++attempt) {
    staging_ = stagingName(folder, attempt);
    try {
      file_ = std::make_unique<TFileStream>(staging_, TFileStream::Mode::CreateNew);
      return;
    } catch (const EFCreateError& e) {
      const uint32_t error = e.systemCode();
      if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) && attempt < kAttempts) continue;
      throw EFCreateError(ExpandFileName(target), SysErrorMessage(error), error);
    }
  }
}

TStagedFile::~TStagedFile() {
  file_.reset();
  if (!committed_) DeleteFileW(wstr(staging_));
}

void TStagedFile::commitReplacing(const ustring& target) { commit(target, true); }

bool TStagedFile::commitIfFree(const ustring& target) { return commit(target, false); }

bool TStagedFile::commit(const ustring& target, bool replace) {
  file_.reset();  // a file open without sharing cannot be renamed
  if (MoveFileExW(wstr(staging_), wstr(target), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
    committed_ = true;
    return true;
  }
  DWORD error = GetLastError();
  // A directory of that name is no free name, but no taken file either: it
  // refuses as creating a file there would.
  if (isDirectory(target))
    error = ERROR_ACCESS_DENIED;
  else if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) return false;
  throw EFCreateError(ExpandFileName(target), SysErrorMessage(error), error);
}

}  // namespace velmora
