#include "asphost/host/site_server.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

#include "asphost/host/exchange.h"
#include "asphost/intrinsics/variants.h"
#include "asphost/script/page_compiler.h"
#include "asphost/script/script_engine.h"
#include "process/file_names.h"
#include "text/textconv.h"

namespace asphost {
namespace {

std::wstring Wide(const ustring& s) { return std::wstring(s.begin(), s.end()); }
ustring Narrow16(const std::wstring& s) { return ustring(s.begin(), s.end()); }

std::wstring LowerExtension(const std::wstring& path) {
  size_t dot = path.rfind(L'.');
  size_t slash = path.find_last_of(L"/\\");
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return L"";
  std::wstring ext = path.substr(dot + 1);
  for (wchar_t& c : ext) c = towlower(c);
  return ext;
}

const char* ContentTypeOf(const std::wstring& extension) {
  static const struct {
    const wchar_t* extension;
    const char* type;
  } kTypes[] = {
      {L"html", "text/html; charset=utf-8"}, {L"htm", "text/html; charset=utf-8"},
      {L"css", "text/css; charset=utf-8"},   {L"js", "text/javascript; charset=utf-8"},
      {L"json", "application/json"},         {L"txt", "text/plain; charset=utf-8"},
      {L"xml", "application/xml"},           {L"svg", "image/svg+xml"},
      {L"png", "image/png"},                 {L"jpg", "image/jpeg"},
      {L"jpeg", "image/jpeg"},               {L"gif", "image/gif"},
      {L"webp", "image/webp"},               {L"ico", "image/x-icon"},
      {L"pdf", "application/pdf"},           {L"zip", "application/zip"},
      {L"wasm", "application/wasm"},         {L"woff2", "font/woff2"},
  };
  for (const auto& entry : kTypes)
    if (extension == entry.extension) return entry.type;
  return "application/octet-stream";
}

std::wstring HtmlEncode(const std::wstring& text) {
  std::wstring out;
  for (wchar_t c : text) {
    switch (c) {
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      case L'&': out += L"&amp;"; break;
      case L'"': out += L"&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// The part of an error page that says what went wrong, as ASP words it.
std::wstring ErrorFragment(const std::wstring& source, HRESULT code, const std::wstring& description,
                           const std::wstring& file, unsigned line) {
  wchar_t number[16];
  swprintf(number, 16, L"%08lx", static_cast<unsigned long>(code));
  std::wstring html = L"<div class=\"asp-error\"><p><b>" + HtmlEncode(source.empty() ? L"Error" : source) +
                      L" '" + number + L"'</b></p>\r\n<p>" + HtmlEncode(description) + L"</p>\r\n";
  if (!file.empty()) {
    html += L"<p><code>" + HtmlEncode(file) + L"</code>";
    if (line) html += L", line " + std::to_wstring(line);
    html += L"</p>\r\n";
  }
  return html + L"</div>\r\n";
}

std::wstring ErrorPage(int status, const std::wstring& body) {
  std::wstring title = std::to_wstring(status) + L" " + FromUtf8(ReasonPhrase(status));
  return L"<!DOCTYPE html>\r\n<html><head><meta charset=\"utf-8\"><title>" + title +
         L"</title></head>\r\n<body><h1>" + title + L"</h1>\r\n" + body + L"</body></html>\r\n";
}

void Log(const std::wstring& line) {
  std::string text = Utf8(line) + "\n";
  fputs(text.c_str(), stderr);
  fflush(stderr);
}

// The file's text as a page: UTF-8 (with or without its byte-order mark),
// else the ANSI code page, as ASP reads pages saved by either kind of editor.
bool ReadTextFile(const std::wstring& path, std::wstring* text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  std::string bytes;
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  // The mark goes before judging, so that it never shows, whichever way the
  // rest decodes.
  const size_t skip = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  *text = Wide(velmora::DecodeUtf8OrAnsi(reinterpret_cast<const uint8_t*>(bytes.data()) + skip,
                                         bytes.size() - skip));
  return true;
}

// A resolved path ("/a b/é") as a URL path: every byte but unreserved
// characters and "/" percent-encoded.
std::string PathForUrl(const std::wstring& path) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string url;
  for (unsigned char c : Utf8(path)) {
    const bool unreserved = (c >= '0' && c <= '9') || ((c | 32) >= 'a' && (c | 32) <= 'z') ||
                            c == '/' || c == '-' || c == '.' || c == '_' || c == '~';
    if (unreserved) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      url += kHex[c >> 4];
      url += kHex[c & 15];
    }
  }
  return url;
}

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }
thread_local HRESULT threadApartment = E_FAIL;

bool IsFile(DWORD attributes) {
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Reads a page's include files from the site's folder.
PageLoader IncludeLoader(const std::wstring& root) {
  return [root](const ustring& path) {
    std::wstring file = root + Wide(path);
    for (wchar_t& c : file)
      if (c == L'/') c = L'\\';
    std::wstring text;
    if (!ReadTextFile(file, &text))
      throw velmora::Exception(u"The include file '" + path + u"' was not found.");
    return Narrow16(text);
  };
}

// A page that does not compile: its error page, and the connection closes.
bool SendCompileError(Connection& connection, const PageError& e) {
  Log(L"asphost: " + Wide(e.where().file) + L":" + std::to_wstring(e.where().line) + L": " +
      Wide(e.message()));
  std::wstring body = ErrorFragment(L"Active Server Pages", E_FAIL, Wide(e.message()),
                                    Wide(e.where().file), e.where().line);
  std::string html = Utf8(ErrorPage(500, body));
  connection.Send(SimpleHead(500, "text/html; charset=utf-8", html.size(), false) + html);
  return false;
}

// Runs the page's script with the intrinsic objects as its named items, the
// page's object context current meanwhile; false with the failure when it stops.
bool RunPageScript(const Page& page, const CompiledPage& compiled, ScriptFailure* failure) {
  ScopedObjectContext scope(page.context());
  std::vector<NamedObject> objects = {
      {u"Request", page.request()}, {u"Response", page.response()},
      {u"Server", page.server()},   {u"Application", page.application()},
      {u"Session", page.session()},
  };
  return RunScript(compiled.language, compiled.code, objects, failure);
}

// As ASP does: an error before anything was sent replaces the page; after,
// it is appended to what the client already has.
void WriteScriptError(const Page& page, const ConnectionSink& sink, const CompiledPage& compiled,
                      const ScriptFailure& failure) {
  PageLine where = compiled.Origin(failure.line);
  if (!failure.line) where.line = 0;  // the engine could not say where
  Log(L"asphost: " + Wide(where.file) + L":" + std::to_wstring(where.line) + L": " +
      Wide(failure.description));
  std::wstring fragment = ErrorFragment(Wide(failure.source), failure.code,
                                        Wide(failure.description), Wide(where.file), where.line);
  IResponse* response = page.response();
  bool fresh = !sink.headSent() && SUCCEEDED(response->Clear());
  if (fresh) {
    BSTR status = SysAllocString(L"500 Internal Server Error");
    BSTR type = SysAllocString(L"text/html");
    response->put_Status(status);
    response->put_ContentType(type);
    SysFreeString(status);
    SysFreeString(type);
  }
  VARIANT text;
  text.vt = VT_BSTR;
  text.bstrVal = SysAllocString((fresh ? ErrorPage(500, fragment) : fragment).c_str());
  response->Write(text);
  VariantClear(&text);
}

}  // namespace

SiteServer::SiteServer(HostOptions options)
    : options_(std::move(options)),
      application_(std::make_shared<ApplicationStore>()),
      faultsInjectable_(GetEnvironmentVariableW(L"ASPHOST_INJECT_FAULTS", nullptr, 0) > 0),
      server_(*this, options_.limits) {
  while (!options_.root.empty() && (options_.root.back() == L'\\' || options_.root.back() == L'/'))
    options_.root.pop_back();
}

// Each page thread's pages run in its own apartment, as ASP's worker
// threads do; components register as "Both" and live there.
void SiteServer::ThreadStarted() {
  threadApartment = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
}
void SiteServer::ThreadEnding() {
  if (SUCCEEDED(threadApartment)) CoUninitialize();
}

void SiteServer::InjectFault(const RequestHead& head, const char* where) const {
  const std::string* fault = faultsInjectable_ ? head.Find("X-Asphost-Fault") : nullptr;
  if (fault && *fault == where) throw std::bad_alloc();
}

void SiteServer::HeadArrived(const RequestHead& head) { InjectFault(head, "head"); }

bool SiteServer::Serve(Connection& connection, const RequestHead& head) {
  connection.BeginBody(head.contentLength, head.ExpectsContinue());
  InjectFault(head, "request");
  return ServeRequest(connection, head);
}

bool SiteServer::SendError(Connection& connection, const RequestHead* head, int status, const std::wstring& detail,
                       const std::string& extraHeaders) {
  std::string body = Utf8(ErrorPage(status, L"<p>" + HtmlEncode(detail) + L"</p>\r\n"));
  bool keepAlive = head && head->KeepAlive() && status < 500 && connection.CanDrainBody(kDrainLimit);
  std::string out = SimpleHead(status, "text/html; charset=utf-8", body.size(), keepAlive, extraHeaders);
  if (!head || head->method != "HEAD") out += body;
  connection.Send(out);
  return keepAlive && connection.DrainBody(kDrainLimit);
}

bool SiteServer::ServeRequest(Connection& connection, const RequestHead& head) {
  std::wstring decoded = FromUtf8(head.path);
  ustring virtualPath = ResolveVirtualPath(u"/", Narrow16(decoded));
  if (virtualPath.empty() || decoded.find_first_of(L":*?\"<>|", 0) != std::wstring::npos ||
      decoded.find(L'\0') != std::wstring::npos) {
    return SendError(connection, &head, 400, L"The path is not valid.");
  }
  std::wstring path = Wide(virtualPath);
  // Windows drops trailing dots and blanks from names: "page.asp." and
  // "uploads./x" would reach the file while escaping the checks by name
  // below (the source of a page sent as a static file).
  // And a segment named as a device ("COM1", "aux.txt") opens the device,
  // whose reads may never return: the page thread would be lost for good.
  for (size_t begin = 1; begin < path.size();) {
    size_t end = std::min(path.find(L'/', begin), path.size());
    std::wstring_view segment(path.data() + begin, end - begin);
    if (segment.back() == L'.' || segment.back() == L' ' ||
        velmora::IsDeviceName(Narrow16(std::wstring(segment))))
      return SendError(connection, &head, 404, L"The page " + path + L" does not exist.");
    begin = end + 1;
  }
  const std::wstring& hidden = options_.privateFolder;
  if (!hidden.empty() && CompareStringOrdinal(path.c_str(), static_cast<int>(std::min(path.size(), hidden.size())),
                                             hidden.c_str(), static_cast<int>(hidden.size()), TRUE) == CSTR_EQUAL &&
      (path.size() == hidden.size() || path[hidden.size()] == L'/')) {
    return SendError(connection, &head, 404, L"The page " + path + L" does not exist.");
  }
  std::wstring physical = options_.root + path;
  for (wchar_t& c : physical)
    if (c == L'/') c = L'\\';

  DWORD attributes = Attributes(physical);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    if (head.path.empty() || head.path.back() != '/') {
      // From the resolved path, never from the target as sent: "//host/..."
      // there would send the client to another site.
      std::string location = PathForUrl(path) + "/";
      if (!head.query.empty()) location += "?" + head.query;
      return SendError(connection, &head, 301, L"Moved to " + FromUtf8(location) + L".",
                       "Location: " + location + "\r\n");
    }
    bool found = false;
    for (const wchar_t* name : {L"default.asp", L"index.asp", L"index.html", L"default.htm"}) {
      std::wstring candidate = physical + (physical.back() == L'\\' ? L"" : L"\\") + name;
      if (IsFile(Attributes(candidate))) {
        physical = candidate;
        path += (path.back() == L'/' ? L"" : L"/") + std::wstring(name);
        found = true;
        break;
      }
    }
    if (!found) return SendError(connection, &head, 404, L"There is no default page in " + path + L".");
  } else if (!IsFile(attributes)) {
    return SendError(connection, &head, 404, L"The page " + path + L" does not exist.");
  }

