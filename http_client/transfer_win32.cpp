// The HTTP client's exchanges on WinInet in synchronous mode.
#include <windows.h>
#include <wininet.h>
#include <wincrypt.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>

#include "base/system_text.h"
#include "base/wide.h"
#include "http_client/multipart_body.h"
#include "http_client/transfer.h"
#include "http_client/url.h"
#include "text/textconv.h"

namespace velmora {

namespace {

struct CloseInternetHandle {
  void operator()(HINTERNET handle) const { InternetCloseHandle(handle); }
};
// Owns one WinInet handle.
using InternetHandle = std::unique_ptr<void, CloseInternetHandle>;

// One request on a connection of its own. The request is declared last, so
// it is closed first.
struct Request {
  InternetHandle connection, request;
  HINTERNET get() const { return request.get(); }
};

// WinInet keeps log-ons, cookies and a disk cache for the whole process, and
// one process serves many visitors: no request takes part in any of them.
// Redirects are followed here, where the rules for credentials and schemes
// hold on every platform.
constexpr DWORD kRequestFlags = INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_CACHE_WRITE |
                                INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTH |
                                INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_KEEP_CONNECTION;
// Encrypted, but the server's identity is not checked (as documented).
constexpr DWORD kSecureFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                               INTERNET_FLAG_IGNORE_CERT_CN_INVALID;

constexpr DWORD kUploadPieceSize = 4096;
constexpr DWORD kUploadAnswerLimit = 51200;
constexpr DWORD kUploadAnswerUndeclared = 2000;
constexpr DWORD kDownloadPieceSize = 40960;
constexpr int kMaxUnauthorizedAttempts = 3;
constexpr int kMaxRedirects = 10;

// Uploads have no time-out property; they wait as long as WinInet does by
// default on Windows: 60 s to connect, 30 s for each piece of the body to
// leave, 30 s for the answer. Said explicitly, because Wine's defaults for
// sending and receiving are 0, which waits for ever.
constexpr DWORD kUploadConnectTimeout = 60000;
constexpr DWORD kUploadSendTimeout = 30000;
constexpr DWORD kUploadReceiveTimeout = 30000;
constexpr DWORD kNoLimit = 0xFFFFFFFFu;

// A point in time after which a transfer waits no more; none for kNoLimit.
class Deadline {
 public:
  explicit Deadline(DWORD milliseconds)
      : unlimited_(milliseconds == kNoLimit),
        end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds)) {}
  bool passed() const { return !unlimited_ && std::chrono::steady_clock::now() >= end_; }

 private:
  bool unlimited_;
  std::chrono::steady_clock::time_point end_;
};

// Where a request goes: the URL as it goes on the wire, split, and whether it
// is https.
struct Target {
  ustring address;
  TURLParts url;
  bool secure = false;
};

// False when the URL must not be requested: see PrepareURL, and schemes other
// than "http" and "https" (in any case, as schemes are).
bool makeTarget(const ustring& URL, Target& target) {
  if (!PrepareURL(URL, target.address) || !SplitURL(target.address, target.url)) return false;
  const ustring scheme = asciiUpper(target.url.Scheme);
  if (scheme != u"HTTP" && scheme != u"HTTPS") return false;
  target.secure = scheme == u"HTTPS";
  return true;
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

void setTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
  InternetSetOptionW(handle, option, &milliseconds, sizeof milliseconds);
}

struct Timeouts {
  DWORD connect, send, receive;
};

// On every handle level: Windows hands them down from the level they are set
// on, Wine takes send and receive time-outs from connections and requests
// only, when the request is sent. (Wine 8 connects with no limit of its own,
// whatever is set; the system's TCP ends a connection attempt that gets no
// reply.)
void setTimeouts(HINTERNET handle, const Timeouts& timeouts) {
  setTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, timeouts.connect);
  setTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, timeouts.send);
  setTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, timeouts.receive);
}

