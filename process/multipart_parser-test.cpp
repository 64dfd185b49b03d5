// The parser's events must not depend on where blocks are cut, and must be
// exactly those of the byte-at-a-time state machine (fuzz/reference_parser.h);
// most cases read them through the upload's receiver, as Read does.
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
#include <utility>
#include <vector>

#include "process/fuzz/reference_parser.h"
#include "process/upload_error.h"
#include "process/testing/throws.h"

namespace velmora {
namespace {

using namespace std::string_literals;
using Charset = TMultipartParser::Charset;
using reference::Describe;
using reference::TEventLog;
using reference::TReferenceParser;
using velmora::testing::Throws;

// Each part as the parser reported it, a value decoded as the receiver
// decodes it: what the parse made of a body, before the receiver lists it.
struct TLoggedPart : TPartHead {
  TPartHead& head() { return *this; }
  ustring Value;
};

class TPartLog final : public IMultipartReceiver {
 public:
  explicit TPartLog(Charset charset) : charset_(charset) {}
  std::vector<TLoggedPart> parts;

  void partBegin() override { parts.emplace_back(), bytes_.setSize(0); }
  void partHeadersEnd(TPartHead&& head) override { parts.back().head() = head; }
  void partHeadersCut(TPartHead&& head) override { parts.back().head() = head; }
  void partData(const uint8_t* data, size_t size) override { bytes_.write(data, size); }
  void partEnd() override {
    if (!parts.back().IsFile) parts.back().Value = DecodeFormText(bytes_, charset_);
  }

 private:
  Charset charset_;
  TMemoryStream bytes_;
};

// A parser feeding the upload's receiver, as Read joins them, and a log of
// its parts.
template <class Parser>
struct TUploadParse {
  TUploadParse(TUploadResults& results, Charset charset, IFileDestinations* direct,
               const TParserLimits& limits = TParserLimits())
      : log(charset), receiver(results, charset, direct), tee(log, receiver), parser(tee, charset, limits) {}
  void parseBlock(const uint8_t* data, size_t size) { parser.parseBlock(data, size); }
  void finish() {
    parser.finish();
    receiver.bodyEnded();
  }
  const std::vector<TLoggedPart>& parts() const { return log.parts; }

