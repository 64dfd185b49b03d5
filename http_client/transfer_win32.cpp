// The HTTP client's exchanges on WinInet in synchronous mode.
#include <windows.h>
#include <wininet.h>
#include <wincrypt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

using Clock = std::chrono::steady_clock;

// A point in time after which a transfer waits no more; none for kNoLimit.
class Deadline {
 public:
  explicit Deadline(uint64_t milliseconds)
      : unlimited_(milliseconds == kNoLimit),
        end_(Clock::now() + std::chrono::milliseconds(unlimited_ ? 0 : milliseconds)) {}
  bool passed() const { return !unlimited_ && Clock::now() >= end_; }
  bool unlimited() const { return unlimited_; }
  Clock::time_point end() const { return end_; }

 private:
  bool unlimited_;
  Clock::time_point end_;
};

// ---- transfers on a thread of their own ----------------------------------
//
// A blocked WinInet call cannot be interrupted everywhere: Wine connects with
// no limit of its own whatever the connect time-out says, waits without limit
// for a TLS handshake that never completes, and reads a head trickling in
// byte by byte for as long as it comes; closing the handle does not wake the
// call up. So each transfer runs on a thread of its own that owns all it
// uses (handles, body, where the answer goes), and the caller waits for it
// only until the transfer's deadline. A transfer given up on is abandoned:
// its thread ends, and frees what it holds, when its blocked call returns.

// The number of abandoned transfers whose thread still runs. Each holds a
// thread and a connection: past this many, no new transfer starts, so that
// a host that never lets go cannot pile them up without bound.
std::atomic<int> abandonedTransfers{0};
constexpr int kMaxAbandonedTransfers = 32;
// Stack reserved for a transfer's thread (committed only as used).
constexpr SIZE_T kTransferStackSize = 256 * 1024;

// What the calling thread and a transfer's thread share.
class Transfer {
 public:
  explicit Transfer(std::function<void(Transfer&)> work)
      : work_(std::move(work)), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Transfer() {
    if (done_) CloseHandle(done_);
  }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // Called by the work as it enters a stage: the caller waits until then.
  void waitUntil(Clock::time_point end) { deadline_.store(end.time_since_epoch().count()); }
  void waitForever() { deadline_.store(kForever); }

  // Runs work on a thread of its own until it ends or the deadline it keeps
  // setting passes. True when it ended (an exception it raised is raised
  // here); false when the caller stopped waiting, or no thread could run it.
  static bool run(std::function<void(Transfer&)> work, const Deadline& first);

 private:
  enum State { kRunning, kDone, kAbandoned };
  static constexpr Clock::rep kForever = Clock::rep(-1);

  static DWORD WINAPI threadMain(void* parameter);
  void execute();
  bool waitForTheEnd();

  std::function<void(Transfer&)> work_;
  HANDLE done_;
  std::atomic<Clock::rep> deadline_{kForever};
  std::atomic<int> state_{kRunning};
  std::exception_ptr failure_;
};

bool Transfer::run(std::function<void(Transfer&)> work, const Deadline& first) {
  if (abandonedTransfers.load() >= kMaxAbandonedTransfers) return false;
  auto transfer = std::make_shared<Transfer>(std::move(work));
  if (!transfer->done_) return false;
  if (first.unlimited())
    transfer->waitForever();
  else
    transfer->waitUntil(first.end());
  // The thread keeps this module loaded for as long as it runs.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&Transfer::threadMain), &module))
    return false;
  auto* shared = new std::shared_ptr<Transfer>(transfer);
  HANDLE thread = CreateThread(nullptr, kTransferStackSize, &Transfer::threadMain, shared,
                               STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!thread) {
    delete shared;
    FreeLibrary(module);
    return false;
  }
  CloseHandle(thread);
  if (!transfer->waitForTheEnd()) return false;
  if (transfer->failure_) std::rethrow_exception(transfer->failure_);
  return true;
}

