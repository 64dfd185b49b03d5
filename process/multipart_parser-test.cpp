// The parser's results must not depend on where blocks are cut, and must be
// exactly those of the byte-at-a-time state machine (fuzz/reference_parser.h).
// Every block is copied into its own heap allocation of its exact size, so
// AddressSanitizer reports any read past a block's end.
#include "process/multipart_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "process/fuzz/reference_parser.h"
#include "process/testing/throws.h"

namespace velmora {
namespace {

using namespace std::string_literals;
using Charset = TMultipartParser::Charset;
using reference::Describe;
using reference::TReferenceParser;
using velmora::testing::Throws;

using Cuts = std::vector<size_t>;  // block lengths, summing to the body's

Cuts blocksOf(size_t body, size_t block) {
  Cuts cuts;
  for (size_t done = 0; done < body; done += block) cuts.push_back(std::min(block, body - done));
  return cuts;
}

Cuts randomCuts(size_t body, std::mt19937& rng, size_t maxBlock) {
  Cuts cuts;
  for (size_t done = 0; done < body;) {
    size_t n = std::uniform_int_distribution<size_t>(1, maxBlock)(rng);
    cuts.push_back(std::min(n, body - done));
    done += cuts.back();
  }
  return cuts;
}

// Feeds body to parser in the given blocks, calling afterBlock after each.
template <class Parser>
void feed(Parser& parser, const std::string& body, const Cuts& cuts,
          const std::function<void()>& afterBlock = {}) {
  size_t done = 0;
  for (size_t n : cuts) {
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body.data() + done, n);
    parser.ParseBlock(block.get(), n);
    done += n;
    if (afterBlock) afterBlock();
  }
  ASSERT_EQ(done, body.size());
}

std::string parse(const std::string& body, const Cuts& cuts, Charset charset = Charset::Utf8,
                  IFileDestinations* direct = nullptr) {
  TUploadResults results;
  TMultipartParser parser(results, charset, direct);
  feed(parser, body, cuts);
  return Describe(results);
}

// Fast parser and reference fed the same blocks agree after every block, so
// the bytes held back at every block's end agree too.
void expectSameAsReference(const std::string& body, const Cuts& cuts, Charset charset) {
  TUploadResults fast, slow;
  TMultipartParser parser(fast, charset, nullptr);
  TReferenceParser oracle(slow, charset, nullptr);
  size_t done = 0;
  for (size_t n : cuts) {
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body.data() + done, n);
    parser.ParseBlock(block.get(), n);
    oracle.ParseBlock(block.get(), n);
    done += n;
    ASSERT_EQ(Describe(fast), Describe(slow)) << "after " << done << " bytes";
  }
}

// --- The corpus -----------------------------------------------------------

struct ExpectedEntity {
  std::string Name, Value, FileName, ContentType;
  bool IsFile;
};

struct ExpectedFile {
  std::string Name, LocalName, Extension, NameOnly, ContentType, bytes;
};

struct Vector {
  const char* title;
  std::string body;
  Charset charset;
  std::vector<ExpectedEntity> entities;
  std::vector<ExpectedFile> files;
  std::vector<std::string> tags;
};

const std::string kWebKit = "------WebKitFormBoundary7MA4YWxkTrZu0gW";
const ExpectedEntity kEpilogue{"", "", "", "", false};  // the "--" after the closing delimiter

