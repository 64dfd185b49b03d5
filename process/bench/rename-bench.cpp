// Cost of owRename natively: the naming rule against a folder held in
// memory, so that only the rule's own work counts.
//  1. One name many times in one process: the cost per file at 250 and 2000
//     files of one name and their ratio (near 1: no cost grows with the files
//     saved before).
//  2. A save into a folder that already holds N numbered copies of its name,
//     at N = 20 and N = 20,000, and the ratio of the two: by a process that
//     saved the name before (the counter it took last is its hint), by one
//     that never did (a search from scratch, O(log N)), and by a plain search
//     from 1 on every request, as the rule stood before (O(N)).
#include <chrono>
#include <cstdio>
#include <functional>
#include <unordered_set>

#include "process/overwrite_policy.h"

using namespace velmora;

namespace {

using Folder = std::unordered_set<ustring>;
using Clock = std::chrono::steady_clock;

const ustring kBase = u"C:\\up\\a", kExtension = u".txt";

ustring Numbered(int64_t n) { return kBase + u"~" + toDecimal(n) + kExtension; }

ustring Save(Folder& folder, TRenameCounters& renames) {
  return TakeTarget(
      kBase, kExtension, owRename, u"~", renames,
      [&](const ustring& name) { return !folder.count(name); },
      [&](const ustring& name) { return folder.insert(name).second; });
}

// The rule as it stood: every request searched from 1, one name at a time.
ustring PlainSave(Folder& folder) {
  if (folder.insert(kBase + kExtension).second) return kBase + kExtension;
  for (int64_t n = 1;; ++n)
    if (folder.insert(Numbered(n)).second) return Numbered(n);
}

// Seconds to save count files named a.txt into an empty folder.
double SaveOneName(int count) {
  Folder folder;
  TRenameCounters renames;
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) Save(folder, renames);
  const std::chrono::duration<double> took = Clock::now() - start;
  if (folder.size() != static_cast<size_t>(count)) std::printf("error: %zu names\n", folder.size());
  return took.count();
}

enum class Saver { Hinted, Fresh, Plain };

// Seconds per save into a folder holding a.txt and copies a~1 to a~copies:
// each round a new process (counters), then kSaves saves timed, each by a
// new request; the names the round added go again, untimed.
double SaveAmongCopies(int64_t copies, Saver saver, int rounds) {
  constexpr int kSaves = 20;
  Folder folder{kBase + kExtension};
  for (int64_t n = 1; n <= copies; ++n) folder.insert(Numbered(n));
  double seconds = 0;
  for (int round = 0; round < rounds; ++round) {
    TRenameCounters process;
    if (saver == Saver::Hinted) Save(folder, process);  // this process saved the name before
    const auto start = Clock::now();
    for (int i = 0; i < kSaves; ++i) {
      TRenameCounters fresh;
      switch (saver) {
        case Saver::Hinted: Save(folder, process); break;
        case Saver::Fresh: Save(folder, fresh); break;
        case Saver::Plain: PlainSave(folder); break;
      }
    }
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    const int64_t added = kSaves + (saver == Saver::Hinted);
    if (folder.size() != static_cast<size_t>(copies + 1 + added))
      std::printf("error: %zu names\n", folder.size());
    for (int64_t n = copies + 1; n <= copies + added; ++n) folder.erase(Numbered(n));
  }
  return seconds / (static_cast<double>(rounds) * kSaves);
}

}  // namespace

int main() {
  constexpr int kSmall = 250, kLarge = 2000, kRounds = 20;
  double small = 0, large = 0;
  // Rounds take turns, each storing as many files at either count.
  for (int round = 0; round < kRounds; ++round) {
    for (int run = 0; run < kLarge / kSmall; ++run) small += SaveOneName(kSmall);
    large += SaveOneName(kLarge);
  }
  const double perSmall = small / (kRounds * kLarge), perLarge = large / (kRounds * kLarge);
  std::printf("owRename, %d files of one name: %.3f us/file\n", kSmall, 1e6 * perSmall);
  std::printf("owRename, %d files of one name: %.3f us/file\n", kLarge, 1e6 * perLarge);
  std::printf("owRename: per-file cost %d/%d files = %.2f\n", kLarge, kSmall, perLarge / perSmall);

  constexpr int64_t kFew = 20, kMany = 20000;
  const struct {
    Saver saver;
    const char* what;
    int rounds;
  } savers[] = {
      {Saver::Hinted, "a process that saved the name before", 2000},
      {Saver::Fresh, "a process that never saved it", 500},
      {Saver::Plain, "a plain search from 1 (the rule before)", 2},
  };
  for (const auto& s : savers) {
    double few = 0, many = 0;
    for (int turn = 0; turn < 5; ++turn) {
      few += SaveAmongCopies(kFew, s.saver, s.rounds);
      many += SaveAmongCopies(kMany, s.saver, s.rounds);
    }
    std::printf("owRename among %lld copies, %s: %.3f us/save\n", static_cast<long long>(kFew),
                s.what, 1e6 * few / 5);
    std::printf("owRename among %lld copies, %s: %.3f us/save\n", static_cast<long long>(kMany),
                s.what, 1e6 * many / 5);
    std::printf("owRename, %s: per-save cost %lld/%lld copies = %.2f\n", s.what,
                static_cast<long long>(kMany), static_cast<long long>(kFew), many / few);
  }
}
