#include "process/overwrite_policy.h"

namespace velmora {

// Each text with its length before it, so that no two triples make one key.
ustring TRenameCounters::key(const ustring& base, const ustring& mark, const ustring& extension) {
  return toDecimal(static_cast<int64_t>(base.size())) + u':' + base +
         toDecimal(static_cast<int64_t>(mark.size())) + u':' + mark + extension;
}

int64_t TRenameCounters::next(const ustring& base, const ustring& mark,
                              const ustring& extension) const {
  const auto it = last_.find(key(base, mark, extension));
  return it == last_.end() ? 1 : it->second + 1;
}

void TRenameCounters::took(const ustring& base, const ustring& mark, const ustring& extension,
                           int64_t counter) {
  if (counter > 0) last_[key(base, mark, extension)] = counter;
}

namespace {

struct TUniqueTarget {
  ustring path;         // empty: owNever found the name taken
  int64_t counter = 0;  // owRename's counter in path; 0 for the plain name
};

TUniqueTarget UniqueTarget(const ustring& base, const ustring& extension, TowModeType mode,
                           const ustring& overwriteChr, int64_t firstCounter,
                           const std::function<bool(const ustring&)>& take) {
  ustring target = base + extension;
  switch (mode) {
    case owAlways: return {target};
    case owNever: return {take(target) ? target : ustring()};
    case owRename: break;
  }
  if (take(target)) return {target};
  for (int64_t n = firstCounter;; ++n) {
    target = base + overwriteChr + toDecimal(n) + extension;
    if (take(target)) return {target, n};
  }
}

}  // namespace

ustring TakeTarget(const ustring& base, const ustring& extension, TowModeType mode,
                   const ustring& overwriteChr, TRenameCounters& renames,
                   const std::function<bool(const ustring&)>& take) {
  const TUniqueTarget target = UniqueTarget(base, extension, mode, overwriteChr,
                                            renames.next(base, overwriteChr, extension), take);
  renames.took(base, overwriteChr, extension, target.counter);
  return target.path;
}

ustring GuessTarget(const ustring& base, const ustring& extension, TowModeType mode,
                    const ustring& overwriteChr, const TRenameCounters& renames,
                    const std::function<bool(const ustring&)>& isFree) {
  return UniqueTarget(base, extension, mode, overwriteChr,
                      renames.next(base, overwriteChr, extension), isFree)
      .path;
}

}  // namespace velmora