const std::vector<Vector>& corpus() {
  static const std::vector<Vector> vectors = {
      {"two text parts and a file",
       kWebKit + "\r\n"
       "Content-Disposition: form-data; name=\"title\"\r\n\r\n"
       "Holiday\r\n" +
           kWebKit + "\r\n"
           "Content-Disposition: form-data; name=\"note\"\r\n\r\n"
           "line one\r\nline two\r\n" +
           kWebKit + "\r\n"
           "Content-Disposition: form-data; name=\"photo\"; filename=\"C:\\docs\\report.final.pdf\"\r\n"
           "Content-Type: application/pdf\r\n\r\n"
           "%PDF\0\x01\r\n\r\n--\r\n-\xFF end\r\n"s +
           kWebKit + "--\r\n",
       Charset::Utf8,
       {{"title", "Holiday", "", "", false},
        {"note", "line one\r\nline two", "", "", false},
        {"photo", "", "C:\\docs\\report.final.pdf", "application/pdf", true},
        kEpilogue},
       {{"report.final.pdf", "C:\\docs\\report.final.pdf", "pdf", "report.final", "application/pdf",
         "%PDF\0\x01\r\n\r\n--\r\n-\xFF end"s}},
       {"photo"}},

      {"repeated names",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"A\"\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n3\r\n--XY--\r\n",
       Charset::Utf8,
       {{"a", "1", "", "", false}, {"A", "2", "", "", false}, {"a", "3", "", "", false}, kEpilogue},
       {},
       {}},

      {"empty file field",
       "--XY\r\nContent-Disposition: form-data; name=\"up\"; filename=\"\"\r\n"
       "Content-Type: application/octet-stream\r\n\r\n"
       "discarded\r\n--X\r\n--XY\r\n"
       "Content-Disposition: form-data; name=\"after\"\r\n\r\nkept\r\n--XY--\r\n",
       Charset::Utf8,
       {{"up", "", "", "application/octet-stream", true}, {"after", "kept", "", "", false}, kEpilogue},
       {},
       {}},

      {"data that resembles a delimiter",
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n"
       "Content-Type: text/plain\r\n\r\n"
       "ab\r\n--Xcd\r\n-\r\n--X\r\n--XY\r\n"
       "Content-Disposition: form-data; name=\"g\"; filename=\"b.txt\"\r\n\r\n"
       "abc\r\r\n--XY\r\n"
       "Content-Disposition: form-data; name=\"v\"\r\n\r\n\r\n\r\n--XY--",
       Charset::Utf8,
       {{"f", "", "a.txt", "text/plain", true},
        {"g", "", "b.txt", "", true},
        {"v", "\r\n", "", "", false},
        kEpilogue},
       {{"a.txt", "a.txt", "txt", "a", "text/plain", "ab\r\n--Xcd\r\n-\r\n--X"},
        {"b.txt", "b.txt", "txt", "b", "", "abc\r"}},
       {"f", "g"}},

      {"empty first line: every CR LF ends a part",
       "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxy\r\n"
       "Content-Disposition: form-data; name=\"b\"\r\n\r\nz",
       Charset::Utf8,
       {{"a", "xy", "", "", false}, {"b", "", "", "", false}},
       {},
       {}},

      {"missing final delimiter",
       "--XY\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\nhalf\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"cut.bin\"\r\n\r\n"
       "first\r\n--X",
       Charset::Utf8,
       {{"t", "half", "", "", false}, {"f", "", "cut.bin", "", true}},
       {{"cut.bin", "cut.bin", "bin", "cut", "", "first"}},
       {}},

      {"header names and parameters as written",
       "--XY\r\ncontent-disposition: form-data; name=\"low\"\r\ncontent-type: text/plain\r\n\r\nv\r\n"
       "--XY\r\nContent-Disposition: form-data; name=unquoted; x=\"next\"\r\n"
       "X-Content-Type: a\r\n\r\nw\r\n"
       "--XY\r\nContent-Type: image/png\r\nContent-Type: image/gif\r\n\r\nno disposition\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"open\r\n\r\nu\r\n--XY--",
       Charset::Utf8,
       {{"", "v", "", "", false},
        {"next", "w", "", ": a", false},
        {"", "no disposition", "", "image/gif", false},
        {"", "u", "", "", false},
        kEpilogue},
       {},
       {}},

      {"client file names",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"; filename=\"C:\\dir\\x.tar.gz\"\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"b\"; filename=\"../../x.asp\"\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"c\"; filename=\"evil.asp\0.jpg\"\r\n\r\n3\r\n"
       "--XY--\r\n"s,
       Charset::Utf8,
       {{"a", "", "C:\\dir\\x.tar.gz", "", true},
        {"b", "", "../../x.asp", "", true},
        {"c", "", "evil.asp\0.jpg"s, "", true},
        kEpilogue},
       {{"x.tar.gz", "C:\\dir\\x.tar.gz", "gz", "x.tar", "", "1"},
        {"x.asp", "../../x.asp", "asp", "x", "", "2"},
        {"evil.asp", "evil.asp\0.jpg"s, "asp", "evil", "", "3"}},
       {"a", "b", "c"}},

      {"UTF-8 text, with the ANSI fallback",
       "--XY\r\nContent-Disposition: form-data; name=\"caf\xC3\xA9\"\r\n\r\n\xC3\xA9t\xC3\xA9\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"old\"\r\n\r\n\xE9t\xE9\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"r\xC3\xA9sum\xC3\xA9.txt\"\r\n"
       "\r\nx\r\n--XY--\r\n",
       Charset::Utf8,
       {{"café", "été", "", "", false},
        {"old", "été", "", "", false},
        {"f", "", "résumé.txt", "", true},
        kEpilogue},
       {{"résumé.txt", "résumé.txt", "txt", "résumé", "", "x"}},
       {"f"}},

      {"ANSI text",
       "--XY\r\nContent-Disposition: form-data; name=\"caf\xC3\xA9\"\r\n\r\n\xC3\xA9t\xC3\xA9\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"old\"\r\n\r\n\xE9t\x80\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"r\xC3\xA9sum\xC3\xA9.txt\"\r\n"
       "\r\nx\r\n--XY--\r\n",
       Charset::Ansi,
       {{"cafÃ©", "Ã©tÃ©", "", "", false},
        {"old", "ét€", "", "", false},
        {"f", "", "rÃ©sumÃ©.txt", "", true},
        kEpilogue},
       {{"rÃ©sumÃ©.txt", "rÃ©sumÃ©.txt", "txt", "rÃ©sumÃ©", "", "x"}},
       {"f"}},
  };
  return vectors;
}

