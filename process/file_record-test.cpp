// A file record's storage moves through its kinds as direct saving and
// memory mode drive it; a staged file is deleted unless it was settled.
#include "process/file_record.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

namespace velmora {
namespace {

using TKind = TFileStorage::TKind;

// A staged file that reports what became of it.
class TStagedProbe final : public IStagedFile {
 public:
  enum class TEnd { Open, Committed, Deleted };
  TStagedProbe(TEnd& end, ustring target) : end_(end), target_(std::move(target)) {}
  ~TStagedProbe() override {
    if (end_ == TEnd::Open) end_ = TEnd::Deleted;
  }
  TStream& bytes() override { return bytes_; }
  ustring commit() override {
    if (!target_.empty()) end_ = TEnd::Committed;
    return target_;
  }

 private:
  TEnd& end_;
  const ustring target_;
  TMemoryStream bytes_;
};
using TEnd = TStagedProbe::TEnd;

TEST(FileStorage, AStagedFileIsSettledOnlyWhenComplete) {
  TFileStorage storage;
  EXPECT_EQ(storage.kind(), TKind::None);
  EXPECT_EQ(storage.writer(), nullptr);

  storage.keepInMemory();
  EXPECT_EQ(storage.kind(), TKind::Memory);
  ASSERT_NE(storage.memory(), nullptr);
  storage.writer()->write("ab", 2);
  EXPECT_EQ(storage.memory()->size(), 2);
  storage.complete();  // a file in memory is never on disk
  EXPECT_EQ(storage.kind(), TKind::Memory);

  TEnd end = TEnd::Open;
  storage.stage(std::make_unique<TStagedProbe>(end, u"C:\\up\\a.txt"));
  EXPECT_EQ(storage.kind(), TKind::Staging);
  EXPECT_EQ(storage.memory(), nullptr);  // its bytes are not the object's to give
  ASSERT_NE(storage.writer(), nullptr);
  storage.writer()->write("x", 1);
  storage.complete();
  EXPECT_EQ(storage.kind(), TKind::Staged);
  EXPECT_EQ(storage.writer(), nullptr);
  EXPECT_EQ(storage.settle(), u"C:\\up\\a.txt");
  EXPECT_EQ(storage.kind(), TKind::OnDisk);
  EXPECT_EQ(end, TEnd::Committed);

  storage.discard();  // a settled file is no longer the object's
  EXPECT_EQ(storage.kind(), TKind::None);
  EXPECT_EQ(end, TEnd::Committed);
}

TEST(FileStorage, WhatWasNotSettledIsDeletedOnRelease) {
  for (bool complete : {false, true}) {
    TEnd end = TEnd::Open;
    {
      TFileStorage storage;
      storage.stage(std::make_unique<TStagedProbe>(end, u"a.txt"));
      if (complete) storage.complete();
      EXPECT_EQ(end, TEnd::Open);
    }
    EXPECT_EQ(end, TEnd::Deleted) << complete;
  }
}

// owNever found the name taken at the commit: nothing stored, nothing kept.
TEST(FileStorage, ACommitThatStoresNothingLeavesNone) {
  TEnd end = TEnd::Open;
  TFileStorage storage;
  storage.stage(std::make_unique<TStagedProbe>(end, u""));
  storage.complete();
  EXPECT_EQ(storage.settle(), u"");
  EXPECT_EQ(storage.kind(), TKind::None);
  EXPECT_EQ(end, TEnd::Deleted);
}

// Records move when the list of files grows: the moved-from one must not
// release the file, the moved-to one keeps it.
TEST(FileStorage, MovingKeepsTheFileInOnePlace) {
  TEnd end = TEnd::Open;
  TFileStorage from;
  from.stage(std::make_unique<TStagedProbe>(end, u"a.txt"));
  TFileStorage to(std::move(from));
  EXPECT_EQ(from.kind(), TKind::None);
  EXPECT_EQ(to.kind(), TKind::Staging);

  TFileStorage other;
  other.keepInMemory();
  other = std::move(to);
  EXPECT_EQ(to.kind(), TKind::None);
  EXPECT_EQ(other.kind(), TKind::Staging);
  EXPECT_NE(other.writer(), nullptr);
  EXPECT_EQ(end, TEnd::Open);
}

}  // namespace
}  // namespace velmora
