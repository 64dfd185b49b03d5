// The ASP intrinsic objects of one page (Request, Response, Server,
// Application, Session) and the page's object context, as real COM objects
// with the interfaces of asptlb.h, callable from C++ through their vtables and
// from scripts through IDispatch (default members included: Request("x"),
// Application("k") = v).
//
// They are built around three seams so that the test stand-in and the HTTP
// host share them:
//   BodySource      where Request reads the body (memory, or the connection);
//   ResponseSink    where Response delivers the head and the body;
//   ApplicationStore the Application collection, shared by every page and
//                   safe under concurrent pages.
// A HostProbe (optional) lets tests make chosen calls fail and records the
// reads a component made.
//
// Typical use by a host, on the thread that runs the page:
//   asphost::Page page(setup);                     // builds the objects
//   asphost::ScopedObjectContext scope(page.context());  // components see it
//   ...run the page script with page.request(), page.response(), ...
//   page.Finish();                                 // delivers what is buffered
#pragma once

#include <windows.h>
#include <ole2.h>
#include <asptlb.h>
#include <comsvcs.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// comsvcs.h maps GetObjectContext onto CoGetObjectContext; the name is needed
// as the function that mtxex.dll exports.
#undef GetObjectContext

// mingw declares these two IIDs but no import library defines them (the
// values are MTS's own).
EXTERN_C const IID DECLSPEC_SELECTANY IID_IObjectContext = {
    0x51372ae0, 0xcae7, 0x11cf, {0xbe, 0x81, 0x00, 0xaa, 0x00, 0xa2, 0xfa, 0x25}};
EXTERN_C const IID DECLSPEC_SELECTANY IID_IGetContextProperties = {
    0x51372af4, 0xcae7, 0x11cf, {0xbe, 0x81, 0x00, 0xaa, 0x00, 0xa2, 0xfa, 0x25}};

namespace asphost {

using NameValueList = std::vector<std::pair<std::wstring, std::wstring>>;

// Where Request takes the body from.
class BodySource {
 public:
  virtual ~BodySource() = default;
  // The length the client declared (Content-Length): Request.TotalBytes.
  virtual uint64_t DeclaredLength() = 0;
  // Reads up to count bytes into buffer and returns how many it delivered: it
  // may deliver fewer, or none (nothing arrived). Request never asks for bytes
  // beyond the declared length, and calls Read once per BinaryRead, so what a
  // source delivers is what the page gets (IIS waits for the whole count
  // unless the client stops sending; a source that wants that waits itself).
  virtual size_t Read(uint8_t* buffer, size_t count) = 0;
  // Response.IsClientConnected.
  virtual bool ClientConnected() = 0;
};

// What Response has set, handed to the sink with the body.
struct ResponseHead {
  std::string status = "200 OK";                             // Response.Status
  std::string contentType = "text/html";                     // Response.ContentType
  std::string charset;                                       // Response.CharSet ("" when not set)
  std::vector<std::pair<std::string, std::string>> headers;  // AddHeader, Redirect's Location
};

// Where Response delivers. The body is buffered in Response until Flush, the
// end of the page (Page::Finish), End or Redirect; with Buffer = False every
// write is delivered at once.
class ResponseSink {
 public:
  virtual ~ResponseSink() = default;
  // Delivers body bytes (possibly none). The head is final from the first
  // call on: a streaming sink sends it once, before the first bytes.
  virtual HRESULT Send(const ResponseHead& head, const uint8_t* data, size_t size) = 0;
  // Response.End or Response.Redirect asks to end the page, after the buffer
  // was sent. What this returns, Response.End returns to the script: a host
  // returns an HRESULT that stops its script engine.
  virtual HRESULT End() { return S_OK; }
};

// The Application collection: values by key (keys compare ignoring case;
// insertion order kept for Contents.Key(i) and enumeration), shared by all
// pages. Every member is safe from any thread, and re-entrant: what leaves
// the store is released after its locks are left, so a value's release (an
// upload object removing its progress item) may change the store. Lock/Unlock
// are the pages' Application.Lock: while one page holds it, changes by others
// wait.
class ApplicationStore {
 public:
  // Which objects the store takes. Application takes only agile ones, as IIS
  // does: an object of an apartment is called through a proxy into the
  // thread that stored it, and a page thread never serves such calls, so its
  // callers would wait for ever. A Session lives for one page in this host,
  // on the thread of that page, so it keeps any object: calls never leave
  // the object's apartment.
  enum class Objects { kAgileOnly, kAny };
  // Set refuses an object the store does not take with this; the objects
  // over the store say why.
  static constexpr HRESULT kApartmentObject = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0197);

