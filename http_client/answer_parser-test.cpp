// Every answer runs whole, a byte at a time and cut in two at every point:
// the events, the bytes used, the end and the error must not depend on the
// cut. Every block is copied into its own heap allocation of its exact size,
// so AddressSanitizer reports any read past a block's end, and the receiver
// checks that data arrives as ranges of the block being parsed.
#include "http_client/answer_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace velmora {
namespace {

using namespace std::string_literals;

class TAnswerLog final : public IAnswerReceiver {
 public:
  int heads = 0;
  TAnswerHead head;
  std::string body;
  std::string events;  // every event, for comparing one cut with another
  const uint8_t* blockBegin = nullptr;
  const uint8_t* blockEnd = nullptr;

  void answerHead(TAnswerHead&& h) override {
    ++heads;
    events += "head " + std::to_string(h.status) + " 1." + std::to_string(h.minorVersion) + " [" + h.reason + "]\n";
    for (const THeaderField& field : h.fields) events += "  [" + field.name + "] [" + field.value + "]\n";
    head = std::move(h);
  }
  void answerData(const uint8_t* data, size_t size) override {
    EXPECT_GT(size, 0u);
    EXPECT_TRUE(data >= blockBegin && data + size <= blockEnd) << "data outside the block being parsed";
    body.append(reinterpret_cast<const char*>(data), size);
    events += "data " + std::to_string(size) + "\n";
  }
};

struct TRun {
  TAnswerLog log;
  std::string error;  // of EAnswerMalformed
  size_t consumed = 0;
  bool ended = false;
  bool whole = false;  // finish()