std::string bytesOf(const TStream* stream) {
  if (auto* memory = dynamic_cast<const TMemoryStream*>(stream))
    return std::string(reinterpret_cast<const char*>(memory->data()), static_cast<size_t>(memory->size()));
  auto* chunks = dynamic_cast<const TChunkedMemoryStream*>(stream);
  if (!chunks) return "(not in memory)";
  std::string bytes(static_cast<size_t>(chunks->size()), '\0');
  chunks->readAt(0, bytes.data(), bytes.size());
  return bytes;
}

TEST(MultipartParser, CorpusGivesExactResults) {
  for (const Vector& v : corpus()) {
    SCOPED_TRACE(v.title);
    TUploadResults results;
    TMultipartParser parser(results, v.charset, nullptr);
    parser.ParseBlock(reinterpret_cast<const uint8_t*>(v.body.data()), v.body.size());

    ASSERT_EQ(results.FormEntities.size(), v.entities.size()) << Describe(results);
    for (size_t i = 0; i < v.entities.size(); ++i) {
      const TFormEntity& got = results.FormEntities[i];
      const ExpectedEntity& want = v.entities[i];
      SCOPED_TRACE("entity " + std::to_string(i));
      EXPECT_EQ(toUtf8(got.Name), want.Name);
      EXPECT_EQ(toUtf8(got.Value), want.Value);
      EXPECT_EQ(toUtf8(got.FileName), want.FileName);
      EXPECT_EQ(toUtf8(got.ContentType), want.ContentType);
      EXPECT_EQ(got.IsFile, want.IsFile);
    }
    ASSERT_EQ(results.FileQty, static_cast<int32_t>(v.files.size()));
    ASSERT_EQ(results.Files.size(), v.files.size());
    for (size_t i = 0; i < v.files.size(); ++i) {
      const TFileRecord& got = results.Files[i];
      const ExpectedFile& want = v.files[i];
      SCOPED_TRACE("file " + std::to_string(i));
      EXPECT_EQ(toUtf8(got.Name), want.Name);
      EXPECT_EQ(toUtf8(got.LocalName), want.LocalName);
      EXPECT_EQ(toUtf8(got.Extension), want.Extension);
      EXPECT_EQ(toUtf8(got.NameOnly), want.NameOnly);
      EXPECT_EQ(toUtf8(got.ContentType), want.ContentType);
      EXPECT_EQ(got.NewName, u"");
      EXPECT_EQ(bytesOf(got.FileStream.get()), want.bytes);
    }
    std::vector<std::string> tags;
    for (const ustring& tag : results.TagNameList) tags.push_back(toUtf8(tag));
    EXPECT_EQ(tags, v.tags);
  }
}

TEST(MultipartParser, ResultsDoNotDependOnBlockCuts) {
  std::mt19937 rng(20261210);
  for (const Vector& v : corpus()) {
    SCOPED_TRACE(v.title);
    const std::string whole = parse(v.body, {v.body.size()}, v.charset);
    for (size_t block : {1, 2, 7, 102400}) {
      SCOPED_TRACE("blocks of " + std::to_string(block));
      ASSERT_EQ(parse(v.body, blocksOf(v.body.size(), block), v.charset), whole);
    }
    for (size_t split = 1; split < v.body.size(); ++split) {
      SCOPED_TRACE("split at " + std::to_string(split));
      ASSERT_EQ(parse(v.body, {split, v.body.size() - split}, v.charset), whole);
    }
    for (int round = 0; round < 50; ++round) {
      Cuts cuts = randomCuts(v.body.size(), rng, 1 + round % 16);
      ASSERT_EQ(parse(v.body, cuts, v.charset), whole) << "random cuts, round " << round;
    }
  }
}