  TPartLog log;
  TUploadReceiver receiver;
  reference::TTee tee;
  Parser parser;
};
using TFastParse = TUploadParse<TMultipartParser>;
using TReferenceParse = TUploadParse<TReferenceParser>;

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

// Feeds body to parser in the given blocks, calling afterBlock after each,
// then ends it as Read does.
template <class Parser>
void feed(Parser& parser, const std::string& body, const Cuts& cuts,
          const std::function<void()>& afterBlock = {}) {
  size_t done = 0;
  for (size_t n : cuts) {
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body.data() + done, n);
    parser.parseBlock(block.get(), n);
    done += n;
    if (afterBlock) afterBlock();
  }
  parser.finish();
  ASSERT_EQ(done, body.size());
}

std::string parse(const std::string& body, const Cuts& cuts, Charset charset = Charset::Utf8,
                  IFileDestinations* direct = nullptr) {
  TUploadResults results;
  TFastParse parser(results, charset, direct);
  feed(parser, body, cuts);
  return Describe(results);
}

// The message of a parse that passed a limit or refused the body, or empty
// text.
template <class Parser>
std::string refusal(Parser& parser, const uint8_t* block, size_t size) {
  try {
    parser.parseBlock(block, size);
  } catch (const EBodyRefused& e) {
    return e.what();
  }
  return std::string();
}

// Fast parser and reference fed the same blocks report the same events
// after every block, so the bytes held back at every block's end agree too;
// and so the upload's results agree. A body refused is refused by both at
// the same block.
void expectSameAsReference(const std::string& body, const Cuts& cuts, Charset charset) {
  TUploadResults fast, slow;
  TFastParse parser(fast, charset, nullptr);
  TReferenceParse oracle(slow, charset, nullptr);
  TEventLog fastEvents, slowEvents;
  TMultipartParser eventParser(fastEvents, charset);
  TReferenceParser eventOracle(slowEvents, charset);
  size_t done = 0;
  for (size_t n : cuts) {
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body.data() + done, n);
    const std::string refused = refusal(parser, block.get(), n);
    ASSERT_EQ(refusal(oracle, block.get(), n), refused) << "after " << done << " bytes";
    ASSERT_EQ(refusal(eventParser, block.get(), n), refused) << "after " << done << " bytes";
    ASSERT_EQ(refusal(eventOracle, block.get(), n), refused) << "after " << done << " bytes";
    done += n;
    ASSERT_EQ(fastEvents.text(), slowEvents.text()) << "after " << done << " bytes";
    ASSERT_EQ(Describe(fast), Describe(slow)) << "after " << done << " bytes";
    if (!refused.empty()) break;
  }
  parser.finish(), oracle.finish(), eventParser.finish(), eventOracle.finish();
  EXPECT_EQ(fastEvents.text(), slowEvents.text()) << "at the end";
  EXPECT_EQ(Describe(fast), Describe(slow)) << "at the end";
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

const std::vector<Vector>& corpus() {
  static const std::vector<Vector> vectors = {
      {"two text parts and a file",
       kWebKit +
           "\r\n"
           "Content-Disposition: form-data; name=\"title\"\r\n\r\n"
           "Holiday\r\n" +
           kWebKit +
           "\r\n"
           "Content-Disposition: form-data; name=\"note\"\r\n\r\n"
           "line one\r\nline two\r\n" +
           kWebKit +
           "\r\n"
           "Content-Disposition: form-data; name=\"photo\"; "
           "filename=\"C:\\docs\\report.final.pdf\"\r\n"
           "Content-Type: application/pdf\r\n\r\n"
           "%PDF\0\x01\r\n\r\n--\r\n-\xFF end\r\n"s +
           kWebKit + "--\r\n",
       Charset::Utf8,
       {{"title", "Holiday", "", "", false},
        {"note", "line one\r\nline two", "", "", false},
        {"photo", "", "C:\\docs\\report.final.pdf", "application/pdf", true}},
       {{"report.final.pdf", "C:\\docs\\report.final.pdf", "pdf", "report.final", "application/pdf",
         "%PDF\0\x01\r\n\r\n--\r\n-\xFF end"s}},
       {"photo"}},

      {"repeated names",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"A\"\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n3\r\n--XY--\r\n",
       Charset::Utf8,
       {{"a", "1", "", "", false}, {"A", "2", "", "", false}, {"a", "3", "", "", false}},
       {},
       {}},

      {"empty file field",
       "--XY\r\nContent-Disposition: form-data; name=\"up\"; filename=\"\"\r\n"
       "Content-Type: application/octet-stream\r\n\r\n"
       "discarded\r\n--X\r\n--XY\r\n"
       "Content-Disposition: form-data; name=\"after\"\r\n\r\nkept\r\n--XY--\r\n",
       Charset::Utf8,
       {{"up", "", "", "application/octet-stream", true}, {"after", "kept", "", "", false}},
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
        {"v", "\r\n", "", "", false}},
       {{"a.txt", "a.txt", "txt", "a", "text/plain", "ab\r\n--Xcd\r\n-\r\n--X"},
        {"b.txt", "b.txt", "txt", "b", "", "abc\r"}},
       {"f", "g"}},

      {"empty first line: every CR LF ends a part",
       "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nxy\r\n"
       "Content-Disposition: form-data; name=\"b\"\r\n\r\nz",
       Charset::Utf8,
       // The second line follows a delimiter without its CR LF: skipped; the
       // next CR LF CR LF is a delimiter opening a part whose header is "z".
       {{"a", "xy", "", "", false}, {"", "", "", "", false}},
       {},
       {}},

      // What follows a delimiter decides, as for a reader of the RFC: CR LF
      // opens a part, "--" closes the body, anything else opens no part and
      // its bytes up to the next delimiter are discarded.
      {"after a delimiter, only CR LF opens a part",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
       "--XY \r\nContent-Disposition: form-data; name=\"pad\"\r\n\r\n2\r\n"
       "--XY\nContent-Disposition: form-data; name=\"lf\"\r\n\r\n3\r\n"
       "--XYContent-Disposition: form-data; name=\"glued\"; filename=\"x.asp\"\r\n\r\n4\r\n"
       "--XY\r\r\nContent-Disposition: form-data; name=\"cr\"\r\n\r\n5\r\n"
       "--XY-\r\nContent-Disposition: form-data; name=\"dash\"\r\n\r\n6\r\n"
       "--XY\r\n\r\nContent-Disposition: form-data; name=\"blank\"\r\n\r\n7\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n8\r\n--XY--",
       Charset::Utf8,
       {{"a", "1", "", "", false},
        {"", "Content-Disposition: form-data; name=\"blank\"\r\n\r\n7", "", "", false},
        {"b", "8", "", "", false}},
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
       "--XY\r\ncontent-disposition: form-data; name=\"low\"\r\ncontent-type: "
       "text/plain\r\n\r\nv\r\n"
       "--XY\r\nContent-Disposition: form-data; name=unquoted; x=\"next\"\r\n"
       "X-Content-Type: a\r\n\r\nw\r\n"
       "--XY\r\nContent-Type: image/png\r\nContent-Type: image/gif\r\n\r\nno disposition\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"open\r\n\r\nu\r\n--XY--",
       Charset::Utf8,
       {{"", "v", "", "", false},
        {"unquoted", "w", "", "", false},
        {"", "no disposition", "", "image/png", false},
        {"", "u", "", "", false}},
       {},
       {}},

      {"disposition parameters read as quoted strings and tokens",
       "--XY\r\nContent-Disposition: form-data; name=\"a\\\"; filename=\\\"x.asp\\\"\"\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"b; filename=y.asp\"\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; NAME=\"c\"; FileName=\"c.txt\"\r\n\r\n3\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"d\"; name=\"e\"; filename=tok.txt; "
       "filename=\"no.txt\"\r\n\r\n4\r\n"
       "--XY\r\nContent-Disposition: attachment; name=\"f\"; filename=\"f.asp\"\r\n\r\n5\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"g\"; filename=\"g.asp\" x\r\n\r\n6\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"h\" filename=\"h.asp\"\r\n\r\n7\r\n"
       "--XY\r\nContent-Disposition:form-data ;name=\"i\\\\\"\t; filename=\"\\i.txt\" \r\n\r\n8\r\n"
       "--XY--\r\n",
       Charset::Utf8,
       {{"a\"; filename=\"x.asp\"", "1", "", "", false},
        {"b; filename=y.asp", "2", "", "", false},
        {"c", "", "c.txt", "", true},
        {"d", "", "tok.txt", "", true},
        {"", "5", "", "", false},
        {"", "6", "", "", false},
        {"", "7", "", "", false},
        {"i\\", "", "\\i.txt", "", true}},
       {{"c.txt", "c.txt", "txt", "c", "", "3"},
        {"tok.txt", "tok.txt", "txt", "tok", "", "4"},
        {"i.txt", "\\i.txt", "txt", "i", "", "8"}},
       {"c", "d", "i\\"}},

      // A control character cannot stand in a header line, but a %00 of
      // filename* brings one into a file name.
      {"client file names",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"; "
       "filename=\"C:\\dir\\x.tar.gz\"\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"b\"; filename=\"../../x.asp\"\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"c\"; "
       "filename=\"evil.asp\0.jpg\"\r\n\r\n3\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"d\"; "
       "filename*=UTF-8''evil.asp%00.jpg\r\n\r\n4\r\n"
       "--XY--\r\n"s,
       Charset::Utf8,
       {{"a", "", "C:\\dir\\x.tar.gz", "", true},
        {"b", "", "../../x.asp", "", true},
        {"", "3", "", "", false},
        {"d", "", "evil.asp\0.jpg"s, "", true}},
       {{"x.tar.gz", "C:\\dir\\x.tar.gz", "gz", "x.tar", "", "1"},
        {"x.asp", "../../x.asp", "asp", "x", "", "2"},
        {"evil.asp", "evil.asp\0.jpg"s, "asp", "evil", "", "4"}},
       {"a", "b", "d"}},

      // A reader of RFC 7578 drops a part whose header breaks the syntax of
      // header fields (busboy: "Malformed part header"); so do we.
      {"a control character anywhere in a header drops the part",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"; filename=\"a.asp\\\x01\"\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"b\"; filename=\"b.txt\"\r\nX-Note: a\x1F" "b\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"c\x7F\"\r\n\r\n3\r\n"
       "--XY\r\nX-Note: \0\r\nContent-Disposition: form-data; name=\"d\"\r\n\r\n4\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"e\tf\xC3\xA9\"\r\n\r\n5\r\n"
       "--XY--\r\n"s,
       Charset::Utf8,
       {{"", "1", "", "", false},
        {"", "2", "", "", false},
        {"", "3", "", "", false},
        {"", "4", "", "", false},
        {"e\tf\xC3\xA9", "5", "", "", false}},
       {},
       {}},

      {"header lines that are not CR LF fields drop the part",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"; filename=\"a.asp\"\nX: 1\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"b\"; filename=\"b.asp\"\n\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"c\"\r; filename=\"c.asp\"\r\n\r\n3\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"d\"\r\n ; filename=\"d.asp\"\r\n\r\n4\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"e\"\r\nno colon\r\n\r\n5\r\n"
       "--XY\r\nContent-Disposition : form-data; name=\"f\"\r\n\r\n6\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"g\"\r\n\r\r\nX: 1\r\n\r\n7\r\n"
       "--XY\r\n\r\n8\r\n"
       "--XY\r\nContent-Disposition:form-data; name=\"h\"\r\nX:\r\n\r\n9\r\n"
       "--XY--\r\n",
       Charset::Utf8,
       {{"", "1", "", "", false},
        {"", "2", "", "", false},
        {"", "3", "", "", false},
        {"", "4", "", "", false},
        {"", "5", "", "", false},
        {"", "6", "", "", false},
        {"", "7", "", "", false},
        {"", "8", "", "", false},
        {"h", "9", "", "", false}},
       {},
       {}},

      {"header names in any case, the first of each counting",
       "--XY\r\ncontent-disposition: form-data; name=\"a\"\r\n"
       "Content-Disposition: form-data; name=\"b\"; filename=\"b.asp\"\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"c\"\r\ncontent-type: application/octet-stream\r\n"
       "Content-Type: text/plain\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"d\"\r\nContent-Type: text/plain\r\n"
       "CONTENT-TYPE: application/octet-stream\r\n\r\n3\r\n"
       "--XY--\r\n",
       Charset::Utf8,
       {{"", "1", "", "", false}, {"c", "", "", "", true}, {"d", "3", "", "text/plain", false}},
       {},
       {}},

      // An RFC 7578 reader takes such a part for a file; we take it for a
      // file input without a file name: no variable of its data, no file.
      {"application/octet-stream without a file name",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\nContent-Type: application/octet-stream\r\n\r\n1\r\n"
       "--XY\r\nContent-Type: Application/Octet-Stream; x=y\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"c\"\r\nContent-Type: application/octet-streams\r\n\r\n3\r\n"
       "--XY\r\nContent-Type: application/octet-stream\r\n\r\n4\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"e\"; filename=\"e.bin\"\r\n"
       "Content-Type: application/octet-stream\r\n\r\n5\r\n"
       "--XY--\r\n",
       Charset::Utf8,
       {{"a", "", "", "application/octet-stream", true},
        {"b", "", "", "Application/Octet-Stream; x=y", true},
        {"c", "3", "", "application/octet-streams", false},
        {"", "4", "", "application/octet-stream", false},
        {"e", "", "e.bin", "application/octet-stream", true}},
       {{"e.bin", "e.bin", "bin", "e", "application/octet-stream", "5"}},
       {"e"}},

      // RFC 5987's charset'language'text; it names the file when it names
      // one. A charset other readers decode otherwise, bytes that are not
      // its text, or a broken ext-value, and the part is dropped.
      {"filename* as RFC 5987 has it",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"; filename*=UTF-8''r%C3%A9sum%C3%a9.txt\r\n\r\n1\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"b\"; filename=\"plain.txt\"; "
       "filename*=utf-8'en'%E2%82%AC.txt\r\n\r\n2\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"c\"; filename*=iso-8859-1''%E9t%E9.txt; "
       "filename=\"x.txt\"\r\n\r\n3\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"d\"; filename*=utf-8''; filename=\"d.txt\"\r\n\r\n4\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"e\"; filename*=koi8-r''%C1; filename=\"e.txt\"\r\n\r\n5\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename*=utf-8''%FF.txt\r\n\r\n6\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"g\"; filename*=utf-8''%4g.txt\r\n\r\n7\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"h\"; note*=\"quoted\"\r\n\r\n8\r\n"
       "--XY\r\nContent-Disposition: form-data; name*=utf-8''x; name=\"i\"; "
       "filename*=utf-8'a;b\"c'i.txt\r\n\r\n9\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"j\"; filename*=''j.txt\r\n\r\n10\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"k\"; filename*=utf-8''k.txt x\r\n\r\n11\r\n"
       "--XY--\r\n",
       Charset::Utf8,
       {{"a", "", "r\xC3\xA9sum\xC3\xA9.txt", "", true},
        {"b", "", "\xE2\x82\xAC.txt", "", true},
        {"c", "", "\xC3\xA9t\xC3\xA9.txt", "", true},
        {"d", "", "d.txt", "", true},
        {"", "5", "", "", false},
        {"", "6", "", "", false},
        {"", "7", "", "", false},
        {"", "8", "", "", false},
        {"i", "", "i.txt", "", true},
        {"", "10", "", "", false},
        {"", "11", "", "", false}},
       {{"r\xC3\xA9sum\xC3\xA9.txt", "r\xC3\xA9sum\xC3\xA9.txt", "txt", "r\xC3\xA9sum\xC3\xA9", "", "1"},
        {"\xE2\x82\xAC.txt", "\xE2\x82\xAC.txt", "txt", "\xE2\x82\xAC", "", "2"},
        {"\xC3\xA9t\xC3\xA9.txt", "\xC3\xA9t\xC3\xA9.txt", "txt", "\xC3\xA9t\xC3\xA9", "", "3"},
        {"d.txt", "d.txt", "txt", "d", "", "4"},
        {"i.txt", "i.txt", "txt", "i", "", "9"}},
       {"a", "b", "c", "d", "i"}},

      {"UTF-8 text, with the ANSI fallback",
       "--XY\r\nContent-Disposition: form-data; name=\"caf\xC3\xA9\"\r\n\r\n\xC3\xA9t\xC3\xA9\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"old\"\r\n\r\n\xE9t\xE9\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; "
       "filename=\"r\xC3\xA9sum\xC3\xA9.txt\"\r\n"
       "\r\nx\r\n--XY--\r\n",
       Charset::Utf8,
       {{"café", "été", "", "", false},
        {"old", "été", "", "", false},
        {"f", "", "résumé.txt", "", true}},
       {{"résumé.txt", "résumé.txt", "txt", "résumé", "", "x"}},
       {"f"}},

      {"ANSI text",
       "--XY\r\nContent-Disposition: form-data; name=\"caf\xC3\xA9\"\r\n\r\n\xC3\xA9t\xC3\xA9\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"old\"\r\n\r\n\xE9t\x80\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; "
       "filename=\"r\xC3\xA9sum\xC3\xA9.txt\"\r\n"
       "\r\nx\r\n--XY--\r\n",
       Charset::Ansi,
       {{"cafÃ©", "Ã©tÃ©", "", "", false},
        {"old", "ét€", "", "", false},
        {"f", "", "rÃ©sumÃ©.txt", "", true}},
       {{"rÃ©sumÃ©.txt", "rÃ©sumÃ©.txt", "txt", "rÃ©sumÃ©", "", "x"}},
       {"f"}},

      // What follows the closing delimiter is no part, whatever it looks
      // like: a reader that follows RFC 2046 sees none there either.
      {"a part smuggled after the closing delimiter",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XY--\r\n"
       "--XY\r\nContent-Disposition: form-data; name=\"x\"; filename=\"evil.asp\"\r\n\r\n<% "
       "%>\r\n--XY--\r\n",
       Charset::Utf8,
       {{"a", "1", "", "", false}},
       {},
       {}},

      {"header lines straight after the closing delimiter",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XY--"
       "Content-Disposition: form-data; name=\"x\"; filename=\"evil.asp\"\r\n\r\n<% %>\r\n--XY\r\n",
       Charset::Utf8,
       {{"a", "1", "", "", false}},
       {},
       {}},

      // One "-" after a delimiter is the first byte of a header line.
      {"a single dash after a delimiter opens no part",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n--XY-\r\n"
       "Content-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n--XY--\r\n",
       Charset::Utf8,
       {{"a", "1", "", "", false}},
       {},
       {}},
  };
  return vectors;
}