  // What must not depend on the cut. The pieces the body arrived in do, and
  // so do the bytes used by the blocks before the one an error was found in.
  std::string summary() const {
    const std::string used = error.empty() ? "consumed " + std::to_string(consumed) : "error " + error;
    return std::to_string(log.heads) + " heads\n" + (log.heads ? "status " + std::to_string(log.head.status) : "") +
           "\nbody [" + log.body + "]\n" + used + "\nended " + std::to_string(ended) + " whole " +
           std::to_string(whole) + "\n" + headFields();
  }
  std::string headFields() const {
    std::string text;
    for (const THeaderField& field : log.head.fields) text += "[" + field.name + "] [" + field.value + "]\n";
    return text + "[" + log.head.reason + "] 1." + std::to_string(log.head.minorVersion) + "\n";
  }
};

using Cuts = std::vector<size_t>;  // block lengths, summing to the input's

// Feeds bytes in the given blocks, then closes the connection. Once the
// answer has ended, later blocks must be left unused; once it was refused,
// later calls must raise the same error.
std::unique_ptr<TRun> run(const std::string& bytes, const Cuts& cuts, const TAnswerLimits& limits = {}) {
  auto result = std::make_unique<TRun>();
  TRun& r = *result;
  TAnswerParser parser(r.log, limits);
  size_t done = 0;
  for (size_t n : cuts) {
    auto block = std::make_unique<uint8_t[]>(n);
    if (n) std::memcpy(block.get(), bytes.data() + done, n);
    done += n;
    r.log.blockBegin = block.get();
    r.log.blockEnd = block.get() + n;
    if (!r.error.empty()) {
      try {
        parser.parse(block.get(), n);
        ADD_FAILURE() << "a parse after an error raised nothing";
      } catch (const EAnswerMalformed& e) {
        EXPECT_EQ(e.what(), r.error) << "a parse after an error";
      }
      continue;
    }
    const bool endedBefore = parser.ended();
    size_t used = 0;
    try {
      used = parser.parse(block.get(), n);
    } catch (const EAnswerMalformed& e) {
      r.error = e.what();
      continue;
    }
    if (endedBefore) {
      EXPECT_EQ(used, 0u) << "bytes used after the end";
    }
    if (used < n) {
      EXPECT_TRUE(parser.ended()) << "bytes left unused before the end";
    }
    r.consumed += used;
  }
  r.ended = parser.ended();
  r.whole = parser.finish();
  EXPECT_EQ(r.whole, parser.finish()) << "finish() twice";
  return result;
}

// The whole answer, then a byte at a time, then cut in two at every point:
// each of the later runs must agree with the first.
std::unique_ptr<TRun> runEveryCut(const std::string& bytes, const TAnswerLimits& limits = {}) {
  auto whole = run(bytes, {bytes.size()}, limits);
  const std::string expected = whole->summary();
  EXPECT_EQ(run(bytes, Cuts(bytes.size(), 1), limits)->summary(), expected) << "a byte at a time";
  for (size_t at = 1; at < bytes.size(); ++at)
    EXPECT_EQ(run(bytes, {at, bytes.size() - at}, limits)->summary(), expected) << "cut at " << at;
  return whole;
}

// How an answer ends when the connection closes after it.
enum TEnd {
  Framed,     // by its framing; ended(), and bytes after it are left unused
  AtClose,    // its body runs to the close: whole
  Cut,        // short of its framing: not whole
  Malformed,  // refused with the message
};

struct Vector {
  const char* title;
  std::string answer;
  std::string after;  // bytes that follow an answer that ends by its framing
  TEnd end;
  int status;  // of the final head; 0 for none
  std::string bodyOrMessage;
  // Fields looked up by name in the final head: nullptr for a field it must
  // not have.
  std::vector<std::pair<const char*, const char*>> fields = {};
};

const std::string kOk = "HTTP/1.1 200 OK\r\n";
const std::string kChunked = kOk + "Transfer-Encoding: chunked\r\n\r\n";
const std::string kNext = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n";  // a next answer on the connection

const std::string kLoneCR = "A CR in the answer is not followed by LF.";
const std::string kNotHttp = "The answer does not begin with \"HTTP/1.\".";
const std::string kBadStatusLine =
    "The answer's status line is not \"HTTP/1.\", a digit, a blank and a three-digit status.";
const std::string kLengthNotNumber = "The answer's Content-Length is not a number.";
const std::string kNoLineEndAfterChunk = "A chunk's data in the answer is not followed by a line end.";

const std::vector<Vector> kVectors = {
    // Content-Length
    {"Content-Length exact", kOk + "Content-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello", kNext, Framed, 200,
     "hello", {{"content-type", "text/plain"}, {"CONTENT-LENGTH", "5"}, {"Server", nullptr}}},
    {"Content-Length short of its bytes", kOk + "Content-Length: 10\r\n\r\nhello", "", Cut, 200, "hello"},
    {"Content-Length 0", kOk + "Content-Length: 0\r\n\r\n", "hello", Framed, 200, ""},
    {"Content-Length repeated, the same number",
     kOk + "Content-Length: 5\r\nContent-Length: 5 ,5\r\n\r\nhello", "x", Framed, 200, "hello"},
    {"Content-Length repeated, numbers differ", kOk + "Content-Length: 5\r\nContent-Length: 6\r\n\r\nhello", "",
     Malformed, 0, "The answer's Content-Length values differ."},
    {"Content-Length list, numbers differ", kOk + "Content-Length: 5, 6\r\n\r\nhello", "", Malformed, 0,
     "The answer's Content-Length values differ."},
    // Read into 32 bits it would be 5: the answer would end after "hello".
    {"Content-Length past 32 bits", kOk + "Content-Length: 4294967301\r\n\r\nhello", "", Cut, 200, "hello"},
    {"Content-Length at the 64-bit maximum", kOk + "Content-Length: 18446744073709551615\r\n\r\nab", "", Cut, 200,
     "ab"},
    {"Content-Length past 64 bits", kOk + "Content-Length: 18446744073709551616\r\n\r\nab", "", Malformed, 0,
     "The answer's Content-Length is too large."},
    {"Content-Length with a sign", kOk + "Content-Length: +5\r\n\r\nhello", "", Malformed, 0, kLengthNotNumber},
    {"Content-Length with a letter", kOk + "Content-Length: 5a\r\n\r\nhello", "", Malformed, 0, kLengthNotNumber},
    {"Content-Length empty", kOk + "Content-Length:\r\n\r\nhello", "", Malformed, 0, kLengthNotNumber},

    // Chunked
    {"chunked", kChunked + "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", kNext, Framed, 200, "hello world",
     {{"Transfer-Encoding", "chunked"}}},
    {"chunked, extensions", kChunked + "5;name=value\r\nhello\r\n3 ; a=\"b;c\"\r\n!!!\r\n0;last\r\n\r\n", "x", Framed,
     200, "hello!!!"},
    {"chunked, trailer fields dropped",
     kChunked + "2\r\nok\r\n0\r\nChecksum: abc\r\nX-More: 1\r\n  continued\r\n\r\n", kNext, Framed, 200, "ok",
     {{"Checksum", nullptr}}},
    {"chunked, hex sizes in both cases", kChunked + "a\r\n0123456789\r\n1A\r\nabcdefghijklmnopqrstuvwxyz\r\n0\r\n\r\n",
     "", Framed, 200, "0123456789abcdefghijklmnopqrstuvwxyz"},
    {"chunked, sizes with leading zeros", kChunked + "00000000000000000005\r\nhello\r\n000\r\n\r\n", "", Framed, 200,
     "hello"},
    {"chunked last among codings, Content-Length ignored",
     kOk + "Content-Length: 3\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: x, CHUNKED\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
     "", Framed, 200, "hello"},
    {"another coding after chunked: the body runs to the close",
     kOk + "Transfer-Encoding: chunked, gzip\r\n\r\n5\r\nhello\r\n0\r\n\r\n", "", AtClose, 200,
     "5\r\nhello\r\n0\r\n\r\n"},
    {"chunked, cut before its last chunk", kChunked + "5\r\nhello\r\n", "", Cut, 200, "hello"},
    {"chunked, cut in its trailer", kChunked + "5\r\nhello\r\n0\r\nX: 1\r\n", "", Cut, 200, "hello"},
    {"chunked, a chunk cut short", kChunked + "5\r\nhel", "", Cut, 200, "hel"},
    {"chunked, cut in a chunk-size line", kChunked + "5\r\nhello\r\n1", "", Cut, 200, "hello"},
    {"chunked, no line end after a chunk's data", kChunked + "5\r\nhelloX\r\n0\r\n\r\n", "", Malformed, 0,
     kNoLineEndAfterChunk},
    {"chunked, a CR alone after a chunk's data", kChunked + "5\r\nhello\rX0\r\n\r\n", "", Malformed, 0, kLoneCR},
    {"chunked, two CRs after a chunk's data", kChunked + "5\r\nhello\r\r\n0\r\n\r\n", "", Malformed, 0, kLoneCR},
    {"chunked, size past 64 bits", kChunked + "10000000000000000\r\n", "", Malformed, 0,
     "A chunk size of the answer is too large."},
    {"chunked, no size", kChunked + ";ext\r\nhello\r\n", "", Malformed, 0,
     "A chunk-size line of the answer does not begin with a hexadecimal size."},
    {"chunked, text after the size", kChunked + "5 x\r\nhello\r\n", "", Malformed, 0,
     "A chunk-size line of the answer holds more than a size and extensions."},
    {"chunked, a malformed trailer field", kChunked + "0\r\nno colon\r\n\r\n", "", Malformed, 0,
     "A field line of the answer has no colon."},

    // Heads
    {"head cut before its blank line", kOk + "Server: x\r\n", "", Cut, 0, ""},
    {"head with Content-Length cut before its blank line", kOk + "Content-Length: 0\r\n", "", Cut, 0, ""},
    {"head cut in its status line", "HTTP/1.1 20", "", Cut, 0, ""},
    {"nothing at all", "", "", Cut, 0, ""},
    {"no header lines: the body runs to the close", kOk + "\r\nbody", "", AtClose, 200, "body"},
    {"close-delimited body", "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html>\r\n", "", AtClose, 200,
     "<html>\r\n", {{"Content-Type", "text/html"}}},
    {"lines ending in a bare LF",
     "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\nX: 1\n\n5\nhello\n0\nT: 2\n\n", kNext, Framed, 200, "hello",
     {{"X", "1"}}},
    {"no reason phrase", "HTTP/1.0 404\r\nContent-Length: 1\r\n\r\nx", "", Framed, 404, "x"},
    {"blanks around values; names as sent",
     kOk + "x-a:  one \t\r\nX-B:\r\nX-C:two\r\nx-a: second\r\nContent-Length: 0\r\n\r\n", "", Framed, 200, "",
     {{"X-A", "one"}, {"x-b", ""}, {"x-c", "two"}}},
    {"obs-fold joins lines with one blank",
     kOk + "X-Long: one  \r\n  two\r\n\t three \r\n \r\nContent-Length: 0\r\n\r\n", "", Framed, 200, "",
     {{"X-Long", "one two three"}}},
    {"obs-fold as the first field line", kOk + " X: 1\r\n\r\n", "", Malformed, 0,
     "A field line of the answer begins with a blank but follows no field."},
    {"100 Continue and 103 skipped, then the answer",
     "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\nLink: </a.css>\r\n\r\n"
     "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok",
     kNext, Framed, 200, "ok", {{"Link", nullptr}}},
    {"an interim head alone", "HTTP/1.1 100 Continue\r\n\r\n", "", Cut, 0, ""},
    {"204 has no body", "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\n", "hello", Framed, 204, ""},
    {"304 has no body", "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n", "0\r\n\r\n", Framed, 304,
     ""},

    // Not an answer of ours
    {"ICY", "ICY 200 OK\r\n\r\n", "", Malformed, 0, kNotHttp},
    {"HTTP/0.9: a body without a head", "<html>hello</html>", "", Malformed, 0, kNotHttp},
    {"HTTP/2", "HTTP/2 200\r\n\r\n", "", Malformed, 0, kNotHttp},
    {"lower-case protocol", "http/1.1 200 OK\r\n\r\n", "", Malformed, 0, kNotHttp},
    {"an empty line before the status line", "\r\n" + kOk + "\r\n", "", Malformed, 0, kNotHttp},
    {"version not a digit", "HTTP/1.x 200 OK\r\n\r\n", "", Malformed, 0, kBadStatusLine},
    {"two-digit status", "HTTP/1.1 20 OK\r\n\r\n", "", Malformed, 0, kBadStatusLine},
    {"status glued to the reason", "HTTP/1.1 200OK\r\n\r\n", "", Malformed, 0, kBadStatusLine},
    {"status 99", "HTTP/1.1 099 Low\r\n\r\n", "", Malformed, 0, "The answer's status 99 is not between 100 and 599."},
    {"status 600", "HTTP/1.1 600 High\r\n\r\n", "", Malformed, 0,
     "The answer's status 600 is not between 100 and 599."},
    {"101 unasked", "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n", "", Malformed, 0,
     "The server switched protocols (status 101) unasked."},
    {"a blank before the colon", kOk + "Content-Length : 5\r\n\r\nhello", "", Malformed, 0,
     "A field name of the answer is empty or holds a character a name cannot hold."},
    {"an empty field name", kOk + ": x\r\n\r\n", "", Malformed, 0,
     "A field name of the answer is empty or holds a character a name cannot hold."},
    {"a field line without a colon", kOk + "Content-Length 5\r\n\r\nhello", "", Malformed, 0,
     "A field line of the answer has no colon."},
    {"a CR alone in a field line", kOk + "X: a\rb\r\n\r\n", "", Malformed, 0, kLoneCR},
    {"a CR alone ending the head", kOk + "X: a\r\n\r\r\n", "", Malformed, 0, kLoneCR},
    {"a NUL in a field value", kOk + "X: a\0b\r\n\r\n"s, "", Malformed, 0, "A field line of the answer holds a NUL byte."},
};

TEST(AnswerParser, Vectors) {
  for (const Vector& v : kVectors) {
    SCOPED_TRACE(v.title);
    const std::string bytes = v.answer + v.after;
    const auto r = runEveryCut(bytes);
    if (v.end == Malformed) {
      EXPECT_EQ(r->error, v.bodyOrMessage);
      EXPECT_FALSE(r->whole);
      continue;
    }
    EXPECT_EQ(r->error, "");
    EXPECT_EQ(r->ended, v.end == Framed);
    EXPECT_EQ(r->whole, v.end != Cut);
    EXPECT_EQ(r->consumed, v.answer.size());
    EXPECT_EQ(r->log.heads, v.status ? 1 : 0);
    EXPECT_EQ(r->log.head.status, v.status);
    EXPECT_EQ(r->log.body, v.bodyOrMessage);
    for (const auto& [name, value] : v.fields) {
      const std::string* found = r->log.head.find(name);
      if (!value) {
        EXPECT_EQ(found, nullptr) << name;
      } else if (!found) {
        ADD_FAILURE() << "no field " << name;
      } else {
        EXPECT_EQ(*found, value) << name;
      }
    }
  }
}

TEST(AnswerParser, StatusLineParts) {
  const auto r = runEveryCut("HTTP/1.0 404 Not  Found \r\nContent-Length: 0\r\n\r\n");
  EXPECT_EQ(r->log.head.minorVersion, 0);
  EXPECT_EQ(r->log.head.status, 404);
  EXPECT_EQ(r->log.head.reason, "Not  Found ");
  ASSERT_EQ(r->log.head.fields.size(), 1u);
  EXPECT_EQ(r->log.head.fields[0].name, "Content-Length");
}

// Body data leaves in one range per block and chunk, never a byte at a time.
TEST(AnswerParser, DataInRanges) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {kOk + "Content-Length: 11\r\n\r\nhello world", "data 11\n"},
      {kChunked + "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", "data 5\ndata 6\n"},
      {kOk + "\r\nhello world", "data 11\n"},
  };
  for (const auto& [answer, data] : cases) {
    const auto r = run(answer, {answer.size()});
    EXPECT_EQ(r->log.events.substr(r->log.events.find("data")), data) << answer;
  }
}

