// The upload object against an in-process host: reading, progress, the
// variable lists, file access, raw capture and release. Portable: runs natively
// under the sanitizers and under Wine.
#include "process/process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/system_text.h"
#include "process/base64.h"
#include "process/fileops.h"
#include "process/process_state.h"
#include "process/testing/fake_host.h"
#include "process/testing/multipart_body.h"
#include "process/testing/throws.h"
#include "text/stringlist.h"
#include "velmora_version.h"

using namespace velmora;
using velmora::testing::FakeHost;
using velmora::testing::Field;
using velmora::testing::File;
using velmora::testing::MultipartBody;
using velmora::testing::Throws;

namespace {

const char kNoFile[] = "Index out of range or no file uploaded.";

class Process : public ::testing::Test {
 protected:
  Process() : host(std::make_shared<FakeHost::Script>()) { renew(); }

  // A fresh object on the same host script.
  void renew() { process = std::make_unique<TProcess>(std::make_unique<FakeHost>(host)); }
  // A fresh object on a fresh host.
  void restart() {
    host = std::make_shared<FakeHost::Script>();
    renew();
  }

  void read(std::string body) {
    host->body = std::move(body);
    host->position = 0;
    process->Read();
  }

  std::string fileBytes(int index) {
    const TChunkedMemoryStream& bytes = process->FileData(index);
    std::string out(static_cast<size_t>(bytes.size()), '\0');
    EXPECT_EQ(bytes.readAt(0, out.data(), out.size()), out.size());
    return out;
  }

  std::shared_ptr<FakeHost::Script> host;
  std::unique_ptr<TProcess> process;
};

// A body of exactly size bytes: one text field and one file that fills the
// rest (or, with fileSize, a file of exactly size bytes).
std::string BodyOfSize(size_t size, bool fileSize = false) {
  auto make = [](size_t n) {
    return MultipartBody({Field("title", "report"), File("doc", "big.bin", std::string(n, 'x'))});
  };
  return make(fileSize ? size : size - make(0).size());
}

std::string Utf8(const ustring& s) { return toUtf8(s); }

}  // namespace

TEST_F(Process, FreshObjectHasTheDefaults) {
  TProcess& p = *process;
  EXPECT_EQ(p.MaxKB(), 0);
  EXPECT_EQ(p.Status(), 0);
  EXPECT_EQ(p.TotalBytes(), 0);
  EXPECT_EQ(p.FileQty(), 0);
  EXPECT_EQ(p.OverwriteMode(), 0);
  EXPECT_FALSE(p.ShowProgress());
  EXPECT_FALSE(p.SaveDirect());
  EXPECT_FALSE(p.SaveDirectUseExistingName());
  EXPECT_EQ(p.ProgressID(), u"");
  EXPECT_EQ(p.SaveDirectName(), u"");
  EXPECT_EQ(p.SaveDirectPath(), u"");
  EXPECT_EQ(p.Debug(), u"");
  EXPECT_EQ(p.OverwriteChr(), u"~");
  EXPECT_EQ(p.VarDelimiter(), u", ");
  EXPECT_EQ(p.Charset(), u"UTF-8");
  EXPECT_EQ(p.VarCount(), 0);
  EXPECT_EQ(p.TagNameIndex(u"doc"), -1);
  EXPECT_EQ(p.Value(u"a"), u"");
  EXPECT_TRUE(host->calls.empty());
}

TEST_F(Process, ScalarPropertiesStoreWhatTheyAreGiven) {
  TProcess& p = *process;
  p.SetSaveDirectPath(u"D:\\up");
  EXPECT_EQ(p.SaveDirectPath(), u"D:\\up");
  p.SetOverwriteChr(u"");
  EXPECT_EQ(p.OverwriteChr(), u"");
  p.SetOverwriteChr(u"_copy");
  EXPECT_EQ(p.OverwriteChr(), u"_copy");
  for (auto [given, stored] : std::vector<std::pair<int, int>>{
           {0, 0}, {1, 1}, {2, 2}, {3, 0}, {7, 0}, {-1, 0}, {257, 0}}) {
    p.SetOverwriteMode(given);
    EXPECT_EQ(p.OverwriteMode(), stored) << given;
  }
}

TEST_F(Process, MaxKBLimitsNothing) {
  process->SetMaxKB(1);
  read(BodyOfSize(250000));
  EXPECT_EQ(process->MaxKB(), 1);
  EXPECT_EQ(process->TotalBytes(), 250000);
  EXPECT_EQ(process->FileSize(0), static_cast<int>(250000 - BodyOfSize(0, true).size()));
}