void addHeader(HINTERNET request, const ustring& line) {
  HttpAddRequestHeadersW(request, wstr(line), static_cast<DWORD>(line.size()),
                         HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
}

// Opens a request on a new connection to target, with the user agent's
// header when there is one. No credentials are given to WinInet: it would
// keep them for the whole process.
bool openRequest(HINTERNET internet, const Target& target, const wchar_t* verb,
                 const Timeouts& timeouts, const ustring& userAgent, Request& request) {
  request.request.reset();
  request.connection.reset(InternetConnectW(internet, wstr(target.url.HostName), target.url.Port,
                                            nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
  if (!request.connection) return false;
  setTimeouts(request.connection.get(), timeouts);
  const ustring object = target.url.UrlPath + target.url.ExtraInfo;
  request.request.reset(HttpOpenRequestW(request.connection.get(), verb, wstr(object), nullptr,
                                         nullptr, nullptr,
                                         kRequestFlags | (target.secure ? kSecureFlags : 0), 0));
  if (!request.request) return false;
  setTimeouts(request.get(), timeouts);
  if (!userAgent.empty()) addHeader(request.get(), u"User-Agent: " + userAgent);
  return true;
}

bool queryNumber(HINTERNET request, DWORD info, DWORD& value) {
  DWORD number = 0, length = sizeof number, index = 0;
  if (!HttpQueryInfoW(request, info | HTTP_QUERY_FLAG_NUMBER, &number, &length, &index))
    return false;
  value = number;
  return true;
}

// A header's text; false when the answer has none.
bool queryText(HINTERNET request, DWORD info, ustring& text) {
  std::wstring buffer(256, L'\0');
  for (;;) {
    DWORD length = static_cast<DWORD>(buffer.size() * sizeof(wchar_t)), index = 0;
    if (HttpQueryInfoW(request, info, buffer.data(), &length, &index)) {
      text = fromWide(buffer.data(), length / sizeof(wchar_t));
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(length / sizeof(wchar_t) + 1);
  }
}

// The status code of an HTTP answer. Wine "finds" a status of 0 when no
// answer came at all, where Windows finds none. An answer whose status line
// is not HTTP ("ICY 200 OK", bytes of another protocol) WinInet reads as the
// body of a made-up "HTTP/1.0 200 OK" without header lines; every HTTP server
// sends header lines, so an answer without any is no answer either.
bool queryStatus(HINTERNET request, DWORD& status) {
  DWORD value = 0;
  ustring head;
  if (!queryNumber(request, HTTP_QUERY_STATUS_CODE, value) || value == 0 ||
      !queryText(request, HTTP_QUERY_RAW_HEADERS_CRLF, head))
    return false;
  const size_t firstLineEnd = head.find(u"\r\n");
  if (firstLineEnd == ustring::npos || head.compare(firstLineEnd, 4, u"\r\n\r\n") == 0)
    return false;
  status = value;
  return true;
}

// Seconds as WinInet's milliseconds. 0, a negative value or one that 32 bits
// cannot hold means no limit.
DWORD timeoutMilliseconds(int32_t seconds) {
  constexpr int32_t kLargest = 0xFFFFFFFFu / 1000;
  if (seconds <= 0 || seconds > kLargest) return kNoLimit;
  return static_cast<DWORD>(seconds) * 1000;
}

// True when the server's challenge asks for Basic credentials.
bool asksForBasic(HINTERNET request) {
  ustring challenge;
  if (!queryText(request, HTTP_QUERY_WWW_AUTHENTICATE, challenge)) return false;
  const ustring scheme = asciiUpper(challenge);
  return scheme.compare(0, 5, u"BASIC") == 0 && (scheme.size() == 5 || scheme[5] == u' ');
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

bool isRedirect(DWORD status) {
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
bool keepsTheBody(DWORD status) {
  return status == HTTP_STATUS_REDIRECT_KEEP_VERB || status == 308;
}

enum class Redirect { None, Follow, Refused };

// The target a redirect answer leads to: its Location resolved against the
// request's address. Refused when it leads nowhere usable, or from https to
// http (the request, credentials and all, would travel unencrypted).
Redirect redirectTarget(HINTERNET request, DWORD status, const Target& from, Target& to) {
  ustring location;
  if (!isRedirect(status) || !queryText(request, HTTP_QUERY_LOCATION, location))
    return Redirect::None;
  std::wstring combined(4096, L'\0');
  DWORD length = static_cast<DWORD>(combined.size());
  if (HasControlCharacter(location) ||
      !InternetCombineUrlW(wstr(from.address), wstr(location), combined.data(), &length,
                           ICU_NO_ENCODE) ||
      !makeTarget(fromWide(combined.data(), length), to) || (from.secure && !to.secure))
    return Redirect::Refused;
  return Redirect::Follow;
}

// Sends the whole body in pieces; returns how many bytes went out.
size_t sendMultipart(HINTERNET request, const TMemoryStream& body, const ustring& contentType) {
  // WinInet announces the length in 32 bits: a larger body (64-bit memory
  // holds one) is not sent rather than announced with a wrapped length.
  if (body.size() > MAXDWORD) return 0;
  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof buffers;
  buffers.lpcszHeader = wstr(contentType);
  buffers.dwHeadersLength = buffers.dwHeadersTotal = static_cast<DWORD>(contentType.size());
  buffers.dwBufferTotal = static_cast<DWORD>(body.size());
  size_t sent = 0;
  if (!HttpSendRequestExW(request, &buffers, nullptr, HSR_INITIATE, 0)) return 0;
  const size_t size = static_cast<size_t>(body.size());
  while (sent < size) {
    DWORD piece = static_cast<DWORD>(std::min<size_t>(kUploadPieceSize, size - sent));
    DWORD written = 0;
    if (!InternetWriteFile(request, body.data() + sent, piece, &written) || written == 0) break;
    sent += written;
  }
  return sent;
}

// Appends the answer's body to body, up to limit bytes, read straight into
// the stream's memory. Only what has arrived is read each time, so that an
// answer trickling in byte by byte is seen to pass the deadline. False when
// the answer did not come whole: a read failed (a stall past the time-out),
// the deadline passed, or the connection closed before the declared length.
bool readAnswer(HINTERNET request, TMemoryStream& body, size_t limit, const Deadline& deadline) {
  const size_t start = static_cast<size_t>(body.size());
  for (;;) {
    const size_t used = static_cast<size_t>(body.size());
    DWORD available = 0;
    if (used - start >= limit) return true;
    if (deadline.passed() || !InternetQueryDataAvailable(request, &available, 0, 0)) return false;
    if (available == 0) break;
    const DWORD piece = static_cast<DWORD>(
        std::min<size_t>({available, kDownloadPieceSize, limit - (used - start)}));
    if (body.capacity() < used + piece)
      body.reserve(std::max<size_t>(used + piece, body.capacity() * 2));
    body.setSize(used + piece);
    DWORD read = 0;
    bool ok = InternetReadFile(request, body.data() + used, piece, &read);
    body.setSize(used + (ok ? read : 0));
    if (!ok) return false;
    if (read == 0) break;
  }
  DWORD declared = 0;
  return !queryNumber(request, HTTP_QUERY_CONTENT_LENGTH, declared) ||
         static_cast<size_t>(body.size()) - start >= declared;
}

// The start of an upload's answer as text: at most its declared length,
// capped at 51200 bytes, or 2000 bytes when it declares none.
ustring readAnswerStart(HINTERNET request) {
  DWORD capacity = 0;
  queryNumber(request, HTTP_QUERY_CONTENT_LENGTH, capacity);
  capacity = capacity == 0 ? kUploadAnswerUndeclared : std::min(capacity, kUploadAnswerLimit);
  TMemoryStream start;
  readAnswer(request, start, capacity, Deadline(kUploadReceiveTimeout));
  return DecodeUtf8OrAnsi(start.data(), static_cast<size_t>(start.size()));
}

}  // namespace

bool PostMultipart(const ustring& URL, const TFormVariables& FormVariables, ByteSpan Data,
                   const ustring& FileName, const ustring& TagName, const ustring& UserName,
                   const ustring& Password, const ustring& UserAgent, uint32_t& ReturnCode,
                   ustring& ReturnFile) {
  Target target;
  if (!makeTarget(URL, target) || HasControlCharacter(UserAgent)) return false;

  // Credentials in a URL are escaped where they hold "@", ":" or "/".
  LogOn logOn{DecodeURLEscapes(target.url.UserName), DecodeURLEscapes(target.url.Password), target};
  if (logOn.user.empty()) logOn.user = UserName;
  if (logOn.password.empty()) logOn.password = Password;

  const Timeouts timeouts{kUploadConnectTimeout, kUploadSendTimeout, kUploadReceiveTimeout};
  InternetHandle internet(InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet) return false;
  setTimeouts(internet.get(), timeouts);

  TMemoryStream body;
  ustring contentType;
  BuildMultipartBody(body, Data, contentType, FormVariables, FileName, TagName,
                     MakeRandomBoundary(), MimeTypeFromExtension);

  // Each hop of a 307 or 308 gets the whole body again. A 401 is tried again,
  // up to three attempts in all, with the log-on when it belongs to the hop's
  // origin. Each attempt is judged by its own status, never by one left from
  // before.
  Request request;
  size_t sent = 0;
  DWORD status = 0;
  for (int hop = 0;; ++hop) {
    if (!openRequest(internet.get(), target, L"POST", timeouts, UserAgent, request)) {
      if (hop > 0) ReturnFile.clear();
      return false;
    }
    for (int unauthorized = 0;;) {
      sent = sendMultipart(request.get(), body, contentType);
      HttpEndRequestW(request.get(), nullptr, HSR_INITIATE, 0);
      status = 0;
      if (queryStatus(request.get(), status)) ReturnCode = status;
      if (status != HTTP_STATUS_DENIED || ++unauthorized == kMaxUnauthorizedAttempts) break;
      if (logOn.sentTo(target) && asksForBasic(request.get()))
        addHeader(request.get(), basicAuthorization(logOn));
    }
    // 301, 302 and 303 would drop the body: their answer ends the upload.
    Target next;
    const Redirect redirect =
        keepsTheBody(status) ? redirectTarget(request.get(), status, target, next) : Redirect::None;
    if (redirect == Redirect::None) break;
    if (redirect == Redirect::Refused || hop == kMaxRedirects) {
      ReturnFile.clear();
      return false;
    }
    target = next;
  }

  if (status == 0) {
    // No answer came (a silent server's time-out): there is nothing to read,
    // and a read would only wait out the time-out again.
    ReturnFile.clear();
    return false;
  }
  ReturnFile = readAnswerStart(request.get());
  return sent >= static_cast<size_t>(body.size()) && status == HTTP_STATUS_OK;
}

bool RequestURL(const ustring& URL, const ustring& UserName, const ustring& Password,
                const ustring& UserAgent, TRequestMethod Method,
                const TFormVariables& FormVariables, int32_t TimeOut, TMemoryStream& Body,
                uint32_t& StatusCode) {
  Body.clear();
  Target target;
  if (!makeTarget(URL, target) || HasControlCharacter(UserAgent)) return false;

  // The properties log on; a URL that carries credentials of its own is not
  // ignored when the properties have none.
  LogOn logOn{UserName, Password, target};
  if (logOn.user.empty() && logOn.password.empty()) {
    logOn.user = DecodeURLEscapes(target.url.UserName);
    logOn.password = DecodeURLEscapes(target.url.Password);
  }

  // HTTPTimeout bounds connecting and each wait; the whole transfer, waits
  // and redirects included, gives up once it has passed.
  const DWORD timeout = timeoutMilliseconds(TimeOut);
  const Timeouts timeouts{timeout, timeout, timeout};
  const Deadline deadline(timeout);
  InternetHandle internet(InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!internet) return false;
  setTimeouts(internet.get(), timeouts);

  std::string form = systext::unicodeToUtf8(EncodeFormVariables(FormVariables));
  bool post = Method == rmPost;
  Request request;
  DWORD status = 0;
  bool answered = false;  // the log-on went with the last request
  for (int hop = 0;;) {
    status = 0;
    if (!openRequest(internet.get(), target, post ? L"POST" : L"GET", timeouts, UserAgent,
                     request)) {
      if (hop == 0) return false;
      break;
    }
    if (post) addHeader(request.get(), u"Content-Type: application/x-www-form-urlencoded");
    if (answered) addHeader(request.get(), basicAuthorization(logOn));

    // The form goes as the body of a GET too. A failed send shows as no status.
    HttpSendRequestW(request.get(), nullptr, 0,
                     form.empty() ? nullptr : const_cast<char*>(form.data()),
                     static_cast<DWORD>(form.size()));
    if (!queryStatus(request.get(), status) || deadline.passed()) {
      status = 0;
      break;
    }

    if (status == HTTP_STATUS_DENIED && !answered && logOn.sentTo(target) &&
        asksForBasic(request.get())) {
      answered = true;
      continue;
    }
    Target next;
    const Redirect redirect = redirectTarget(request.get(), status, target, next);
    if (redirect == Redirect::None) {
      // An answer cut off is no answer, whatever its status said.
      if (!readAnswer(request.get(), Body, SIZE_MAX, deadline)) status = 0;
      break;
    }
    if (redirect == Redirect::Refused || ++hop > kMaxRedirects) {
      status = 0;
      break;
    }
    if (!keepsTheBody(status)) {
      post = false;
      form.clear();
    }
    target = next;
    answered = false;
  }
  if (status == 0) Body.clear();
  Body.seek(0);
  StatusCode = status;
  return status == HTTP_STATUS_OK;
}

}  // namespace velmora
