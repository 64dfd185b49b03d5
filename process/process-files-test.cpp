// The upload object's file-system members against real files in a temporary
// directory (Windows, under Wine): FileSave, direct saving, DumpHeader and the
// file operations.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/wide.h"
#include "io/fileutils.h"
#include "io/testing/temp_dir.h"
#include "process/fileops.h"
#include "process/process.h"
#include "process/testing/fake_host.h"
#include "process/testing/multipart_body.h"
#include "process/testing/throws.h"

using namespace velmora;
using velmora::testing::FakeHost;
using velmora::testing::Field;
using velmora::testing::File;
using velmora::testing::MultipartBody;
using velmora::testing::Throws;

namespace {

class ProcessFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(temp_.created());
    root_ = temp_.path();
    dir_ = root_ + u"\\up\\";
    ASSERT_TRUE(CreateDirectoryW(wstr(dir_), nullptr));
    host_ = std::make_shared<FakeHost::Script>();
    process_ = std::make_unique<TProcess>(std::make_unique<FakeHost>(host_));
  }

  // The object goes first: releasing it may delete a file inside the folder.
  void TearDown() override { process_.reset(); }

  // The names in a directory, sorted.
  static std::vector<std::string> List(const ustring& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(wstr(dir + u"\\*"), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      std::string name = toUtf8(fromWide(fd.cFileName));
      if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    std::sort(names.begin(), names.end());
    return names;
  }

  static std::string Contents(const ustring& path) {
    HANDLE h = CreateFileW(wstr(path), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<missing>";
    std::string bytes;
    char buffer[4096];
    DWORD got;
    while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got) bytes.append(buffer, got);
    CloseHandle(h);
    return bytes;
  }

  static void Put(const ustring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(wstr(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written;
    WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
  }

  void Read(std::string body) {
    host_->body = std::move(body);
    host_->position = 0;
    process_->Read();
  }

  void DirectMode(bool useExistingName, const ustring& name = u"") {
    process_->SetSaveDirect(true);
    process_->SetSaveDirectPath(dir_);
    process_->SetSaveDirectUseExistingName(useExistingName);
    process_->SetSaveDirectName(name);
  }

  velmora::testing::TempDir temp_{u"process"};
  ustring root_, dir_;
  std::shared_ptr<FakeHost::Script> host_;
  std::unique_ptr<TProcess> process_;
};

using Names = std::vector<std::string>;

}  // namespace

// FileSave.

TEST_F(ProcessFiles, FileSaveAlwaysReplaces) {
  Read(MultipartBody({File("f", "a.txt", "new")}));
  Put(dir_ + u"a.txt", "old");
  process_->FileSave(dir_ + u"a.txt", 0);
  EXPECT_EQ(Contents(dir_ + u"a.txt"), "new");
  EXPECT_EQ(process_->NewName(0), u"");
}

// Files of every size, up to many memory chunks, are written byte for byte.
TEST_F(ProcessFiles, FileSaveWritesEveryByte) {
  for (size_t size : {0u, 1u, 4097u, 3000017u}) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31 + i / 251);
    Read(MultipartBody({File("f", "a.bin", data)}));
    const ustring target = dir_ + u"size" + toDecimal(static_cast<int64_t>(size)) + u".bin";
    process_->FileSave(target, process_->FileQty() - 1);  // files add up across reads
    EXPECT_TRUE(Contents(target) == data);
  }
}

TEST_F(ProcessFiles, FileSaveNeverLeavesAnExistingFile) {
  Read(MultipartBody({File("f", "a.txt", "new")}));
  process_->SetOverwriteMode(owNever);
  Put(dir_ + u"a.txt", "old");
  process_->FileSave(dir_ + u"a.txt", 0);
  EXPECT_EQ(Contents(dir_ + u"a.txt"), "old");
  process_->FileSave(dir_ + u"b.txt", 0);
  EXPECT_EQ(Contents(dir_ + u"b.txt"), "new");
  EXPECT_EQ(process_->NewName(0), u"");
}

TEST_F(ProcessFiles, FileSaveRenameCounts) {
  Read(MultipartBody({File("f", "a.txt", "data")}));
  process_->SetOverwriteMode(owRename);
  struct Case {
    ustring target;
    std::vector<ustring> existing;
    ustring chr;
    ustring written;  // relative to dir_
    ustring newName;
  };
  CreateDirectoryW(wstr(dir_ + u"d.old"), nullptr);
  for (const Case& c : std::vector<Case>{
           {u"a.txt", {}, u"~", u"a.txt", u"a.txt"},
           {u"photo.jpg",
            {u"photo.jpg", u"photo~1.jpg", u"photo~3.jpg"},
            u"~",
            u"photo~2.jpg",
            u"photo~2.jpg"},
           {u"b.txt", {u"b.txt"}, u"", u"b1.txt", u"b1.txt"},
           {u"c.txt", {u"c.txt"}, u"_copy", u"c_copy1.txt", u"c_copy1.txt"},
           {u"readme", {u"readme"}, u"~", u"readme~1", u"readme~1"},
           {u"d.old\\readme", {u"d.old\\readme"}, u"~", u"d.old\\readme~1", u"readme~1"},
           {u"e.tar.gz", {u"e.tar.gz"}, u"~", u"e.tar~1.gz", u"e.tar~1.gz"},
       }) {
    for (const ustring& e : c.existing) Put(dir_ + e, "old");
    process_->SetOverwriteChr(c.chr);
    process_->FileSave(dir_ + c.target, 0);
    EXPECT_EQ(Contents(dir_ + c.written), "data") << toUtf8(c.target);
    EXPECT_EQ(process_->NewName(0), c.newName) << toUtf8(c.target);
  }
  // The same free target twice: the plain name, then the first counter.
  process_->SetOverwriteChr(u"~");
  process_->FileSave(dir_ + u"twice.bin", 0);
  process_->FileSave(dir_ + u"twice.bin", 0);
  EXPECT_EQ(Contents(dir_ + u"twice~1.bin"), "data");
  EXPECT_EQ(process_->NewName(0), u"twice~1.bin");
}

// A script's own path keeps its forward slashes; only "\" and ":" end the
// directory part of NewName.
TEST_F(ProcessFiles, FileSaveRenameWithForwardSlashes) {
  Read(MultipartBody({File("f", "a.txt", "data")}));
  process_->SetOverwriteMode(owRename);
  Put(dir_ + u"a.txt", "old");
  ustring slashed = root_ + u"/up/a.txt";
  process_->FileSave(slashed, 0);
  EXPECT_EQ(Contents(dir_ + u"a~1.txt"), "data");
  ustring rootName = root_.substr(root_.rfind(u'\\') + 1);
  EXPECT_EQ(process_->NewName(0), rootName + u"/up/a~1.txt");
}

