// A file record's storage moves through its kinds as direct saving and
// memory mode drive it; only an unfinished file is released from disk.
#include "process/file_record.h"

#include <gtest/gtest.h>

#include <memory>
#include <utility>

namespace velmora {
namespace {

using TKind = TFileStorage::TKind;

TEST(FileStorage, KindsFollowTheWriting) {
  TFileStorage storage;
  EXPECT_EQ(storage.kind(), TKind::None);
  EXPECT_EQ(storage.writer(), nullptr);

  storage.keepInMemory();
  EXPECT_EQ(storage.kind(), TKind::Memory);
  ASSERT_NE(storage.memory(), nullptr);
  storage.writer()->write("ab", 2);
  EXPECT_EQ(storage.memory()->size(), 2);
  storage.settle();  // a file in memory is never on disk
  EXPECT_EQ(storage.kind(), TKind::Memory);

  storage.beginWriting(std::make_unique<TMemoryStream>(), u"staging");
  EXPECT_EQ(storage.kind(), TKind::Unfinished);
  EXPECT_EQ(storage.memory(), nullptr);  // its bytes are not the object's to give
  EXPECT_NE(storage.writer(), nullptr);
  storage.settle();  // still being written: stays unfinished
  EXPECT_EQ(storage.kind(), TKind::Unfinished);

  storage.stored(u"target");
  EXPECT_EQ(storage.kind(), TKind::Unfinished);
  EXPECT_EQ(storage.writer(), nullptr);
  EXPECT_EQ(storage.path(), u"target");
  storage.settle();
  EXPECT_EQ(storage.kind(), TKind::OnDisk);

  storage.discard();
  EXPECT_EQ(storage.kind(), TKind::None);
  EXPECT_EQ(storage.path(), u"");
}

// Records move when the list of files grows: the moved-from one must not
// release the file, the moved-to one keeps it.
TEST(FileStorage, MovingKeepsTheFileInOnePlace) {
  TFileStorage from;
  from.beginWriting(std::make_unique<TMemoryStream>(), u"staging");
  TFileStorage to(std::move(from));
  EXPECT_EQ(from.kind(), TKind::None);
  EXPECT_EQ(to.kind(), TKind::Unfinished);
  EXPECT_EQ(to.path(), u"staging");

  TFileStorage other;
  other.keepInMemory();
  other = std::move(to);
  EXPECT_EQ(to.kind(), TKind::None);
  EXPECT_EQ(other.kind(), TKind::Unfinished);
  EXPECT_NE(other.writer(), nullptr);
}

}  // namespace
}  // namespace velmora
