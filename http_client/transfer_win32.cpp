// The HTTP client's exchanges: requests written and answers read on a
// connection of the client's own (Winsock, with Schannel for https), so that
// an answer counts only when it came whole by its own framing. WinInet
// serves for the system's proxy settings and for resolving a redirect's
// Location against the URL it came from.
#include <windows.h>
#include <wininet.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/system_text.h"
#include "base/wide.h"
#include "http_client/answer_parser.h"
#include "http_client/connection_win32.h"
#include "http_client/multipart_body.h"
#include "http_client/proxy.h"
#include "http_client/transfer.h"
#include "http_client/transfer_thread_win32.h"
#include "http_client/url.h"
#include "text/textconv.h"

namespace velmora {

namespace {

constexpr size_t kUploadPieceSize = 4096;
constexpr size_t kUploadAnswerLimit = 51200;
constexpr size_t kUploadAnswerUndeclared = 2000;
constexpr size_t kReceivePieceSize = 40960;
constexpr int kMaxUnauthorizedAttempts = 3;
constexpr int kMaxRedirects = 10;

// Uploads have no time-out property; they wait as long as WinInet does by
// default on Windows: 60 s to connect and send the request's head, 30 s for
// each piece of the body to leave, 30 s for the answer's head and 30 s for
// its body.
constexpr DWORD kUploadConnectTimeout = 60000;
constexpr DWORD kUploadSendTimeout = 30000;
constexpr DWORD kUploadReceiveTimeout = 30000;
constexpr DWORD kNoLimit = 0xFFFFFFFFu;

using Clock = std::chrono::steady_clock;

// Where a request goes: the URL as it goes on the wire, split, and whether it
// is https.
struct Target {
  ustring address;
  TURLParts url;
  bool secure = false;
};

// False when the URL must not be requested: see PrepareURL, schemes other
// than "http" and "https" (in any case, as schemes are), and a URL whose host
// or port the system's parser reads otherwise than ParseAuthority: the checks
// and the request see the same address.
bool makeTarget(const ustring& URL, Target& target) {
  ustring host;
  uint32_t port = 0;
  if (!PrepareURL(URL, target.address) || !SplitURL(target.address, target.url) ||
      !ParseAuthority(target.address, host, port))
    return false;
  const ustring scheme = asciiUpper(target.url.Scheme);
  if (scheme != u"HTTP" && scheme != u"HTTPS") return false;
  target.secure = scheme == u"HTTPS";
  if (host.size() > 1 && host.front() == u'[' && target.url.HostName.front() != u'[')
    host = host.substr(1, host.size() - 2);
  return asciiUpper(host) == asciiUpper(target.url.HostName) &&
         (port == 0 || port == target.url.Port);
}

// The scheme, host and port credentials were given for.
bool sameOrigin(const Target& a, const Target& b) {
  return a.secure == b.secure && asciiUpper(a.url.HostName) == asciiUpper(b.url.HostName) &&
         a.url.Port == b.url.Port;
}

// The user name and password of a transfer, for its first URL's origin only.
struct LogOn {
  ustring user, password;
  Target origin;
  bool sentTo(const Target& target) const { return !user.empty() && sameOrigin(origin, target); }
};

using TimePoint = TConnection::TimePoint;

// The waits of one stage of a transfer: none begins after lastStart, each
// lasts at most `each` (kNoLimit: as long as it takes) and none outlasts end.
struct WaitRule {
  TimePoint lastStart = TConnection::kNever;
  TimePoint end = TConnection::kNever;
  DWORD each = kNoLimit;