TEST_F(ProcessFiles, FileSaveIntoAMissingDirectory) {
  Read(MultipartBody({File("f", "a.txt", "data")}));
  ustring target = root_ + u"\\missing\\a.txt";
  EXPECT_TRUE(Throws<EFCreateError>([&] { process_->FileSave(target, 0); },
                                    "Cannot create file \"" + toUtf8(target) + "\". " +
                                        toUtf8(SysErrorMessage(ERROR_PATH_NOT_FOUND))));
  process_->SetOverwriteMode(owRename);
  EXPECT_THROW(process_->FileSave(target, 0), EFCreateError);
  EXPECT_EQ(process_->NewName(0), u"");  // unchanged by a failed write
}

TEST_F(ProcessFiles, FileSaveRefusals) {
  Read(MultipartBody({File("f", "a.txt", "data")}));
  process_->SetSaveDirect(true);
  for (int index : {0, 3})
    EXPECT_TRUE(Throws<EUploadError>([&] { process_->FileSave(dir_ + u"x", index); },
                                     "FileSave cannot be used when SaveDirect is true."));
  process_->SetSaveDirect(false);
  EXPECT_TRUE(Throws<EIndexError>([&] { process_->FileSave(dir_ + u"x", 1); },
                                  "Index out of range or no file uploaded."));
  EXPECT_EQ(List(dir_), Names{});
}

// Direct saving.

TEST_F(ProcessFiles, DirectSaveUnderTheClientsName) {
  DirectMode(true);
  Read(MultipartBody({Field("a", "1"), File("f", "C:\\Users\\x\\a.txt", "first", "text/plain"),
                      File("g", "b.bin", std::string(300000, 'b'))}));
  EXPECT_EQ(List(dir_), (Names{"a.txt", "b.bin"}));
  EXPECT_EQ(Contents(dir_ + u"a.txt"), "first");
  EXPECT_EQ(Contents(dir_ + u"b.bin"), std::string(300000, 'b'));
  TProcess& p = *process_;
  ASSERT_EQ(p.FileQty(), 2);
  EXPECT_EQ(p.NewName(0), u"a.txt");
  EXPECT_EQ(p.FileName(0), u"a.txt");
  EXPECT_EQ(p.LocalName(0), u"C:\\Users\\x\\a.txt");
  EXPECT_EQ(p.ContentType(0), u"text/plain");
  EXPECT_EQ(p.Value(u"a"), u"1");
  EXPECT_EQ(p.TagName(1), u"g");
  process_.reset();  // a complete read keeps every file
  EXPECT_EQ(List(dir_), (Names{"a.txt", "b.bin"}));
}

TEST_F(ProcessFiles, DirectSaveRefusesTheByteMembersAfterwards) {
  DirectMode(true);
  Read(MultipartBody({File("f", "a.txt", "abc")}));
  TProcess& p = *process_;
  EXPECT_TRUE(Throws<EUploadError>([&] { p.FileSize(0); },
                                   "FileSize cannot be used when SaveDirect is true."));
  EXPECT_TRUE(Throws<EUploadError>([&] { p.FileAsBase64(0); },
                                   "FileData cannot be used when SaveDirect is true."));
  // Switched off, the file still has no bytes in memory.
  p.SetSaveDirect(false);
  EXPECT_TRUE(
      Throws<EIndexError>([&] { p.FileSize(1); }, "Index out of range or no file uploaded."));
  EXPECT_TRUE(
      Throws<EUploadError>([&] { p.FileSize(0); },
                           "FileSize cannot be used for a file that was saved directly to disk."));
  EXPECT_TRUE(
      Throws<EUploadError>([&] { p.FileData(0); },
                           "FileData cannot be used for a file that was saved directly to disk."));
  EXPECT_TRUE(
      Throws<EUploadError>([&] { p.FileAsBase64(0); },
                           "FileData cannot be used for a file that was saved directly to disk."));
  EXPECT_TRUE(
      Throws<EUploadError>([&] { p.FileSave(dir_ + u"copy.txt", 0); },
                           "FileSave cannot be used for a file that was saved directly to disk."));
  EXPECT_EQ(List(dir_), Names{"a.txt"});
}

TEST_F(ProcessFiles, DirectSaveOverwritePolicies) {
  Put(dir_ + u"a.txt", "old");
  Put(dir_ + u"a~1.txt", "old");
  process_->SetOverwriteMode(owNever);
  DirectMode(true);
  Read(MultipartBody({File("f", "a.txt", "new"), File("g", "b.txt", "bee")}));
  EXPECT_EQ(process_->FileQty(), 2);
  EXPECT_EQ(process_->NewName(0), u"");
  EXPECT_EQ(process_->NewName(1), u"b.txt");
  EXPECT_EQ(Contents(dir_ + u"a.txt"), "old");
  EXPECT_EQ(List(dir_), (Names{"a.txt", "a~1.txt", "b.txt"}));

  process_->SetOverwriteMode(owRename);
  Read(MultipartBody({File("f", "a.txt", "new")}));
  EXPECT_EQ(Contents(dir_ + u"a~2.txt"), "new");
  EXPECT_EQ(process_->NewName(2), u"a~2.txt");
}

TEST_F(ProcessFiles, DirectSaveUnderAFixedName) {
  DirectMode(false, u"upload.dat");
  process_->SetOverwriteMode(owRename);
  Read(MultipartBody({File("f", "x.txt", "one"), File("g", "y.txt", "two")}));
  EXPECT_EQ(List(dir_), (Names{"upload.dat", "upload~1.dat"}));
  EXPECT_EQ(Contents(dir_ + u"upload~1.dat"), "two");
  EXPECT_EQ(process_->NewName(1), u"upload~1.dat");

  process_->SetOverwriteMode(owAlways);
  Read(MultipartBody({File("f", "x.txt", "three"), File("g", "y.txt", "four")}));
  EXPECT_EQ(Contents(dir_ + u"upload.dat"), "four");
}

// Making a name unique never splits at a dot in a directory, whichever
// separator the name uses.
TEST_F(ProcessFiles, DirectSaveRenameSplitsAfterEitherSeparator) {
  CreateDirectoryW(wstr(dir_ + u"sub.d"), nullptr);
  Put(dir_ + u"sub.d\\readme", "old");
  DirectMode(false, u"sub.d/readme");
  process_->SetOverwriteMode(owRename);
  Read(MultipartBody({File("f", "x.txt", "new")}));
  EXPECT_EQ(Contents(dir_ + u"sub.d\\readme~1"), "new");
}

