// Cost of one file name many times under owRename, natively: the naming rule
// against a folder held in memory, so that only the rule's own work counts.
// Prints the cost per file at 250 and 2000 files of one name and their ratio,
// and the same for the rule without its counters (every save searching from
// 1, as the rule first stood), whose ratio near 8 shows the quadratic cost.
#include <chrono>
#include <cstdio>
#include <unordered_set>

#include "process/overwrite_policy.h"

using namespace velmora;

namespace {

// Seconds to save count files named a.txt into an empty folder; without
// counters, each save starts from 1.
double SaveOneName(int count, bool counters) {
  std::unordered_set<ustring> folder;
  TRenameCounters renames;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    TRenameCounters none;
    TakeTarget(u"C:\\up\\a", u".txt", owRename, u"~", counters ? renames : none,
               [&](const ustring& name) { return folder.insert(name).second; });
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  if (folder.size() != static_cast<size_t>(count)) std::printf("error: %zu names\n", folder.size());
  return took.count();
}

}  // namespace

int main() {
  constexpr int kSmall = 250, kLarge = 2000;
  for (bool counters : {false, true}) {
    const char* rule = counters ? "owRename" : "owRename without counters";
    const int rounds = counters ? 20 : 2;
    double small = 0, large = 0;
    // Rounds take turns, each storing as many files at either count.
    for (int round = 0; round < rounds; ++round) {
      for (int run = 0; run < kLarge / kSmall; ++run) small += SaveOneName(kSmall, counters);
      large += SaveOneName(kLarge, counters);
    }
    const double perSmall = small / (rounds * kLarge), perLarge = large / (rounds * kLarge);
    std::printf("%s, %d files of one name: %.3f us/file\n", rule, kSmall, 1e6 * perSmall);
    std::printf("%s, %d files of one name: %.3f us/file\n", rule, kLarge, 1e6 * perLarge);
    std::printf("%s: per-file cost %d/%d files = %.2f\n", rule, kLarge, kSmall,
                perLarge / perSmall);
  }
}
