#include <windows.h>
// After windows.h: RtlGenRandom, the system's cryptographic random bytes.
#include <ntsecapi.h>

#include <mutex>
#include <unordered_map>

#include "base/wide.h"
#include "io/fileutils.h"
#include "io/paths.h"
#include "io/staged_file.h"

namespace velmora {

namespace {

constexpr size_t kRandomDigits = 32;
constexpr char16_t kStagingExtension[] = u".tmp";

// A staging file nobody wrote for this long, and that no process holds open,
// was left by a writer that died.
constexpr ULONGLONG kAbandonedAfterMs = 10 * 60 * 1000;

bool isHexDigit(char16_t c) {
  return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// Exactly the shape of our staging names, in any case.
bool isStagingName(ustring_view name) {
  const size_t prefix = std::char_traits<char16_t>::length(kStagingPrefix);
  const size_t extension = std::char_traits<char16_t>::length(kStagingExtension);
  if (name.size() != prefix + kRandomDigits + extension) return false;
  if (!sameTextAsciiFolded(name.substr(0, prefix), kStagingPrefix) ||
      !sameTextAsciiFolded(name.substr(prefix + kRandomDigits), kStagingExtension))
    return false;
  for (char16_t c : name.substr(prefix, kRandomDigits))
    if (!isHexDigit(c)) return false;
  return true;
}

// A name in folder that nobody can guess or plant beforehand: 128 bits from
// the system's cryptographic generator.
bool stagingName(const ustring& folder, ustring& name) {
  unsigned char random[kRandomDigits / 2];
  if (!RtlGenRandom(random, sizeof random)) return false;
  static const char16_t kDigits[] = u"0123456789abcdef";
  name = folder + kStagingPrefix;
  for (unsigned char byte : random) {
    name += kDigits[byte >> 4];
    name += kDigits[byte & 15];
  }
  name += kStagingExtension;
  return true;
}

// True once per folder for the process in every kAbandonedAfterMs: sweeping
// lists the folder, which must not cost every save.
bool sweepDue(const ustring& folder) {
  static std::mutex lock;
  static std::unordered_map<ustring, ULONGLONG> lastSweep;
  constexpr size_t kMaxFolders = 1024;
  const ustring key = asciiUpper(ExpandFileName(folder.empty() ? u"." : folder));
  const ULONGLONG now = GetTickCount64();
  std::lock_guard<std::mutex> guard(lock);
  if (lastSweep.size() >= kMaxFolders && !lastSweep.count(key)) lastSweep.clear();
  const auto [it, first] = lastSweep.try_emplace(key, now);
  if (!first && now - it->second < kAbandonedAfterMs) return false;
  it->second = now;
  return true;
}

ULONGLONG asMilliseconds(const FILETIME& t) {
  return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000;
}

// Best effort: a file that cannot be deleted stays. A live writer holds its
// staging file open without sharing, so deleting it fails; the age guards
// the moment a writer closes its file to give it its name.
void removeAbandonedStagingFiles(const ustring& folder) {
  if (!sweepDue(folder)) return;
  WIN32_FIND_DATAW found;
  const ustring pattern = folder + kStagingPrefix + u"*" + kStagingExtension;
  HANDLE search = FindFirstFileExW(wstr(pattern), FindExInfoBasic, &found, FindExSearchNameMatch,
                                   nullptr, 0);
  if (search == INVALID_HANDLE_VALUE) return;
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  do {
    const ustring name = fromWide(found.cFileName);
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !isStagingName(name) ||
        asMilliseconds(now) - asMilliseconds(found.ftLastWriteTime) < kAbandonedAfterMs)
      continue;
    const ustring path = folder + name;
    // A copy of a read-only file is read-only too.
    if (!DeleteFileW(wstr(path)) && (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) &&
        GetLastError() == ERROR_ACCESS_DENIED &&
        SetFileAttributesW(wstr(path), found.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY))
      DeleteFileW(wstr(path));
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

DWORD attributesOf(const ustring& path) { return GetFileAttributesW(wstr(path)); }

bool isDirectory(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool isReadOnly(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

// Deletes a staging file, read-only or not; never throws.
void deleteStaging(const ustring& path) {
  if (DeleteFileW(wstr(path))) return;
  const DWORD attributes = attributesOf(path);
  if (isReadOnly(attributes) &&
      SetFileAttributesW(wstr(path), attributes & ~FILE_ATTRIBUTE_READONLY))
    DeleteFileW(wstr(path));
}

}  // namespace

TStagedFile::TStagedFile(const ustring& target) {
  // Any separator Windows accepts: the staging file must land in the target's folder.
  const ustring folder = FolderOf(target, kClientSeparators);
  removeAbandonedStagingFiles(folder);
  // Random names collide only by a chance too small to count; a few tries
  // cover it.
  constexpr unsigned kAttempts = 4;
  for (unsigned attempt = 0;; ++attempt) {
    if (!stagingName(folder, staging_)) {
      const DWORD error = GetLastError();
      throw EFCreateError(ExpandFileName(target), SysErrorMessage(error), error);
    }
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
  if (!committed_) deleteStaging(staging_);
}

void TStagedFile::commitReplacing(const ustring& target) { commit(target, true); }

bool TStagedFile::commitIfFree(const ustring& target) { return commit(target, false); }

bool TStagedFile::commit(const ustring& target, bool replace) {
  file_.reset();  // a file open without sharing cannot be renamed
  // While another save replaces the same name, or a reader holds it for a
  // moment, Windows refuses with access denied or a sharing violation: that
  // refusal is waited out, 1 ms doubling to 2 s in all. A read-only file
  // and a directory are refusals that last.
  constexpr DWORD kLongestWaitMs = 2048;
  DWORD error = 0;
  for (DWORD waitMs = 1;; waitMs *= 2) {
    const DWORD attributes = attributesOf(target);
    // A directory of that name is no free name, but no taken file either: it
    // refuses as creating a file there would. A read-only file refuses to be
    // replaced, as on Windows (Wine would replace it).
    if (isDirectory(attributes) || (replace && isReadOnly(attributes))) {
      error = ERROR_ACCESS_DENIED;
      break;
    }
    if (MoveFileExW(wstr(staging_), wstr(target), replace ? MOVEFILE_REPLACE_EXISTING : 0)) {
      committed_ = true;
      return true;
    }
    error = GetLastError();
    if (!replace && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) return false;
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        waitMs > kLongestWaitMs / 2)
      break;
    Sleep(waitMs);
  }
  throw EFCreateError(ExpandFileName(target), SysErrorMessage(error), error);
}

}  // namespace velmora
