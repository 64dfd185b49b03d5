#include "asphost/host/exchange.h"

#include <cstdio>

#include "asphost/script/script_engine.h"

namespace asphost {
namespace {

// Header lines come from scripts: a CR or LF in them would let a page (or
// whoever fed it the text) write headers of its own choosing.
bool isSafeHeaderText(const std::string& text) { return text.find_first_of("\r\n") == std::string::npos; }

bool isValidStatus(const std::string& status) {
  return status.size() >= 3 && isdigit(static_cast<unsigned char>(status[0])) &&
         isdigit(static_cast<unsigned char>(status[1])) && isdigit(static_cast<unsigned char>(status[2])) &&
         (status.size() == 3 || status[3] == ' ') && isSafeHeaderText(status);
}

std::string hex(size_t n) {
  char text[20];
  snprintf(text, sizeof text, "%zx", n);
  return text;
}

}  // namespace

std::string HttpDate() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  SYSTEMTIME now;
  GetSystemTime(&now);
  char text[40];
  snprintf(text, sizeof text, "%s, %02u %s %04u %02u:%02u:%02u GMT", kDays[now.wDayOfWeek], now.wDay,
           kMonths[now.wMonth - 1], now.wYear, now.wHour, now.wMinute, now.wSecond);
  return text;
}

std::string SimpleHead(int status, const std::string& contentType, uint64_t length, bool keepAlive,
                       const std::string& extraHeaders) {
  std::string head = "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) + "\r\n";
  head += "Date: " + HttpDate() + "\r\nServer: asphost\r\n";
  if (!contentType.empty()) head += "Content-Type: " + contentType + "\r\n";
  head += "Content-Length: " + std::to_string(length) + "\r\n";
  if (!keepAlive) head += "Connection: close\r\n";
  return head + extraHeaders + "\r\n";
}

ConnectionSink::ConnectionSink(Connection& connection, const RequestHead& request)
    : connection_(connection),
      headOnly_(request.method == "HEAD"),
      http11_(request.versionMinor >= 1),
      keepAlive_(request.KeepAlive()) {}

std::string ConnectionSink::HeadText(const ResponseHead& head, const std::string& framing) {
  std::string status = isValidStatus(head.status) ? head.status : "500 Internal Server Error";
  std::string text = "HTTP/1.1 " + status + "\r\n";
  text += "Date: " + HttpDate() + "\r\nServer: asphost\r\n";
  std::string contentType = head.contentType;
  // Response.Write sends UTF-8 in this host: say so unless the page did.
  if (!head.charset.empty()) {
    contentType += "; charset=" + head.charset;
  } else if (contentType.compare(0, 5, "text/") == 0 && contentType.find(';') == std::string::npos) {
    contentType += "; charset=utf-8";
  }
  if (isSafeHeaderText(contentType)) text += "Content-Type: " + contentType + "\r\n";
  text += "Cache-Control: private\r\n";
  for (const auto& header : head.headers) {
    if (isSafeHeaderText(header.first) && isSafeHeaderText(header.second) && !header.first.empty())
      text += header.first + ": " + header.second + "\r\n";
  }
  text += framing;
  if (!keepAlive_) text += "Connection: close\r\n";
  return text + "\r\n";
}

HRESULT ConnectionSink::Send(const ResponseHead& head, const uint8_t* data, size_t size) {
  std::string out;
  if (!headSent_) {
    headSent_ = true;
    if (finishing_) {
      // The whole body is here: its length frames it. A body left unread
      // that is too long to drain costs the connection.
      if (!connection_.CanDrainBody(kDrainLimit)) keepAlive_ = false;
      out = HeadText(head, "Content-Length: " + std::to_string(size) + "\r\n");
    } else if (http11_) {
      chunked_ = true;
      out = HeadText(head, "Transfer-Encoding: chunked\r\n");
    } else {
      closeDelimited_ = true;
      keepAlive_ = false;
      out = HeadText(head, "");
    }
  }
  if (!headOnly_ && size > 0) {
    if (chunked_) {
      out += hex(size) + "\r\n";
      out.append(reinterpret_cast<const char*>(data), size);
      out += "\r\n";
    } else {
      out.append(reinterpret_cast<const char*>(data), size);
    }
  }
  if (!out.empty() && !connection_.Send(out)) return HRESULT_FROM_WIN32(ERROR_NETNAME_DELETED);
  return S_OK;
}

HRESULT ConnectionSink::End() {
  EndScriptOnThisThread();
  return kEndOfPage;
}

bool ConnectionSink::Complete() {
  if (chunked_ && !headOnly_) connection_.Send("0\r\n\r\n", 5);
  if (!keepAlive_ || closeDelimited_) return false;
  return connection_.DrainBody(kDrainLimit);
}

}  // namespace asphost
