// The overwrite policy: which name a saved file takes when its target
// exists. FileSave and direct saving both follow it.
#pragma once

#include <cstdint>
#include <functional>
#include <unordered_map>

#include "base/ustring.h"
#include "process/overwrite_mode.h"

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

// The first target the overwrite policy allows, from base + extension:
// under owAlways that name; under owNever that name when take(name) accepts
// it, else empty text; under owRename base + extension when take accepts
// it, else the first base + overwriteChr + n + extension that take accepts,
// n counting on from the last counter renames took for that name (from 1).
// TakeTarget's take takes a name for good (TStagedFile::commitIfFree), and
// renames remembers the counter taken; GuessTarget's only tests a name (the
// name a file will most likely get) and remembers nothing.
ustring TakeTarget(const ustring& base, const ustring& extension, TowModeType mode,
                   const ustring& overwriteChr, TRenameCounters& renames,
                   const std::function<bool(const ustring&)>& take);
ustring GuessTarget(const ustring& base, const ustring& extension, TowModeType mode,
                    const ustring& overwriteChr, const TRenameCounters& renames,
                    const std::function<bool(const ustring&)>& isFree);

// Gives staged its target under the policy (TakeTarget) and returns it. A
// name counts as free at the moment the file takes it, so concurrent saves
// of one name never overwrite each other.
ustring CommitUniqueTarget(TStagedFile& staged, const ustring& base, const ustring& extension,
                           TowModeType mode, const ustring& overwriteChr, TRenameCounters& renames);

}  // namespace velmora