bool Transfer::waitForTheEnd() {
  for (;;) {
    const Clock::rep deadline = deadline_.load();
    DWORD wait = 1000;  // a deadline set meanwhile is seen within a second
    if (deadline != kForever) {
      const auto left = Clock::time_point(Clock::duration(deadline)) - Clock::now();
      if (left <= Clock::duration::zero()) break;
      wait = static_cast<DWORD>(std::min<int64_t>(
          1000, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
    }
    if (WaitForSingleObject(done_, wait) == WAIT_OBJECT_0) return true;
  }
  // Counted before it is marked, so that its thread, ending at this moment,
  // never uncounts it first.
  ++abandonedTransfers;
  int running = kRunning;
  if (state_.compare_exchange_strong(running, kAbandoned)) return false;
  --abandonedTransfers;  // it ended after all
  return true;
}

void Transfer::execute() {
  try {
    work_(*this);
  } catch (...) {
    failure_ = std::current_exception();
  }
  if (state_.exchange(kDone) == kAbandoned) --abandonedTransfers;
  SetEvent(done_);
}

DWORD WINAPI Transfer::threadMain(void* parameter) {
  {
    std::unique_ptr<std::shared_ptr<Transfer>> shared(
        static_cast<std::shared_ptr<Transfer>*>(parameter));
    (*shared)->execute();
  }  // what the transfer held is freed here when its caller has let go
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&Transfer::threadMain), &module);
  FreeLibraryAndExitThread(module, 0);
}

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