// Each limit holds its exact amount and refuses one byte or field more; the
// first fault by byte is the one reported, whatever the cut.
TEST(AnswerParser, Limits) {
  const std::string head = kOk + "X: 12345\r\n\r\n";  // 29 bytes with its blank line
  const std::string sizeLine = "5;ext=1\r\n";
  const std::string trailer = "A: 1\r\nB: 2\r\n\r\n";
  auto limits = [](size_t headBytes, size_t fields, size_t chunkSizeLine, size_t trailerBytes) {
    TAnswerLimits l;
    l.headBytes = headBytes, l.fields = fields, l.chunkSizeLine = chunkSizeLine, l.trailerBytes = trailerBytes;
    return l;
  };
  const TAnswerLimits roomy = limits(1000, 10, 100, 100);
  struct Case {
    const char* title;
    std::string answer;
    TAnswerLimits limits;
    std::string message;  // empty for an answer within the limits
  };
  const std::string chunked = kChunked + sizeLine + "hello\r\n0\r\n" + trailer;
  const size_t chunkedHead = kChunked.size();
  const std::vector<Case> cases = {
      {"head at its limit", head, limits(head.size(), 10, 100, 100), ""},
      {"head a byte over", head, limits(head.size() - 1, 10, 100, 100),
       "The answer's head is longer than 28 bytes."},
      {"interim and final heads each within the limit", "HTTP/1.1 100 Continue\r\n\r\n" + head,
       limits(head.size(), 10, 100, 100), ""},
      {"fields at their limit", kOk + "A: 1\r\nB: 2\r\n\r\n", limits(1000, 2, 100, 100), ""},
      {"a field over", kOk + "A: 1\r\nB: 2\r\nC: 3\r\n\r\n", limits(1000, 2, 100, 100),
       "The answer's head or trailer has more than 2 fields."},
      {"folded lines are no fields", kOk + "A: 1\r\n 2\r\n 3\r\n\r\n", limits(1000, 1, 100, 100), ""},
      {"chunk-size line at its limit", chunked, limits(chunkedHead, 10, sizeLine.size(), 100), ""},
      {"chunk-size line a byte over", chunked, limits(chunkedHead, 10, sizeLine.size() - 1, 100),
       "A chunk-size line of the answer is longer than 8 bytes."},
      {"trailer at its limit", chunked, limits(chunkedHead, 10, 100, trailer.size()), ""},
      {"trailer a byte over", chunked, limits(chunkedHead, 10, 100, trailer.size() - 1),
       "The answer's trailer is longer than 13 bytes."},
      {"trailer fields over", chunked, limits(chunkedHead, 1, 100, 100),
       "The answer's head or trailer has more than 1 fields."},
      // The "b" after the CR is the byte that breaks it.
      {"a lone CR broken by the byte past the limit", kOk + "X: a\rb\r\n\r\n",
       limits(kOk.size() + 5, 10, 100, 100), kLoneCR},
      {"a lone CR that is itself past the limit", kOk + "X: a\rb\r\n\r\n", limits(kOk.size() + 4, 10, 100, 100),
       "The answer's head is longer than 21 bytes."},
      {"no limit on body data", kOk + "Content-Length: 2000\r\n\r\n" + std::string(2000, 'x'), roomy, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    EXPECT_EQ(runEveryCut(c.answer, c.limits)->error, c.message);
  }
}

// The real limits, on answers too long to cut at every point.
TEST(AnswerParser, DefaultLimits) {
  const std::string longField = kOk + "X: " + std::string(256 << 10, 'a') + "\r\n\r\n";
  std::string manyFields = kOk;
  for (int i = 0; i < 501; ++i) manyFields += "F" + std::to_string(i) + ": 1\r\n";
  const std::string longSizeLine = kChunked + "5;" + std::string(4096, 'e') + "\r\nhello\r\n0\r\n\r\n";
  const std::string longTrailer = kChunked + "0\r\nT: " + std::string(64 << 10, 't') + "\r\n\r\n";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {longField, "The answer's head is longer than 262144 bytes."},
      {manyFields + "\r\n", "The answer's head or trailer has more than 500 fields."},
      {longSizeLine, "A chunk-size line of the answer is longer than 4096 bytes."},
      {longTrailer, "The answer's trailer is longer than 65536 bytes."},
  };
  for (const auto& [answer, message] : cases) {
    EXPECT_EQ(run(answer, {answer.size()})->error, message);
    Cuts blocks(answer.size() / 4096, 4096);
    blocks.push_back(answer.size() % 4096);
    EXPECT_EQ(run(answer, blocks)->error, message);
  }
}

// A receiver that raises stops the parse with its exception.
TEST(AnswerParser, ReceiverExceptionStopsTheParse) {
  struct TRefusing final : IAnswerReceiver {
    void answerHead(TAnswerHead&&) override {}
    void answerData(const uint8_t*, size_t) override { throw Exception(u"stop"); }
  } receiver;
  TAnswerParser parser(receiver);
  const std::string answer = kOk + "Content-Length: 5\r\n\r\nhello";
  EXPECT_THROW(parser.parse(reinterpret_cast<const uint8_t*>(answer.data()), answer.size()), Exception);
}

}  // namespace
}  // namespace velmora