  std::wstring extension = LowerExtension(physical);
  // Include files and the application file hold server code: never sent.
  if (extension == L"inc" || extension == L"asa")
    return SendError(connection, &head, 404, L"The page " + path + L" does not exist.");
  if (extension == L"asp") return RunPage(connection, head, path, physical);
  if (head.method != "GET" && head.method != "HEAD")
    return SendError(connection, &head, 405, L"Files are sent by GET and HEAD only.", "Allow: GET, HEAD\r\n");
  return SendFile(connection, head, physical);
}

bool SiteServer::SendFile(Connection& connection, const RequestHead& head, const std::wstring& physicalPath) {
  HANDLE file = CreateFileW(physicalPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  LARGE_INTEGER size{};
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return SendError(connection, &head, 403, L"The file cannot be read.");
  }
  bool keepAlive = head.KeepAlive() && connection.CanDrainBody(kDrainLimit);
  bool sent = connection.Send(SimpleHead(200, ContentTypeOf(LowerExtension(physicalPath)),
                                         static_cast<uint64_t>(size.QuadPart), keepAlive));
  // A body sent with the request is drained first; then the file goes out
  // from here while the client takes it briskly, and the rest from the
  // server's loop, so a slow reader holds no page thread.
  keepAlive = sent && keepAlive && connection.DrainBody(kDrainLimit);
  if (sent && head.method != "HEAD" && size.QuadPart > 0) {
    connection.SendFileLater(file, static_cast<uint64_t>(size.QuadPart));
    connection.SendFileWhileTaken();
  } else {
    CloseHandle(file);
  }
  return keepAlive;
}

// The steps of a page: compile it with its includes, give it the request,
// run its script, and answer with what it wrote or with its error.
bool SiteServer::RunPage(Connection& connection, const RequestHead& head,
                         const std::wstring& virtualPath, const std::wstring& physicalPath) {
  CompiledPage compiled;
  try {
    compiled = CompilePage(Narrow16(virtualPath), IncludeLoader(options_.root));
  } catch (const PageError& e) {
    return SendCompileError(connection, e);
  } catch (const velmora::Exception& e) {
    return SendError(connection, &head, 500, Wide(e.message()));
  }

  auto sink = std::make_shared<ConnectionSink>(connection, head);
  PageSetup setup;
  setup.body = std::make_shared<ConnectionBody>(connection, head.contentLength);
  setup.sink = sink;
  setup.application = application_;
  setup.root = options_.root;
  setup.pagePath = virtualPath;
  setup.method = FromUtf8(head.method);
  setup.queryString = FromUtf8(head.query);
  if (const std::string* type = head.Find("Content-Type")) setup.contentType = FromUtf8(*type);
  setup.serverVariables = ServerVariables(connection, head, setup, physicalPath);

  Page page(setup);
  ScriptFailure failure;
  if (!RunPageScript(page, compiled, &failure)) WriteScriptError(page, *sink, compiled, failure);
  sink->BeginFinish();
  page.Finish();
  // A run cut off inside the engine ends its connection too.
  return sink->Complete() && !failure.abandoned;
}

NameValueList SiteServer::ServerVariables(const Connection& connection, const RequestHead& head,
                                          const PageSetup& setup,
                                          const std::wstring& physicalPath) const {
  NameValueList vars;
  std::wstring allHttp, allRaw;
  for (const HttpHeader& header : head.headers) {
    std::wstring name = L"HTTP_" + FromUtf8(header.name);
    for (wchar_t& c : name) c = c == L'-' ? L'_' : towupper(c);
    std::wstring value = FromUtf8(header.value);
    vars.emplace_back(name, value);
    allHttp += name + L":" + value + L"\r\n";
    allRaw += FromUtf8(header.name) + L": " + value + L"\r\n";
  }
  std::wstring port = std::to_wstring(connection.localPort());
  const std::string* host = head.Find("Host");
  std::wstring serverName = host ? FromUtf8(host->substr(0, host->rfind(':'))) : L"127.0.0.1";
  const NameValueList fixed = {
      {L"ALL_HTTP", allHttp},
      {L"ALL_RAW", allRaw},
      {L"APPL_PHYSICAL_PATH", options_.root + L"\\"},
      {L"CONTENT_LENGTH", std::to_wstring(head.contentLength)},
      {L"CONTENT_TYPE", setup.contentType},
      {L"GATEWAY_INTERFACE", L"CGI/1.1"},
      {L"HTTPS", L"off"},
      {L"LOCAL_ADDR", FromUtf8(options_.address)},
      {L"PATH_INFO", setup.pagePath},
      {L"PATH_TRANSLATED", physicalPath},
      {L"QUERY_STRING", setup.queryString},
      {L"REMOTE_ADDR", FromUtf8(connection.remoteAddress())},
      {L"REMOTE_HOST", FromUtf8(connection.remoteAddress())},
      {L"REMOTE_PORT", std::to_wstring(connection.remotePort())},
      {L"REQUEST_METHOD", setup.method},
      {L"SCRIPT_NAME", setup.pagePath},
      {L"SERVER_NAME", serverName},
      {L"SERVER_PORT", port},
      {L"SERVER_PORT_SECURE", L"0"},
      {L"SERVER_PROTOCOL", L"HTTP/1." + std::to_wstring(head.versionMinor)},
      {L"SERVER_SOFTWARE", L"asphost"},
      {L"URL", setup.pagePath},
  };
  vars.insert(vars.end(), fixed.begin(), fixed.end());
  return vars;
}

}  // namespace asphost
