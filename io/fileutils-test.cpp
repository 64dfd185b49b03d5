// File helpers against a real directory tree (under Wine).
#include <gtest/gtest.h>
#include <windows.h>

#include "base/wide.h"
#include "io/filestream.h"
#include "io/fileutils.h"
#include "io/testing/temp_dir.h"

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

// The system's errors carry its code beside the message.
TEST_F(FileUtils, FileStreamErrorsCarryTheSystemsCode) {
  try {
    TFileStream f(root_ + u"\\missing\\a.txt", TFileStream::Mode::Create);
    ADD_FAILURE() << "created";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.systemCode(), static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
  }
  const ustring missing = root_ + u"\\missing.txt";
  try {
    TFileStream f(missing, TFileStream::Mode::OpenRead);
    ADD_FAILURE() << "opened";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.message(), u"Cannot open file \"" + missing + u"\". " + SysErrorMessage(2));
    EXPECT_EQ(e.systemCode(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  }
}

// SystemMessage is the system's text without its line break; SysErrorMessage
// also drops the closing full stop and blanks, to be quoted in a sentence.
TEST_F(FileUtils, SystemMessagesForQuotingAndAsTheyStand) {
  for (uint32_t code : {2u, 3u, 5u, 112u, static_cast<uint32_t>(E_OUTOFMEMORY)}) {
    SCOPED_TRACE(code);
    const ustring full = SystemMessage(code), quoted = SysErrorMessage(code);
    ASSERT_FALSE(quoted.empty());
    EXPECT_NE(full.back(), u'\n');
    EXPECT_NE(full.back(), u'\r');
    EXPECT_NE(quoted.back(), u'.');
    EXPECT_NE(quoted.back(), u' ');
    ASSERT_EQ(full.compare(0, quoted.size(), quoted), 0) << toUtf8(full);
    EXPECT_EQ(full.find_first_not_of(u". \t\r\n", quoted.size()), ustring::npos) << toUtf8(full);
  }
  EXPECT_EQ(SystemMessage(0xDEADBEEF), u"");
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