TEST_F(Process, ReadsInBlocksAndPublishesProgressBeforeEachParse) {
  process->SetShowProgress(true);
  process->SetProgressID(u"upload-7");
  read(BodyOfSize(250000));

  EXPECT_EQ(host->asked(), (std::vector<int64_t>{102400, 102400, 45200}));
  std::vector<bool> asInt64;
  for (const auto& r : host->reads) asInt64.push_back(r.asInt64);
  EXPECT_EQ(asInt64, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(host->progress(), (std::vector<int32_t>{41, 82, 100}));
  for (const auto& s : host->stored) EXPECT_EQ(s.first, u"upload-7");
  EXPECT_EQ(host->calls, (std::vector<std::string>{
                             "TotalBytes", "IsClientConnected", "BinaryRead", "SetApplicationValue",
                             "IsClientConnected", "BinaryRead", "SetApplicationValue",
                             "IsClientConnected", "BinaryRead", "SetApplicationValue"}));
  EXPECT_EQ(process->Value(u"title"), u"report");
  EXPECT_EQ(process->FileQty(), 1);
}

// The value is stored before the block that reached it is parsed: when the
// store fails, that block's field never arrives.
TEST_F(Process, ProgressComesBeforeTheParse) {
  auto make = [](size_t n) {
    return MultipartBody({File("doc", "big.bin", std::string(n, 'x')), Field("tail", "end")});
  };
  std::string body = make(250000 - make(0).size());
  process->SetShowProgress(true);
  process->SetProgressID(u"p");
  host->fail("SetApplicationValue", 3);
  EXPECT_THROW(read(body), EHostCallError);
  EXPECT_EQ(host->reads.size(), 3u);
  EXPECT_EQ(process->Value(u"tail"), u"");
  EXPECT_EQ(process->TagNameIndex(u"doc"), -1);

  restart();
  read(body);
  EXPECT_EQ(process->Value(u"tail"), u"end");
  EXPECT_EQ(process->TagNameIndex(u"doc"), 0);
}

TEST_F(Process, BlockEdgesAtTheLimit) {
  struct Case {
    size_t size;
    std::vector<int64_t> asked;
    std::vector<bool> asInt64;
  };
  for (const Case& c : {Case{102400, {102400}, {false}}, Case{102401, {102400, 1}, {false, true}},
                        Case{102399, {102399}, {true}}}) {
    restart();
    read(BodyOfSize(c.size));
    std::vector<bool> asInt64;
    for (const auto& r : host->reads) asInt64.push_back(r.asInt64);
    EXPECT_EQ(host->asked(), c.asked) << c.size;
    EXPECT_EQ(asInt64, c.asInt64) << c.size;
    EXPECT_EQ(process->FileQty(), 1) << c.size;
    EXPECT_EQ(process->Value(u"title"), u"report") << c.size;
  }
}

TEST_F(Process, ProgressRoundsHalvesToEven) {
  // 200 bytes in reads of 1, 2, 2, 2: 0.5, 1.5, 2.5, 3.5 percent.
  host->body = std::string(200, 'z');
  host->deliveries = {1, 2, 2, 2};
  process->SetShowProgress(true);
  process->SetProgressID(u"p");
  process->Read();
  std::vector<int32_t> values = host->progress();
  ASSERT_EQ(values.size(), 5u);
  EXPECT_EQ(values, (std::vector<int32_t>{0, 2, 2, 4, 100}));
}

TEST_F(Process, ProgressNeedsShowProgressAndAnID) {
  process->SetProgressID(u"p");  // ShowProgress false
  read(BodyOfSize(1000));
  renew();
  process->SetShowProgress(true);  // ProgressID empty
  read(BodyOfSize(1000));
  EXPECT_EQ(host->reads.size(), 2u);
  EXPECT_TRUE(host->stored.empty());
}

TEST_F(Process, ShortReadsAskForTheRemainderAndGiveTheSameResults) {
  std::string body =
      MultipartBody({Field("a", "1"), File("f", "x.txt", std::string(5000, 'q')), Field("b", "2")});
  host->deliveries = {10, 3, 1, 4000, 7};
  read(body);
  std::vector<int64_t> expected;
  int64_t left = static_cast<int64_t>(body.size());
  for (size_t got : {10, 3, 1, 4000, 7}) {
    expected.push_back(left);
    left -= static_cast<int64_t>(got);
  }
  expected.push_back(left);
  EXPECT_EQ(host->asked(), expected);
  for (const auto& r : host->reads) EXPECT_TRUE(r.asInt64);
  EXPECT_EQ(process->Value(u"a"), u"1");
  EXPECT_EQ(process->Value(u"b"), u"2");
  EXPECT_EQ(fileBytes(0), std::string(5000, 'q'));
}

TEST_F(Process, AReadThatDeliversNothingEndsTheReadingQuietly) {
  std::string body = MultipartBody({Field("a", "1"), Field("b", "2")});
  size_t firstPart = body.find("Content", 60);  // inside the second part
  host->deliveries = {firstPart, 0};
  process->SetShowProgress(true);
  process->SetProgressID(u"p");
  read(body);
  EXPECT_EQ(host->reads.size(), 2u);
  EXPECT_EQ(host->stored.size(), 1u);  // nothing published for the empty read
  EXPECT_EQ(process->Value(u"a"), u"1");
  EXPECT_EQ(process->Value(u"b"), u"");
}

TEST_F(Process, ClientGoneAfterTheFirstBlock) {
  std::string body = BodyOfSize(300000);
  host->connectedReads = 1;
  read(body);
  EXPECT_EQ(host->reads.size(), 1u);
  EXPECT_EQ(process->Value(u"title"), u"report");  // the first block held it
  EXPECT_EQ(process->VarCount(), 2);
  EXPECT_EQ(process->Value(u"doc"), u"big.bin");
  ASSERT_EQ(process->FileQty(), 1);  // its file began but never ended
  EXPECT_GT(process->FileSize(0), 100000);
  EXPECT_EQ(process->TagNameIndex(u"doc"), -1);
  EXPECT_TRUE(
      Throws<EStringListError>([&] { process->TagName(0); }, "List index out of bounds (0)"));
}

TEST_F(Process, TotalBytesZeroReadsNothingButEmptiesTheVariableList) {
  read(MultipartBody({Field("a", "1"), File("f", "x.txt", "abc")}));
  ASSERT_EQ(process->VarCount(), 2);
  host->totalBytes = 0;
  read("");
  EXPECT_EQ(process->TotalBytes(), 0);
  EXPECT_EQ(process->VarCount(), 0);
  EXPECT_EQ(process->FileQty(), 1);
  EXPECT_EQ(host->counts["BinaryRead"], 1);
}

TEST_F(Process, HostFailuresBecomeTheNumberedMessages) {
  host->fail("TotalBytes");
  EXPECT_TRUE(Throws<EUploadError>([&] { read(BodyOfSize(1000)); },
                                   "Velmora Error: Error finding size of upload. (#1)"));

  restart();
  host->fail("BinaryRead", 2);
  EXPECT_TRUE(Throws<EUploadError>(
      [&] { read(BodyOfSize(250000)); },
      "Velmora Error: Error reading from ASP Request object. Total Bytes: 250000, Bytes Read: "
      "102400. (#2) Host call failed: BinaryRead"));
  // What the first block held is there.
  EXPECT_EQ(process->Value(u"title"), u"report");
}

// A host that reports more bytes than it was asked for cannot be trusted with
// the rest either; nothing it did not deliver is ever kept.
TEST_F(Process, AHostThatClaimsTooMuchFails) {
  std::string body = MultipartBody({Field("a", "1")});
  host->overclaim = 1;
  EXPECT_TRUE(Throws<EUploadError>([&] { read(body); },
                                   "Velmora Error: Error reading from ASP Request object. Total "
                                   "Bytes: " +
                                       std::to_string(body.size()) + ", Bytes Read: 0. (#2)"));
  EXPECT_EQ(process->VarCount(), 0);

  restart();
  host->body = "12345";
  host->overclaim = 1;
  process->ReadChunks();
  EXPECT_EQ(process->FileQty(), 0);
}

TEST_F(Process, AParseFailureIsNumberThree) {
  // Direct mode whose destination cannot be opened: without a Windows file
  // layer no direct-save file can be made; under Wine the directory is missing.
  process->SetSaveDirect(true);
  process->SetSaveDirectPath(u"Q:\\velmora\\no such directory\\");
  process->SetSaveDirectName(u"out.bin");
  // The cause follows the number: the file layer's own message.
#ifdef _WIN32
  const std::string cause = "Error creating file: Q:\\velmora\\no such directory\\out.bin. ";
#else
  const std::string cause = "Direct saving needs the Windows file system.";
#endif
  try {
    read(MultipartBody({Field("a", "1"), File("f", "x.txt", "abc"), Field("b", "2")}));
    ADD_FAILURE() << "Read succeeded";
  } catch (const EUploadError& e) {
    const std::string start = "Velmora Error: Error reading block. (#3) " + cause;
    EXPECT_EQ(std::string(e.what()).substr(0, start.size()), start);
    // Under Windows the system's reason closes the message.
    if (cause.back() == ' ') {
      EXPECT_GT(std::string(e.what()).size(), start.size()) << e.what();
    } else {
      EXPECT_EQ(e.what(), start);
    }
  }
  EXPECT_EQ(process->Value(u"a"), u"1");  // the lists hold what came before
  EXPECT_EQ(process->Value(u"f"), u"x.txt");
  EXPECT_EQ(process->VarCount(), 2);
}

// A body past one of the parser's limits fails Read with a message that
// names the limit, numbered as a failure while a block is parsed; the lists
// hold what came before it.
TEST_F(Process, ABodyPastALimitFailsNamingIt) {
  const struct {
    const char* limit;
    std::string body;
    std::string message;
    int variables;
  } cases[] = {
      {"delimiter line", std::string(1025, '-') + "\r\n",
       "The body's first line, its delimiter, is longer than 1024 bytes.", 0},
      // 'Content-Disposition: form-data; name=""' and its CR LF: 41 bytes
      // and the name.
      {"header",
       MultipartBody(
           {Field("a", "1"), Field(std::string(16000 - 41 + 1, 'n'), "2"), Field("c", "3")}),
       "The header of a part is longer than 16000 bytes.", 1},
      // The part refused is dropped, though its file name came before.
      {"header of a file",
       [] {
         std::string body = MultipartBody({Field("a", "1")});
         body.replace(body.size() - 4, 4, "\r\n");  // a delimiter, not the closing one
         return body + "Content-Disposition: form-data; name=\"f\"; filename=\"f.txt\"\r\nX: " +
                std::string(16000, 'x') + "\r\n\r\ndata";
       }(),
       "The header of a part is longer than 16000 bytes.", 1},
      {"header lines",
       [] {
         std::string body = MultipartBody({Field("a", "1")});
         body.replace(body.size() - 4, 4, "\r\n");  // a delimiter, not the closing one
         for (int i = 0; i <= 100; ++i) body += "X-Line: " + std::to_string(i) + "\r\n";
         return body + "\r\nvalue";
       }(),
       "A part has more than 100 header lines.", 1},
      // An empty delimiter line: "x", the empty line and an empty value make
      // a part of seven bytes.
      {"parts",
       "\r\n" +
           [] {
             std::string parts;
             for (int i = 0; i <= 200000; ++i) parts += "x\r\n\r\n\r\n";
             return parts;
           }(),
       "The body has more than 200000 parts.", 0},
      {"form text", MultipartBody({Field("a", "1"), Field("t", std::string(16u << 20, 'v'))}),
       "The form's text (names, values, file names, content types) is longer than 16777216 "
       "characters.",
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.limit);
    restart();
    EXPECT_TRUE(Throws<EUploadError>([&] { read(c.body); }, "Velmora Error: " + c.message + " (#3)"));
    EXPECT_EQ(process->VarCount(), c.variables);
    if (c.variables > 0) {
      EXPECT_EQ(process->Value(u"a"), u"1");
    }
  }
}

// The closing delimiter ends the parts: what follows is taken from the host
// (progress reaches 100) but is no part, passes no limit, and can smuggle
// nothing past a reader that follows RFC 2046.
TEST_F(Process, NothingAfterTheClosingDelimiterIsAPart) {
  const std::string delimiter = "-----------------------------7e1a2b3c";
  const std::string form = MultipartBody({Field("a", "1"), File("f", "ok.txt", "ok")});
  std::string manyLines, headerLikeLines;
  for (int i = 0; i < 150; ++i) manyLines += "X-Line: " + std::to_string(i) + "\r\n";
  const struct {
    const char* title;
    std::string epilogue;
  } cases[] = {
      {"more than 100 lines", manyLines},
      {"a line over 16000 bytes", std::string(20000, 'e') + "\r\n"},
      {"a part written after the close", delimiter +
                                             "\r\nContent-Disposition: form-data; name=\"x\"; "
                                             "filename=\"evil.asp\"\r\n\r\n<% %>\r\n" +
                                             delimiter + "--\r\n"},
      {"header lines straight after the close",
       "Content-Disposition: form-data; name=\"x\"; filename=\"evil.asp\"\r\n\r\n<% %>\r\n" +
           delimiter + "\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    restart();
    process->SetShowProgress(true);
    process->SetProgressID(u"p");
    std::string body = form;
    if (c.epilogue.rfind("Content-Disposition", 0) == 0) body.erase(body.size() - 2);  // no CR LF
    read(body + c.epilogue);
    EXPECT_EQ(process->VarCount(), 2);
    EXPECT_EQ(process->Value(u"x"), u"");
    ASSERT_EQ(process->FileQty(), 1);
    EXPECT_EQ(process->FileName(0), u"ok.txt");
    EXPECT_EQ(host->progress().back(), 100);
  }
}

TEST_F(Process, APartLimitCountsOnlyParts) {
  // An empty delimiter line: "x", the empty line and an empty value make a
  // part of seven bytes; the CR LF after each delimiter opens the next, and
  // the closing delimiter follows the last one.
  auto parts = [](int count) {
    std::string body = "\r\n";
    for (int i = 0; i < count; ++i) body += (i ? "\r\n" : "") + std::string("x\r\n\r\n\r\n");
    return body + "--";
  };
  read(parts(200000));
  EXPECT_EQ(process->VarCount(), 0);  // nameless parts make no variables
  restart();
  EXPECT_TRUE(Throws<EUploadError>([&] { read(parts(200001)); },
                                   "Velmora Error: The body has more than 200000 parts. (#3)"));
}

// Every declared byte came and the client is there, but a part began and its
// delimiter never did: the body was cut or malformed. What was complete
// stays; the cut file is not listed; the read fails. A body in which no part
// began, and a client that left, still end quietly.
TEST_F(Process, ABodyThatEndsInsideAPartFails) {
  const std::string whole = MultipartBody(
      {Field("a", "1"), File("f", "done.txt", "done"), File("g", "cut.txt", "0123456789")});
  const std::string cut = whole.substr(0, whole.find("0123456789") + 5);
  const std::string message = "Velmora Error: The body ended before its closing delimiter. (#3)";
  const struct {
    const char* title;
    std::string body;
    int connectedReads;  // -1: the client stays
    bool fails;
    int files;
    const char16_t* a;  // Value("a")
  } cases[] = {
      {"cut inside a file", cut, -1, true, 1, u"1"},
      {"cut inside a value", whole.substr(0, whole.find("\r\n1\r\n") + 3), -1, true, 0, u""},
      {"cut inside a part's headers", whole.substr(0, whole.find("filename=\"cut")), -1, true, 1,
       u"1"},
      {"cut inside a file, the client gone", cut + std::string(200000, 'z'), 1, false, 2, u"1"},
      {"no part at all", "just some text without a line break", -1, false, 0, u""},
      // The body ends right after a delimiter line (or a part of the closing
      // one): no closing delimiter came either.
      {"every part closed, the closing \"--\" missing", whole.substr(0, whole.size() - 4), -1,
       true, 2, u"1"},
      {"every part closed, one \"-\" of the closing \"--\"", whole.substr(0, whole.size() - 3),
       -1, true, 2, u"1"},
      {"a delimiter line and its line break, then nothing", whole.substr(0, whole.size() - 4) + "\r\n",
       -1, true, 2, u"1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    restart();
    host->connectedReads = c.connectedReads;
    if (c.fails) {
      EXPECT_TRUE(Throws<EUploadError>([&] { read(c.body); }, message));
    } else {
      read(c.body);
    }
    EXPECT_EQ(process->FileQty(), c.files);
    if (c.files > 0) {
      EXPECT_EQ(fileBytes(0), "done");
    }
    EXPECT_EQ(process->Value(u"a"), c.a);
  }
}

// Sizes a script's Long cannot hold are refused, never wrapped.
TEST_F(Process, SizesPastALongAreRefused) {
  EXPECT_EQ(SizeAsLong(2147483647, u"FileSize"), 2147483647);
  EXPECT_TRUE(Throws<EUploadError>(
      [&] { SizeAsLong(int64_t{3000} << 20, u"FileSize"); },
      "FileSize cannot report a size of 3145728000 bytes: a Long holds at most 2147483647."));
  EXPECT_THROW(SizeAsLong(int64_t{1} << 31, u"FileSize"), EUploadError);
}

TEST_F(Process, OtherHostFailuresPassUnchanged) {
  for (const char* call : {"IsClientConnected", "SetApplicationValue"}) {
    restart();
    host->fail(call);
    process->SetShowProgress(true);
    process->SetProgressID(u"p");
    EXPECT_TRUE(Throws<EHostCallError>([&] { read(BodyOfSize(1000)); },
                                      "Host call failed: " + std::string(call)));
  }
}

TEST_F(Process, DirectModeNeedsAPathAndAName) {
  const char message[] = "A file path must be specified when saving direct.";
  process->SetSaveDirect(true);
  EXPECT_TRUE(Throws<EUploadError>([&] { process->Read(); }, message));
  process->SetSaveDirectPath(u"D:\\up\\");
  EXPECT_TRUE(Throws<EUploadError>([&] { process->Read(); }, message));
  EXPECT_TRUE(host->calls.empty());  // nothing was read

  process->SetSaveDirectUseExistingName(true);
  read(MultipartBody({Field("a", "1")}));  // no file part: nothing to save
  EXPECT_EQ(process->Value(u"a"), u"1");
}

TEST_F(Process, RepeatedNamesGoToMultiVar) {
  read(MultipartBody({Field("a", "1"), Field("A", "2"), Field("a", "3")}));
  TProcess& p = *process;
  EXPECT_EQ(p.VarCount(), 1);
  EXPECT_EQ(p.VarName(0), u"a");
  EXPECT_EQ(p.Debug(), u"");
  EXPECT_EQ(p.VarByIndex(0), u"1, 2, 3");
  EXPECT_EQ(p.Debug(), u"");  // VarByIndex leaves it
  EXPECT_EQ(p.Value(u"A"), u"1, 2, 3");
  EXPECT_EQ(p.Debug(), u"Hello");
  p.SetVarDelimiter(u"|");
  EXPECT_EQ(p.Value(u"a"), u"1|2|3");
  p.SetVarDelimiter(u"");
  EXPECT_EQ(p.VarByIndex(0), u"123");
  EXPECT_EQ(p.Value(u"missing"), u"");
}

TEST_F(Process, FileFieldsInTheVariableList) {
  read(MultipartBody({File("doc", "x.txt", "X"), Field("doc", "y"), File("empty", "", ""),
                      File("f", "a.txt", "A"), File("f", "b.txt", "B"), Field("a", "1"),
                      Field("a", "")}));
  TProcess& p = *process;
  EXPECT_EQ(p.VarCount(), 5);
  EXPECT_EQ(p.Value(u"doc"), u"x.txt, y");
  EXPECT_EQ(p.VarName(1), u"empty");
  EXPECT_EQ(p.VarByIndex(1), u"");
  EXPECT_EQ(p.VarName(3), u"f");
  EXPECT_EQ(p.VarByIndex(3), u"a.txt");  // the lookup finds the first line
  EXPECT_EQ(p.Value(u"f"), u"a.txt");    // each match looks up the first line
  EXPECT_EQ(p.Value(u"a"), u"1, ");
  EXPECT_EQ(p.FileQty(), 3);  // the empty file field makes no record
  EXPECT_EQ(p.TagName(0), u"doc");
  EXPECT_EQ(p.TagName(1), u"f");
  EXPECT_EQ(p.TagNameIndex(u"DOC"), 0);
  EXPECT_EQ(p.TagNameIndex(u"F"), 1);
  EXPECT_EQ(p.TagNameIndex(u"empty"), -1);
}

// A part the body ends in keeps its line: a value with an empty value, a
// repeat joined as an empty one, a file field with its file name; nothing
// after the cut is listed.
TEST_F(Process, APartCutByTheClientKeepsItsLine) {
  const std::string body =
      MultipartBody({Field("a", "1"), Field("A", "22"), File("f", "x.txt", "X"), Field("b", "3")});
  const struct {
    const char* cutAfter;  // the body is delivered up to the end of this text
    int varCount;
    const char16_t *a, *f, *b;
  } cases[] = {
      {"name=\"A\"", 1, u"1", u"", u""},            // inside its first header line: no name yet
      {"name=\"A\"\r\n", 1, u"1, ", u"", u""},      // inside the repeat's headers
      {"\r\n\r\n2", 1, u"1, ", u"", u""},           // inside the repeat's value
      {"filename=\"x.txt\"\r\n", 2, u"1, 22", u"x.txt", u""},  // inside the file's headers
      {"name=\"b\"\r\n\r\n", 3, u"1, 22", u"x.txt", u""},  // at the start of the last value
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cutAfter);
    restart();
    const size_t cut = body.find(c.cutAfter) + std::strlen(c.cutAfter);
    ASSERT_LT(cut, body.size());
    host->deliveries = {cut, 0};
    read(body);
    EXPECT_EQ(process->VarCount(), c.varCount);
    EXPECT_EQ(process->Value(u"a"), c.a);
    EXPECT_EQ(process->Value(u"f"), c.f);
    EXPECT_EQ(process->Value(u"b"), c.b);
  }
}

// The variable members as plainly as they can be written, every lookup a
// scan of the lines; the object's indexed lists must give the same results.
class PlainVariables {
 public:
  void read(const std::vector<velmora::testing::FormPart>& parts) {
    variables_.clear();
    for (const auto& part : parts) {
      const ustring name = fromUtf8(part.name);
      if (part.filename) {
        variables_.push_back(name + u"=" + fromUtf8(*part.filename));
        if (!part.filename->empty()) tags_.push_back(name);
      } else if (name.empty()) {
        continue;  // a value without a name is no variable, not even a repeat
      } else if (indexOfName(name) >= 0) {
        repeats_.push_back(name + u"=" + fromUtf8(part.data));
      } else {
        variables_.push_back(name + u"=" + fromUtf8(part.data));
      }
    }
  }

  int count() const { return static_cast<int>(variables_.size()); }
  ustring name(int i) const { return ustring(LineName(variables_[i])); }
  ustring varByIndex(int i, const ustring& delimiter) const {
    ustring result = lookup(name(i));
    appendRepeats(name(i), delimiter, result);
    return result;
  }
  // The value and whether it sets Debug.
  std::pair<ustring, bool> value(const ustring& name, const ustring& delimiter) const {
    ustring result;
    for (const ustring& line : variables_)
      if (asciiUpper(LineName(line)) == asciiUpper(name)) result = lookup(LineName(line));
    const bool repeated = appendRepeats(name, delimiter, result);
    return {result, repeated};
  }
  int tagNameIndex(const ustring& name) const {
    for (size_t i = 0; i < tags_.size(); ++i)
      if (systext::sameTextIgnoringCase(tags_[i], name)) return static_cast<int>(i);
    return -1;
  }

 private:
  static ustring valueOf(const ustring& line) {
    const size_t eq = line.find(u'=');
    return eq == ustring::npos ? ustring() : line.substr(eq + 1);
  }
  int indexOfName(ustring_view name) const {
    for (size_t i = 0; i < variables_.size(); ++i)
      if (systext::sameTextIgnoringCase(LineName(variables_[i]), name)) return static_cast<int>(i);
    return -1;
  }
  ustring lookup(ustring_view name) const {
    const int i = indexOfName(name);
    return i < 0 ? ustring() : valueOf(variables_[static_cast<size_t>(i)]);
  }
  bool appendRepeats(const ustring& name, const ustring& delimiter, ustring& result) const {
    bool any = false;
    for (const ustring& line : repeats_) {
      if (asciiUpper(LineName(line)) != asciiUpper(name)) continue;
      result += delimiter + valueOf(line);
      any = true;
    }
    return any;
  }

  std::vector<ustring> variables_, repeats_, tags_;
};

// Random forms over names that the system's compare and ASCII folding treat
// differently (accents, ß and "ss", sigmas, the Kelvin sign, ignorable
// characters, names holding "="), fields and file fields mixed, read twice
// so that the repeats of the first read stay: every variable member gives
// what the plain scans give.
TEST_F(Process, VariablesAgreeWithPlainScans) {
  const std::vector<std::string> names = {
      "a", "A", "b", "\xC3\xA9", "\xC3\x89", "e\xCC\x81", "E", "stra\xC3\x9F" "e", "STRASSE",
      "\xCF\x83", "\xCE\xA3", "\xCF\x82", "\xE2\x84\xAA", "K", "k", "a\xC2\xAD" "b", "ab", "x=y", "x", ""};
  std::mt19937 rng(17);
  for (int form = 0; form < 40; ++form) {
    restart();
    PlainVariables plain;
    for (int readNumber = 0; readNumber < 2; ++readNumber) {
      std::vector<velmora::testing::FormPart> parts;
      for (size_t n = rng() % 30; n > 0; --n) {
        const std::string& name = names[rng() % names.size()];
        switch (rng() % 4) {
          case 0: parts.push_back(File(name, rng() % 3 ? "f" + std::to_string(n) + ".txt" : "", "data")); break;
          default: parts.push_back(Field(name, "v" + std::to_string(n)));
        }
      }
      read(MultipartBody(parts));
      plain.read(parts);
    }
    TProcess& p = *process;
    const ustring delimiter = form % 2 ? u"|" : u", ";
    p.SetVarDelimiter(delimiter);
    ASSERT_EQ(p.VarCount(), plain.count());
    for (int i = 0; i < plain.count(); ++i) {
      ASSERT_EQ(p.VarName(i), plain.name(i)) << i;
      ASSERT_EQ(p.VarByIndex(i), plain.varByIndex(i, delimiter)) << Utf8(plain.name(i));
    }
    for (const std::string& utf8 : names) {
      const ustring name = fromUtf8(utf8);
      SCOPED_TRACE(utf8);
      const auto [expected, setsDebug] = plain.value(name, delimiter);
      const ustring debugBefore = p.Debug();
      ASSERT_EQ(p.Value(name), expected);
      EXPECT_EQ(p.Debug(), setsDebug ? u"Hello" : debugBefore);
      ASSERT_EQ(p.TagNameIndex(name), plain.tagNameIndex(name));
    }
  }
}

TEST_F(Process, IndexFailures) {
  read(MultipartBody({Field("a", "1"), File("f", "a.txt", "A")}));
  TProcess& p = *process;
  EXPECT_TRUE(Throws<Exception>([&] { p.VarByIndex(2); }, "Index out of range."));
  EXPECT_TRUE(Throws<Exception>([&] { p.VarName(2); }, "Index out of range."));
  EXPECT_TRUE(Throws<EStringListError>([&] { p.VarByIndex(-1); }, "List index out of bounds (-1)"));
  EXPECT_TRUE(Throws<EStringListError>([&] { p.VarName(-3); }, "List index out of bounds (-3)"));
  EXPECT_TRUE(Throws<Exception>([&] { p.TagName(1); }, kNoFile));
  EXPECT_TRUE(Throws<EStringListError>([&] { p.TagName(-1); }, "List index out of bounds (-1)"));
  for (int bad : {-1, 1}) {
    EXPECT_TRUE(Throws<Exception>([&] { p.FileName(bad); }, kNoFile));
    EXPECT_TRUE(Throws<Exception>([&] { p.LocalName(bad); }, kNoFile));
    EXPECT_TRUE(Throws<Exception>([&] { p.Extension(bad); }, kNoFile));
    EXPECT_TRUE(Throws<Exception>([&] { p.NameOnly(bad); }, kNoFile));
    EXPECT_TRUE(Throws<Exception>([&] { p.ContentType(bad); }, kNoFile));
    EXPECT_TRUE(Throws<Exception>([&] { p.NewName(bad); }, kNoFile));
    EXPECT_TRUE(Throws<EIndexError>([&] { p.FileSize(bad); }, kNoFile));
    EXPECT_TRUE(Throws<EIndexError>([&] { p.FileData(bad); }, kNoFile));
    EXPECT_TRUE(Throws<EIndexError>([&] { p.FileAsBase64(bad); }, kNoFile));
  }
}

TEST_F(Process, BeforeReadNoFileIsThere) {
  EXPECT_TRUE(Throws<Exception>([&] { process->TagName(0); }, kNoFile));
  EXPECT_TRUE(Throws<Exception>([&] { process->FileName(0); }, kNoFile));
  EXPECT_TRUE(Throws<EIndexError>([&] { process->FileData(0); }, kNoFile));
}

TEST_F(Process, CharsetSetting) {
  for (auto [given, stored] :
       std::vector<std::pair<ustring, ustring>>{{u"windows-1252", u"WINDOWS-1252"},
                                                {u"Windows-1252", u"WINDOWS-1252"},
                                                {u"iso-8859-1", u"UTF-8"},
                                                {u"utf-8", u"UTF-8"},
                                                {u"", u"UTF-8"},
                                                {u"WINDOWS-1252 ", u"UTF-8"}}) {
    process->SetCharset(given);
    EXPECT_EQ(process->Charset(), stored) << Utf8(given);
  }
  EXPECT_EQ(process->DecodeUTF8(u"\u00C3\u00A9"), u"\u00C3\u00A9");
}

TEST_F(Process, CharsetDecidesHowReadDecodesText) {
  std::string body = MultipartBody({Field("u", "\xC3\xA9"), Field("e", "\xE9")});
  read(body);
  EXPECT_EQ(process->Value(u"u"), u"\u00E9");
  EXPECT_EQ(process->Value(u"e"), u"\u00E9");  // ANSI fallback (code page 1252)

  renew();
  process->SetCharset(u"windows-1252");
  read(body);
  EXPECT_EQ(process->Value(u"u"), u"\u00C3\u00A9");
}

TEST_F(Process, FileNameMembers) {
  read(MultipartBody({File("doc", "C:\\docs\\report.final.pdf", "%PDF", "application/pdf"),
                      File("p", ".profile", ""), File("n", "notes.", "x", "text/plain"),
                      File("t", "../../x.asp", "x")}));
  TProcess& p = *process;
  ASSERT_EQ(p.FileQty(), 4);
  EXPECT_EQ(p.FileName(0), u"report.final.pdf");
  EXPECT_EQ(p.LocalName(0), u"C:\\docs\\report.final.pdf");
  EXPECT_EQ(p.Extension(0), u"pdf");
  EXPECT_EQ(p.NameOnly(0), u"report.final");
  EXPECT_EQ(p.ContentType(0), u"application/pdf");
  EXPECT_EQ(p.NewName(0), u"");
  EXPECT_EQ(p.Extension(1), u"");
  EXPECT_EQ(p.NameOnly(1), u".profile");
  EXPECT_EQ(p.FileName(2), u"notes");  // Windows would store it without the dot
  EXPECT_EQ(p.Extension(2), u"");
  EXPECT_EQ(p.NameOnly(2), u"notes");
  EXPECT_EQ(p.FileName(3), u"x.asp");  // no directory part, "/" included
  EXPECT_EQ(p.LocalName(3), u"../../x.asp");
}

TEST_F(Process, FileBytesSizeAndBase64) {
  read(MultipartBody({File("a", "a.bin", std::string("\x01\x02\x03", 3)), File("e", "e.bin", ""),
                      File("m", "m.bin", std::string(57, '\xFF'))}));
  TProcess& p = *process;
  EXPECT_EQ(p.FileSize(0), 3);
  EXPECT_EQ(fileBytes(0), std::string("\x01\x02\x03", 3));
  EXPECT_EQ(p.FileAsBase64(0), u"AQID");
  EXPECT_EQ(p.FileSize(1), 0);
  EXPECT_EQ(p.FileData(1).size(), 0);
  EXPECT_EQ(p.FileAsBase64(1), u"");
  EXPECT_EQ(p.FileAsBase64(2), ustring(76, u'/') + u"\r\n");
}

// Files that span many memory chunks and many Base64 pieces (of 57 KB) come
// back whole: as bytes, and as the Base64 text of the bytes in one run.
TEST_F(Process, LargeFilesComeBackWhole) {
  std::mt19937 rng(5);
  for (size_t size : {58367u, 58368u, 58369u, 1572877u, 5u << 20}) {
    SCOPED_TRACE(std::to_string(size) + " bytes");
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    restart();
    read(MultipartBody({Field("before", "x"), File("f", "big.bin", data), Field("after", "y")}));
    ASSERT_EQ(process->FileQty(), 1);
    EXPECT_EQ(process->FileSize(0), static_cast<int32_t>(size));
    EXPECT_TRUE(fileBytes(0) == data);
    EXPECT_TRUE(process->FileAsBase64(0) ==
                EncodeBase64Lines(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    EXPECT_EQ(process->Value(u"after"), u"y");
  }
}

// Memory follows the bytes that came, never the length a client declared:
// a body that claims 1 GB and sends 1 MB holds about 1 MB.
TEST_F(Process, DeclaredLengthReservesNothing) {
  const std::string data(1 << 20, 'd');
  host->totalBytes = 1 << 30;
  read(MultipartBody({File("f", "claimed.bin", data)}));
  ASSERT_EQ(process->FileQty(), 1);
  const TChunkedMemoryStream& bytes = process->FileData(0);
  EXPECT_EQ(bytes.size(), static_cast<int64_t>(data.size()));
  EXPECT_LT(bytes.capacity(), data.size() + TChunkedMemoryStream::kMaxChunk);
}

// The refusal follows the current setting and comes before the index check.
TEST_F(Process, SaveDirectRefusesTheByteMembers) {
  read(MultipartBody({File("a", "a.bin", "abc")}));
  process->SetSaveDirect(true);
  for (int index : {0, 5, -1}) {
    EXPECT_TRUE(Throws<EUploadError>([&] { process->FileSize(index); },
                                     "FileSize cannot be used when SaveDirect is true."));
    EXPECT_TRUE(Throws<EUploadError>([&] { process->FileData(index); },
                                     "FileData cannot be used when SaveDirect is true."));
    EXPECT_TRUE(Throws<EUploadError>([&] { process->FileAsBase64(index); },
                                     "FileData cannot be used when SaveDirect is true."));
  }
  EXPECT_EQ(process->FileName(0), u"a.bin");
  process->SetSaveDirect(false);
  EXPECT_EQ(process->FileSize(0), 3);
}

TEST_F(Process, ASecondReadAddsFilesAndRebuildsTheVariableList) {
  read(MultipartBody({Field("a", "1"), Field("a", "2"), File("f", "one.txt", "1")}));
  read(MultipartBody(
      {Field("b", "2"), Field("b", "3"), File("g", "two.txt", "22"), Field("a", "5")}));
  TProcess& p = *process;
  EXPECT_EQ(p.FileQty(), 2);
  EXPECT_EQ(p.FileName(1), u"two.txt");
  EXPECT_EQ(p.TagName(1), u"g");
  EXPECT_EQ(p.FileSize(1), 2);
  EXPECT_EQ(p.VarCount(), 3);
  EXPECT_EQ(p.Value(u"b"), u"2, 3");
  EXPECT_EQ(p.Value(u"a"), u"5, 2");  // the later occurrences are kept from before
}

TEST_F(Process, ReadChunksCapturesTheRawBody) {
  host->failPastEnd = true;  // a real host fails the read after the body
  host->body = "ab\r\ncd";
  process->ReadChunks();
  TProcess& p = *process;
  EXPECT_EQ(p.FileQty(), 1);
  EXPECT_EQ(fileBytes(0), "ab\r\ncd");
  EXPECT_EQ(p.FileSize(0), 6);
  EXPECT_EQ(p.FileName(0), u"");
  EXPECT_EQ(host->reads.size(), 6u);
  for (const auto& r : host->reads) {
    EXPECT_EQ(r.asked, 1);
    EXPECT_FALSE(r.asInt64);
  }
  EXPECT_EQ(host->counts["BinaryRead"], 7);  // the seventh failed
}

TEST_F(Process, ReadChunksEndsOnAnEmptyReadAndOnAnEmptyBody) {
  host->body = "12345";  // no failure past the end: the read delivers nothing
  process->ReadChunks();
  EXPECT_EQ(process->FileQty(), 1);
  EXPECT_EQ(fileBytes(0), "12345");

  restart();
  process->ReadChunks();  // an empty body
  EXPECT_EQ(process->FileQty(), 0);
  EXPECT_TRUE(Throws<EIndexError>([&] { process->FileSize(0); }, kNoFile));

  restart();
  host->body = "12345";
  host->fail("BinaryRead", 3);
  process->ReadChunks();
  EXPECT_EQ(fileBytes(0), "12");
}

TEST_F(Process, ReadChunksWithTheClientGoneKeepsTheCount) {
  host->body = "12345";
  host->connectedReads = 2;
  process->ReadChunks();
  EXPECT_EQ(process->FileQty(), 0);

  // On an object that has read files before, the count never exceeds the one
  // record ReadChunks leaves.
  restart();
  read(MultipartBody({File("a", "a.txt", "A"), File("b", "b.txt", "B"), File("c", "c.txt", "C")}));
  host->body = "12345";
  host->position = 0;
  host->connectedReads = static_cast<int>(host->reads.size()) + 2;
  process->ReadChunks();
  ASSERT_EQ(process->FileQty(), 1);
  EXPECT_EQ(process->FileName(0), u"a.txt");
  EXPECT_EQ(fileBytes(0), "12");
}

TEST_F(Process, ReleaseRemovesTheProgressValue) {
  process->SetShowProgress(true);
  process->SetProgressID(u"up-1");
  read(BodyOfSize(1000));
  EXPECT_TRUE(host->removed.empty());
  process.reset();
  EXPECT_EQ(host->removed, std::vector<ustring>{u"up-1"});

  // Also without a Read and without an ID; not without ShowProgress.
  renew();
  process->SetShowProgress(true);
  process.reset();
  EXPECT_EQ(host->removed, (std::vector<ustring>{u"up-1", u""}));
  renew();
  process.reset();
  EXPECT_EQ(host->removed.size(), 2u);
}

TEST_F(Process, ReleaseSwallowsHostFailures) {
  read(MultipartBody({File("a", "a.bin", "abc")}));
  process->SetShowProgress(true);
  host->fail("RemoveApplicationValue");
  process.reset();  // a failure escaping would end the test program
  EXPECT_EQ(host->counts["RemoveApplicationValue"], 1);
}

TEST_F(Process, ParentDir) {
  for (auto [path, parent] : std::vector<std::pair<ustring, ustring>>{{u"C:\\a\\b\\", u"C:\\a\\"},
                                                                      {u"C:\\a\\b", u"C:\\a\\"},
                                                                      {u"C:\\a", u"C:\\"},
                                                                      {u"C:\\", u"C:\\"},
                                                                      {u"a\\b", u"a\\"},
                                                                      {u"\\ab", u"\\ab"},
                                                                      {u"ab", u"ab"},
                                                                      {u"C:/a/b", u"C:/a/b"},
                                                                      {u"", u""},
                                                                      {u"\\\\", u"\\\\"}}) {
    EXPECT_EQ(process->ParentDir(path), parent) << Utf8(path);
  }
}

TEST_F(Process, CurrentDirAndVersion) {
  EXPECT_EQ(process->CurrentDir(), u"C:\\inetpub\\wwwroot\\app\\");
  host->mappedPath = u"C:\\inetpub\\wwwroot\\";
  EXPECT_EQ(process->CurrentDir(), u"C:\\inetpub\\wwwroot\\");
  host->fail("MapPath");
  EXPECT_TRUE(Throws<EHostCallError>([&] { process->CurrentDir(); }, "Host call failed: MapPath"));

  std::string version = Utf8(process->Version());
  EXPECT_NE(version.find("Velmora"), std::string::npos);
  EXPECT_NE(version.find(VELMORA_VERSION), std::string::npos);
  // The pointer size of the build: 32 bit for the shipped velmora32.dll, 64
  // bit for the x64 one.
  const std::string bits = sizeof(void*) == 8 ? "(64 bit)" : "(32 bit)";
  EXPECT_NE(version.find(bits), std::string::npos) << version;
}

// AppendToFile's failures speak the runtime's table; a code it lacks is named.
TEST(FileHelpers, MessagesOfTheRuntime) {
  EXPECT_EQ(EInOutError(2).message(), u"The specified file was not found");
  EXPECT_EQ(EInOutError(3).message(), u"Invalid file name - %s");
  EXPECT_EQ(EInOutError(5).message(), u"File access denied");
  EXPECT_EQ(EInOutError(32).message(), u"I/O error 32");
}

// The boundary of a Content-Type, read as the RFC's readers read it; nothing
// for whatever one of them would not read as multipart/form-data.
TEST(MultipartBoundary, ReadsTheContentTypeAsTheRfcDoes) {
  const struct {
    const char16_t* type;
    const char* boundary;  // null: none
  } cases[] = {
      {u"multipart/form-data; boundary=XyZ", "XyZ"},
      {u"multipart/form-data; boundary=\"XyZ\"", "XyZ"},
      {u"multipart/form-data;boundary=----WebKitFormBoundaryA1b2", "----WebKitFormBoundaryA1b2"},
      {u"Multipart/Form-Data ; charset=utf-8;\tBOUNDARY=\"a b'c\"", "a b'c"},
      {u"  multipart/form-data; boundary=XyZ  ", "XyZ"},
      {u"multipart/form-data; boundary=first; boundary=second", "first"},
      {u"multipart/form-data; boundary=\"\"", ""},
      // Not multipart/form-data, or no boundary.
      {u"", nullptr},
      {u"text/plain", nullptr},
      {u"text/plain; boundary=XyZ", nullptr},
      {u"multipart/mixed; boundary=XyZ", nullptr},
      {u"multipart/form-data", nullptr},
      {u"multipart/form-data; charset=utf-8", nullptr},
      {u"multipart/form-datax; boundary=XyZ", nullptr},
      {u"multipart/form-data, text/plain; boundary=XyZ", nullptr},
      // Malformed: readers disagree on these, so none is taken.
      {u"multipart/form-data; boundary=", nullptr},
      {u"multipart/form-data; boundary=\"XyZ", nullptr},
      {u"multipart/form-data; boundary=a\"b\"", nullptr},
      {u"multipart/form-data; boundary=\"a\\\"b\"", nullptr},
      {u"multipart/form-data; boundary=XyZ;", nullptr},
      {u"multipart/form-data boundary=XyZ", nullptr},
      {u"multipart/form-data; boundary=\"\u00E9t\u00E9\"", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Utf8(c.type));
    const std::optional<std::string> boundary = MultipartBoundary(c.type);
    ASSERT_EQ(boundary.has_value(), c.boundary != nullptr);
    if (boundary) {
      EXPECT_EQ(*boundary, c.boundary);
    }
  }
}

// Where the host tells the request's Content-Type, Read sees exactly the
// parts a reader of the RFC sees, or refuses before any part is stored.
TEST_F(Process, TheContentTypeDecidesWhatIsRead) {
  const std::string ordinary =
      MultipartBody({Field("a", "1"), File("f", "photo.jpg", "image")}, "--XyZ");
  // A first section under another delimiter than the one the header names.
  const std::string smuggled =
      MultipartBody({File("f", "evil.asp", "<% evil %>")}, "--XyZ").substr(0, 110) +
      MultipartBody({File("f", "photo.jpg", "image")}, "--real");
  const std::string refusedType = "Velmora Error: The request is not multipart/form-data with a boundary: its "
                                  "Content-Type is \"";
  const struct {
    const char* title;
    std::optional<std::string> contentType;  // unset: a host without ServerVariables
    std::string body;
    std::string failure;  // "" for none
    int variables;
    const char16_t* file;  // FileName(0), or null for no file
  } cases[] = {
      {"the boundary named", "multipart/form-data; boundary=XyZ", ordinary, "", 2, u"photo.jpg"},
      {"the boundary named in quotes", "multipart/form-data; boundary=\"XyZ\"", ordinary, "", 2,
       u"photo.jpg"},
      {"another boundary first", "multipart/form-data; boundary=real", smuggled,
       "Velmora Error: The body does not begin with the delimiter its Content-Type names "
       "(\"--real\"). (#3)",
       0, nullptr},
      {"padding after the first delimiter", "multipart/form-data; boundary=XyZ",
       "--XyZ \r\n" + ordinary.substr(7),
       "Velmora Error: The body does not begin with the delimiter its Content-Type names "
       "(\"--XyZ\"). (#3)",
       0, nullptr},
      {"the closing delimiter first", "multipart/form-data; boundary=XyZ", "--XyZ--\r\n" + ordinary,
       "", 0, nullptr},
      {"a text body", "text/plain", ordinary, refusedType + "text/plain\". (#3)", 0, nullptr},
      {"no Content-Type", "", ordinary, refusedType + "\". (#3)", 0, nullptr},
      {"no boundary", "multipart/form-data", ordinary, refusedType + "multipart/form-data\". (#3)", 0,
       nullptr},
      // Without ServerVariables the body's first line stays its delimiter.
      {"a host that tells nothing", std::nullopt, ordinary, "", 2, u"photo.jpg"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    restart();
    if (c.contentType) host->serverVariables = {{{u"CONTENT_TYPE", fromUtf8(*c.contentType)}}};
    if (c.failure.empty()) {
      read(c.body);
    } else {
      EXPECT_TRUE(Throws<EUploadError>([&] { read(c.body); }, c.failure));
    }
    EXPECT_EQ(process->VarCount(), c.variables);
    EXPECT_EQ(process->FileQty(), c.file ? 1 : 0);
    if (c.file) {
      EXPECT_EQ(process->FileName(0), c.file);
    }
  }

  // A request without a body (a page shown by GET) reads nothing, whatever its type.
  restart();
  host->serverVariables = {{{u"CONTENT_TYPE", u"text/plain"}}};
  read("");
  EXPECT_EQ(process->VarCount(), 0);
}

// "Content-Disposition" and "Content-Type" count only as a header line's
// name, and only their first line, as for the RFC's readers.
TEST_F(Process, HeaderNamesCountOnlyAsALinesName) {
  const std::string head = "--XyZ\r\nContent-Disposition: form-data; name=\"note\"\r\n";
  const struct {
    const char* title;
    std::string body;
    const char16_t* note;  // Value("note")
  } cases[] = {
      {"named in another header's value",
       head + "X-Note: Content-Disposition: form-data; name=\"note\"; filename=\"evil2.asp\"\r\n\r\n"
              "hello\r\n--XyZ--\r\n",
       u"hello"},
      {"a second disposition",
       head + "Content-Disposition: form-data; name=\"note\"; filename=\"evil.asp\"\r\n\r\n"
              "hello\r\n--XyZ--\r\n",
       u"hello"},
      {"named in a header's name",
       head + "Not-Content-Disposition: form-data; name=\"note\"; filename=\"evil.asp\"\r\n\r\n"
              "hello\r\n--XyZ--\r\n",
       u"hello"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    restart();
    read(c.body);
    EXPECT_EQ(process->FileQty(), 0);
    EXPECT_EQ(process->Value(u"note"), c.note);
  }
}

// TotalBytes past a Long raises as FileSize does; a body past 4 GiB, whose
// length TotalBytes cannot hold, is read whole by CONTENT_LENGTH.
TEST_F(Process, BodiesPastALongAndPast4GiB) {
  host->totalBytes = static_cast<int32_t>(uint32_t{3} << 30);
  read(MultipartBody({Field("a", "1")}));  // the host has less than it declared
  EXPECT_TRUE(Throws<EUploadError>(
      [&] { process->TotalBytes(); },
      "TotalBytes cannot report a size of 3221225472 bytes: a Long holds at most 2147483647."));

  restart();
  // A discarded file part (no file name) of 4 GiB + 1 MiB, served without
  // being held, between two values.
  const std::string before = MultipartBody({Field("a", "1"), File("skip", "", "")}, "--XyZ");
  const size_t fillerAt = before.find("\r\n--XyZ--");
  host->body = before.substr(0, fillerAt) + "\r\n" +
               MultipartBody({Field("after", "ok")}, "--XyZ").substr(0);
  host->fillerAt = fillerAt;
  host->fillerBytes = (uint64_t{4} << 30) + (1 << 20);
  host->totalBytes = -1;  // the largest value a host can give
  host->serverVariables = {{{u"CONTENT_TYPE", u"multipart/form-data; boundary=XyZ"},
                            {u"CONTENT_LENGTH", toDecimal(static_cast<int64_t>(host->size()))}}};
  host->position = 0;
  process->Read();
  EXPECT_EQ(host->position, host->size());
  EXPECT_EQ(process->Value(u"a"), u"1");
  EXPECT_EQ(process->Value(u"after"), u"ok");
  EXPECT_THROW(process->TotalBytes(), EUploadError);

  // A host with no ServerVariables to say more: the same body is read to the
  // end the host gives, and its framing says it came whole.
  const uint64_t whole = host->size();
  restart();
  host->body = before.substr(0, fillerAt) + "\r\n" + MultipartBody({Field("after", "ok")}, "--XyZ");
  host->fillerAt = fillerAt;
  host->fillerBytes = (uint64_t{4} << 30) + (1 << 20);
  host->totalBytes = -1;
  host->position = 0;
  process->Read();
  EXPECT_EQ(host->position, whole);
  EXPECT_EQ(process->Value(u"a"), u"1");
  EXPECT_EQ(process->Value(u"after"), u"ok");
}