// The status code of an HTTP answer, from 100 to 599. Wine "finds" a status
// of 0 when no answer came at all, where Windows finds none. An answer whose
// status line is not HTTP ("ICY 200 OK", bytes of another protocol) WinInet
// reads as the body of a made-up "HTTP/1.0 200 OK" without header lines: that
// head, exactly, is no answer (an HTTP/1.0 server's answer without a single
// header line looks the same and is lost with it).
bool queryStatus(HINTERNET request, DWORD& status) {
  DWORD value = 0;
  ustring head;
  if (!queryNumber(request, HTTP_QUERY_STATUS_CODE, value) || value < 100 || value > 599 ||
      !queryText(request, HTTP_QUERY_RAW_HEADERS_CRLF, head) || head == u"HTTP/1.0 200 OK\r\n\r\n")
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
bool asksForBasic(HINTERNET request) {
  std::wstring buffer(1024, L'\0');
  for (DWORD index = 0;;) {
    DWORD length = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    const DWORD asked = index;
    if (HttpQueryInfoW(request, HTTP_QUERY_WWW_AUTHENTICATE, buffer.data(), &length, &index)) {
      if (offersBasic(fromWide(buffer.data(), length / sizeof(wchar_t)))) return true;
      if (index == asked) return false;  // no next header
      continue;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    buffer.resize(length / sizeof(wchar_t) + 1);
  }
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

// The answer's declared length; false for a Content-Length that is not a
// number (no answer can be judged whole by it). No header: UINT64_MAX.
bool declaredLength(HINTERNET request, uint64_t& length) {
  length = UINT64_MAX;
  ustring text;
  if (!queryText(request, HTTP_QUERY_CONTENT_LENGTH, text)) return true;
  if (text.empty() || text.size() > 19) return false;
  length = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return false;
    length = length * 10 + (c - u'0');
  }
  return true;
}

// Reads the answer's body to its end, handing each piece to take. Only what
// has arrived is read each time, so that an answer trickling in byte by byte
// is seen to pass the deadline. False when the answer did not come whole: a
// read failed (a stall past the time-out), the deadline passed, or its length
// differs from the Content-Length, counted in 64 bits.
bool readAnswer(HINTERNET request, const Deadline& deadline,
                const std::function<void(const uint8_t*, size_t)>& take) {
  uint64_t declared = 0, received = 0;
  if (!declaredLength(request, declared)) return false;
  std::vector<uint8_t> buffer(kDownloadPieceSize);
  for (;;) {
    DWORD available = 0, read = 0;
    if (deadline.passed() || !InternetQueryDataAvailable(request, &available, 0, 0)) return false;
    if (available == 0) break;
    if (!InternetReadFile(request, buffer.data(), std::min<DWORD>(available, kDownloadPieceSize),
                          &read))
      return false;
    if (read == 0) break;
    received += read;
    take(buffer.data(), read);
  }
  return declared == UINT64_MAX || received == declared;
}

// Publishes the stage an upload enters: its caller waits that long more.
void uploadStage(Transfer& transfer, DWORD milliseconds) {
  transfer.waitUntil(Clock::now() + std::chrono::milliseconds(milliseconds));
}

// Sends the whole body in pieces; returns how many bytes went out. Each piece
// has its own time to leave.
size_t sendMultipart(HINTERNET request, const TMemoryStream& body, const ustring& contentType,
                     Transfer& transfer) {
  // WinInet announces the length in 32 bits: a larger body (64-bit memory
  // holds one) is not sent rather than announced with a wrapped length.
  if (body.size() > MAXDWORD) return 0;
  INTERNET_BUFFERSW buffers = {};
  buffers.dwStructSize = sizeof buffers;
  buffers.lpcszHeader = wstr(contentType);
  buffers.dwHeadersLength = buffers.dwHeadersTotal = static_cast<DWORD>(contentType.size());
  buffers.dwBufferTotal = static_cast<DWORD>(body.size());
  size_t sent = 0;
  uploadStage(transfer, kUploadConnectTimeout);
  if (!HttpSendRequestExW(request, &buffers, nullptr, HSR_INITIATE, 0)) return 0;
  const size_t size = static_cast<size_t>(body.size());
  while (sent < size) {
    DWORD piece = static_cast<DWORD>(std::min<size_t>(kUploadPieceSize, size - sent));
    DWORD written = 0;
    uploadStage(transfer, kUploadSendTimeout);
    if (!InternetWriteFile(request, body.data() + sent, piece, &written) || written == 0) break;
    sent += written;
  }
  return sent;
}

// The answer to an upload read to its end, its start kept as text: at most
// its declared length, capped at 51200 bytes, or 2000 bytes when it declares
// none. False when it did not come whole.
bool readAnswerStart(HINTERNET request, Transfer& transfer, ustring& text) {
  uint64_t declared = 0;
  declaredLength(request, declared);
  const size_t keep = declared == UINT64_MAX || declared == 0
                          ? kUploadAnswerUndeclared
                          : static_cast<size_t>(std::min<uint64_t>(declared, kUploadAnswerLimit));
  std::string start;
  uploadStage(transfer, kUploadReceiveTimeout);
  const bool whole = readAnswer(request, Deadline(kUploadReceiveTimeout),
                                [&](const uint8_t* bytes, size_t count) {
                                  if (start.size() < keep)
                                    start.append(reinterpret_cast<const char*>(bytes),
                                                 std::min(count, keep - start.size()));
                                });
  text = DecodeUtf8OrAnsi(reinterpret_cast<const uint8_t*>(start.data()), start.size());
  return whole;
}

// Credentials Basic cannot carry: ":" ends the user name.
bool usableLogOn(const ustring& user) { return user.find(u':') == ustring::npos; }

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
    ustring userAgent;
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
  upload->userAgent = UserAgent;
  BuildMultipartBody(upload->body, Data, upload->contentType, FormVariables, FileName, TagName,
                     MakeRandomBoundary(), MimeTypeFromExtension);

  const bool ended = Transfer::run(
      [upload](Transfer& transfer) {
        Upload& u = *upload;
        const Timeouts timeouts{kUploadConnectTimeout, kUploadSendTimeout, kUploadReceiveTimeout};
        InternetHandle internet(
            InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
        if (!internet) return;
        setTimeouts(internet.get(), timeouts);

        // Each hop of a 307 or 308 gets the whole body again. A 401 is tried
        // again, up to three attempts in all, with the log-on when it belongs
        // to the hop's origin. Each attempt is judged by its own status,
        // never by one left from before.
        Request request;
        size_t sent = 0;
        DWORD status = 0;
        for (int hop = 0;; ++hop) {
          if (!openRequest(internet.get(), u.target, L"POST", timeouts, u.userAgent, request)) {
            u.answerRead = hop > 0;
            return;
          }
          for (int unauthorized = 0;;) {
            sent = sendMultipart(request.get(), u.body, u.contentType, transfer);
            uploadStage(transfer, kUploadReceiveTimeout);
            HttpEndRequestW(request.get(), nullptr, HSR_INITIATE, 0);
            status = 0;
            if (queryStatus(request.get(), status)) u.returnCode = status;
            if (status != HTTP_STATUS_DENIED || ++unauthorized == kMaxUnauthorizedAttempts) break;
            if (u.logOn.sentTo(u.target) && asksForBasic(request.get()))
              addHeader(request.get(), basicAuthorization(u.logOn));
          }
          // 301, 302 and 303 would drop the body: their answer ends the upload.
          Target next;
          const Redirect redirect = keepsTheBody(status)
                                        ? redirectTarget(request.get(), status, u.target, next)
                                        : Redirect::None;
          if (redirect == Redirect::None) break;
          if (redirect == Redirect::Refused || hop == kMaxRedirects) {
            u.answerRead = true;
            return;
          }
          u.target = next;
        }
        u.answerRead = true;
        // No answer came (a silent server's time-out): there is nothing to
        // read, and a read would only wait out the time-out again.
        if (status == 0) return;
        // An answer cut short is no answer.
        u.returnCode = 0;
        if (!readAnswerStart(request.get(), transfer, u.answer)) {
          u.answer.clear();
          return;
        }
        u.returnCode = status;
        u.ok = sent >= static_cast<size_t>(u.body.size()) && status == HTTP_STATUS_OK;
      },
      Deadline(kUploadConnectTimeout));

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
    ustring userAgent;
    std::string form;
    bool post = false;
    DWORD timeout = kNoLimit;
    std::shared_ptr<TStream> body;
    DWORD status = 0;
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
  download->userAgent = UserAgent;
  download->form = systext::unicodeToUtf8(EncodeFormVariables(FormVariables));
  download->post = Method == rmPost;
  download->timeout = timeoutMilliseconds(TimeOut);
  download->body = Body;

  // HTTPTimeout bounds connecting and each wait, and no wait begins once it
  // has passed since the start: twice HTTPTimeout in all, which the caller
  // waits no longer than, whatever WinInet does.
  const uint64_t timeout = download->timeout;
  const Deadline bound(timeout == kNoLimit ? kNoLimit : 2 * timeout);
  bool ended = false;
  try {
    ended = Transfer::run(
        [download](Transfer&) {
          Download& d = *download;
          const Timeouts timeouts{d.timeout, d.timeout, d.timeout};
          const Deadline deadline(d.timeout);
          InternetHandle internet(
              InternetOpenW(nullptr, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
          if (!internet) return;
          setTimeouts(internet.get(), timeouts);

          Request request;
          bool answered = false;  // the log-on went with the last request
          for (int hop = 0;;) {
            d.status = 0;
            if (!openRequest(internet.get(), d.target, d.post ? L"POST" : L"GET", timeouts,
                             d.userAgent, request))
              return;
            if (d.post)
              addHeader(request.get(), u"Content-Type: application/x-www-form-urlencoded");
            if (answered) addHeader(request.get(), basicAuthorization(d.logOn));

            // The form goes as the body of a GET too. A failed send shows as
            // no status.
            HttpSendRequestW(request.get(), nullptr, 0,
                             d.form.empty() ? nullptr : const_cast<char*>(d.form.data()),
                             static_cast<DWORD>(d.form.size()));
            DWORD status = 0;
            if (!queryStatus(request.get(), status) || deadline.passed()) return;

            if (status == HTTP_STATUS_DENIED && !answered && d.logOn.sentTo(d.target) &&
                asksForBasic(request.get())) {
              answered = true;
              continue;
            }
            Target next;
            const Redirect redirect = redirectTarget(request.get(), status, d.target, next);
            if (redirect == Redirect::None) {
              // An answer cut off is no answer, whatever its status said.
              // (The status stands beside a failure to write the body.)
              TStream& body = *d.body;
              d.status = status;
              if (!readAnswer(request.get(), deadline,
                              [&body](const uint8_t* bytes, size_t count) {
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
  return StatusCode == HTTP_STATUS_OK;
}

}  // namespace velmora