  explicit ApplicationStore(Objects objects = Objects::kAgileOnly);
  ~ApplicationStore();
  ApplicationStore(const ApplicationStore&) = delete;
  ApplicationStore& operator=(const ApplicationStore&) = delete;

  // A copy of the value under key into *out, for the calling thread's
  // apartment (objects that are not agile travel through the global
  // interface table); VT_EMPTY when there is none.
  HRESULT Get(const std::wstring& key, VARIANT* out) const;
  // 1-based position, as Contents(i) counts; false when out of range.
  bool GetAt(size_t position, std::wstring* key, VARIANT* out) const;
  HRESULT Set(const std::wstring& key, const VARIANT& value);
  void Remove(const std::wstring& key);
  void RemoveAt(size_t position);  // 1-based; out of range does nothing
  void RemoveAll();
  size_t Count() const;
  std::vector<std::wstring> Keys() const;

  void Lock();
  void Unlock();

  // The changes in order, as "set key=value" (the value as text, objects as
  // "[object]"), "remove key" and "removeall"; kept only while logging is on.
  void SetLogging(bool on);
  std::vector<std::wstring> Log() const;
  void ClearLog();

 private:
  class Value;
  struct Item;
  void Record(std::wstring entry);  // with data_ held
  const Objects objects_;
  mutable CRITICAL_SECTION data_;   // the items and the log
  CRITICAL_SECTION pageLock_;       // Application.Lock; taken around every change
  std::vector<Item> items_;
  std::vector<std::wstring> log_;
  bool logging_ = false;
};

// Test instrumentation shared by a page's objects: calls that fail on
// purpose, and the record of Request.BinaryRead calls. Thread-safe.
class HostProbe {
 public:
  // From now on the call named name ("Request.BinaryRead", "Request.TotalBytes",
  // "Response.IsClientConnected", "Application.Value", "Application.Contents",
  // "Contents.Remove", "Server.MapPath", "Context.GetProperty",
  // "GetObjectContext", or any "Object.Member" of the intrinsics) fails with
  // hr and description, after it has succeeded afterCalls more times.
  void FailCall(const std::wstring& name, HRESULT hr, const std::wstring& description, int afterCalls = 0);
  void ClearFaults();
  // Called by the objects on entry: S_OK, or the planned failure with the
  // thread's error information set (source, description, iid).
  HRESULT Check(const wchar_t* name, REFIID iid, const wchar_t* source);

  struct Read {
    VARTYPE countType;  // the count variant's type as passed (VT_I4, VT_I8, ...)
    int64_t asked;
    int64_t delivered;
  };
  void RecordRead(const Read& read);
  std::vector<Read> Reads() const;
  void ClearReads();

 private:
  struct Fault {
    std::wstring name;
    HRESULT hr;
    std::wstring description;
    int callsLeft;
  };
  mutable std::mutex lock_;
  std::vector<Fault> faults_;
  std::vector<Read> reads_;
};

// Everything one page's objects are built from.
struct PageSetup {
  std::shared_ptr<BodySource> body;               // required
  std::shared_ptr<ResponseSink> sink;             // required
  std::shared_ptr<ApplicationStore> application;  // required; shared by pages
  std::shared_ptr<ApplicationStore> session;      // Session.Contents; null: a new one per page
  std::shared_ptr<HostProbe> probe;               // optional
  std::wstring root;                              // physical folder of the site's "/" (MapPath), e.g. C:\site
  std::wstring pagePath = L"/default.asp";        // virtual path of the running page
  std::wstring method = L"GET";
  std::wstring queryString;       // raw, without the "?"
  std::wstring contentType;       // of the request body
  // More Request.ServerVariables (HTTP_*, REMOTE_ADDR, ...). REQUEST_METHOD,
  // QUERY_STRING, CONTENT_TYPE, CONTENT_LENGTH, SCRIPT_NAME, PATH_INFO, URL,
  // PATH_TRANSLATED and APPL_PHYSICAL_PATH come from the fields above unless
  // given here too (then these values win).
  NameValueList serverVariables;
  std::wstring sessionId = L"1";
};

// The objects of one running page. Construction builds them all (throws
// std::bad_alloc or a HRESULT-carrying std::runtime_error on failure); the
// accessors return borrowed pointers valid for the Page's life.
class Page {
 public:
  explicit Page(PageSetup setup);
  ~Page();
  Page(const Page&) = delete;
  Page& operator=(const Page&) = delete;

  IRequest* request() const { return request_; }
  IResponse* response() const { return response_; }
  IServer* server() const { return server_; }
  IApplicationObject* application() const { return application_; }
  ISessionObject* session() const { return session_; }
  // The page's object context (IObjectContext, and IGetContextProperties by
  // QueryInterface) holding the five objects above.
  IObjectContext* context() const { return context_; }

