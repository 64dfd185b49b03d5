// The intrinsics' seams over one HTTP exchange: Request reads the body from
// the connection as the page asks, Response sends through it.
#pragma once

#include "asphost/http_server/connection.h"
#include "asphost/intrinsics/intrinsics.h"

namespace asphost {

class ConnectionBody : public BodySource {
 public:
  ConnectionBody(Connection& connection, int64_t declaredLength)
      : connection_(connection), declaredLength_(declaredLength) {}
  uint64_t DeclaredLength() override { return static_cast<uint64_t>(declaredLength_); }
  size_t Read(uint8_t* buffer, size_t count) override { return connection_.ReadBody(buffer, count); }
  bool ClientConnected() override { return connection_.IsClientConnected(); }

 private:
  Connection& connection_;
  int64_t declaredLength_;
};

// Frames what Response delivers: a page that ends without having flushed
// goes out with a Content-Length; one that flushes or writes unbuffered
// streams in chunks (or until the connection closes, for HTTP/1.0 clients).
class ConnectionSink : public ResponseSink {
 public:
  ConnectionSink(Connection& connection, const RequestHead& request);

  HRESULT Send(const ResponseHead& head, const uint8_t* data, size_t size) override;
  // Response.End and Redirect stop the script.
  HRESULT End() override;

  // The page's script is over: the next Send is the last one.
  void BeginFinish() { finishing_ = true; }
  // Ends the response; false when the connection cannot carry another request.
  bool Complete();

  bool headSent() const { return headSent_; }

 private:
  std::string HeadText(const ResponseHead& head, const std::string& framing);

  Connection& connection_;
  bool headOnly_;  // HEAD
  bool http11_;
  bool keepAlive_;
  bool finishing_ = false;
  bool headSent_ = false;
  bool chunked_ = false;
  bool closeDelimited_ = false;
};

// Requests whose unread body is larger than this lose their connection
// rather than wait for the body to be drained.
constexpr int64_t kDrainLimit = 1 << 20;

// A complete response that is not a page's: error pages, static files'
// heads, redirects. extraHeaders are full lines ending in CR LF.
std::string SimpleHead(int status, const std::string& contentType, uint64_t length, bool keepAlive,
                       const std::string& extraHeaders = {});

// The Date header's value for now.
std::string HttpDate();

}  // namespace asphost