  // A stage of `milliseconds` from now, its waits as long as the stage.
  static WaitRule stage(DWORD milliseconds) {
    WaitRule rule;
    if (milliseconds != kNoLimit) rule.lastStart = rule.end = later(milliseconds);
    return rule;
  }
  static TimePoint later(DWORD milliseconds) {
    return Clock::now() + std::chrono::milliseconds(milliseconds);
  }
  // The end of the next wait; false when no wait may begin.
  bool next(TimePoint& until) const {
    const TimePoint now = Clock::now();
    if (now >= lastStart) return false;
    until = each == kNoLimit ? end : std::min(end, later(each));
    return true;
  }
};

// The target's host and port as a Host line or a CONNECT request names them:
// an IPv6 address in brackets, the port when it is not the scheme's own (or
// always, for a tunnel).
std::string hostAndPort(const Target& target, bool withPort) {
  std::string host = systext::unicodeToUtf8(target.url.HostName);
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  if (withPort || target.url.Port != (target.secure ? 443 : 80))
    host += ":" + std::to_string(target.url.Port);
  return host;
}

// A request's head: the verb, its lines after the Host line (each ending in
// CR LF), the length of its body if it has one. To a proxy the request line
// names the whole URL.
std::string requestHead(const char* verb, const Target& target, bool absoluteForm,
                        const std::string& lines, std::optional<uint64_t> bodyLength) {
  std::string path = systext::unicodeToUtf8(target.url.UrlPath + target.url.ExtraInfo);
  if (path.empty() || path.front() != '/') path.insert(0, "/");
  const std::string host = hostAndPort(target, false);
  if (absoluteForm) path = "http://" + host + path;
  std::string head = std::string(verb) + " " + path + " HTTP/1.1\r\nHost: " + host + "\r\n" + lines;
  if (bodyLength) head += "Content-Length: " + std::to_string(*bodyLength) + "\r\n";
  // One request per connection: an answer without framing of its own ends
  // with the connection, and nothing waits on a connection kept open.
  return head + "Connection: close\r\n\r\n";
}

// A header line in the ANSI code page, as WinInet sends the lines it is given.
std::string headerLine(const ustring& name, const ustring& value) {
  return systext::unicodeToAnsi(name + u": " + value) + "\r\n";
}

// One request and its answer, on a connection of its own.
class Exchange final : private IAnswerReceiver {
 public:
  Exchange() : buffer_(kReceivePieceSize) { beginAnswer(); }

  // Connects to the target, through the proxy the system's settings name
  // for it, and for https makes the connection TLS (through a proxy's
  // tunnel).
  bool open(const Target& target, const WaitRule& rule) {
    ustring proxies, bypass;
    SystemProxySettings(proxies, bypass);
    const std::optional<TProxyServer> proxy =
        ChooseProxy(proxies, bypass, target.secure, target.url.HostName);
    absoluteForm_ = proxy && !target.secure;
    TimePoint until;
    if (!rule.next(until)) return false;
    connection_ = proxy ? TConnection::Connect(proxy->Host, proxy->Port, until)
                        : TConnection::Connect(target.url.HostName, target.url.Port, until);
    if (!connection_) return false;
    if (!target.secure) return true;
    return (!proxy || tunnel(target, rule)) && rule.next(until) &&
           connection_->StartTLS(target.url.HostName, until);
  }

  // Whether the request line names the whole URL (to a proxy).
  bool absoluteForm() const { return absoluteForm_; }

  bool send(const void* data, size_t size, const WaitRule& rule) {
    TimePoint until;
    return rule.next(until) && connection_->Send(data, size, until);
  }

  // Reads until the answer's final head arrived; body bytes that came with
  // it wait for readBody. False when none came whole (a connection closed or
  // failed, an answer that is not HTTP, a wait past its rule).
  bool readHead(const WaitRule& rule) {
    while (!head_) {
      if (closed_ || !receive(rule)) return false;
    }
    return true;
  }
  const TAnswerHead& head() const { return *head_; }

  // Reads the body to its end, handing each piece to take. False when the
  // answer did not come whole by its framing. An exception from take passes.
  bool readBody(const WaitRule& rule, const std::function<void(const uint8_t*, size_t)>& take) {
    take_ = &take;
    if (!held_.empty()) {
      take(held_.data(), held_.size());
      held_.clear();
    }
    while (!whole_) {
      if (closed_ || !receive(rule)) return false;
    }
    return true;
  }

 private:
  void answerHead(TAnswerHead&& head) override { head_ = std::move(head); }
  void answerData(const uint8_t* data, size_t size) override {
    if (take_)
      (*take_)(data, size);
    else
      held_.insert(held_.end(), data, data + size);
  }

  // Asks the proxy for a tunnel to the target: a 2xx answer's head, and
  // nothing after it, opens it.
  bool tunnel(const Target& target, const WaitRule& rule) {
    const std::string authority = hostAndPort(target, true);
    const std::string request =
        "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    if (!send(request.data(), request.size(), rule) || !readHead(rule)) return false;
    const bool open = head_->status / 100 == 2 && held_.empty();
    beginAnswer();
    return open;
  }