TEST(MultipartParser, EmptyBlocksChangeNothing) {
  const Vector& v = corpus().front();
  Cuts cuts;
  for (size_t n : blocksOf(v.body.size(), 5)) {
    cuts.push_back(0);
    cuts.push_back(n);
  }
  EXPECT_EQ(parse(v.body, cuts), parse(v.body, {v.body.size()}));
}

TEST(MultipartParser, CorpusMatchesReferenceAfterEveryBlock) {
  std::mt19937 rng(7);
  for (const Vector& v : corpus()) {
    SCOPED_TRACE(v.title);
    for (size_t block : {1, 2, 7, 102400}) expectSameAsReference(v.body, blocksOf(v.body.size(), block), v.charset);
    for (size_t split = 1; split < v.body.size(); ++split)
      expectSameAsReference(v.body, {split, v.body.size() - split}, v.charset);
    for (int round = 0; round < 20; ++round)
      expectSameAsReference(v.body, randomCuts(v.body.size(), rng, 1 + round % 9), v.charset);
  }
}

// Bodies built to stress the delimiter match: short delimiter lines over a
// small alphabet, data full of CR, LF and pieces of the pattern, parts of all
// kinds, bodies cut short.
std::string randomBody(std::mt19937& rng) {
  auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  const std::string alphabet = "-XY\r\n a";
  std::string line;
  for (size_t n = pick(6); n > 0; --n) line += "-XY\nab"[pick(6)];
  const std::string pattern = "\r\n" + line;
  auto data = [&] {
    std::string d;
    for (size_t n = pick(8); n > 0; --n) {
      switch (pick(4)) {
        case 0: d += pattern.substr(0, pick(pattern.size())); break;
        case 1: d += "\r\r\n"; break;
        case 2: d += pattern; break;  // ends the part early: still a body
        default:
          for (size_t k = pick(6); k > 0; --k) d += alphabet[pick(alphabet.size())];
      }
    }
    return d;
  };
  std::string body = line;
  for (size_t parts = pick(5); parts > 0; --parts) {
    body += "\r\n";
    switch (pick(4)) {
      case 0: body += "Content-Disposition: form-data; name=\"t\"\r\n\r\n"; break;
      case 1: body += "Content-Disposition: form-data; name=\"f\"; filename=\"x.b\"\r\nContent-Type: a/b\r\n\r\n"; break;
      case 2: body += "Content-Disposition: form-data; name=\"e\"; filename=\"\"\r\n\r\n"; break;
      default: body += data(); break;  // headers of any shape
    }
    body += data() + pattern;
  }
  if (pick(2)) body += "--\r\n" + data();
  return body.substr(0, body.size() - pick(std::min<size_t>(body.size(), 4) + 1));
}

TEST(MultipartParser, RandomBodiesMatchReference) {
  std::mt19937 rng(42);
  for (int i = 0; i < 3000; ++i) {
    const std::string body = randomBody(rng);
    SCOPED_TRACE(::testing::PrintToString(body));
    const Charset charset = i % 5 ? Charset::Utf8 : Charset::Ansi;
    expectSameAsReference(body, randomCuts(body.size(), rng, 1 + i % 13), charset);
    expectSameAsReference(body, {body.size()}, charset);
    if (HasFatalFailure()) return;
  }
}

// --- Limits ---------------------------------------------------------------

// A parse that may pass a limit: the refusal's message (empty when none) and
// the results it leaves.
struct Outcome {
  std::string refused, results;
  bool operator==(const Outcome& other) const { return refused == other.refused && results == other.results; }
};

std::ostream& operator<<(std::ostream& out, const Outcome& o) {
  return out << "refused: [" << o.refused << "]\n" << o.results;
}

template <class Parser>
std::string refusal(Parser& parser, const uint8_t* block, size_t size) {
  try {
    parser.ParseBlock(block, size);
  } catch (const EUploadLimitError& e) {
    return e.what();
  }
  return std::string();
}

