// The overwrite policy: which name a saved file takes when its target
// exists. FileSave and direct saving both follow it.
#pragma once

#include <functional>

#include "base/ustring.h"
#include "process/process.h"

namespace velmora {

class TStagedFile;

// The first target the overwrite policy allows, from base + extension:
// under owAlways that name; under owNever that name when take(name) accepts
// it, else empty text; under owRename the first of base + extension, then
// base + overwriteChr + 1, 2, ... + extension that take accepts. take either
// tests a name (a guess) or takes it for good (TStagedFile::commitIfFree).
ustring UniqueTarget(const ustring& base, const ustring& extension, TowModeType mode,
                     const ustring& overwriteChr, const std::function<bool(const ustring&)>& take);

// Gives staged its target under the policy and returns it (empty text when
// owNever found the name taken). A name counts as free at the moment the
// file takes it, so concurrent saves of one name never overwrite each other.
ustring CommitUniqueTarget(TStagedFile& staged, const ustring& base, const ustring& extension,
                           TowModeType mode, const ustring& overwriteChr);

}  // namespace velmora
