// The overwrite policy: which name a saved file takes when its target
// exists. FileSave and direct saving both follow it.
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>

#include "base/ustring.h"
#include "process/process.h"

namespace velmora {

class TStagedFile;

// The counters owRename has given names with, for one upload object: per
// base, mark and extension, the last one taken. The next save of that name
// goes on after it instead of testing again every name taken before, so a
// thousand files of one name cost a thousand tests, not half a million.
class TRenameCounters {
 public:
  // The first counter worth trying for base + mark + n + extension.
  int64_t next(const ustring& base, const ustring& mark, const ustring& extension) const;
  void took(const ustring& base, const ustring& mark, const ustring& extension, int64_t counter);

 private:
  static ustring key(const ustring& base, const ustring& mark, const ustring& extension);
  std::unordered_map<ustring, int64_t> last_;
};

struct TUniqueTarget {
  ustring path;         // empty: owNever found the name taken
  int64_t counter = 0;  // owRename's counter in path; 0 for the plain name
};

// The first target the overwrite policy allows, from base + extension:
// under owAlways that name; under owNever that name when take(name) accepts
// it, else empty text; under owRename base + extension when take accepts
// it, else the first base + overwriteChr + n + extension that take accepts,
// for n = firstCounter, firstCounter + 1, ... take either tests a name (a
// guess) or takes it for good (TStagedFile::commitIfFree).
TUniqueTarget UniqueTarget(const ustring& base, const ustring& extension, TowModeType mode,
                           const ustring& overwriteChr, int64_t firstCounter,
                           const std::function<bool(const ustring&)>& take);

// Gives staged its target under the policy and returns it (empty text when
// owNever found the name taken); renames remembers the counter it took. A
// name counts as free at the moment the file takes it, so concurrent saves
// of one name never overwrite each other.
ustring CommitUniqueTarget(TStagedFile& staged, const ustring& base, const ustring& extension,
                           TowModeType mode, const ustring& overwriteChr, TRenameCounters& renames);

}  // namespace velmora