// Parses in the given blocks, the fast parser and the reference side by
// side, checking after every block that they agree; stops at a refusal.
Outcome parseWithLimits(const std::string& body, const Cuts& cuts, const TParserLimits& limits) {
  TUploadResults fast, slow;
  TMultipartParser parser(fast, Charset::Utf8, nullptr, limits);
  TReferenceParser oracle(slow, Charset::Utf8, nullptr, limits);
  size_t done = 0;
  for (size_t n : cuts) {
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body.data() + done, n);
    const std::string refused = refusal(parser, block.get(), n);
    EXPECT_EQ(refused, refusal(oracle, block.get(), n)) << "after " << done << " bytes";
    EXPECT_EQ(Describe(fast), Describe(slow)) << "after " << done << " bytes";
    done += n;
    if (!refused.empty()) return {refused, Describe(fast)};
  }
  return {"", Describe(fast)};
}

TParserLimits smallLimits() {
  TParserLimits limits;
  limits.delimiterLine = 6;
  limits.headerLine = 44;
  limits.headerLines = 2;
  limits.parts = 3;
  limits.formText = 12;
  return limits;
}

std::string part(const std::string& name, const std::string& value, const std::string& line = "--XY") {
  return line + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

struct LimitCase {
  const char* title;
  std::string body;
  std::function<void(TParserLimits&)> adjust;  // of smallLimits()
  std::string refused;                         // empty: none
  std::vector<std::string> values;             // of the entities, in order
};

// Each limit just reached (the body parses) and just passed (the body is
// refused, the results holding what came before), under small limits.
const std::vector<LimitCase>& limitCases() {
  const auto none = [](TParserLimits&) {};
  static const std::vector<LimitCase> cases = {
      {"delimiter line at its limit", part("a", "1", "--XYZW") + "--XYZW--", none, "", {"1", ""}},
      {"delimiter line past its limit", part("a", "1", "--XYZWV") + "--XYZWV--", none,
       "The body's first line, its delimiter, is longer than 6 bytes.", {}},
      {"no CR within the delimiter line's limit", "--XYZW", none, "", {}},
      // 'Content-Disposition: form-data; name=""' is 39 bytes.
      {"header line at its limit", part("abcde", "1") + "--XY--", none, "", {"1", ""}},
      {"header line past its limit", part("abcdef", "1") + "--XY--", none,
       "A header line of a part is longer than 44 bytes.", {""}},
      {"CRs in a header line do not count",
       "--XY\r\nContent-Disposition: form-data;\r\r name=\"abcde\"\r\n\r\n1\r\n--XY--", none, "", {"1", ""}},
      {"header lines at their limit",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: text/plain\r\n\r\n1\r\n--XY--", none,
       "", {"1", ""}},
      {"header lines past their limit",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\nX: 1\r\nY: 2\r\n\r\n1\r\n--XY--", none,
       "A part has more than 2 header lines.", {""}},
      {"parts at their limit (the closing \"--\" opens one)", part("a", "1") + part("b", "2") + "--XY--", none, "",
       {"1", "2", ""}},
      {"parts past their limit", part("a", "1") + part("b", "2") + part("c", "3") + "--XY--", none,
       "The body has more than 3 parts.", {"1", "2", "3"}},
      {"form text at its limit", part("a", "12345") + part("b", "12345") + "--XY--", none, "",
       {"12345", "12345", ""}},
      {"form text past its limit by a value's last byte", part("a", "12345") + part("b", "123456") + "--XY--",
       none, "The form's text (names, values, file names, content types) is longer than 12 characters.",
       {"12345", ""}},
      {"form text past its limit in a value cut short", part("a", "12345") + "--XY\r\nX: 1\r\n\r\n1234567", none,
       "The form's text (names, values, file names, content types) is longer than 12 characters.", {"12345", ""}},
      // Name 1 + file name 3 + content type 3, then 1 + 4: file data is not
      // text of the form.
      {"file name and content type count, file data does not",
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.b\"\r\nContent-Type: a/b\r\n\r\n" +
           std::string(100, 'd') + "\r\n" + part("t", "1234") + "--XY--",
       [](TParserLimits& l) { l.headerLine = 60; }, "", {"", "1234", ""}},
      {"file name and content type past the limit",
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.b\"\r\nContent-Type: a/b\r\n\r\n" +
           std::string(100, 'd') + "\r\n" + part("t", "1234") + "--XY--",
       [](TParserLimits& l) {
         l.headerLine = 60;
         l.formText = 11;
       },
       "The form's text (names, values, file names, content types) is longer than 11 characters.", {"", ""}},
      // "1\r\n--X" is a value whose end looks like the start of a delimiter:
      // those bytes are held back at a block's end, and count once they are
      // known to be data.
      {"held-back bytes of a value count", part("v", "1\r\n--X") + "--XY--",
       [](TParserLimits& l) { l.formText = 7; }, "", {"1\r\n--X", ""}},
      {"held-back bytes of a value pass the limit", part("v", "1\r\n--X") + "--XY--",
       [](TParserLimits& l) { l.formText = 6; },
       "The form's text (names, values, file names, content types) is longer than 6 characters.", {""}},
  };
  return cases;
}

TEST(MultipartParser, LimitsWholeAtEverySplitAndByteByByte) {
  std::mt19937 rng(11);
  for (const LimitCase& c : limitCases()) {
    SCOPED_TRACE(c.title);
    TParserLimits limits = smallLimits();
    c.adjust(limits);
    const Outcome whole = parseWithLimits(c.body, {c.body.size()}, limits);
    EXPECT_EQ(whole.refused, c.refused);

    TUploadResults results;
    TMultipartParser parser(results, Charset::Utf8, nullptr, limits);
    refusal(parser, reinterpret_cast<const uint8_t*>(c.body.data()), c.body.size());
    std::vector<std::string> values;
    for (const TFormEntity& e : results.FormEntities) values.push_back(toUtf8(e.Value));
    EXPECT_EQ(values, c.values);

    for (size_t block : {1, 2, 7}) EXPECT_EQ(parseWithLimits(c.body, blocksOf(c.body.size(), block), limits), whole);
    for (size_t split = 1; split < c.body.size(); ++split)
      ASSERT_EQ(parseWithLimits(c.body, {split, c.body.size() - split}, limits), whole) << "split at " << split;
    for (int round = 0; round < 20; ++round)
      ASSERT_EQ(parseWithLimits(c.body, randomCuts(c.body.size(), rng, 1 + round % 9), limits), whole);
  }
}

// The defaults take what clients send: a file name of several hundred
// characters of two to four UTF-8 bytes, in a header line of 2300 bytes.
TEST(MultipartParser, DefaultLimitsTakeLongFileNames) {
  std::string name;
  for (int i = 0; i < 150; ++i) name += "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";  // é € 😀
  const std::string body = "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"" + name +
                           ".txt\"\r\nContent-Type: text/plain\r\n\r\nx\r\n--XY--\r\n";
  const Outcome outcome = parseWithLimits(body, blocksOf(body.size(), 7), TParserLimits());
  EXPECT_EQ(outcome.refused, "");
  TUploadResults results;
  TMultipartParser(results, Charset::Utf8, nullptr).ParseBlock(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  ASSERT_EQ(results.FileQty, 1);
  EXPECT_EQ(results.Files[0].Name.size(), 150u * 4 + 4);  // é and € one UTF-16 unit each, 😀 two
  EXPECT_EQ(toUtf8(results.Files[0].Name), name + ".txt");
}

// Random bodies under limits they often pass: the fast parser, the reference
// and the same body whole all stop at the same place with the same message.
TEST(MultipartParser, RandomBodiesUnderSmallLimits) {
  std::mt19937 rng(5);
  TParserLimits limits;
  limits.delimiterLine = 3;
  limits.headerLine = 12;
  limits.headerLines = 2;
  limits.parts = 3;
  limits.formText = 8;
  int refused = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string body = randomBody(rng);
    SCOPED_TRACE(::testing::PrintToString(body));
    const Outcome whole = parseWithLimits(body, {body.size()}, limits);
    ASSERT_EQ(parseWithLimits(body, randomCuts(body.size(), rng, 1 + i % 13), limits), whole);
    refused += !whole.refused.empty();
  }
  EXPECT_GT(refused, 200);  // the limits were reached often
}

// --- Direct mode ----------------------------------------------------------

// Records the calls; a file named "skip.bin" gets no stream (its data is
// discarded), the others an in-memory one whose bytes are logged on close.
class FakeDestinations : public IFileDestinations {
 public:
  std::vector<std::string> log;

  void OpenFile(TFileRecord& record) override {
    log.push_back("open " + toUtf8(record.Name));
    if (record.Name == u"fail.bin") throw EUploadError(u"Error creating file: fail.bin");
    if (record.Name != u"skip.bin") record.FileStream = std::make_unique<TMemoryStream>();
  }
  void CloseFile(TFileRecord& record) override {
    log.push_back("close " + toUtf8(record.Name) + " " +
                  (record.FileStream ? bytesOf(record.FileStream.get()) : "(no stream)"));
    record.FileStream.reset();
  }
};

const std::string kDirectBody =
    "--XY\r\nContent-Disposition: form-data; name=\"a\"; filename=\"C:\\a.txt\"\r\n\r\nalpha\r\n--X\r\n"
    "--XY\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\ntext\r\n"
    "--XY\r\nContent-Disposition: form-data; name=\"s\"; filename=\"skip.bin\"\r\n\r\ndiscarded\r\n"
    "--XY\r\nContent-Disposition: form-data; name=\"n\"; filename=\"\"\r\n\r\nnone\r\n"
    "--XY\r\nContent-Disposition: form-data; name=\"b\"; filename=\"b.txt\"\r\n\r\nbeta\r\n--XY--\r\n";

TEST(MultipartParser, DirectModeOpensAndClosesEachFileInOrder) {
  const std::vector<std::string> expected = {
      "open a.txt", "close a.txt alpha\r\n--X", "open skip.bin", "close skip.bin (no stream)",
      "open b.txt", "close b.txt beta"};
  for (size_t block : {1, 3, 102400}) {
    SCOPED_TRACE("blocks of " + std::to_string(block));
    FakeDestinations fake, fakeForReference;
    TUploadResults results, referenceResults;
    TMultipartParser parser(results, Charset::Utf8, &fake);
    TReferenceParser oracle(referenceResults, Charset::Utf8, &fakeForReference);
    feed(parser, kDirectBody, blocksOf(kDirectBody.size(), block));
    feed(oracle, kDirectBody, blocksOf(kDirectBody.size(), block));

    EXPECT_EQ(fake.log, expected);
    EXPECT_EQ(fakeForReference.log, expected);
    ASSERT_EQ(results.FileQty, 3);
    for (const TFileRecord& file : results.Files) EXPECT_FALSE(file.FileStream);
    EXPECT_EQ(results.FormEntities[1].Value, u"text");
    EXPECT_EQ(results.TagNameList.count(), 3);
    EXPECT_EQ(Describe(results), Describe(referenceResults));
  }
}

TEST(MultipartParser, DirectModeFileLeftOpenWhenTheBodyEndsEarly) {
  const std::string body = kDirectBody.substr(0, kDirectBody.find("beta") + 3);
  FakeDestinations fake;
  TUploadResults results;
  TMultipartParser parser(results, Charset::Utf8, &fake);
  feed(parser, body, blocksOf(body.size(), 4));
  EXPECT_EQ(fake.log.back(), "open b.txt");
  EXPECT_EQ(bytesOf(results.Files.back().FileStream.get()), "bet");
}

TEST(MultipartParser, DirectModeOpenFailurePropagatesWithTheRecordMade) {
  const std::string body =
      "--XY\r\nContent-Disposition: form-data; name=\"a\"; filename=\"fail.bin\"\r\n\r\ndata\r\n--XY--";
  FakeDestinations fake;
  TUploadResults results;
  TMultipartParser parser(results, Charset::Utf8, &fake);
  EXPECT_THROW(parser.ParseBlock(reinterpret_cast<const uint8_t*>(body.data()), body.size()), EUploadError);
  EXPECT_EQ(results.FileQty, 1);
  EXPECT_EQ(results.Files.at(0).Name, u"fail.bin");
}

TEST(MultipartParser, ExtensionAndNameOnly) {
  const struct {
    const char* sent;
    const char16_t *extension, *nameOnly;
  } cases[] = {
      {"report.final.pdf", u"pdf", u"report.final"},
      {".profile", u"", u".profile"},
      {"notes.", u"", u"notes"},
      {"README", u"", u"README"},
      {"a.b.", u"b", u"a"},
      {"evil.asp. . ", u"asp", u"evil"},
      {"nul.txt", u"txt", u"_nul"},
      {"dir.d/x", u"", u"x"},
  };
  for (const auto& c : cases) {
    const std::string body = "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\""s + c.sent +
                             "\"\r\n\r\n\r\n--XY--";
    TUploadResults results;
    TMultipartParser(results, Charset::Utf8, nullptr)
        .ParseBlock(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    ASSERT_EQ(results.FileQty, 1) << c.sent;
    EXPECT_EQ(results.Files[0].Extension, c.extension) << c.sent;
    EXPECT_EQ(results.Files[0].NameOnly, c.nameOnly) << c.sent;
  }
}

// --- Hostile bodies: finished, and finished right ---------------------------

// Whatever stands before the first CR is the delimiter line: a body without
// one defines no part, up to the line's limit, and is refused past it.
TEST(MultipartParser, BodyWithoutCRDefinesNoPart) {
  for (size_t length : {size_t{1024}, size_t{4} << 20}) {
    TUploadResults r;
    TMultipartParser parser(r, Charset::Utf8, nullptr);
    const std::string body(length, 'a');
    if (length <= TParserLimits().delimiterLine) {
      feed(parser, body, blocksOf(body.size(), 102400));
    } else {
      EXPECT_TRUE(Throws<EUploadLimitError>([&] { feed(parser, body, blocksOf(body.size(), 102400)); },
                                            "The body's first line, its delimiter, is longer than 1024 bytes."));
    }
    EXPECT_TRUE(r.FormEntities.empty()) << length;
  }
}

TEST(MultipartParser, PatternThatDefeatsSkippingStaysLinear) {
  // A delimiter line of one repeated letter and data of that letter with a CR
  // LF now and then: a search comparing each window from its end would do
  // about line length times data length work here. (The line is far longer
  // than a body may send: the search must not depend on the limit.)
  const std::string line = "--" + std::string(20000, 'A');
  std::string data;
  while (data.size() < (4 << 20)) data += "\r\n" + std::string(15000, 'A') + "x";
  const std::string body = line + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\n" +
                           data + "\r\n" + line + "--\r\n";
  TParserLimits longLines;
  longLines.delimiterLine = line.size();
  TUploadResults r;
  TMultipartParser parser(r, Charset::Utf8, nullptr, longLines);
  feed(parser, body, blocksOf(body.size(), 102400));
  ASSERT_EQ(r.FileQty, 1);
  EXPECT_EQ(bytesOf(r.Files[0].FileStream.get()), data);
  EXPECT_EQ(r.TagNameList.count(), 1);
}

// Lines of megabytes: refused at the limits, as soon as a line passes its
// limit; parsed right when the limits allow them.
TEST(MultipartParser, HugeFirstLineAndHeaderLine) {
  const std::string line = std::string(3 << 20, '-');
  const std::string header = "Content-Disposition: form-data; name=\"n\"; x=\"" + std::string(8 << 20, 'h') + "\"";
  const std::string body = line + "\r\n" + header + "\r\n\r\nvalue\r\n" + line.substr(0, 1 << 20) + "\r\n" + line + "--";
  {
    TUploadResults r;
    TMultipartParser parser(r, Charset::Utf8, nullptr);
    EXPECT_TRUE(Throws<EUploadLimitError>([&] { parser.ParseBlock(reinterpret_cast<const uint8_t*>(body.data()), 102400); },
                                          "The body's first line, its delimiter, is longer than 1024 bytes."));
  }
  {
    const std::string shortLine = "--XY\r\n" + header + "\r\n\r\nvalue\r\n--XY--";
    TUploadResults r;
    TMultipartParser parser(r, Charset::Utf8, nullptr);
    EXPECT_TRUE(Throws<EUploadLimitError>(
        [&] { parser.ParseBlock(reinterpret_cast<const uint8_t*>(shortLine.data()), 102400); },
        "A header line of a part is longer than 16384 bytes."));
    ASSERT_EQ(r.FormEntities.size(), 1u);
    EXPECT_EQ(r.FormEntities[0].Name, u"");
  }
  TParserLimits huge;
  huge.delimiterLine = line.size();
  huge.headerLine = header.size();
  TUploadResults r;
  TMultipartParser parser(r, Charset::Utf8, nullptr, huge);
  feed(parser, body, blocksOf(body.size(), 102400));
  ASSERT_EQ(r.FormEntities.size(), 2u);
  EXPECT_EQ(r.FormEntities[0].Name, u"n");
  EXPECT_EQ(r.FormEntities[0].Value, u"value\r\n" + ustring(1 << 20, u'-'));
}

TEST(MultipartParser, ManyParts) {
  std::string body;
  for (int i = 0; i < 100000; ++i)
    body += "--XY\r\nContent-Disposition: form-data; name=\"f" + std::to_string(i) + "\"\r\n\r\n" +
            std::to_string(i) + "\r\n";
  body += "--XY--\r\n";
  TUploadResults r;
  TMultipartParser parser(r, Charset::Utf8, nullptr);
  feed(parser, body, blocksOf(body.size(), 102400));
  ASSERT_EQ(r.FormEntities.size(), 100001u);
  EXPECT_EQ(r.FormEntities[99999].Name, u"f99999");
  EXPECT_EQ(r.FormEntities[99999].Value, u"99999");
}

}  // namespace
}  // namespace velmora
