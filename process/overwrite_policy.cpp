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

TUniqueTarget UniqueTarget(const ustring& base, const ustring& extension, TowModeType mode,
                           const ustring& overwriteChr, int64_t firstCounter,
                           const std::function<bool(const ustring&)>& take) {
  ustring target = base + extension;
  switch (mode) {
    case owAlways:
      return {target};
    case owNever:
      return {take(target) ? target : ustring()};
    case owRename:
      break;
  }
  if (take(target)) return {target};
  for (int64_t n = firstCounter;; ++n) {
    target = base + overwriteChr + toDecimal(n) + extension;
    if (take(target)) return {target, n};
  }
}

}  // namespace velmora
