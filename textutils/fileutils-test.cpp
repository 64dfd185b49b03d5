// File helpers against a real directory tree (under Wine).
#include <gtest/gtest.h>
#include <windows.h>

#include "textutils/errors.h"
#include "textutils/filestream.h"
#include "textutils/fileutils.h"
#include "textutils/testing/temp_dir.h"

using namespace velmora;

namespace {

class FileUtils : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir_.created()); }

  static bool isDir(const ustring& path) {
    DWORD a = GetFileAttributesW(wstr(path));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
  }

  void touch(const ustring& path) { TFileStream(path, TFileStream::Mode::Create).write("x", 1); }

  velmora::testing::TempDir dir_{u"fileutils"};
  const ustring& root_ = dir_.path();
};

}  // namespace

TEST_F(FileUtils, IsExistingFile) {
  touch(root_ + u"\\f.txt");
  EXPECT_TRUE(IsExistingFile(root_ + u"\\f.txt"));
  EXPECT_FALSE(IsExistingFile(root_));                          // a directory
  EXPECT_FALSE(IsExistingFile(root_ + u"\\missing.txt"));
  EXPECT_FALSE(IsExistingFile(root_ + u"\\no\\parent.txt"));
}

TEST_F(FileUtils, ForceDirectoryPathCreatesEveryMissingLevel) {
  ustring slashed = root_ + u"/Data/up/2024/";
  for (char16_t& c : slashed)
    if (c == u'\\') c = u'/';
  EXPECT_TRUE(ForceDirectoryPath(slashed));
  EXPECT_TRUE(isDir(root_ + u"\\Data"));
  EXPECT_TRUE(isDir(root_ + u"\\Data\\up\\2024"));
  EXPECT_TRUE(ForceDirectoryPath(slashed));  // again: nothing to create

  // A blank belongs to its segment.
  EXPECT_TRUE(ForceDirectoryPath(root_ + u"\\two words\\inner"));
  EXPECT_TRUE(isDir(root_ + u"\\two words\\inner"));
}

TEST_F(FileUtils, ForceDirectoryPathFailures) {
  EXPECT_FALSE(ForceDirectoryPath(u"C:"));
  EXPECT_FALSE(ForceDirectoryPath(u"C:\\"));
  EXPECT_FALSE(ForceDirectoryPath(u""));

  // The first segment of a relative path is never created.
  wchar_t cwd[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, cwd);
  SetCurrentDirectoryW(wstr(root_));
  EXPECT_FALSE(ForceDirectoryPath(u"notthere\\below"));
  EXPECT_FALSE(isDir(root_ + u"\\notthere"));
  SetCurrentDirectoryW(cwd);

  // A level that cannot be created ends it; the levels before it stay.
  touch(root_ + u"\\file");
  EXPECT_FALSE(ForceDirectoryPath(root_ + u"\\file\\x"));
  EXPECT_FALSE(ForceDirectoryPath(root_ + u"\\made\\bad<name\\x"));
  EXPECT_TRUE(isDir(root_ + u"\\made"));
}

TEST_F(FileUtils, FileStreamCreateErrorNamesPathAndReason) {
  ustring path = root_ + u"\\missing\\a.txt";
  try {
    TFileStream f(path, TFileStream::Mode::Create);
    FAIL() << "created";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.message(), u"Cannot create file \"" + path + u"\". " + SysErrorMessage(3));
    EXPECT_FALSE(SysErrorMessage(3).empty());
  }
}

TEST_F(FileUtils, FileStreamRoundTrip) {
  ustring path = root_ + u"\\data.bin";
  {
    TFileStream f(path, TFileStream::Mode::Create);
    f.write("hello", 5);
    EXPECT_EQ(f.size(), 5);
  }
  TFileStream r(path, TFileStream::Mode::OpenRead);
  char buf[8];
  EXPECT_EQ(r.read(buf, sizeof buf), 5u);
  EXPECT_EQ(std::string(buf, 5), "hello");
}
