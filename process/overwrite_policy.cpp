#include "process/overwrite_policy.h"

namespace velmora {

TRenameCounters& TRenameCounters::Shared() {
  static TRenameCounters shared;
  return shared;
}

// Each text with its length before it, so that no two triples make one key.
ustring TRenameCounters::key(const ustring& base, const ustring& mark, const ustring& extension) {
  return toDecimal(static_cast<int64_t>(base.size())) + u':' + base +
         toDecimal(static_cast<int64_t>(mark.size())) + u':' + mark + extension;
}

int64_t TRenameCounters::last(const ustring& base, const ustring& mark,
                              const ustring& extension) const {
  const ustring k = key(base, mark, extension);
  std::lock_guard<std::mutex> guard(lock_);
  const auto it = last_.find(k);
  return it == last_.end() ? 0 : it->second;
}

void TRenameCounters::took(const ustring& base, const ustring& mark, const ustring& extension,
                           int64_t counter) {
  if (counter <= 0) return;
  ustring k = key(base, mark, extension);
  std::lock_guard<std::mutex> guard(lock_);
  if (last_.size() >= kMaxNames && !last_.count(k)) last_.clear();
  last_[std::move(k)] = counter;
}

namespace {

// Counters tried one by one before the search starts leaping: a folder
// with a few numbered copies gets its first hole filled.
constexpr int64_t kCountersOneByOne = 16;

// A free counter above taken: the end of the run of taken counters after
// it, found by doubling the step and then halving the gap (free(n) for the
// returned n, not for n - 1).
int64_t LeapToFree(int64_t taken, const std::function<bool(int64_t)>& free) {
  int64_t step = 1, candidate = taken + step;
  while (!free(candidate)) {
    taken = candidate;
    step *= 2;
    candidate = taken + step;
  }
  while (candidate - taken > 1) {
    const int64_t middle = taken + (candidate - taken) / 2;
    (free(middle) ? candidate : taken) = middle;
  }
  return candidate;
}

}  // namespace

ustring TakeTarget(const ustring& base, const ustring& extension, TowModeType mode,
                   const ustring& overwriteChr, TRenameCounters& renames,
                   const std::function<bool(const ustring&)>& isFree,
                   const std::function<bool(const ustring&)>& take) {
  const ustring plain = base + extension;
  switch (mode) {
    case owAlways: return plain;
    case owNever: return take(plain) ? plain : ustring();
    case owRename: break;
  }
  if (take(plain)) return plain;

  const auto numbered = [&](int64_t n) { return base + overwriteChr + toDecimal(n) + extension; };
  const auto took = [&](int64_t n) {
    renames.took(base, overwriteChr, extension, n);
    return numbered(n);
  };
  // The last counter taken is a hint while its file is there; once it is
  // gone (a folder emptied), the search starts again from 1.
  const int64_t last = renames.last(base, overwriteChr, extension);
  const int64_t start = last > 0 && !isFree(numbered(last)) ? last + 1 : 1;
  int64_t n = start;
  for (; n < start + kCountersOneByOne; ++n)
    if (take(numbered(n))) return took(n);
  // n - 1 is taken; a name found free may be taken by another save before
  // this one takes it, and the search goes on after it.
  for (;;) {
    n = LeapToFree(n - 1, [&](int64_t counter) { return isFree(numbered(counter)); });
    if (take(numbered(n))) return took(n);
    ++n;
  }
}

}  // namespace velmora
