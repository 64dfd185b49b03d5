// The parser of HTTP/1.x answers read from our own connection: it consumes
// the answer one block at a time as the socket delivers it, keeps all its
// state between blocks, and tells a receiver the final head and the body's
// bytes, decoded of chunking. Body data is reported as ranges of the caller's
// block, never copied. It reads the framing itself, so that an answer cut
// short (a head without its blank line, a body short of its Content-Length,
// a chunked body before its last chunk) is told from a whole one, and it
// knows nothing of sockets, TLS or the platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/errors.h"

namespace velmora {

struct THeaderField {
  std::string name, value;  // the name as sent; the value without surrounding blanks
};

// The head of an answer: its status line and header fields.
struct TAnswerHead {
  int status = 0;  // 100..599
  int minorVersion = 1;  // HTTP/1.x
  std::string reason;
  std::vector<THeaderField> fields;  // in order, names as sent

  // The value of the first field of this name (any case), or nullptr.
  const std::string* find(std::string_view name) const;
};

// What a parse reports. A receiver may raise from either event: the parse
// then fails with that exception.
class IAnswerReceiver {
 public:
  virtual ~IAnswerReceiver() = default;
  // The final head (status 200-599); interim 1xx heads are skipped.
  virtual void answerHead(TAnswerHead&& head) = 0;
  // Body bytes, decoded of chunking, valid only during the call: a range of
  // the block being parsed. Never empty; its cut follows the blocks and the
  // chunks.
  virtual void answerData(const uint8_t* data, size_t size) = 0;
};

// Limits against hostile servers: far above what real servers send, and low
// enough that no answer makes the parser hold memory without end. Body data
// has none: the parser keeps none of it.
struct TAnswerLimits {
  // Bytes of one head: its status line and field lines with their line ends
  // and the blank line that ends it. Every head counts on its own, an
  // interim 1xx one too.
  size_t headBytes = 256u << 10;
  // Fields of one head, and fields of the trailer.
  size_t fields = 500;
  // Bytes of one chunk-size line, its extensions and line end included.
  size_t chunkSizeLine = 4096;
  // Bytes of the trailer after the last chunk, its blank line included.
  size_t trailerBytes = 64u << 10;
};

enum class TAnswerLimit { HeadBytes, Fields, ChunkSizeLine, TrailerBytes };

// An answer that breaks the grammar of HTTP/1.x or one of the limits; the
// message says what was wrong.
VELMORA_DECLARE_EXCEPTION(EAnswerMalformed, Exception);

// "The answer's head is longer than 262144 bytes.", and so on.
std::string AnswerLimitMessage(TAnswerLimit limit, const TAnswerLimits& limits);

class TAnswerParser {
 public:
  explicit TAnswerParser(IAnswerReceiver& receiver, const TAnswerLimits& limits = {});
  ~TAnswerParser();
  TAnswerParser(const TAnswerParser&) = delete;
  TAnswerParser& operator=(const TAnswerParser&) = delete;

  // Consumes bytes of the answer; returns how many it used: all of them, or
  // fewer once the answer has ended by its framing (what follows belongs to
  // no answer of ours, and later calls use nothing). Raises EAnswerMalformed
  // for an answer that breaks the grammar or a limit, and again, with the
  // same message, on any later call.
  size_t parse(const uint8_t* data, size_t size);
  // The answer ended by its framing (Content-Length reached, last chunk and
  // trailer read, or a head whose status has no body).
  bool ended() const;
  // The connection closed: true when the answer is whole then: it had
  // ended, or its body runs to the close (no Content-Length, no chunked
  // coding). False for a head cut short, a body short of its Content-Length,
  // a chunked body before its last chunk and trailer, or a malformed answer.
  bool finish();

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace velmora
