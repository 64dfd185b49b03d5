// The HTTP/1.1 request head as the host reads it from a connection, and the
// URL-encoded forms of query strings and form bodies. Bytes in, bytes out:
// text decoding is left to the caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace asphost {

struct HttpHeader {
  std::string name;
  std::string value;
};

struct RequestHead {
  std::string method;
  std::string target;  // as sent: "/dir/page.asp?a=1"
  std::string path;    // the target before '?', percent-decoded
  std::string query;   // the target after '?', as sent
  int versionMinor = 1;  // HTTP/1.<minor>
  std::vector<HttpHeader> headers;
  int64_t contentLength = 0;  // 0 when absent

  // The first header of that name (ignoring case), or null.
  const std::string* Find(std::string_view name) const;
  bool KeepAlive() const;        // by version and Connection header
  bool ExpectsContinue() const;  // "Expect: 100-continue"
};

enum class HeadStatus {
  kIncomplete,  // more bytes needed
  kComplete,    // *head filled, *headLength bytes used
  kMalformed,   // 400
  kTooLarge,    // 431: the head does not end within the limit
  kUnsupportedBody,  // 411: a body framed other than by Content-Length
};

// Parses the head at the start of data (empty lines before it are skipped).
// The head, those empty lines and the blank line ending it included, is at
// most limit bytes: kTooLarge once limit bytes hold no end of a head.
HeadStatus ParseRequestHead(std::string_view data, size_t limit, RequestHead* head, size_t* headLength);

// %XX sequences decoded (and '+' as space when plusIsSpace). A malformed
// escape is kept as written, as browsers and IIS do.
std::string PercentDecode(std::string_view text, bool plusIsSpace);

// "a=1&b=x+y" -> {a,1},{b,x y}, in order, repeats kept.
std::vector<std::pair<std::string, std::string>> ParseUrlEncoded(std::string_view text);

// The reason phrase of a status code ("Not Found"); "Unknown" when unknown.
const char* ReasonPhrase(int status);

}  // namespace asphost