TEST_F(ProcessFiles, DirectSaveKeepsHostileNamesInsideTheDirectory) {
  DirectMode(true);
  std::string body = MultipartBody({File("f", "../../x.asp", "one"), File("g", "..\\..\\y.asp", "two"),
                                    File("h", "evil", "three"), File("i", "C:/inetpub/wwwroot/z.asp", "four")});
  // A control character reaches a file name only as a byte of an RFC 5987
  // value: in a header line it breaks the header.
  body.replace(body.find("filename=\"evil\""), 15, "filename*=UTF-8''evil.asp%00.jpg");
  Read(body);
  EXPECT_EQ(List(dir_), (Names{"evil.asp", "x.asp", "y.asp", "z.asp"}));
  EXPECT_EQ(List(root_), (Names{"up"}));
  EXPECT_EQ(Contents(dir_ + u"evil.asp"), "three");
  EXPECT_EQ(process_->FileName(2), u"evil.asp");
  EXPECT_EQ(process_->Extension(2), u"asp");
  EXPECT_EQ(process_->NewName(2), u"evil.asp");
}

// The system's reason follows the number: the page says what to fix.
TEST_F(ProcessFiles, DirectSaveFailuresNameTheirCause) {
  CreateDirectoryW(wstr(dir_ + u"taken.txt"), nullptr);
  const struct {
    const char* title;
    ustring path;      // SaveDirectPath
    std::string name;  // the client's file name
    ustring target;
    DWORD error;
  } cases[] = {
      {"a missing folder", root_ + u"\\missing\\", "a.txt", root_ + u"\\missing\\a.txt",
       ERROR_PATH_NOT_FOUND},
      {"a folder of that name", dir_, "taken.txt", dir_ + u"taken.txt", ERROR_ACCESS_DENIED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    process_ = std::make_unique<TProcess>(std::make_unique<FakeHost>(host_));
    DirectMode(true);
    process_->SetSaveDirectPath(c.path);
    EXPECT_TRUE(Throws<EUploadError>(
        [&] { Read(MultipartBody({File("f", c.name, "x")})); },
        "Velmora Error: Error reading block. (#3) Error creating file: " + toUtf8(c.target) + ". " +
            toUtf8(SysErrorMessage(c.error))));
  }
}

// A client on another system may send characters Windows refuses in a name:
// they become "_", and the file is stored under the name FileName reports.
TEST_F(ProcessFiles, NamesWindowsRefusesAreStoredReduced) {
  for (bool direct : {true, false}) {
    SCOPED_TRACE(direct ? "direct" : "FileSave");
    process_ = std::make_unique<TProcess>(std::make_unique<FakeHost>(host_));
    for (const std::string& name : List(dir_)) DeleteFileW(wstr(dir_ + fromUtf8(name)));
    if (direct) DirectMode(true);
    std::string body = MultipartBody({File("f", "sent", "one"), Field("after", "kept")});
    body.replace(body.find("filename=\"sent\""), 15, "filename*=UTF-8''a%3Fb%2A%3Cc%3E|d%01.txt");
    Read(body);
    EXPECT_EQ(process_->FileName(0), u"a_b__c__d_.txt");
    EXPECT_EQ(process_->LocalName(0), u"a?b*<c>|d\x01.txt");
    if (!direct) process_->FileSave(dir_ + process_->FileName(0), 0);
    EXPECT_EQ(Contents(dir_ + u"a_b__c__d_.txt"), "one");
    EXPECT_EQ(process_->Value(u"after"), u"kept");
  }
}

TEST_F(ProcessFiles, AnInterruptedReadLosesItsLastFileOnRelease) {
  DirectMode(true);
  // The first file completes in the first block; the second is cut off.
  std::string body = MultipartBody(
      {File("f", "done.txt", "complete"), File("g", "cut.bin", std::string(300000, 'c'))});
  host_->connectedReads = 2;
  Read(body);
  // The cut-off part never appears under its name: it waits beside it.
  Names listed = List(dir_);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0], "done.txt");
  // Its staging name holds 128 random bits: nothing to guess or plant.
  EXPECT_TRUE(std::regex_match(listed[1], std::regex("~velmora-[0-9a-f]{32}\\.tmp"))) << listed[1];
  EXPECT_EQ(process_->NewName(1), u"");  // stored under no name
  process_.reset();
  EXPECT_EQ(List(dir_), Names{"done.txt"});
}

// The last file of a read takes its name only once the read has taken the
// whole body (or the next file began): a read that stops early, however it
// stops, leaves the file under that name as it was, before and after the
// object is released, and the waiting file is its own to delete.
TEST_F(ProcessFiles, AReadThatStopsEarlyLeavesTheTargetAsItWas) {
  const std::string pad(200000, 'p');  // a second block, which never comes
  const struct {
    const char* how;
    std::string body;
    std::function<void(FakeHost::Script&)> stop;
    std::string failure;  // empty: Read returns quietly
  } stops[] = {
      {"client gone",
       MultipartBody({File("f", "first.txt", "1"), File("g", "b.txt", "new"), Field("pad", pad)}),
       [](FakeHost::Script& h) { h.connectedReads = 1; }, ""},
      {"empty delivery",
       MultipartBody({File("f", "first.txt", "1"), File("g", "b.txt", "new"), Field("pad", pad)}),
       [](FakeHost::Script& h) {
         h.deliveries = {102400, 0};
       },
       ""},
      {"read failure",
       MultipartBody({File("f", "first.txt", "1"), File("g", "b.txt", "new"), Field("pad", pad)}),
       [](FakeHost::Script& h) { h.fail("BinaryRead", 2); },
       "Velmora Error: Error reading from ASP Request object."},
      {"a limit",
       MultipartBody({File("f", "first.txt", "1"), File("g", "b.txt", "new"),
                      Field(std::string(20000, 'n'), "x")}),
       [](FakeHost::Script&) {},
       "Velmora Error: The header of a part is longer than 16000 bytes. (#3)"},
  };
  for (TowModeType mode : {owAlways, owRename, owNever}) {
    for (const auto& stop : stops) {
      SCOPED_TRACE(std::string(stop.how) + ", mode " + std::to_string(mode));
      for (const std::string& name : List(dir_)) DeleteFileW(wstr(dir_ + fromUtf8(name)));
      Put(dir_ + u"b.txt", "old");
      host_ = std::make_shared<FakeHost::Script>();
      process_ = std::make_unique<TProcess>(std::make_unique<FakeHost>(host_));
      process_->SetOverwriteMode(mode);
      DirectMode(true);
      stop.stop(*host_);
      if (stop.failure.empty()) {
        Read(stop.body);
      } else {
        try {
          Read(stop.body);
          ADD_FAILURE() << "the read did not fail";
        } catch (const EUploadError& e) {
          EXPECT_EQ(toUtf8(e.message()).rfind(stop.failure, 0), 0u) << toUtf8(e.message());
        }
      }
      ASSERT_EQ(process_->FileQty(), 2);
      EXPECT_EQ(process_->NewName(0), u"first.txt");
      EXPECT_EQ(process_->NewName(1), u"");  // not stored under any name
      EXPECT_EQ(Contents(dir_ + u"b.txt"), "old");
      EXPECT_EQ(Contents(dir_ + u"first.txt"), "1");
      EXPECT_EQ(List(dir_).size(), mode == owNever ? 2u : 3u);  // the waiting file beside them
      process_.reset();
      EXPECT_EQ(List(dir_), (Names{"b.txt", "first.txt"}));
      EXPECT_EQ(Contents(dir_ + u"b.txt"), "old");
    }
  }
}

