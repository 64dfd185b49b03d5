// The overwrite policy's naming rule, with the file system a set of names:
// owRename counts on after the counter it took last, and so gives exactly the
// names of a plain search from 1 while nothing is deleted and copies are few;
// past many copies it leaps, at a cost logarithmic in the copies.
#include "process/overwrite_policy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace velmora {
namespace {

using Names = std::set<ustring>;

// File-system calls made by saves: tests of a name, and names taken.
struct Calls {
  int tests = 0, takes = 0;
};

ustring Take(Names& disk, TRenameCounters& renames, const ustring& base, const ustring& extension,
             TowModeType mode = owRename, Calls* calls = nullptr) {
  return TakeTarget(
      base, extension, mode, u"~", renames,
      [&](const ustring& name) {
        if (calls) ++calls->tests;
        return !disk.count(name);
      },
      [&](const ustring& name) {
        if (calls) ++calls->takes;
        return disk.insert(name).second;
      });
}

// The rule as first written: the plain name, then every counter from 1.
ustring PlainSearch(Names& disk, const ustring& base, const ustring& extension) {
  ustring name = base + extension;
  for (int64_t n = 1; !disk.insert(name).second; ++n) name = base + u"~" + toDecimal(n) + extension;
  return name;
}

TEST(OverwritePolicy, ExamplesOfTheRule) {
  Names disk{u"photo.jpg"};
  TRenameCounters renames;
  EXPECT_EQ(Take(disk, renames, u"photo", u".jpg"), u"photo~1.jpg");
  EXPECT_EQ(Take(disk, renames, u"photo", u".jpg"), u"photo~2.jpg");
  EXPECT_EQ(Take(disk, renames, u"README", u""), u"README");
  EXPECT_EQ(Take(disk, renames, u"README", u""), u"README~1");
  EXPECT_EQ(Take(disk, renames, u"a.tar", u".gz"), u"a.tar.gz");
  EXPECT_EQ(Take(disk, renames, u"a.tar", u".gz"), u"a.tar~1.gz");
  EXPECT_EQ(Take(disk, renames, u"x", u".txt", owNever), u"x.txt");
  EXPECT_EQ(Take(disk, renames, u"x", u".txt", owNever), u"");
  EXPECT_EQ(Take(disk, renames, u"x", u".txt", owAlways), u"x.txt");

  // A counter once taken is not tried again; the plain name, once free,
  // still wins.
  disk.erase(u"photo~1.jpg");
  EXPECT_EQ(Take(disk, renames, u"photo", u".jpg"), u"photo~3.jpg");
  disk.erase(u"photo.jpg");
  EXPECT_EQ(Take(disk, renames, u"photo", u".jpg"), u"photo.jpg");
  EXPECT_EQ(Take(disk, renames, u"photo", u".jpg"), u"photo~4.jpg");
}

// Random saves of a few names into a folder that already holds some of their
// numbered forms: the same names as the plain search, save for save.
TEST(OverwritePolicy, SameNamesAsAPlainSearchWhileNothingIsDeleted) {
  std::mt19937 rng(3);
  const std::vector<std::pair<ustring, ustring>> names = {
      {u"a", u".txt"}, {u"a~1", u".txt"}, {u"b", u""}, {u"c.tar", u".gz"}};
  for (int round = 0; round < 50; ++round) {
    Names disk;
    for (int i = 0; i < 20; ++i) {
      const auto& [base, extension] = names[rng() % names.size()];
      disk.insert(rng() % 3 ? base + u"~" + toDecimal(rng() % 12 + 1) + extension
                            : base + extension);
    }
    Names plain = disk;
    TRenameCounters renames;
    for (int save = 0; save < 60; ++save) {
      const auto& [base, extension] = names[rng() % names.size()];
      ASSERT_EQ(Take(disk, renames, base, extension), PlainSearch(plain, base, extension))
          << "round " << round << ", save " << save;
    }
  }
}

// One name a thousand times: two names tried per save (the plain one, then
// the counter after the last) and a test that the last one is still there,
// not one try per name before it.
TEST(OverwritePolicy, OneNameManyTimesCostsLinearly) {
  Names disk;
  TRenameCounters renames;
  Calls calls;
  for (int i = 0; i < 1000; ++i) Take(disk, renames, u"a", u".txt", owRename, &calls);
  EXPECT_EQ(disk.size(), 1000u);
  EXPECT_EQ(calls.takes, 1 + 2 * 999);
  EXPECT_EQ(calls.tests, 998);
}

// A folder with copies 1 to copies of a name, seen by a process that never
// saved it: the first free counter, found in O(log copies) tests.
TEST(OverwritePolicy, ManyCopiesCostLogarithmicTests) {
  for (int64_t copies : {0, 1, 15, 16, 17, 100, 4096, 20000}) {
    SCOPED_TRACE(std::to_string(copies) + " copies");
    Names disk{u"a.txt"};
    for (int64_t n = 1; n <= copies; ++n) disk.insert(u"a~" + toDecimal(n) + u".txt");
    TRenameCounters renames;
    Calls calls;
    EXPECT_EQ(Take(disk, renames, u"a", u".txt", owRename, &calls),
              u"a~" + toDecimal(copies + 1) + u".txt");
    EXPECT_LE(calls.tests + calls.takes, 20 + 2 * std::log2(copies + 1.0));
    // Another object of the process: after the counter taken last.
    calls = {};
    EXPECT_EQ(Take(disk, renames, u"a", u".txt", owRename, &calls),
              u"a~" + toDecimal(copies + 2) + u".txt");
    EXPECT_LE(calls.tests + calls.takes, 4);
  }
}

// Holes: among the first counters the first one is filled; among many
// copies one may stay, but every name taken is free and follows a taken one;
// once the copy taken last is gone, the search starts from 1 again.
TEST(OverwritePolicy, HolesAmongManyCopies) {
  const struct {
    int64_t copies;
    std::vector<int64_t> holes;
    int64_t expected;  // 0: any free counter after a taken one
  } cases[] = {
      {40, {5}, 5},
      {40, {16, 30}, 16},
      {40, {17}, 0},
      {5000, {300, 301, 4000}, 0},
  };
  for (const auto& c : cases) {
    Names disk{u"a.txt"};
    for (int64_t n = 1; n <= c.copies; ++n) disk.insert(u"a~" + toDecimal(n) + u".txt");
    for (int64_t hole : c.holes) disk.erase(u"a~" + toDecimal(hole) + u".txt");
    TRenameCounters renames;
    for (int save = 0; save < 4; ++save) {
      const Names before = disk;
      const ustring name = Take(disk, renames, u"a", u".txt");
      ASSERT_EQ(before.count(name), 0u) << toUtf8(name);
      const int64_t n = std::stoll(toUtf8(name.substr(2, name.size() - 6)));
      EXPECT_TRUE(n == 1 || before.count(u"a~" + toDecimal(n - 1) + u".txt")) << n;
      if (save == 0 && c.expected) {
        EXPECT_EQ(n, c.expected);
      }
    }
  }

  Names disk{u"a.txt", u"a~1.txt", u"a~2.txt"};
  TRenameCounters renames;
  EXPECT_EQ(Take(disk, renames, u"a", u".txt"), u"a~3.txt");
  disk = {u"a.txt", u"a~2.txt"};  // the folder emptied of most copies
  EXPECT_EQ(Take(disk, renames, u"a", u".txt"), u"a~1.txt");
}

// A name found free but taken by another save before this one takes it: the
// search goes on after it, and both names stay unique.
TEST(OverwritePolicy, ANameTakenMeanwhileIsPassed) {
  for (int64_t copies : {3, 20000}) {
    Names disk{u"a.txt"};
    for (int64_t n = 1; n <= copies; ++n) disk.insert(u"a~" + toDecimal(n) + u".txt");
    TRenameCounters renames;
    int refusals = 0;
    const ustring name = TakeTarget(
        u"a", u".txt", owRename, u"~", renames,
        [&](const ustring& candidate) { return !disk.count(candidate); },
        [&](const ustring& candidate) {
          // Another save takes the first two names this one finds free.
          if (candidate != u"a.txt" && !disk.count(candidate) && refusals < 2) {
            ++refusals;
            disk.insert(candidate);
            return false;
          }
          return disk.insert(candidate).second;
        });
    EXPECT_EQ(name, u"a~" + toDecimal(copies + 3) + u".txt");
    EXPECT_EQ(disk.size(), static_cast<size_t>(copies + 4));
  }
}

}  // namespace
}  // namespace velmora