std::string bytesOf(const TFileStorage& storage) {
  const TChunkedMemoryStream* chunks = storage.memory();
  if (!chunks) return "(not in memory)";
  std::string bytes(static_cast<size_t>(chunks->size()), '\0');
  chunks->readAt(0, bytes.data(), bytes.size());
  return bytes;
}

TEST(MultipartParser, CorpusGivesExactResults) {
  for (const Vector& v : corpus()) {
    SCOPED_TRACE(v.title);
    TUploadResults results;
    TFastParse parser(results, v.charset, nullptr);
    parser.parseBlock(reinterpret_cast<const uint8_t*>(v.body.data()), v.body.size());
    parser.finish();

    ASSERT_EQ(parser.parts().size(), v.entities.size()) << Describe(results);
    for (size_t i = 0; i < v.entities.size(); ++i) {
      const TLoggedPart& got = parser.parts()[i];
      const ExpectedEntity& want = v.entities[i];
      SCOPED_TRACE("entity " + std::to_string(i));
      EXPECT_EQ(toUtf8(got.Name), want.Name);
      EXPECT_EQ(toUtf8(got.Value), want.Value);
      EXPECT_EQ(toUtf8(got.FileName), want.FileName);
      EXPECT_EQ(toUtf8(got.ContentType), want.ContentType);
      EXPECT_EQ(got.IsFile, want.IsFile);
    }
    ASSERT_EQ(results.FFileQty, static_cast<int32_t>(v.files.size()));
    ASSERT_EQ(results.FFiles.size(), v.files.size());
    for (size_t i = 0; i < v.files.size(); ++i) {
      const TFileRecord& got = results.FFiles[i];
      const ExpectedFile& want = v.files[i];
      SCOPED_TRACE("file " + std::to_string(i));
      EXPECT_EQ(toUtf8(got.Name), want.Name);
      EXPECT_EQ(toUtf8(got.LocalName), want.LocalName);
      EXPECT_EQ(toUtf8(got.Extension), want.Extension);
      EXPECT_EQ(toUtf8(got.NameOnly), want.NameOnly);
      EXPECT_EQ(toUtf8(got.ContentType), want.ContentType);
      EXPECT_EQ(got.NewName, u"");
      EXPECT_EQ(bytesOf(got.Storage), want.bytes);
    }
    std::vector<std::string> tags;
    for (const ustring& tag : results.FTagNameList) tags.push_back(toUtf8(tag));
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


// Parses in the given blocks, the fast parser and the reference side by
// side, checking after every block that they agree; stops at a refusal.
Outcome parseWithLimits(const std::string& body, const Cuts& cuts, const TParserLimits& limits) {
  TUploadResults fast, slow;
  TFastParse parser(fast, Charset::Utf8, nullptr, limits);
  TReferenceParse oracle(slow, Charset::Utf8, nullptr, limits);
  size_t done = 0;
  std::string refused;
  for (size_t n : cuts) {
    auto block = std::make_unique<uint8_t[]>(n);
    std::memcpy(block.get(), body.data() + done, n);
    refused = refusal(parser, block.get(), n);
    EXPECT_EQ(refused, refusal(oracle, block.get(), n)) << "after " << done << " bytes";
    EXPECT_EQ(Describe(fast), Describe(slow)) << "after " << done << " bytes";
    done += n;
    if (!refused.empty()) break;
  }
  // Read ends a refused body like any other.
  parser.finish(), oracle.finish();
  EXPECT_EQ(Describe(fast), Describe(slow)) << "at the end";
  return {refused, Describe(fast)};
}

TParserLimits smallLimits() {
  TParserLimits limits;
  limits.delimiterLine = 6;
  limits.headerBlock = 48;
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
  std::vector<std::string> values;             // of the parts, in order
};

// Each limit just reached (the body parses) and just passed (the body is
// refused, the results holding what came before), under small limits.
const std::vector<LimitCase>& limitCases() {
  const auto none = [](TParserLimits&) {};
  static const std::vector<LimitCase> cases = {
      {"delimiter line at its limit", part("a", "1", "--XYZW") + "--XYZW--", none, "", {"1"}},
      {"delimiter line past its limit",
       part("a", "1", "--XYZWV") + "--XYZWV--",
       none,
       "The body's first line, its delimiter, is longer than 6 bytes.",
       {}},
      {"no CR within the delimiter line's limit", "--XYZW", none, "", {}},
      // 'Content-Disposition: form-data; name=""', its CR LF and the empty
      // line are 43 bytes.
      {"header at its limit", part("abcde", "1") + "--XY--", none, "", {"1"}},
      {"header past its limit",
       part("abcdef", "1") + "--XY--",
       none,
       "The header of a part is longer than 48 bytes.",
       {""}},
      {"header lines at their limit, the header at its own",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\nX:\r\n\r\n1\r\n--XY--",
       none,
       "",
       {"1"}},
      {"a header past its limit by a line break",
       "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\nX:\r\n\r\r\n1\r\n--XY--",
       none,
       "The header of a part is longer than 48 bytes.",
       {""}},
      {"header lines past their limit",
       "--XY\r\nX:\r\nY:\r\nZ:\r\n\r\n1\r\n--XY--",
       none,
       "A part has more than 2 header lines.",
       {""}},
      {"parts at their limit",
       part("a", "1") + part("b", "2") + part("c", "3") + "--XY--",
       none,
       "",
       {"1", "2", "3"}},
      {"parts past their limit",
       part("a", "1") + part("b", "2") + part("c", "3") + part("d", "4") + "--XY--",
       none,
       "The body has more than 3 parts.",
       {"1", "2", "3"}},
      // The closing delimiter ends the parts: lines after it, however many
      // or long, are no part and pass no limit.
      {"an epilogue passes no limit",
       part("a", "1") + "--XY--\r\n" + std::string(100, 'e') + "\r\n" +
           [] {
             std::string lines;
             for (int i = 0; i < 9; ++i) lines += "X: " + std::to_string(i) + "\r\n";
             return lines;
           }() +
           "\r\n--XY\r\n" +
           "Content-Disposition: form-data; name=\"x\"\r\n\r\nsmuggled\r\n--XY--\r\n",
       none,
       "",
       {"1"}},
      {"form text at its limit",
       part("a", "12345") + part("b", "12345") + "--XY--",
       none,
       "",
       {"12345", "12345"}},
      {"form text past its limit by a value's last byte",
       part("a", "12345") + part("b", "123456") + "--XY--",
       none,
       "The form's text (names, values, file names, content types) is longer than 12 characters.",
       {"12345", ""}},
      {"form text past its limit in a value cut short",
       part("a", "12345") + "--XY\r\nX: 1\r\n\r\n1234567",
       none,
       "The form's text (names, values, file names, content types) is longer than 12 characters.",
       {"12345", ""}},
      // Name 1 + file name 3 + content type 3, then 1 + 4: file data is not
      // text of the form.
      {"file name and content type count, file data does not",
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.b\"\r\nContent-Type: "
       "a/b\r\n\r\n" +
           std::string(100, 'd') + "\r\n" + part("t", "1234") + "--XY--",
       [](TParserLimits& l) { l.headerBlock = 80; },
       "",
       {"", "1234"}},
      {"file name and content type past the limit",
       "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x.b\"\r\nContent-Type: "
       "a/b\r\n\r\n" +
           std::string(100, 'd') + "\r\n" + part("t", "1234") + "--XY--",
       [](TParserLimits& l) {
         l.headerBlock = 80;
         l.formText = 11;
       },
       "The form's text (names, values, file names, content types) is longer than 11 characters.",
       {"", ""}},
      // "1\r\n--X" is a value whose end looks like the start of a delimiter:
      // those bytes are held back at a block's end, and count once they are
      // known to be data.
      {"held-back bytes of a value count",
       part("v", "1\r\n--X") + "--XY--",
       [](TParserLimits& l) { l.formText = 7; },
       "",
       {"1\r\n--X"}},
      {"held-back bytes of a value pass the limit",
       part("v", "1\r\n--X") + "--XY--",
       [](TParserLimits& l) { l.formText = 6; },
       "The form's text (names, values, file names, content types) is longer than 6 characters.",
       {""}},
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
    TFastParse parser(results, Charset::Utf8, nullptr, limits);
    refusal(parser, reinterpret_cast<const uint8_t*>(c.body.data()), c.body.size());
    std::vector<std::string> values;
    for (const TLoggedPart& part : parser.parts()) values.push_back(toUtf8(part.Value));
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
  TFastParse(results, Charset::Utf8, nullptr).parseBlock(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  ASSERT_EQ(results.FFileQty, 1);
  EXPECT_EQ(results.FFiles[0].Name.size(), 150u * 4 + 4);  // é and € one UTF-16 unit each, 😀 two
  EXPECT_EQ(toUtf8(results.FFiles[0].Name), name + ".txt");
}

// Random bodies under limits they often pass: the fast parser, the reference
// and the same body whole all stop at the same place with the same message.
TEST(MultipartParser, RandomBodiesUnderSmallLimits) {
  std::mt19937 rng(5);
  TParserLimits limits;
  limits.delimiterLine = 3;
  limits.headerBlock = 30;
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

// --- Events -----------------------------------------------------------------

TEST(MultipartParser, EventsOfABody) {
  const std::string body =
      "--XY\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\ntext\r\n"
      "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a.txt\"\r\n"
      "Content-Type: text/plain\r\n\r\nab\r\n"
      "--XY\r\nContent-Disposition: form-data; name=\"n\"; filename=\"\"\r\n\r\ndropped\r\n"
      "--XY\r\nContent-Disposition: form-data; name=\"cut\"\r\nContent-Type: te";
  const std::string expected =
      "begin\n"
      "headers end Name=t FileName= ContentType= \n"
      "data text\n"
      "end\n"
      "begin\n"
      "headers end Name=f FileName=a.txt IsFile ContentType=text/plain \n"
      "data ab\n"
      "end\n"
      "begin\n"
      "headers end Name=n FileName= IsFile ContentType= \n"
      "end\n"
      "begin\n"
      "headers cut Name=cut FileName= ContentType= \n";
  for (size_t block : {1, 5, 102400}) {
    TEventLog events;
    TMultipartParser parser(events, Charset::Utf8);
    feed(parser, body, blocksOf(body.size(), block));
    EXPECT_EQ(events.text(), expected) << "blocks of " << block;
  }
}

// Data is never copied on its way to the receiver: a part within one block
// arrives as one range of that block; bytes held back at a block's end come
// from the delimiter pattern, which they match.
TEST(MultipartParser, DataArrivesAsRangesOfTheBlock) {
  struct TRanges final : IMultipartReceiver {
    std::vector<std::pair<const uint8_t*, size_t>> ranges;
    void partBegin() override {}
    void partHeadersEnd(TPartHead&&) override {}
    void partHeadersCut(TPartHead&&) override {}
    void partData(const uint8_t* data, size_t size) override { ranges.emplace_back(data, size); }
    void partEnd() override {}
  };
  const std::string head = "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"a\"\r\n\r\n";
  const std::string data = std::string(50000, 'x') + "\r\n--X" + std::string(50000, 'y');
  const std::string body = head + data + "\r\n--XY--\r\n";

  TRanges whole;
  TMultipartParser(whole, Charset::Utf8).parseBlock(reinterpret_cast<const uint8_t*>(body.data()), body.size());
  ASSERT_EQ(whole.ranges.size(), 1u);
  EXPECT_EQ(whole.ranges[0].first, reinterpret_cast<const uint8_t*>(body.data()) + head.size());
  EXPECT_EQ(whole.ranges[0].second, data.size());

  // Cut inside "\r\n--X": the first block's range stops before the CR,
  // the held-back "\r\n--X" follows once the next block breaks the match,
  // then the rest of the second block.
  const size_t cut = head.size() + 50003;
  TRanges split;
  TMultipartParser parser(split, Charset::Utf8);
  const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
  parser.parseBlock(bytes, cut);
  parser.parseBlock(bytes + cut, body.size() - cut);
  ASSERT_EQ(split.ranges.size(), 3u);
  EXPECT_EQ(split.ranges[0], std::make_pair(bytes + head.size(), size_t{50000}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(split.ranges[1].first), split.ranges[1].second), "\r\n-");
  EXPECT_EQ(split.ranges[2], std::make_pair(bytes + cut, data.size() - 50003));
}

// --- Direct mode ----------------------------------------------------------

// Records the calls; a file named "skip.bin" gets no storage (its data is
// discarded), the others a staged file in memory that logs its commit and,
// when it goes uncommitted, its deletion, each with its bytes.
class FakeDestinations : public IFileDestinations {
 public:
  std::vector<std::string> log;

  void openFile(TFileRecord& record) override {
    log.push_back("open " + toUtf8(record.Name));
    if (record.Name == u"fail.bin") throw EUploadError(u"Error creating file: fail.bin");
    if (record.Name != u"skip.bin")
      record.Storage.stage(std::make_unique<Staged>(log, toUtf8(record.Name)));
  }

 private:
  class Staged final : public IStagedFile {
   public:
    Staged(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
    ~Staged() override {
      if (!committed_) log_.push_back("delete " + name_ + " " + contents());
    }
    TStream& bytes() override { return bytes_; }
    ustring commit() override {
      committed_ = true;
      log_.push_back("commit " + name_ + " " + contents());
      return fromUtf8("C:\\up\\" + name_);
    }

   private:
    std::string contents() const {
      return std::string(reinterpret_cast<const char*>(bytes_.data()), bytes_.size());
    }
    std::vector<std::string>& log_;
    const std::string name_;
    TMemoryStream bytes_;
    bool committed_ = false;
  };
};

const std::string kDirectBody =
    "--XY\r\nContent-Disposition: form-data; name=\"a\"; filename=\"C:\\a.txt\"\r\n\r\nalpha\r\n--X\r\n"
    "--XY\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\ntext\r\n"
    "--XY\r\nContent-Disposition: form-data; name=\"s\"; filename=\"skip.bin\"\r\n\r\ndiscarded\r\n"
    "--XY\r\nContent-Disposition: form-data; name=\"n\"; filename=\"\"\r\n\r\nnone\r\n"
    "--XY\r\nContent-Disposition: form-data; name=\"b\"; filename=\"b.txt\"\r\n\r\nbeta\r\n--XY--\r\n";

// A staged file takes its name when the next file part begins, the last one
// when the read has taken the whole body; never while its part arrives.
TEST(MultipartParser, DirectModeSettlesEachFileWhenTheNextBegins) {
  const std::vector<std::string> expected = {"open a.txt", "commit a.txt alpha\r\n--X",
                                             "open skip.bin", "open b.txt", "commit b.txt beta"};
  for (size_t block : {1, 3, 102400}) {
    SCOPED_TRACE("blocks of " + std::to_string(block));
    FakeDestinations fake, fakeForReference;
    TUploadResults results, referenceResults;
    TFastParse parser(results, Charset::Utf8, &fake);
    TReferenceParse oracle(referenceResults, Charset::Utf8, &fakeForReference);
    feed(parser, kDirectBody, blocksOf(kDirectBody.size(), block));
    feed(oracle, kDirectBody, blocksOf(kDirectBody.size(), block));
    EXPECT_EQ(results.FFiles.back().Storage.kind(), TFileStorage::TKind::Staged);
    parser.receiver.settleLastFile();
    oracle.receiver.settleLastFile();

    EXPECT_EQ(fake.log, expected);
    EXPECT_EQ(fakeForReference.log, expected);
    ASSERT_EQ(results.FFileQty, 3);
    using TKind = TFileStorage::TKind;
    EXPECT_EQ(results.FFiles[0].Storage.kind(), TKind::OnDisk);
    EXPECT_EQ(results.FFiles[1].Storage.kind(), TKind::None);
    EXPECT_EQ(results.FFiles[2].Storage.kind(), TKind::OnDisk);
    EXPECT_EQ(results.FFiles[0].NewName, u"a.txt");
    EXPECT_EQ(results.FVariableList.valueOf(u"t"), u"text");
    EXPECT_EQ(results.FTagNameList.count(), 3);
    EXPECT_EQ(Describe(results), Describe(referenceResults));
  }
}

// A read that stops early leaves its last file unsettled: complete or cut,
// it is deleted with the records, and never takes its name.
TEST(MultipartParser, DirectModeLastFileOfAnUnfinishedReadIsDeleted) {
  const struct {
    const char* title;
    std::string body;
    std::string last;
  } cases[] = {
      {"cut inside the file", kDirectBody.substr(0, kDirectBody.find("beta") + 3),
       "delete b.txt bet"},
      {"complete, the rest of the body missing",
       kDirectBody.substr(0, kDirectBody.find("--XY--") + 4), "delete b.txt beta"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    FakeDestinations fake;
    {
      TUploadResults results;
      TFastParse parser(results, Charset::Utf8, &fake);
      feed(parser, c.body, blocksOf(c.body.size(), 4));
      EXPECT_EQ(fake.log.back(), "open b.txt");
    }
    EXPECT_EQ(fake.log.back(), c.last);
  }
}

// The body ended inside a file part: its record goes, its staged file with it.
TEST(MultipartParser, DirectModeCutFileIsDropped) {
  const std::string body = kDirectBody.substr(0, kDirectBody.find("beta") + 3);
  FakeDestinations fake;
  TUploadResults results;
  TFastParse parser(results, Charset::Utf8, &fake);
  feed(parser, body, {body.size()});
  parser.receiver.settleLastFile();
  parser.receiver.dropCutFile();
  EXPECT_EQ(fake.log.back(), "delete b.txt bet");
  EXPECT_EQ(results.FFileQty, 2);
  EXPECT_EQ(results.FFiles.size(), 2u);
  EXPECT_EQ(results.FFiles[0].NewName, u"a.txt");
}

TEST(MultipartParser, DirectModeOpenFailurePropagatesWithTheRecordMade) {
  const std::string body =
      "--XY\r\nContent-Disposition: form-data; name=\"a\"; filename=\"fail.bin\"\r\n\r\ndata\r\n--XY--";
  FakeDestinations fake;
  TUploadResults results;
  TFastParse parser(results, Charset::Utf8, &fake);
  EXPECT_THROW(parser.parseBlock(reinterpret_cast<const uint8_t*>(body.data()), body.size()), EUploadError);
  EXPECT_EQ(results.FFileQty, 1);
  EXPECT_EQ(results.FFiles.at(0).Name, u"fail.bin");
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
    TFastParse(results, Charset::Utf8, nullptr)
        .parseBlock(reinterpret_cast<const uint8_t*>(body.data()), body.size());
    ASSERT_EQ(results.FFileQty, 1) << c.sent;
    EXPECT_EQ(results.FFiles[0].Extension, c.extension) << c.sent;
    EXPECT_EQ(results.FFiles[0].NameOnly, c.nameOnly) << c.sent;
  }
}

// --- Hostile bodies: finished, and finished right ---------------------------

// Whatever stands before the first CR is the delimiter line: a body without
// one defines no part, up to the line's limit, and is refused past it.
TEST(MultipartParser, BodyWithoutCRDefinesNoPart) {
  for (size_t length : {size_t{1024}, size_t{4} << 20}) {
    TUploadResults r;
    TFastParse parser(r, Charset::Utf8, nullptr);
    const std::string body(length, 'a');
    if (length <= TParserLimits().delimiterLine) {
      feed(parser, body, blocksOf(body.size(), 102400));
    } else {
      EXPECT_TRUE(Throws<EUploadLimitError>([&] { feed(parser, body, blocksOf(body.size(), 102400)); },
                                            "The body's first line, its delimiter, is longer than 1024 bytes."));
    }
    EXPECT_TRUE(parser.parts().empty()) << length;
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
  TFastParse parser(r, Charset::Utf8, nullptr, longLines);
  feed(parser, body, blocksOf(body.size(), 102400));
  ASSERT_EQ(r.FFileQty, 1);
  EXPECT_EQ(bytesOf(r.FFiles[0].Storage), data);
  EXPECT_EQ(r.FTagNameList.count(), 1);
}

// Lines of megabytes: refused at the limits, as soon as a line passes its
// limit; parsed right when the limits allow them.
TEST(MultipartParser, HugeFirstLineAndHeaderLine) {
  const std::string line = std::string(3 << 20, '-');
  const std::string header = "Content-Disposition: form-data; name=\"n\"; x=\"" + std::string(8 << 20, 'h') + "\"";
  const std::string body = line + "\r\n" + header + "\r\n\r\nvalue\r\n" + line.substr(0, 1 << 20) + "\r\n" + line + "--";
  {
    TUploadResults r;
    TFastParse parser(r, Charset::Utf8, nullptr);
    EXPECT_TRUE(Throws<EUploadLimitError>([&] { parser.parseBlock(reinterpret_cast<const uint8_t*>(body.data()), 102400); },
                                          "The body's first line, its delimiter, is longer than 1024 bytes."));
  }
  {
    const std::string shortLine = "--XY\r\n" + header + "\r\n\r\nvalue\r\n--XY--";
    TUploadResults r;
    TFastParse parser(r, Charset::Utf8, nullptr);
    EXPECT_TRUE(Throws<EUploadLimitError>(
        [&] { parser.parseBlock(reinterpret_cast<const uint8_t*>(shortLine.data()), 102400); },
        "The header of a part is longer than 16000 bytes."));
    ASSERT_EQ(parser.parts().size(), 1u);
    EXPECT_EQ(parser.parts()[0].Name, u"");
  }
  TParserLimits huge;
  huge.delimiterLine = line.size();
  huge.headerBlock = header.size() + 4;
  TUploadResults r;
  TFastParse parser(r, Charset::Utf8, nullptr, huge);
  feed(parser, body, blocksOf(body.size(), 102400));
  ASSERT_EQ(r.FVariableList.count(), 1);
  EXPECT_EQ(r.FVariableList.name(0), u"n");
  EXPECT_EQ(r.FVariableList.value(0), u"value\r\n" + ustring(1 << 20, u'-'));
}

// A line of a part's header that begins with the delimiter line is where a
// reader of RFC 7578 finds a delimiter, and from there it reads the body
// otherwise than we would: the body is refused, whatever its cut into blocks.
TEST(MultipartParser, ADelimiterInsideAHeaderRefusesTheBody) {
  const struct {
    const char* title;
    std::string header;
  } cases[] = {
      {"a delimiter line", "Content-Disposition: form-data; name=\"b\"\r\n--XY\r\nX: 1\r\n"},
      {"the delimiter line as a header name", "--XY: 1\r\nContent-Disposition: form-data; name=\"b\"\r\n"},
      {"the closing delimiter", "Content-Disposition: form-data; name=\"b\"\r\n--XY--\r\n"},
      {"a header already broken", "X\x01: 1\r\n--XYZ\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.title);
    const std::string body = part("a", "1") + "--XY\r\n" + c.header + "\r\nevil\r\n" +
                             "--XY\r\nContent-Disposition: form-data; name=\"f\"; filename=\"f.asp\"\r\n\r\n2\r\n" +
                             "--XY--\r\n";
    const Outcome whole = parseWithLimits(body, {body.size()}, TParserLimits());
    EXPECT_EQ(whole.refused, "A part's header holds a delimiter line (\"--XY\").");
    EXPECT_EQ(whole.results, "variable=a=1 \nFileQty=0\n");
    EXPECT_EQ(parseWithLimits(body, blocksOf(body.size(), 1), TParserLimits()), whole);
    for (size_t split = 1; split < body.size(); ++split)
      ASSERT_EQ(parseWithLimits(body, {split, body.size() - split}, TParserLimits()), whole) << split;
  }
}

// A part no reader takes makes no variable, not even a repeat of a file
// input that had no name either.
TEST(MultipartParser, APartWithoutANameListsNothing) {
  const std::string body =
      "--XY\r\nContent-Disposition: form-data; filename=\"x.txt\"\r\n\r\nx\r\n"
      "--XY\r\nContent-Disposition: form-data; name=\"a\"\r\nX: \x01\r\n\r\nhidden\r\n"
      "--XY\r\n\r\nhidden too\r\n--XY--\r\n";
  TUploadResults results;
  TFastParse parser(results, Charset::Utf8, nullptr);
  feed(parser, body, {body.size()});
  EXPECT_EQ(results.FVariableList.count(), 1);  // the file input's "=x.txt"
  EXPECT_EQ(results.FMultiVar.count(), 0);
  EXPECT_EQ(Describe(results).find("hidden"), std::string::npos) << Describe(results);
}

TEST(MultipartParser, ManyParts) {
  std::string body;
  for (int i = 0; i < 100000; ++i)
    body += "--XY\r\nContent-Disposition: form-data; name=\"f" + std::to_string(i) + "\"\r\n\r\n" +
            std::to_string(i) + "\r\n";
  body += "--XY--\r\n";
  TUploadResults r;
  TFastParse parser(r, Charset::Utf8, nullptr);
  feed(parser, body, blocksOf(body.size(), 102400));
  ASSERT_EQ(r.FVariableList.count(), 100000);
  EXPECT_EQ(r.FVariableList[99999], u"f99999=99999");
}

}  // namespace
}  // namespace velmora
