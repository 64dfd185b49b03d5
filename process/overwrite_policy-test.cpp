// The overwrite policy's naming rule, with the file system a set of names:
// owRename counts on after the counters it took, and so gives exactly the
// names of a plain search from 1 while nothing is deleted, at a cost linear
// in the files.
#include "process/overwrite_policy.h"

#include <gtest/gtest.h>

#include <random>
#include <set>
#include <string>
#include <vector>

namespace velmora {
namespace {

using Names = std::set<ustring>;

ustring Take(Names& disk, TRenameCounters& renames, const ustring& base, const ustring& extension,
             TowModeType mode = owRename, int* tests = nullptr) {
  return TakeTarget(base, extension, mode, u"~", renames, [&](const ustring& name) {
    if (tests) ++*tests;
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
  // A guess remembers nothing.
  EXPECT_EQ(GuessTarget(u"photo", u".jpg", owRename, u"~", renames,
                        [&](const ustring& name) { return !disk.count(name); }),
            u"photo~4.jpg");
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

// One name a thousand times: two tests per save, not one per name before it.
TEST(OverwritePolicy, OneNameManyTimesCostsLinearly) {
  Names disk;
  TRenameCounters renames;
  int tests = 0;
  for (int i = 0; i < 1000; ++i) Take(disk, renames, u"a", u".txt", owRename, &tests);
  EXPECT_EQ(disk.size(), 1000u);
  EXPECT_EQ(tests, 1 + 2 * 999);
}

}  // namespace
}  // namespace velmora