// Request A's last file waits; request B stores the same name; A's client
// leaves. Releasing A deletes its own waiting file, never B's.
TEST_F(ProcessFiles, AnUnfinishedReadNeverDeletesAnotherRequestsFile) {
  DirectMode(true);
  host_->connectedReads = 1;
  Read(MultipartBody({File("f", "b.txt", "from A"), Field("pad", std::string(200000, 'p'))}));

  auto hostB = std::make_shared<FakeHost::Script>();
  hostB->body = MultipartBody({File("f", "b.txt", "from B")});
  TProcess b(std::make_unique<FakeHost>(hostB));
  b.SetSaveDirect(true);
  b.SetSaveDirectPath(dir_);
  b.SetSaveDirectUseExistingName(true);
  b.Read();
  EXPECT_EQ(b.NewName(0), u"b.txt");
  EXPECT_EQ(Contents(dir_ + u"b.txt"), "from B");

  process_.reset();
  EXPECT_EQ(List(dir_), Names{"b.txt"});
  EXPECT_EQ(Contents(dir_ + u"b.txt"), "from B");
}

// Request A's last file is complete but waits when A's client leaves; request
// B then stores that name; A's page rejects the upload and deletes by
// NewName, as pages do. A's NewName names nothing, so B's file stays, in
// every mode, whether the name was taken before or not.
TEST_F(ProcessFiles, APageDeletingByNewNameAfterAnEarlyStopKeepsAnotherRequestsFile) {
  const struct {
    TowModeType mode;
    bool taken;           // photo.jpg there before both requests
    const char16_t* b;    // the name request B stores
  } cases[] = {
      {owAlways, true, u"photo.jpg"}, {owRename, true, u"photo~1.jpg"},
      {owNever, false, u"photo.jpg"}, {owAlways, false, u"photo.jpg"},
      {owRename, false, u"photo.jpg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + (c.taken ? ", name taken" : ", name free"));
    for (const std::string& name : List(dir_)) DeleteFileW(wstr(dir_ + fromUtf8(name)));
    if (c.taken) Put(dir_ + u"photo.jpg", "old");
    auto makeRequest = [&](std::shared_ptr<FakeHost::Script> script) {
      auto p = std::make_unique<TProcess>(std::make_unique<FakeHost>(script));
      p->SetOverwriteMode(c.mode);
      p->SetSaveDirect(true);
      p->SetSaveDirectPath(dir_);
      p->SetSaveDirectUseExistingName(true);
      return p;
    };
    auto scriptA = std::make_shared<FakeHost::Script>();
    scriptA->body =
        MultipartBody({File("f", "photo.jpg", "from A"), Field("pad", std::string(200000, 'p'))});
    scriptA->connectedReads = 1;  // A's client leaves after the first block
    auto a = makeRequest(scriptA);
    a->Read();
    ASSERT_EQ(a->FileQty(), 1);
    EXPECT_EQ(a->NewName(0), u"");

    auto scriptB = std::make_shared<FakeHost::Script>();
    scriptB->body = MultipartBody({File("f", "photo.jpg", "from B")});
    auto b = makeRequest(scriptB);
    b->Read();
    ASSERT_EQ(b->NewName(0), c.b);

    a->Delete(dir_ + a->NewName(0));
    a.reset();
    EXPECT_EQ(Contents(dir_ + c.b), "from B");
    if (c.taken && c.mode == owRename) {
      EXPECT_EQ(Contents(dir_ + u"photo.jpg"), "old");
    }
    EXPECT_EQ(List(dir_).size(), c.taken && c.mode == owRename ? 2u : 1u);
  }
}

// Staging files left in a folder by a writer that died go with the next save
// there; those a live writer holds, those written lately (a writer about to
// give one its name), and names of any other shape stay.
TEST_F(ProcessFiles, TheNextSaveRemovesStagingFilesOfDeadWriters) {
  const std::string random32 = "0123456789abcdef0123456789ABCDEF";
  const struct {
    std::string name;
    bool old, held, readOnly, removed;
  } cases[] = {
      {"~velmora-" + random32 + ".tmp", true, false, false, true},
      {"~VELMORA-" + std::string(32, 'f') + ".TMP", true, false, true, true},
      {"~velmora-" + std::string(32, '1') + ".tmp", false, false, false, false},
      {"~velmora-" + std::string(32, '2') + ".tmp", true, true, false, false},
      {"~velmora-11c-6d-0.tmp", true, false, false, false},
      {"~velmora-" + std::string(32, 'g') + ".tmp", true, false, false, false},
      {"~velmora-" + random32 + "0.tmp", true, false, false, false},
      {"photo.jpg", true, false, false, false},
  };
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  ULARGE_INTEGER hourAgo;
  hourAgo.LowPart = now.dwLowDateTime;
  hourAgo.HighPart = now.dwHighDateTime;
  hourAgo.QuadPart -= 3600ull * 10000000ull;
  const FILETIME old{hourAgo.LowPart, hourAgo.HighPart};
  std::vector<HANDLE> held;
  Names kept{"a.txt"};
  for (const auto& c : cases) {
    const ustring path = dir_ + fromUtf8(c.name);
    Put(path, "left");
    // As a live writer holds its staging file: read and write, not shared.
    HANDLE h = CreateFileW(wstr(path), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    if (c.old) SetFileTime(h, nullptr, nullptr, &old);
    if (c.held)
      held.push_back(h);
    else
      CloseHandle(h);
    if (c.readOnly) SetFileAttributesW(wstr(path), FILE_ATTRIBUTE_READONLY);
    if (!c.removed) kept.insert(kept.end(), c.name);
  }
  std::sort(kept.begin(), kept.end());
  DirectMode(true);
  Read(MultipartBody({File("f", "a.txt", "new")}));
  for (HANDLE h : held) CloseHandle(h);
  EXPECT_EQ(List(dir_), kept);
  EXPECT_EQ(Contents(dir_ + u"a.txt"), "new");
}

// Every declared byte came but the body ended inside a file part: the read
// fails, the complete file before it is stored, and the cut one never takes
// its name: the older file there stays, and nothing waits beside it.
TEST_F(ProcessFiles, ABodyCutInsideAFileNeverReplacesItsTarget) {
  Put(dir_ + u"cut.txt", "old");
  DirectMode(true);
  const std::string whole = MultipartBody(
      {File("f", "done.txt", "done"), File("g", "cut.txt", std::string(300000, 'c'))});
  EXPECT_TRUE(
      Throws<EUploadError>([&] { Read(whole.substr(0, whole.size() - 1000)); },
                           "Velmora Error: The body ended before its closing delimiter. (#3)"));
  EXPECT_EQ(process_->FileQty(), 1);
  EXPECT_EQ(List(dir_), (Names{"cut.txt", "done.txt"}));
  EXPECT_EQ(Contents(dir_ + u"cut.txt"), "old");
  EXPECT_EQ(Contents(dir_ + u"done.txt"), "done");
  process_.reset();
  EXPECT_EQ(List(dir_), (Names{"cut.txt", "done.txt"}));
}

TEST_F(ProcessFiles, AnEmptyReadCountsAsAnInterruption) {
  DirectMode(true);
  std::string body = MultipartBody({File("f", "a.txt", std::string(5000, 'a'))});
  host_->deliveries = {3000, 0};
  Read(body);
  process_.reset();
  EXPECT_EQ(List(dir_), Names{});
}

// One name many times, by direct saving and by FileSave: owRename counts on
// from the last counter it took, and the plain name still wins when free.
TEST_F(ProcessFiles, RenameCountsOnForOneName) {
  process_->SetOverwriteMode(owRename);
  DirectMode(true);
  std::vector<velmora::testing::FormPart> parts(30, File("f", "a.txt", "x"));
  Read(MultipartBody(parts));
  ASSERT_EQ(process_->FileQty(), 30);
  EXPECT_EQ(process_->NewName(0), u"a.txt");
  EXPECT_EQ(process_->NewName(29), u"a~29.txt");
  EXPECT_EQ(List(dir_).size(), 30u);

  DeleteFileW(wstr(dir_ + u"a~3.txt"));  // a counter once taken is not tried again
  Read(MultipartBody({File("f", "a.txt", "y")}));
  EXPECT_EQ(process_->NewName(30), u"a~30.txt");
  DeleteFileW(wstr(dir_ + u"a.txt"));  // the plain name, once free, wins
  Read(MultipartBody({File("f", "a.txt", "z")}));
  EXPECT_EQ(process_->NewName(31), u"a.txt");
  EXPECT_EQ(Contents(dir_ + u"a.txt"), "z");
}

// Hostile client names: what FileName reports is the name a save stores, and
// no save reaches a device or the folder itself.

TEST_F(ProcessFiles, HostileNamesAreStoredAsReported) {
  const struct {
    const char* sent;
    const char16_t *name, *extension;
  } cases[] = {
      {"evil.asp.", u"evil.asp", u"asp"},   {"shell.asp . .", u"shell.asp", u"asp"},
      {"aux", u"_aux", u""},                {"con", u"_con", u""},
      {"CONIN$", u"_CONIN$", u""},          {"conout$.txt", u"_conout$.txt", u"txt"},
      {"PRN.", u"_PRN", u""},               {"nul.txt", u"_nul.txt", u"txt"},
      {"LPT1.txt", u"_LPT1.txt", u"txt"},   {"dir\\COM3", u"_COM3", u""},
      {"..", u"_", u""},                    {"x/y . .", u"y", u""},
  };
  std::vector<velmora::testing::FormPart> parts;
  std::set<std::string> expected;
  for (size_t i = 0; i < std::size(cases); ++i) {
    parts.push_back(File("f" + std::to_string(i), cases[i].sent, "bytes " + std::to_string(i)));
    expected.insert(toUtf8(cases[i].name));
  }
  const std::string body = MultipartBody(parts);
  const Names stored(expected.begin(), expected.end());

  // In memory, then FileSave folder & FileName under the default owAlways.
  Read(body);
  ASSERT_EQ(process_->FileQty(), static_cast<int32_t>(std::size(cases)));
  for (size_t i = 0; i < std::size(cases); ++i) {
    const int32_t index = static_cast<int32_t>(i);
    EXPECT_EQ(process_->FileName(index), cases[i].name) << cases[i].sent;
    EXPECT_EQ(process_->Extension(index), cases[i].extension) << cases[i].sent;
    EXPECT_EQ(process_->LocalName(index), fromUtf8(cases[i].sent));
    process_->FileSave(dir_ + process_->FileName(index), index);
  }
  EXPECT_EQ(List(dir_), stored);
  for (size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(Contents(dir_ + cases[i].name), "bytes " + std::to_string(i)) << cases[i].sent;

  // Under owRename a name taken gets its counter after the reduced name.
  process_->SetOverwriteMode(owRename);
  process_->FileSave(dir_ + process_->FileName(2), 2);
  EXPECT_EQ(process_->NewName(2), u"_aux~1");

  // Direct saving under the client's names stores the same names.
  ustring direct = root_ + u"\\direct\\";
  ASSERT_TRUE(CreateDirectoryW(wstr(direct), nullptr));
  DirectMode(true);
  process_->SetSaveDirectPath(direct);
  process_->SetOverwriteMode(owAlways);
  Read(body);
  EXPECT_EQ(List(direct), stored);
  for (size_t i = 0; i < std::size(cases); ++i) {
    const int32_t index = static_cast<int32_t>(std::size(cases) + i);
    EXPECT_EQ(process_->NewName(index), cases[i].name) << cases[i].sent;
    EXPECT_EQ(Contents(direct + cases[i].name), "bytes " + std::to_string(i)) << cases[i].sent;
  }
  EXPECT_EQ(List(root_), (Names{"direct", "up"}));
}

// A name Windows refuses, given by the script, fails with the system's
// message and leaves nothing.
TEST_F(ProcessFiles, ANameTheSystemRefusesFailsCleanly) {
  Read(MultipartBody({File("f", "a.txt", "data")}));
  for (TowModeType mode : {owAlways, owNever, owRename}) {
    process_->SetOverwriteMode(mode);
    EXPECT_THROW(process_->FileSave(dir_ + u"a?b.txt", 0), EFCreateError) << mode;
  }
  EXPECT_EQ(List(dir_), Names{});
}

// Several requests saving one name at the same moment.
TEST_F(ProcessFiles, ConcurrentSavesNeverOverwriteEachOther) {
  constexpr int kSavers = 8;
  for (TowModeType mode : {owRename, owNever}) {
    std::vector<std::unique_ptr<TProcess>> processes;
    std::vector<std::string> payloads;
    for (int i = 0; i < kSavers; ++i) {
      auto script = std::make_shared<FakeHost::Script>();
      payloads.push_back(std::string(200000 + i, static_cast<char>('a' + i)));
      script->body = MultipartBody({File("f", "same.bin", payloads.back())});
      processes.push_back(std::make_unique<TProcess>(std::make_unique<FakeHost>(script)));
      processes.back()->Read();
      processes.back()->SetOverwriteMode(mode);
    }
    const ustring folder = root_ + (mode == owRename ? u"\\rename\\" : u"\\never\\");
    ASSERT_TRUE(CreateDirectoryW(wstr(folder), nullptr));
    std::atomic<int> ready{0};
    std::vector<std::thread> savers;
    for (auto& p : processes) {
      savers.emplace_back([&, process = p.get()] {
        ++ready;
        while (ready < kSavers) std::this_thread::yield();
        process->FileSave(folder + u"same.bin", 0);
      });
    }
    for (auto& t : savers) t.join();

    if (mode == owRename) {
      std::set<ustring> names;
      for (int i = 0; i < kSavers; ++i) {
        ustring name = processes[i]->NewName(0);
        names.insert(name);
        EXPECT_EQ(Contents(folder + name), payloads[i]) << toUtf8(name);
      }
      EXPECT_EQ(names.size(), static_cast<size_t>(kSavers));
      EXPECT_EQ(List(folder).size(), static_cast<size_t>(kSavers));
    } else {
      EXPECT_EQ(List(folder), Names{"same.bin"});
      std::string stored = Contents(folder + u"same.bin");
      EXPECT_NE(std::find(payloads.begin(), payloads.end(), stored), payloads.end());
    }
  }
}

// Many requests replacing one name at the same moment under owAlways, by
// FileSave and by direct saving: every save succeeds, the last one wins,
// and the file there is always one of them whole.
TEST_F(ProcessFiles, ConcurrentReplacesOfOneNameAllSucceed) {
  constexpr int kSavers = 24, kRounds = 2;
  for (bool direct : {false, true}) {
    SCOPED_TRACE(direct ? "direct saving" : "FileSave");
    const ustring folder = root_ + (direct ? u"\\direct\\" : u"\\filesave\\");
    ASSERT_TRUE(CreateDirectoryW(wstr(folder), nullptr));
    std::vector<std::string> payloads;
    for (int i = 0; i < kSavers; ++i)
      payloads.push_back(std::string(150000 + i, static_cast<char>('a' + i)));
    for (int round = 0; round < kRounds; ++round) {
      std::vector<std::unique_ptr<TProcess>> processes;
      for (int i = 0; i < kSavers; ++i) {
        auto script = std::make_shared<FakeHost::Script>();
        script->body = MultipartBody({File("f", "x.bin", payloads[i])});
        processes.push_back(std::make_unique<TProcess>(std::make_unique<FakeHost>(script)));
        if (direct) {
          processes.back()->SetSaveDirect(true);
          processes.back()->SetSaveDirectPath(folder);
          processes.back()->SetSaveDirectName(u"same.bin");
        } else {
          processes.back()->Read();
        }
      }
      std::atomic<int> ready{0}, failed{0};
      std::vector<std::thread> savers;
      for (auto& p : processes) {
        savers.emplace_back([&, process = p.get()] {
          ++ready;
          while (ready < kSavers) std::this_thread::yield();
          try {
            if (direct)
              process->Read();
            else
              process->FileSave(folder + u"same.bin", 0);
          } catch (const Exception& e) {
            ++failed;
            ADD_FAILURE() << toUtf8(e.message());
          }
        });
      }
      for (auto& t : savers) t.join();
      EXPECT_EQ(failed, 0) << "round " << round;
      EXPECT_EQ(List(folder), Names{"same.bin"});
      const std::string stored = Contents(folder + u"same.bin");
      EXPECT_NE(std::find(payloads.begin(), payloads.end(), stored), payloads.end());
    }
  }
}

// A failed write leaves every target as it was. These need a small drive
// (tools/with-small-drive.sh maps a 1 MB one and names it in
// VELMORA_SMALL_DRIVE); elsewhere they skip.
class SmallDrive : public ProcessFiles {
 protected:
  void SetUp() override {
    const char* drive = std::getenv("VELMORA_SMALL_DRIVE");
    if (!drive || !*drive) GTEST_SKIP() << "VELMORA_SMALL_DRIVE is not set: no small drive to fill";
    ProcessFiles::SetUp();
    full_ = fromUtf8(drive);
    for (const std::string& name : List(full_)) DeleteFileW(wstr(full_ + fromUtf8(name)));
  }

  const std::string big_ = std::string(3 << 20, 'B');  // three times the drive
  ustring full_;
};

TEST_F(SmallDrive, FileSaveKeepsTheTargetInEveryMode) {
  Read(MultipartBody({File("f", "a.bin", big_)}));
  Put(full_ + u"a.bin", "old");
  for (TowModeType mode : {owAlways, owNever, owRename}) {
    process_->SetOverwriteMode(mode);
    const ustring target = full_ + (mode == owNever ? u"b.bin" : u"a.bin");
    EXPECT_TRUE(Throws<EWriteError>([&] { process_->FileSave(target, 0); },
                                    "Stream write error. " + toUtf8(SysErrorMessage(ERROR_DISK_FULL))))
        << mode;
    EXPECT_EQ(Contents(full_ + u"a.bin"), "old") << mode;
    EXPECT_EQ(List(full_), Names{"a.bin"}) << mode;
  }
  EXPECT_EQ(process_->NewName(0), u"");
}

TEST_F(SmallDrive, AFailedWriteCarriesTheSystemsCode) {
  Read(MultipartBody({File("f", "a.bin", big_)}));
  try {
    process_->FileSave(full_ + u"a.bin", 0);
    ADD_FAILURE() << "a file three times the drive was saved";
  } catch (const EWriteError& e) {
    EXPECT_EQ(e.message(), u"Stream write error. " + SysErrorMessage(ERROR_DISK_FULL));
    EXPECT_EQ(e.systemCode(), static_cast<uint32_t>(ERROR_DISK_FULL));
  }
}

TEST_F(SmallDrive, DirectSaveKeepsTheFileItWouldReplace) {
  Put(full_ + u"a.bin", "old");
  DirectMode(true);
  process_->SetSaveDirectPath(full_);
  EXPECT_TRUE(Throws<EUploadError>([&] { Read(MultipartBody({File("f", "a.bin", big_)})); },
                                   "Velmora Error: Error reading block. (#3) Stream write error. " +
                                       toUtf8(SysErrorMessage(ERROR_DISK_FULL))));
  process_.reset();
  EXPECT_EQ(List(full_), Names{"a.bin"});
  EXPECT_EQ(Contents(full_ + u"a.bin"), "old");
}

TEST_F(SmallDrive, DumpHeaderKeepsTheOldDump) {
  Put(full_ + u"raw.bin", "old");
  host_->body = big_;
  EXPECT_TRUE(Throws<EUploadError>([&] { process_->DumpHeader(full_ + u"raw.bin"); },
                                   "Error reading uploaded file or form data. Stream write error. " +
                                       toUtf8(SysErrorMessage(ERROR_DISK_FULL))));
  EXPECT_EQ(List(full_), Names{"raw.bin"});
  EXPECT_EQ(Contents(full_ + u"raw.bin"), "old");
}

TEST_F(SmallDrive, AppendToFileTakesBackAFailedLine) {
  const ustring log = full_ + u"log.txt";
  Put(log, "x\x1Ay");
  // Fill the drive, so that the line cannot fit.
  HANDLE filler = CreateFileW(wstr(full_ + u"filler"), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              0, nullptr);
  ASSERT_NE(filler, INVALID_HANDLE_VALUE);
  // Never more than a few times the drive's size: a drive that does not
  // fill (a Wine server that cannot see the small drive writes to the real
  // disk) fails the test instead of filling the machine's disk.
  const std::string chunk(4096, 'f');
  DWORD written = 0;
  bool full = false;
  for (int n = 0; n < 1024 && !full; ++n)
    full = !WriteFile(filler, chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) ||
           written != chunk.size();
  CloseHandle(filler);
  ASSERT_TRUE(full) << "4 MB went onto the small drive without filling it";

  const ustring line(200000, u'L');
  EXPECT_THROW(process_->AppendToFile(log, line), EInOutError);
  EXPECT_EQ(Contents(log), "x\x1Ay");
  EXPECT_THROW(process_->AppendToFile(full_ + u"new.txt", line), EInOutError);
  EXPECT_EQ(List(full_), (Names{"filler", "log.txt"}));
}

// Copy and Rename onto a drive too small for the source: they report
// nothing, as always, but the file Copy would replace keeps its bytes, the
// source stays, and no part of the source is left on the drive.
TEST_F(SmallDrive, CopyAndRenameThatDoNotFitChangeNothing) {
  const std::string source(1536 * 1024, 'S'), old(300 * 1024, 'o');
  Put(dir_ + u"source.bin", source);
  const struct {
    const char* what;
    std::function<void(TProcess&, const ustring&, const ustring&)> call;
    const char16_t* target;
    bool targetThere;
  } cases[] = {
      {"Copy over a file", [](TProcess& p, const ustring& a, const ustring& b) { p.Copy(a, b); },
       u"old.bin", true},
      {"Copy to a new name", [](TProcess& p, const ustring& a, const ustring& b) { p.Copy(a, b); },
       u"new.bin", false},
      {"Rename to a new name",
       [](TProcess& p, const ustring& a, const ustring& b) { p.Rename(a, b); }, u"new.bin", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const std::string& name : List(full_)) DeleteFileW(wstr(full_ + fromUtf8(name)));
    if (c.targetThere) Put(full_ + c.target, old);
    c.call(*process_, dir_ + u"source.bin", full_ + c.target);
    EXPECT_EQ(List(full_), c.targetThere ? Names{toUtf8(c.target)} : Names{});
    EXPECT_TRUE(Contents(full_ + c.target) == (c.targetThere ? old : "<missing>"));
    EXPECT_TRUE(Contents(dir_ + u"source.bin") == source);
  }
  // What fits is moved to the other drive, never over a file there.
  Put(dir_ + u"small.bin", "small");
  Put(full_ + u"old.bin", "old");
  process_->Rename(dir_ + u"small.bin", full_ + u"old.bin");
  EXPECT_EQ(Contents(full_ + u"old.bin"), "old");
  EXPECT_EQ(Contents(dir_ + u"small.bin"), "small");
  process_->Rename(dir_ + u"small.bin", full_ + u"moved.bin");
  EXPECT_EQ(Contents(full_ + u"moved.bin"), "small");
  EXPECT_EQ(Contents(dir_ + u"small.bin"), "<missing>");
  EXPECT_EQ(List(full_), (Names{"moved.bin", "old.bin"}));
}

// DumpHeader.

TEST_F(ProcessFiles, DumpHeaderCopiesTheRawBody) {
  std::string body;
  for (int i = 0; i < 10000; ++i) body += static_cast<char>(i * 7);
  host_->body = body;
  process_->DumpHeader(dir_ + u"raw.bin");
  EXPECT_EQ(Contents(dir_ + u"raw.bin"), body);
  EXPECT_EQ(host_->asked(), (std::vector<int64_t>{4096, 4096, 1808}));
  std::vector<bool> asInt64;
  for (const auto& r : host_->reads) asInt64.push_back(r.asInt64);
  EXPECT_EQ(asInt64, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(process_->FileQty(), 0);  // the object's state is untouched
}

TEST_F(ProcessFiles, DumpHeaderKeepsEveryByteOfShortReads) {
  host_->body = std::string(9000, 'r');
  host_->deliveries = {100, 4000, 1};
  process_->DumpHeader(dir_ + u"raw.bin");
  EXPECT_EQ(Contents(dir_ + u"raw.bin"), host_->body);

  host_->position = 0;
  host_->reads.clear();
  host_->deliveries = {100, 0};
  process_->DumpHeader(dir_ + u"cut.bin");
  EXPECT_EQ(Contents(dir_ + u"cut.bin"), std::string(100, 'r'));
  EXPECT_EQ(host_->reads.size(), 2u);
}

TEST_F(ProcessFiles, DumpHeaderEdges) {
  process_->DumpHeader(dir_ + u"empty.bin");  // TotalBytes 0
  EXPECT_EQ(Contents(dir_ + u"empty.bin"), "");

  host_->body = std::string(5000, 'x');
  host_->fail("BinaryRead", 2);
  Put(dir_ + u"failed.bin", "before");
  EXPECT_TRUE(Throws<EUploadError>([&] { process_->DumpHeader(dir_ + u"failed.bin"); },
                                   "Error reading uploaded file or form data. Host call failed: BinaryRead"));
  EXPECT_EQ(Contents(dir_ + u"failed.bin"), "before");  // a failed dump changes nothing

  host_->failFrom.clear();
  host_->position = 0;
  host_->overclaim = 1;
  EXPECT_TRUE(Throws<EUploadError>([&] { process_->DumpHeader(dir_ + u"claimed.bin"); },
                                   "Error reading uploaded file or form data. Stream read error"));
  EXPECT_EQ(Contents(dir_ + u"claimed.bin"), "<missing>");
  EXPECT_EQ(List(dir_), (Names{"empty.bin", "failed.bin"}));  // no staging file left behind

  ustring target = root_ + u"\\missing\\raw.bin";
  EXPECT_TRUE(Throws<EFCreateError>([&] { process_->DumpHeader(target); },
                                    "Cannot create file \"" + toUtf8(target) + "\". " +
                                        toUtf8(SysErrorMessage(ERROR_PATH_NOT_FOUND))));
}

// File operations.

TEST_F(ProcessFiles, CreateDirAndFileExists) {
  TProcess& p = *process_;
  EXPECT_TRUE(p.CreateDir(root_ + u"\\new\\deeper"));
  EXPECT_NE(GetFileAttributesW(wstr(root_ + u"\\new\\deeper")), INVALID_FILE_ATTRIBUTES);
  EXPECT_FALSE(p.CreateDir(u"C:\\"));
  EXPECT_FALSE(p.FileExists(root_ + u"\\new"));
  Put(root_ + u"\\new\\f.txt", "x");
  EXPECT_TRUE(p.FileExists(root_ + u"\\new\\f.txt"));
  EXPECT_FALSE(p.FileExists(root_ + u"\\new\\g.txt"));
}

TEST_F(ProcessFiles, AppendToFileWritesAnsiLines) {
  TProcess& p = *process_;
  ustring log = dir_ + u"log.txt";
  p.AppendToFile(log, u"a");
  p.AppendToFile(log, u"b");
  p.AppendToFile(log, u"");
  p.AppendToFile(log, u"caf\u00E9 \u4E00\r\nnext");
  EXPECT_EQ(Contents(log), "a\r\nb\r\n\r\ncaf\xE9 ?\r\nnext\r\n");
}

TEST_F(ProcessFiles, AppendToFileCutsAtCtrlZ) {
  ustring log = dir_ + u"log.txt";
  Put(log, "x\x1Ay\x1Az");
  process_->AppendToFile(log, u"line");
  EXPECT_EQ(Contents(log),
            "x"
            "line\r\n");

  // Only the last 128 bytes are searched.
  std::string early = "p\x1A" + std::string(200, 'q');
  Put(log, early);
  process_->AppendToFile(log, u"end");
  EXPECT_EQ(Contents(log), early + "end\r\n");
}

TEST_F(ProcessFiles, AppendToFileFailures) {
  TProcess& p = *process_;
  EXPECT_TRUE(Throws<EInOutError>([&] { p.AppendToFile(root_ + u"\\missing\\log.txt", u"x"); },
                                  "Invalid file name - %s"));
  EXPECT_TRUE(
      Throws<EInOutError>([&] { p.AppendToFile(root_ + u"\\up", u"x"); }, "File access denied"));
  EXPECT_TRUE(Throws<EInOutError>([&] { p.AppendToFile(dir_ + ustring(260, u'n'), u"x"); },
                                  "Invalid file name - %s"));
  // Held open without sharing by someone else.
  ustring held = dir_ + u"held.txt";
  Put(held, "x");
  HANDLE h = CreateFileW(wstr(held), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Throws<EInOutError>([&] { p.AppendToFile(held, u"x"); }, "I/O error 32"));
  CloseHandle(h);
}

TEST_F(ProcessFiles, CopyRenameDeleteAreSilent) {
  TProcess& p = *process_;
  Put(dir_ + u"a", "A");
  Put(dir_ + u"b", "B");
  p.Copy(dir_ + u"a", dir_ + u"b");  // replaces
  EXPECT_EQ(Contents(dir_ + u"b"), "A");
  p.Copy(dir_ + u"missing", dir_ + u"c");
  p.Copy(dir_ + u"a", root_ + u"\\missing\\c");
  Put(dir_ + u"b", "B");
  p.Rename(dir_ + u"a", dir_ + u"b");  // no replacing
  EXPECT_EQ(Contents(dir_ + u"b"), "B");
  p.Rename(dir_ + u"a", dir_ + u"moved");
  p.Rename(dir_ + u"missing", dir_ + u"other");
  EXPECT_EQ(List(dir_), (Names{"b", "moved"}));
  p.Delete(dir_ + u"b");
  p.Delete(dir_ + u"missing");
  EXPECT_EQ(List(dir_), Names{"moved"});
}

// Copies the system refuses or that fail leave the target as it was and no
// staging file beside it; a copy onto the source itself keeps its bytes.
TEST_F(ProcessFiles, CopyRefusedLeavesTheFolderAsItWas) {
  TProcess& p = *process_;
  Put(dir_ + u"a", "A");
  Put(dir_ + u"ro", "read-only");
  SetFileAttributesW(wstr(dir_ + u"ro"), FILE_ATTRIBUTE_READONLY);
  CreateDirectoryW(wstr(dir_ + u"sub"), nullptr);
  const struct {
    const char16_t *from, *to;
  } cases[] = {
      {u"missing", u"b"},  // no source
      {u"a", u"ro"},       // a read-only target, refused as on Windows
      {u"a", u"sub"},      // a folder of that name
      {u"a", u"a"},        // onto itself
  };
  for (const auto& c : cases) {
    p.Copy(dir_ + c.from, dir_ + c.to);
    EXPECT_EQ(List(dir_), (Names{"a", "ro", "sub"})) << toUtf8(c.to);
  }
  EXPECT_EQ(Contents(dir_ + u"a"), "A");
  EXPECT_EQ(Contents(dir_ + u"ro"), "read-only");
  EXPECT_EQ(List(dir_ + u"sub"), Names{});
  SetFileAttributesW(wstr(dir_ + u"ro"), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(ProcessFiles, CreateGUID) {
  ustring a = process_->CreateGUID(), b = process_->CreateGUID();
  EXPECT_NE(a, b);
  for (const ustring& g : {a, b}) {
    ASSERT_EQ(g.size(), 36u);
    for (size_t i = 0; i < g.size(); ++i) {
      if (i == 8 || i == 13 || i == 18 || i == 23)
        EXPECT_EQ(g[i], u'-') << toUtf8(g);
      else
        EXPECT_TRUE((g[i] >= u'0' && g[i] <= u'9') || (g[i] >= u'A' && g[i] <= u'F')) << toUtf8(g);
    }
  }
}
