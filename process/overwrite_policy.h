// The overwrite policy: which name a saved file takes when its target
// exists. FileSave and direct saving both follow it.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>

#include "base/ustring.h"
#include "process/overwrite_mode.h"

namespace velmora {

class TStagedFile;

// The counters owRename has given names with: per base, mark and
// extension, the last one taken. A save of that name starts after it
// instead of searching again from 1, as long as that file is still there.
// Shared by every upload object of a process (Shared()); safe to use from
// several threads.
class TRenameCounters {
 public:
  static TRenameCounters& Shared();

  // The last counter taken for base + mark + n + extension; 0 for none.
  int64_t last(const ustring& base, const ustring& mark, const ustring& extension) const;
  void took(const ustring& base, const ustring& mark, const ustring& extension, int64_t counter);

 private:
  // Hints only: past this many names they are forgotten all at once.
  static constexpr size_t kMaxNames = 4096;
  static ustring key(const ustring& base, const ustring& mark, const ustring& extension);
  mutable std::mutex lock_;
  std::unordered_map<ustring, int64_t> last_;
};

// The first target the overwrite policy allows, from base + extension:
// under owAlways that name; under owNever that name when take(name) accepts
// it, else base + overwriteChr + n + extension with the first n take
// accepts among the 16 counters after the last one taken (from 1), or past
// them a free n found in O(log N) tests: one whose predecessor is taken, so
// a hole among many numbered copies may stay a hole. isFree only tests a
// name; take takes it for good (TStagedFile::commitIfFree) and may refuse a
// name another save took meanwhile, which the search then passes.
ustring TakeTarget(const ustring& base, const ustring& extension, TowModeType mode,
                   const ustring& overwriteChr, TRenameCounters& renames,
                   const std::function<bool(const ustring&)>& isFree,
                   const std::function<bool(const ustring&)>& take);

// Gives staged its target under the policy (TakeTarget) and returns it. A
// name counts as free at the moment the file takes it, so concurrent saves
// of one name never overwrite each other.
ustring CommitUniqueTarget(TStagedFile& staged, const ustring& base, const ustring& extension,
                           TowModeType mode, const ustring& overwriteChr, TRenameCounters& renames);

}  // namespace velmora