  // Forgets the answer read so far: the next bytes begin another.
  void beginAnswer() {
    parser_.emplace(static_cast<IAnswerReceiver&>(*this));
    head_.reset();
    held_.clear();
    whole_ = false;
  }

  // Receives what arrived and parses it. False when the connection failed,
  // the wait passed its rule, or the answer broke HTTP's grammar.
  bool receive(const WaitRule& rule) {
    TimePoint until;
    size_t received = 0;
    if (!rule.next(until) || !connection_->Receive(buffer_.data(), buffer_.size(), received, until))
      return false;
    try {
      if (received == 0) {
        closed_ = true;
        whole_ = parser_->finish();
      } else {
        parser_->parse(buffer_.data(), received);
        whole_ = parser_->ended();
      }
    } catch (const EAnswerMalformed&) {
      return false;
    }
    return true;
  }

  std::unique_ptr<TConnection> connection_;
  std::optional<TAnswerParser> parser_;  // one for each answer read
  std::vector<uint8_t> buffer_;
  std::optional<TAnswerHead> head_;
  std::vector<uint8_t> held_;  // body bytes that came with the head
  const std::function<void(const uint8_t*, size_t)>* take_ = nullptr;
  bool closed_ = false;
  bool whole_ = false;
  bool absoluteForm_ = false;
};

// A header's value as text: UTF-8, or the ANSI code page.
ustring fieldText(const std::string& value) {
  return DecodeUtf8OrAnsi(reinterpret_cast<const uint8_t*>(value.data()), value.size());
}

// Seconds as milliseconds. 0, a negative value or one that 32 bits cannot
// hold means no limit.
DWORD timeoutMilliseconds(int32_t seconds) {
  constexpr int32_t kLargest = 0xFFFFFFFFu / 1000;
  if (seconds <= 0 || seconds > kLargest) return kNoLimit;
  return static_cast<DWORD>(seconds) * 1000;
}

bool isBlank(char16_t c) { return c == u' ' || c == u'\t'; }

// True when one of the challenges in a WWW-Authenticate value is Basic. A
// value may hold several challenges, comma-separated, each a scheme followed
// by parameters (name=value, the value maybe quoted) or one token: a scheme
// is a word at the start or after a comma that is not a parameter's name.
bool offersBasic(ustring_view value) {
  size_t i = 0;
  while (i < value.size()) {
    while (i < value.size() && (isBlank(value[i]) || value[i] == u',')) ++i;
    const size_t wordStart = i;
    while (i < value.size() && !isBlank(value[i]) && value[i] != u',' && value[i] != u'=') ++i;
    const ustring word = asciiUpper(ustring(value.substr(wordStart, i - wordStart)));
    while (i < value.size() && isBlank(value[i])) ++i;
    if (i < value.size() && value[i] == u'=') {
      // A parameter (or the padding of a token): its value runs to the next
      // comma outside quotes.
      for (bool quoted = false; i < value.size() && (quoted || value[i] != u','); ++i) {
        if (value[i] == u'"') quoted = !quoted;
        else if (value[i] == u'\\' && quoted) ++i;
      }
      continue;
    }
    if (word == u"BASIC") return true;
    // Otherwise a scheme (or a token after one): the parameters follow.
    while (i < value.size() && !isBlank(value[i]) && value[i] != u',' && value[i] != u'=') ++i;
  }
  return false;
}

// True when the server's challenges (one header or several) offer Basic.
bool asksForBasic(const TAnswerHead& head) {
  for (const THeaderField& field : head.fields)
    if (asciiUpper(fieldText(field.name)) == u"WWW-AUTHENTICATE" && offersBasic(fieldText(field.value)))
      return true;
  return false;
}

// "Authorization: Basic <base64 of user:password in UTF-8>".
ustring basicAuthorization(const LogOn& logOn) {
  const std::string pair = systext::unicodeToUtf8(logOn.user + u":" + logOn.password);
  const auto* bytes = reinterpret_cast<const BYTE*>(pair.data());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD length = 0;
  CryptBinaryToStringW(bytes, static_cast<DWORD>(pair.size()), flags, nullptr, &length);
  std::wstring text(length, L'\0');
  CryptBinaryToStringW(bytes, static_cast<DWORD>(pair.size()), flags, text.data(), &length);
  return u"Authorization: Basic " + fromWide(text.c_str());
}

bool isRedirect(int status) {
  switch (status) {
    case HTTP_STATUS_MOVED:               // 301
    case HTTP_STATUS_REDIRECT:            // 302
    case HTTP_STATUS_REDIRECT_METHOD:     // 303
    case HTTP_STATUS_REDIRECT_KEEP_VERB:  // 307
    case 308:                             // permanent, keeps the method
      return true;
    default: return false;
  }
}

// Whether a redirect repeats the request as it was (307, 308); the others
// make it a GET without a body.
bool keepsTheBody(int status) {
  return status == HTTP_STATUS_REDIRECT_KEEP_VERB || status == 308;
}

enum class Redirect { None, Follow, Refused };

// The target a redirect answer leads to: its Location resolved against the
// request's address. Refused when it leads nowhere usable, or from https to
// http (the request, credentials and all, would travel unencrypted).
Redirect redirectTarget(const TAnswerHead& head, const Target& from, Target& to) {
  const std::string* field = head.find("Location");
  if (!isRedirect(head.status) || !field) return Redirect::None;
  ustring location = fieldText(*field);
  std::wstring combined(4096, L'\0');
  DWORD length = static_cast<DWORD>(combined.size());
  // A "\" before the query is a "/" here too ("\\evil/x" leads to evil).
  std::replace(location.begin(), location.begin() + std::min(location.find(u'?'), location.size()),
               u'\\', u'/');
  if (HasControlCharacter(location) ||
      !InternetCombineUrlW(wstr(from.address), wstr(location), combined.data(), &length,
                           ICU_NO_ENCODE) ||
      !makeTarget(fromWide(combined.data(), length), to) || (from.secure && !to.secure))
    return Redirect::Refused;
  return Redirect::Follow;
}

// The answer's declared length, when it declares one.
std::optional<uint64_t> declaredLength(const TAnswerHead& head) {
  const std::string* field = head.find("Content-Length");
  if (!field || head.find("Transfer-Encoding")) return std::nullopt;
  // The parser took the field: digits, or a list ("5, 5") of one number.
  uint64_t length = 0;
  for (char c : *field) {
    if (c < '0' || c > '9') break;
    length = length * 10 + static_cast<uint64_t>(c - '0');
  }
  return length;
}

// Credentials Basic cannot carry: ":" ends the user name.
bool usableLogOn(const ustring& user) { return user.find(u':') == ustring::npos; }

// Publishes the stage an upload enters: its caller waits that long more.
WaitRule uploadStage(TTransfer& transfer, DWORD milliseconds) {
  transfer.waitUntil(Clock::now() + std::chrono::milliseconds(milliseconds));
  return WaitRule::stage(milliseconds);
}

}  // namespace

bool PostMultipart(const ustring& URL, const TFormVariables& FormVariables, ByteSpan Data,
                   const ustring& FileName, const ustring& TagName, const ustring& UserName,
                   const ustring& Password, const ustring& UserAgent, uint32_t& ReturnCode,
                   ustring& ReturnFile) {
  // ReturnCode as it was.
  constexpr uint64_t kUnchanged = UINT64_MAX;
  // All the upload's thread uses is its own: it may outlive this call.
  struct Upload {
    Target target;
    LogOn logOn;
    std::string agentLine;
    TMemoryStream body;
    ustring contentType;
    // What ReturnCode is to read, as the thread goes: every status obtained,
    // 0 while the answer is read (until it came whole).
    std::atomic<uint64_t> returnCode{UINT64_MAX};
    bool answerRead = false;  // ReturnFile is replaced by answer
    ustring answer;
    bool ok = false;
  };
  auto upload = std::make_shared<Upload>();
  if (!makeTarget(URL, upload->target) || HasControlCharacter(UserAgent)) return false;

  // Credentials in a URL are escaped where they hold "@", ":" or "/".
  LogOn& logOn = upload->logOn;
  logOn = LogOn{DecodeURLEscapes(upload->target.url.UserName),
                DecodeURLEscapes(upload->target.url.Password), upload->target};
  if (logOn.user.empty()) logOn.user = UserName;
  if (logOn.password.empty()) logOn.password = Password;
  if (!usableLogOn(logOn.user)) return false;
  if (!UserAgent.empty()) upload->agentLine = headerLine(u"User-Agent", UserAgent);
  BuildMultipartBody(upload->body, Data, upload->contentType, FormVariables, FileName, TagName,
                     MakeRandomBoundary(), MimeTypeFromExtension);

  const bool ended = TTransfer::run(
      [upload](TTransfer& transfer) {
        Upload& u = *upload;
        const auto* body = u.body.data();
        const size_t size = static_cast<size_t>(u.body.size());
        // Sends the request and its body on a new exchange; true when the
        // answer's head came. Each piece of the body has its own time to
        // leave; a server that answers before it took the whole body (a
        // refusal, say) is heard all the same.
        size_t sent = 0;
        auto attempt = [&](Exchange& exchange, bool authorize) {
          sent = 0;
          std::string lines = u.agentLine + systext::unicodeToAnsi(u.contentType) + "\r\n";
          if (authorize) lines += systext::unicodeToAnsi(basicAuthorization(u.logOn)) + "\r\n";
          const WaitRule connecting = uploadStage(transfer, kUploadConnectTimeout);
          if (!exchange.open(u.target, connecting)) return false;
          const std::string head =
              requestHead("POST", u.target, exchange.absoluteForm(), lines, uint64_t(size));
          if (!exchange.send(head.data(), head.size(), connecting)) return false;
          while (sent < size) {
            const size_t piece = std::min(kUploadPieceSize, size - sent);
            if (!exchange.send(body + sent, piece, uploadStage(transfer, kUploadSendTimeout))) break;
            sent += piece;
          }
          return exchange.readHead(uploadStage(transfer, kUploadReceiveTimeout));
        };

        // Each hop of a 307 or 308 gets the whole body again. A 401 is tried
        // again, up to three attempts in all, with the log-on when it belongs
        // to the hop's origin. Each attempt is judged by its own status,
        // never by one left from before.
        std::unique_ptr<Exchange> exchange;
        int status = 0;
        for (int hop = 0;; ++hop) {
          bool authorize = false;
          for (int unauthorized = 0;;) {
            exchange = std::make_unique<Exchange>();
            status = 0;
            if (attempt(*exchange, authorize)) {
              status = exchange->head().status;
              u.returnCode = static_cast<uint64_t>(status);
            }
            if (status != 401 || ++unauthorized == kMaxUnauthorizedAttempts) break;
            authorize = u.logOn.sentTo(u.target) && asksForBasic(exchange->head());
          }
          // 301, 302 and 303 would drop the body: their answer ends the upload.
          Target next;
          const Redirect redirect = status != 0 && keepsTheBody(status)
                                        ? redirectTarget(exchange->head(), u.target, next)
                                        : Redirect::None;
          if (redirect == Redirect::None) break;
          if (redirect == Redirect::Refused || hop == kMaxRedirects) {
            u.answerRead = true;
            return;
          }
          u.target = next;
        }
        u.answerRead = true;
        // No answer came (a silent server's time-out): nothing to read.
        if (status == 0) return;
        // The answer is read to its end, its start kept as text: at most its
        // declared length, capped at 51200 bytes, or 2000 bytes when it
        // declares none. An answer cut short is no answer.
        const std::optional<uint64_t> declared = declaredLength(exchange->head());
        const size_t keep = !declared || *declared == 0
                                ? kUploadAnswerUndeclared
                                : static_cast<size_t>(std::min<uint64_t>(*declared, kUploadAnswerLimit));
        std::string start;
        u.returnCode = 0;
        const bool whole = exchange->readBody(
            uploadStage(transfer, kUploadReceiveTimeout), [&](const uint8_t* bytes, size_t count) {
              if (start.size() < keep)
                start.append(reinterpret_cast<const char*>(bytes), std::min(count, keep - start.size()));
            });
        if (!whole) return;
        u.answer = DecodeUtf8OrAnsi(reinterpret_cast<const uint8_t*>(start.data()), start.size());
        u.returnCode = static_cast<uint64_t>(status);
        u.ok = sent == size && status == 200;
      },
      TDeadline(kUploadConnectTimeout));

  const uint64_t code = upload->returnCode.load();
  if (code != kUnchanged) ReturnCode = static_cast<uint32_t>(code);
  if (!ended) {
    ReturnFile.clear();  // given up on: no answer
    return false;
  }
  if (upload->answerRead) ReturnFile = upload->answer;
  return upload->ok;
}

bool RequestURL(const ustring& URL, const ustring& UserName, const ustring& Password,
                const ustring& UserAgent, TRequestMethod Method,
                const TFormVariables& FormVariables, int32_t TimeOut,
                const std::shared_ptr<TStream>& Body, uint32_t& StatusCode) {
  // All the download's thread uses is its own: it may outlive this call.
  struct Download {
    Target target;
    LogOn logOn;
    std::string agentLine;
    std::string form;
    bool post = false;
    DWORD timeout = kNoLimit;
    std::shared_ptr<TStream> body;
    uint32_t status = 0;
  };
  auto download = std::make_shared<Download>();
  if (!makeTarget(URL, download->target) || HasControlCharacter(UserAgent)) return false;

  // The properties log on; a URL that carries credentials of its own is not
  // ignored when the properties have none.
  LogOn& logOn = download->logOn;
  logOn = LogOn{UserName, Password, download->target};
  if (logOn.user.empty() && logOn.password.empty()) {
    logOn.user = DecodeURLEscapes(download->target.url.UserName);
    logOn.password = DecodeURLEscapes(download->target.url.Password);
  }
  if (!usableLogOn(logOn.user)) return false;
  if (!UserAgent.empty()) download->agentLine = headerLine(u"User-Agent", UserAgent);
  download->form = systext::unicodeToUtf8(EncodeFormVariables(FormVariables));
  download->post = Method == rmPost;
  download->timeout = timeoutMilliseconds(TimeOut);
  download->body = Body;

  // HTTPTimeout bounds connecting and each wait, and no wait begins once it
  // has passed since the start: twice HTTPTimeout in all, which the caller
  // waits no longer than, whatever the system does (resolving a name has no
  // limit of its own).
  const uint64_t timeout = download->timeout;
  const TDeadline bound(timeout == kNoLimit ? kNoLimit : 2 * timeout);
  bool ended = false;
  try {
    ended = TTransfer::run(
        [download](TTransfer&) {
          Download& d = *download;
          WaitRule rule;
          if (d.timeout != kNoLimit) {
            rule.lastStart = WaitRule::later(d.timeout);
            rule.end = WaitRule::later(2 * d.timeout);
            rule.each = d.timeout;
          }
          bool answered = false;  // the log-on went with the last request
          for (int hop = 0;;) {
            d.status = 0;
            std::string lines = d.agentLine;
            if (d.post) lines += "Content-Type: application/x-www-form-urlencoded\r\n";
            if (answered) lines += systext::unicodeToAnsi(basicAuthorization(d.logOn)) + "\r\n";
            // The form goes as the body of a GET too.
            const bool hasBody = d.post || !d.form.empty();
            Exchange exchange;
            if (!exchange.open(d.target, rule)) return;
            const std::string head =
                requestHead(d.post ? "POST" : "GET", d.target, exchange.absoluteForm(), lines,
                            hasBody ? std::optional<uint64_t>(d.form.size()) : std::nullopt) +
                d.form;
            if (!exchange.send(head.data(), head.size(), rule) || !exchange.readHead(rule)) return;
            const int status = exchange.head().status;
            if (status == 401 && !answered && d.logOn.sentTo(d.target) &&
                asksForBasic(exchange.head())) {
              answered = true;
              continue;
            }
            Target next;
            const Redirect redirect = redirectTarget(exchange.head(), d.target, next);
            if (redirect == Redirect::None) {
              // An answer cut off is no answer, whatever its status said.
              // (The status stands beside a failure to write the body.)
              TStream& body = *d.body;
              d.status = static_cast<uint32_t>(status);
              if (!exchange.readBody(rule, [&body](const uint8_t* bytes, size_t count) {
                    body.write(bytes, count);
                  }))
                d.status = 0;
              return;
            }
            if (redirect == Redirect::Refused || ++hop > kMaxRedirects) return;
            if (!keepsTheBody(status)) {
              d.post = false;
              d.form.clear();
            }
            d.target = next;
            answered = false;
          }
        },
        bound);
  } catch (...) {
    // The transfer's thread ended: what it obtained stands beside the failure.
    StatusCode = download->status;
    throw;
  }
  StatusCode = ended ? download->status : 0;
  return StatusCode == 200;
}

}  // namespace velmora
