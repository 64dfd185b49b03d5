#include "asphost/http_server/http_request.h"

#include <algorithm>

namespace asphost {
namespace {

char lower(char c) { return c >= 'A' && c <= 'Z' ? c + 32 : c; }

bool equalNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lower(x) == lower(y);
         });
}

bool containsTokenNoCase(std::string_view list, std::string_view token) {
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t comma = list.find(',', pos);
    if (comma == std::string_view::npos) comma = list.size();
    std::string_view item = list.substr(pos, comma - pos);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (equalNoCase(item, token)) return true;
    pos = comma + 1;
  }
  return false;
}

// RFC 9110 token characters, for methods and header names.
bool isTokenChar(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool isToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return isTokenChar(c); });
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

constexpr size_t kMaxHeaders = 100;

}  // namespace

const std::string* RequestHead::Find(std::string_view name) const {
  for (const HttpHeader& h : headers)
    if (equalNoCase(h.name, name)) return &h.value;
  return nullptr;
}

bool RequestHead::KeepAlive() const {
  const std::string* connection = Find("Connection");
  if (connection && containsTokenNoCase(*connection, "close")) return false;
  if (versionMinor >= 1) return true;
  return connection && containsTokenNoCase(*connection, "keep-alive");
}

bool RequestHead::ExpectsContinue() const {
  const std::string* expect = Find("Expect");
  return versionMinor >= 1 && expect && equalNoCase(*expect, "100-continue");
}

HeadStatus ParseRequestHead(std::string_view data, size_t limit, RequestHead* head, size_t* headLength) {
  // Every byte up to the end of the head counts, the empty lines before it
  // too: a client sending nothing but line breaks reaches the limit as fast
  // as one sending a long line.
  const std::string_view window = data.substr(0, limit);
  size_t start = 0;
  while (start + 1 < window.size() && window[start] == '\r' && window[start + 1] == '\n')
    start += 2;
  size_t end = window.find("\r\n\r\n", start);
  if (end == std::string_view::npos)
    return data.size() >= limit ? HeadStatus::kTooLarge : HeadStatus::kIncomplete;
  *headLength = end + 4;
  *head = RequestHead();

  std::string_view lines = data.substr(start, end + 2 - start);
  size_t eol = lines.find("\r\n");
  std::string_view requestLine = lines.substr(0, eol);
  lines.remove_prefix(eol + 2);

  // method SP request-target SP HTTP/1.x
  size_t sp1 = requestLine.find(' ');
  size_t sp2 = sp1 == std::string_view::npos ? sp1 : requestLine.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || requestLine.find(' ', sp2 + 1) != std::string_view::npos)
    return HeadStatus::kMalformed;
  std::string_view method = requestLine.substr(0, sp1);
  std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  std::string_view version = requestLine.substr(sp2 + 1);
  if (!isToken(method) || target.empty() || target[0] != '/') return HeadStatus::kMalformed;
  for (char c : target)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return HeadStatus::kMalformed;
  if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || version[7] < '0' || version[7] > '9')
    return HeadStatus::kMalformed;
  head->method = method;
  head->target = target;
  size_t question = target.find('?');
  head->path = PercentDecode(target.substr(0, question), false);
  if (question != std::string_view::npos) head->query = target.substr(question + 1);
  head->versionMinor = version[7] - '0';

  bool sawLength = false;
  while (!lines.empty()) {
    eol = lines.find("\r\n");
    std::string_view line = lines.substr(0, eol);
    lines.remove_prefix(eol + 2);
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return HeadStatus::kMalformed;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    for (char c : value)
      if (c == '\0' || c == '\r' || c == '\n') return HeadStatus::kMalformed;
    if (head->headers.size() == kMaxHeaders) return HeadStatus::kTooLarge;
    head->headers.push_back({std::string(line.substr(0, colon)), std::string(value)});

    std::string_view name = line.substr(0, colon);
    if (equalNoCase(name, "Content-Length")) {
      // One decimal length; repeats must agree (RFC 9112, 6.3).
      if (value.empty() || value.size() > 15 ||
          !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return HeadStatus::kMalformed;
      int64_t length = std::stoll(std::string(value));
      if (sawLength && length != head->contentLength) return HeadStatus::kMalformed;
      head->contentLength = length;
      sawLength = true;
    } else if (equalNoCase(name, "Transfer-Encoding")) {
      return HeadStatus::kUnsupportedBody;
    }
  }
  if (head->versionMinor >= 1 && !head->Find("Host")) return HeadStatus::kMalformed;
  return HeadStatus::kComplete;
}

std::string PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    int hi, lo;
    if (c == '%' && i + 2 < text.size() && (hi = hexValue(text[i + 1])) >= 0 && (lo = hexValue(text[i + 2])) >= 0) {
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else if (c == '+' && plusIsSpace) {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> ParseUrlEncoded(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) amp = text.size();
    std::string_view item = text.substr(pos, amp - pos);
    if (!item.empty()) {
      size_t eq = item.find('=');
      std::string_view name = item.substr(0, eq);
      std::string_view value = eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
      pairs.emplace_back(PercentDecode(name, true), PercentDecode(value, true));
    }
    pos = amp + 1;
  }
  return pairs;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Object moved";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Unknown";
  }
}

}  // namespace asphost