  // The end of the page, once: a session made for this page alone lets go of
  // what it keeps, with the page's context current on the calling thread
  // meanwhile (so that an upload object kept there still reaches Application
  // to take its progress item away; the thread is left with no context);
  // then the Application locks the page still holds are released and what
  // Response still buffers is delivered (the head at least).
  HRESULT Finish();

 private:
  void ReleaseAll();

  IRequest* request_ = nullptr;
  IResponse* response_ = nullptr;
  IServer* server_ = nullptr;
  IApplicationObject* application_ = nullptr;
  ISessionObject* session_ = nullptr;
  IObjectContext* context_ = nullptr;
  bool finished_ = false;
};

// The objects one by one, for hosts that assemble a page differently. Each
// returns a new object with one reference.
HRESULT CreateRequest(const PageSetup& setup, IRequest** out);
HRESULT CreateResponse(const PageSetup& setup, IResponse** out);
HRESULT CreateServer(const PageSetup& setup, IServer** out);
HRESULT CreateApplication(const PageSetup& setup, IApplicationObject** out);
HRESULT CreateSession(const PageSetup& setup, ISessionObject** out);
// A dictionary (Application.Contents, Session.Contents) over a store.
HRESULT CreateVariantDictionary(std::shared_ptr<ApplicationStore> store, std::shared_ptr<HostProbe> probe,
                                IVariantDictionary** out);
// The object context over named items ("Request", "Response", ...);
// GetProperty answers them ignoring case, and VT_EMPTY for other names.
HRESULT CreateObjectContext(const std::vector<std::pair<std::wstring, IDispatch*>>& items,
                            std::shared_ptr<HostProbe> probe, IObjectContext** out);
// Object contexts not yet destroyed, in this module: a page's context dies
// with its last reference, so one that outlives its page was kept by someone.
long LiveObjectContexts();

// Response internals a host needs after the script: send what is buffered.
HRESULT FinishResponse(IResponse* response);
// Application.Lock calls a page made and did not undo.
void ReleaseApplicationLocks(IApplicationObject* application);
// Empties a Session made for one page (not one the host keeps across pages).
void EndPageSession(ISessionObject* session);

// The calling thread's current page, as mtxex.dll's GetObjectContext hands it
// to components. Loads mtxex.dll (from the program's folder or the search
// path) on first use. Pass nullptr to clear.
HRESULT SetThreadObjectContext(IObjectContext* context);

// Makes a page context current on this thread for a scope.
class ScopedObjectContext {
 public:
  explicit ScopedObjectContext(IObjectContext* context) { result_ = SetThreadObjectContext(context); }
  ~ScopedObjectContext() { SetThreadObjectContext(nullptr); }
  ScopedObjectContext(const ScopedObjectContext&) = delete;
  ScopedObjectContext& operator=(const ScopedObjectContext&) = delete;
  HRESULT result() const { return result_; }

 private:
  HRESULT result_;
};

// The stand-in's body: bytes in memory, with the ways a real client
// misbehaves made controllable.
class MemoryBody : public BodySource {
 public:
  explicit MemoryBody(std::string bytes = {});
  void SetBytes(std::string bytes);             // resets the read position and counters
  void SetDeclaredLength(int64_t length);       // TotalBytes; -1: the bytes' length
  void SetMaxRead(size_t bytes);                // at most this many per read; 0: no limit
  void SetEmptyReads(int fromRead, int count);  // reads number fromRead.. (1-based) deliver 0; count -1: all
  void SetDisconnectAfter(int reads);           // client gone once this many reads were made; -1: never
  int reads() const;

  uint64_t DeclaredLength() override;
  size_t Read(uint8_t* buffer, size_t count) override;
  bool ClientConnected() override;

 private:
  mutable std::mutex lock_;
  std::string bytes_;
  size_t position_ = 0;
  int64_t declared_ = -1;
  size_t maxRead_ = 0;
  int emptyFrom_ = 0, emptyCount_ = 0;
  int disconnectAfter_ = -1;
  int reads_ = 0;
};

// The stand-in's sink: keeps the last head and every body byte.
class MemorySink : public ResponseSink {
 public:
  HRESULT Send(const ResponseHead& head, const uint8_t* data, size_t size) override;
  HRESULT End() override;
  ResponseHead head() const;
  std::string body() const;
  int sends() const;
  bool ended() const;
  void Clear();

 private:
  mutable std::mutex lock_;
  ResponseHead head_;
  std::string body_;
  int sends_ = 0;
  bool ended_ = false;
};

}  // namespace asphost
