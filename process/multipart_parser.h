// The multipart/form-data parser: it consumes the body one block at a time,
// keeps all its state between blocks, and reports what it reads to a
// receiver as events: a part opens, its headers end, a range of its data,
// its end. Data is reported as ranges of the caller's block, never copied.
// It knows nothing of what the receiver makes of the parts, of the host or
// of COM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/errors.h"
#include "base/ustring.h"
#include "io/stream.h"
#include "process/form_text.h"

namespace velmora {

// The fields a part's header lines set so far.
struct TPartHead {
  ustring Name;         // name parameter of Content-Disposition
  ustring FileName;     // filename parameter as sent (filename* when it names one)
  ustring ContentType;  // text after "Content-Type: "
  // Content-Disposition had a filename (or filename*) parameter, or the
  // type is application/octet-stream: a file input, with or without a name
  bool IsFile = false;
};

// What a parse reports, in body order. A receiver may raise from any event:
// the parse then fails with that exception.
class IMultipartReceiver {
 public:
  virtual ~IMultipartReceiver() = default;
  // A part opened after a delimiter.
  virtual void partBegin() = 0;
  // The empty line ended the open part's headers; the receiver may take
  // the fields. Data follows for a value and for a file with a file name; a
  // file part without one has its data discarded.
  virtual void partHeadersEnd(TPartHead&& head) = 0;
  // The body ended (finish) before the open part's headers did: the fields
  // its complete header lines set (none when a line broke the header, or the
  // parse was refused inside it).
  virtual void partHeadersCut(TPartHead&& head) = 0;
  // Data of the open part, valid only during the call: a range of the block
  // being parsed, or bytes held back at the end of an earlier block that
  // turned out to be data. Never empty; its cut follows the blocks.
  virtual void partData(const uint8_t* data, size_t size) = 0;
  // The open part's delimiter arrived (also for a discarded file part).
  virtual void partEnd() = 0;
};

// Limits against hostile bodies: far above what browsers, curl and HTTP
// libraries send, and low enough that no body can make a parse hold memory
// or work on without end. Past one, parseBlock raises EUploadLimitError with
// a message that names it (LimitMessage). File data has no limit: in direct
// mode it goes to disk, in memory mode keeping it is the point.
struct TParserLimits {
  // Bytes of the body's first line, the delimiter line. RFC 2046 allows 72
  // with the "--"; browsers send about 40.
  size_t delimiterLine = 1024;
  // Bytes of a part's header: its lines, their line breaks and the empty
  // line that ends them. A file name of a thousand characters of four UTF-8
  // bytes each fits almost four times over. Node's parsers (busboy among
  // them) allow a header 16384 bytes, counting up to two bytes more for each
  // line; within the limit of lines below, a header we take is never one they
  // refuse.
  size_t headerBlock = 16000;
  // Header lines of one part before the empty line that ends them; browsers
  // send one or two.
  size_t headerLines = 100;
  // Parts of one body, each of which costs memory however small it is, and
  // a variable or a file record at the end. Forms rarely have a thousand.
  size_t parts = 200000;
  // Characters of text kept for the form: every non-file value (a byte
  // counting as the character it becomes at most), and every part's name,
  // file name and content type.
  size_t formText = 16u << 20;
};

enum class TParserLimit { DelimiterLine, HeaderBlock, HeaderLines, Parts, FormText };

// A body the parser will not read on: its message says why, for the client.
VELMORA_DECLARE_EXCEPTION(EBodyRefused, Exception);
// A body past one of the parser's limits.
VELMORA_DECLARE_EXCEPTION(EUploadLimitError, EBodyRefused);

// The boundary a request's Content-Type names, when the type is
// multipart/form-data (any case) with a boundary parameter, quoted or not,
// as RFC 7231 writes media types; nothing otherwise (another type, no
// boundary, a malformed type, a boundary that is not ASCII or holds a
// backslash).
std::optional<std::string> MultipartBoundary(ustring_view contentType);

// "The header of a part is longer than 16000 bytes.", and so on.
ustring LimitMessage(TParserLimit limit, const TParserLimits& limits);

class TMultipartParser {
 public:
  using Charset = TFormCharset;

  TMultipartParser(IMultipartReceiver& receiver, Charset charset,
                   const TParserLimits& limits = TParserLimits());
  ~TMultipartParser();
  TMultipartParser(const TMultipartParser&) = delete;
  TMultipartParser& operator=(const TMultipartParser&) = delete;

  // The request's Content-Type named this boundary (before the first
  // block): the body's first line must then be "--" and the boundary, or
  // the closing delimiter (the body then has no parts); any other line
  // raises EBodyRefused before a part opens.
  void expectBoundary(std::string boundary);
  // Consumes the whole block; the events, joined, do not depend on where
  // blocks are cut.
  void parseBlock(const uint8_t* data, size_t size);
  // The body ended, whole or not (a client gone, a failure, a refusal):
  // reports the fields of a part whose headers were still being read.
  // True when the body ended before its closing delimiter (inside a part, or
  // right after a delimiter), false when it ended with it or before its
  // first line did. The closing delimiter ends the parts; whatever follows
  // it is consumed and ignored.
  bool finish();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace velmora
