// The HTTP client's exchanges on WinInet in synchronous mode.
#include <windows.h>
#include <wininet.h>
#include <wincrypt.h>

#include <algorithm>
#include <string>

#include "base/system_text.h"
#include "http_client/multipart_body.h"
#include "http_client/transfer.h"
#include "http_client/url.h"
#include "text/textconv.h"

namespace velmora {

namespace {

// Owns one WinInet handle. Declared in the order internet, connection,
// request, the holders close them in reverse on every way out.
class InternetHandle {
 public:
  explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
  ~InternetHandle() {
    if (handle_) InternetCloseHandle(handle_);
  }
  InternetHandle(const InternetHandle&) = delete;
  InternetHandle& operator=(const InternetHandle&) = delete;

  HINTERNET get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  HINTERNET handle_;
};

constexpr DWORD kSecureFlags = INTERNET_FLAG_SECURE | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP |
                               INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS |
                               INTERNET_FLAG_IGNORE_CERT_DATE_INVALID |
                               INTERNET_FLAG_IGNORE_CERT_CN_INVALID;

// The request flags for the URL's scheme, "http" or "https" in any case (as
// schemes are); false for any other scheme, which gets no request.
bool requestFlags(const ustring& scheme, DWORD& flags) {
  const ustring name = asciiUpper(scheme);
  if (name == u"HTTP") flags = INTERNET_FLAG_KEEP_CONNECTION;
  else if (name == u"HTTPS") flags = INTERNET_FLAG_KEEP_CONNECTION | kSecureFlags;
  else return false;
  return true;
}

constexpr DWORD kUploadPieceSize = 4096;
constexpr DWORD kUploadAnswerLimit = 51200;
constexpr DWORD kUploadAnswerUndeclared = 2000;
constexpr DWORD kDownloadPieceSize = 40960;
constexpr int kMaxUnauthorizedAttempts = 3;
constexpr DWORD kErrorDialogFlags = FLAGS_ERROR_UI_FILTER_FOR_ERRORS |
                                    FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                                    FLAGS_ERROR_UI_FLAGS_GENERATE_DATA;

// Uploads have no time-out property; they wait as long as WinInet does by
// default on Windows: 60 s to connect, 30 s for each piece of the body to
// leave, 30 s for each piece of the answer. Said explicitly, because Wine's
// defaults for sending and receiving are 0, which waits for ever.
constexpr DWORD kUploadConnectTimeout = 60000;
constexpr DWORD kUploadSendTimeout = 30000;
constexpr DWORD kUploadReceiveTimeout = 30000;

HINTERNET openInternet() {
  return InternetOpenW(L"", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
}

HINTERNET connect(HINTERNET internet, const TURLParts& url, const ustring& user,
                  const ustring& password) {
  return InternetConnectW(internet, wstr(url.HostName), url.Port, wstr(user), wstr(password),
                          INTERNET_SERVICE_HTTP, 0, 0);
}

HINTERNET openRequest(HINTERNET connection, const wchar_t* verb, const TURLParts& url,
                      DWORD flags) {
  const ustring object = url.UrlPath + url.ExtraInfo;
  return HttpOpenRequestW(connection, verb, wstr(object), nullptr, nullptr, nullptr, flags, 0);
}

void setTimeout(HINTERNET handle, DWORD option, DWORD milliseconds) {
  InternetSetOptionW(handle, option, &milliseconds, sizeof milliseconds);
}

// On every handle level: Windows hands them down from the level they are set
// on, Wine takes send and receive time-outs from connections and requests only.
// (Wine 8 connects with no limit of its own, whatever is set; the system's
// TCP ends a connection attempt that gets no reply.)
void setUploadTimeouts(HINTERNET handle) {
  setTimeout(handle, INTERNET_OPTION_CONNECT_TIMEOUT, kUploadConnectTimeout);
  setTimeout(handle, INTERNET_OPTION_SEND_TIMEOUT, kUploadSendTimeout);
  setTimeout(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, kUploadReceiveTimeout);
}

void addHeader(HINTERNET request, const ustring& line, DWORD mode = HTTP_ADDREQ_FLAG_ADD) {
  HttpAddRequestHeadersW(request, wstr(line), static_cast<DWORD>(line.size()), mode);
}

bool queryNumber(HINTERNET request, DWORD info, DWORD& value) {
  DWORD number = 0, length = sizeof number, index = 0;
  if (!HttpQueryInfoW(request, info | HTTP_QUERY_FLAG_NUMBER, &number, &length, &index))
    return false;
  value = number;
  return true;
}

// The answer's status code. Wine "finds" a status of 0 when no answer came at
// all, where Windows finds none; both mean no status here.
bool queryStatus(HINTERNET request, DWORD& status) {
  DWORD value = 0;
  if (!queryNumber(request, HTTP_QUERY_STATUS_CODE, value) || value == 0) return false;
  status = value;
  return true;
}

// Seconds as WinInet's milliseconds. A value that 32 bits cannot hold, or a
// negative one, means no practical limit rather than a wrapped short one.
DWORD timeoutMilliseconds(int32_t seconds) {
  constexpr int32_t kLargest = 0xFFFFFFFFu / 1000;
  if (seconds < 0 || seconds > kLargest) return 0xFFFFFFFFu;
  return static_cast<DWORD>(seconds) * 1000;
}

// True when the server's challenge asks for Basic credentials.
bool asksForBasic(HINTERNET request) {
  wchar_t challenge[512] = {};
  DWORD length = sizeof challenge, index = 0;
  if (!HttpQueryInfoW(request, HTTP_QUERY_WWW_AUTHENTICATE, challenge, &length, &index))
    return false;
  const ustring scheme = asciiUpper(fromWide(challenge));
  return scheme.compare(0, 5, u"BASIC") == 0 && (scheme.size() == 5 || scheme[5] == u' ');
}

// "Authorization: Basic <base64 of user:password in UTF-8>".
ustring basicAuthorization(const ustring& user, const ustring& password) {
  const std::string pair = systext::unicodeToUtf8(user + u":" + password);
  const auto* bytes = reinterpret_cast<const BYTE*>(pair.data());
  const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
  DWORD length = 0;
  CryptBinaryToStringW(bytes, static_cast<DWORD>(pair.size()), flags, nullptr, &length);
  std::wstring text(length, L'\0');
  CryptBinaryToStringW(bytes, static_cast<DWORD>(pair.size()), flags, text.data(), &length);
  return u"Authorization: Basic " + fromWide(text.c_str());
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

// Reads until capacity bytes or the end of the answer, whichever is first.
ustring readAnswerStart(HINTERNET request, DWORD capacity) {
  std::string buffer(capacity, '\0');
  DWORD got = 0, read = 0;
  while (got < capacity && InternetReadFile(request, buffer.data() + got, capacity - got, &read) &&
         read > 0)
    got += read;
  return DecodeUtf8OrAnsi(reinterpret_cast<const uint8_t*>(buffer.data()), got);
}

// Appends the whole answer to body, read straight into the stream's memory.
// False when a read fails before the end (a body that stalled past the
// time-out, a connection lost half-way).
bool readAnswer(HINTERNET request, TMemoryStream& body) {
  for (;;) {
    const size_t used = static_cast<size_t>(body.size());
    if (body.capacity() < used + kDownloadPieceSize)
      body.reserve(std::max<size_t>(used + kDownloadPieceSize, body.capacity() * 2));
    body.setSize(used + kDownloadPieceSize);
    DWORD read = 0;
    bool ok = InternetReadFile(request, body.data() + used, kDownloadPieceSize, &read);
    body.setSize(used + (ok ? read : 0));
    if (!ok || read == 0) return ok;
  }
}

}  // namespace

bool PostMultipart(const ustring& URL, const TStringList& FormVariables, ByteSpan Data,
                   const ustring& FileName, const ustring& TagName, const ustring& UserName,
                   const ustring& Password, const ustring& UserAgent, uint32_t& ReturnCode,
                   ustring& ReturnFile) {
  TURLParts url;
  DWORD flags = 0;
  if (!SplitURL(URL, url) || !requestFlags(url.Scheme, flags)) return false;

  // Credentials in a URL are escaped where they hold "@", ":" or "/".
  ustring user = DecodeURLEscapes(url.UserName);
  ustring password = DecodeURLEscapes(url.Password);
  if (user.empty()) user = UserName;
  if (password.empty()) password = Password;
  const bool credentialsKnown = !user.empty() && !password.empty();

  InternetHandle internet(openInternet());
  if (!internet) return false;
  setUploadTimeouts(internet.get());
  InternetHandle connection(connect(internet.get(), url, user, password));
  if (!connection) return false;
  setUploadTimeouts(connection.get());

  TMemoryStream body;
  ustring contentType;
  BuildMultipartBody(body, Data, contentType, FormVariables, FileName, TagName,
                     MakeRandomBoundary(), MimeTypeFromExtension);

  InternetHandle request(openRequest(connection.get(), L"POST", url, flags));
  if (!request) return false;
  setUploadTimeouts(request.get());
  if (!UserAgent.empty()) addHeader(request.get(), u"User-Agent: " + UserAgent);

  // A 401 is tried again, up to three attempts in all; the system's dialog
  // gets one chance to supply credentials when none are known. Each attempt
  // is judged by its own status, never by one left from before.
  size_t sent = 0;
  bool dialogOffered = false;
  for (int unauthorized = 0;;) {
    sent = sendMultipart(request.get(), body, contentType);
    DWORD error = HttpEndRequestW(request.get(), nullptr, HSR_INITIATE, 0) ? 0 : GetLastError();
    DWORD status = 0;
    if (queryStatus(request.get(), status)) ReturnCode = status;
    if (status != HTTP_STATUS_DENIED || ++unauthorized == kMaxUnauthorizedAttempts) break;
    // Wine's HttpEndRequestW never answers a challenge with the connection's
    // credentials (its HttpSendRequestW does); for Basic, say them ourselves.
    if (credentialsKnown) {
      if (asksForBasic(request.get()))
        addHeader(request.get(), basicAuthorization(user, password),
                  HTTP_ADDREQ_FLAG_ADD | HTTP_ADDREQ_FLAG_REPLACE);
    } else if (!dialogOffered) {
      void* dialogData = nullptr;
      InternetErrorDlg(GetActiveWindow(), request.get(), error, kErrorDialogFlags, &dialogData);
      dialogOffered = true;
    }
  }

  DWORD status = 0;
  if (!queryStatus(request.get(), status)) {
    // No answer came (a silent server's time-out): there is nothing to read,
    // and a read would only wait out the time-out again.
    ReturnFile.clear();
    return false;
  }
  ReturnCode = status;
  bool ok = sent >= static_cast<size_t>(body.size()) && status == HTTP_STATUS_OK;

  DWORD capacity = 0;
  queryNumber(request.get(), HTTP_QUERY_CONTENT_LENGTH, capacity);
  capacity = capacity == 0 ? kUploadAnswerUndeclared : std::min(capacity, kUploadAnswerLimit);
  ReturnFile = readAnswerStart(request.get(), capacity);
  return ok;
}

bool RequestURL(const ustring& URL, const ustring& UserName, const ustring& Password,
                const ustring& UserAgent, TRequestMethod Method, const TStringList& FormVariables,
                int32_t TimeOut, TMemoryStream& Body, uint32_t& StatusCode) {
  Body.clear();
  TURLParts url;
  DWORD flags = 0;
  if (!SplitURL(URL, url) || !requestFlags(url.Scheme, flags)) return false;
  flags |= INTERNET_FLAG_RELOAD;

  // The properties log on; a URL that carries credentials of its own is not
  // ignored when the properties have none.
  ustring user = UserName, password = Password;
  if (user.empty() && password.empty()) {
    user = DecodeURLEscapes(url.UserName);
    password = DecodeURLEscapes(url.Password);
  }

  const DWORD timeout = timeoutMilliseconds(TimeOut);
  InternetHandle internet(openInternet());
  if (!internet) return false;
  setTimeout(internet.get(), INTERNET_OPTION_CONNECT_TIMEOUT, timeout);
  InternetHandle connection(connect(internet.get(), url, user, password));
  if (!connection) return false;

  const std::string form = systext::unicodeToUtf8(EncodeFormVariables(FormVariables));
  const bool post = Method == rmPost;
  InternetHandle request(openRequest(connection.get(), post ? L"POST" : L"GET", url, flags));
  if (!request) return false;
  if (!UserAgent.empty()) addHeader(request.get(), u"User-Agent: " + UserAgent);
  if (post) addHeader(request.get(), u"Content-Type: application/x-www-form-urlencoded");
  setTimeout(request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, timeout);

  // The form goes as the body of a GET too. A failed send shows as no status.
  HttpSendRequestW(request.get(), nullptr, 0, form.empty() ? nullptr : const_cast<char*>(form.data()),
                   static_cast<DWORD>(form.size()));
  DWORD status = 0;
  queryStatus(request.get(), status);
  // An answer cut off is no answer, whatever its status said.
  if (!readAnswer(request.get(), Body)) status = 0;
  Body.seek(0);
  StatusCode = status;
  return status == HTTP_STATUS_OK;
}

}  // namespace velmora
