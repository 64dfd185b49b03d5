#include <windows.h>
#include <ole2.h>
#include <comsvcs.h>

#include <algorithm>
#include <memory>
#include <optional>
// The ASP interfaces' IIDs are defined here, once for the module.
#include <initguid.h>
#include <asptlb.h>

#include "dll/asp_host.h"
#include "base/wide.h"
#include "com/values.h"
#include "dll/module.h"

// mingw declares these two but no import library defines them.
extern "C" const IID IID_IObjectContext = {
    0x51372ae0, 0xcae7, 0x11cf, {0xbe, 0x81, 0x00, 0xaa, 0x00, 0xa2, 0xfa, 0x25}};
extern "C" const IID IID_IGetContextProperties = {
    0x51372af4, 0xcae7, 0x11cf, {0xbe, 0x81, 0x00, 0xaa, 0x00, 0xa2, 0xfa, 0x25}};

namespace velmora {
namespace {

using CoGetObjectContextFn = HRESULT(WINAPI*)(REFIID, void**);
using GetObjectContextFn = HRESULT(WINAPI*)(IObjectContext**);

// Where the object context comes from, decided once per process: COM+ on
// Windows 2000 and later, MTS on NT 4. Only a module the host has already
// loaded is asked; the component never loads one itself.
struct TContextSource {
  CoGetObjectContextFn coGetObjectContext = nullptr;
  GetObjectContextFn getObjectContext = nullptr;
};

const TContextSource& ContextSource() {
  static const TContextSource source = [] {
    TContextSource s;
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof version;
    if (GetVersionExW(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT &&
        version.dwMajorVersion >= 5) {
      if (HMODULE ole32 = GetModuleHandleW(L"ole32.dll")) {
        s.coGetObjectContext = reinterpret_cast<CoGetObjectContextFn>(
            reinterpret_cast<void*>(GetProcAddress(ole32, "CoGetObjectContext")));
      }
    } else if (HMODULE mtxex = GetModuleHandleW(L"mtxex.dll")) {
      s.getObjectContext = reinterpret_cast<GetObjectContextFn>(
          reinterpret_cast<void*>(GetProcAddress(mtxex, "GetObjectContext")));
    }
    return s;
  }();
  return source;
}

// A pointer whose reference the callee handed out, owned from now on. Not
// ComPtr::Attach: mingw's adds a reference of its own (Microsoft's takes over
// the one given), which would keep every page's context, and through it
// the page's objects (the Request with its read buffer), alive for the life
// of the process.
template <class I>
ComPtr<I> TakeOwnership(I* raw) {
  ComPtr<I> owned;
  *owned.GetAddressOf() = raw;
  return owned;
}

// The calling thread's object context, or null outside a page.
ComPtr<IObjectContext> ObjectContext() {
  const TContextSource& source = ContextSource();
  IObjectContext* raw = nullptr;
  if (source.coGetObjectContext) {
    // Failure only means there is no context.
    if (FAILED(source.coGetObjectContext(IID_IObjectContext, reinterpret_cast<void**>(&raw))))
      return nullptr;
  } else if (source.getObjectContext) {
    SetErrorInfo(0, nullptr);
    OleCheck(source.getObjectContext(&raw));
  }
  return TakeOwnership(raw);
}

// A call on a host object: whatever error information was left on the thread
// before it must not describe its failure.
template <class F>
void HostCall(F&& call) {
  SetErrorInfo(0, nullptr);
  OleCheck(call());
}

// One intrinsic object of the page: the context's property of that name,
// queried for the item's interface.
template <class I>
ComPtr<I> ContextItem(const char16_t* name, REFIID iid) {
  ComPtr<IObjectContext> context = ObjectContext();
  if (!context) return nullptr;
  ComPtr<IGetContextProperties> properties;
  if (FAILED(context->QueryInterface(IID_IGetContextProperties,
                                     reinterpret_cast<void**>(properties.GetAddressOf())))) {
    throw Exception(u"Interface not supported");
  }
  com::Variant item;
  com::Bstr itemName(AllocBStr(name));
  HostCall([&] { return properties->GetProperty(itemName.get(), item.get()); });
  IUnknown* unknown = nullptr;
  if (V_VT(item.get()) == VT_DISPATCH) unknown = V_DISPATCH(item.get());
  if (V_VT(item.get()) == VT_UNKNOWN) unknown = V_UNKNOWN(item.get());
  if (!unknown) return nullptr;
  ComPtr<I> object;
  if (FAILED(unknown->QueryInterface(iid, reinterpret_cast<void**>(object.GetAddressOf())))) {
    throw Exception(u"Interface not supported");
  }
  return object;
}

template <class I>
ComPtr<I> Need(ComPtr<I> object, const char16_t* name) {
  if (!object) {
    throw Exception(u"The ASP " + ustring(name) +
                    u" object cannot be reached: the object is not running inside an ASP page.");
  }
  return object;
}

// The array BinaryRead returned, read where it lies: owned, and locked once
// it holds bytes, for as long as the block lives. Then offered to be kept
// as the highest array of the object's reads.
class TRequestBlock final : public IHostBlock {
 public:
  explicit TRequestBlock(com::HighestArray& highest) : highest_(highest) {}
  ~TRequestBlock() override {
    access_.reset();
    highest_.offer(result_.get());
  }
  VARIANT* result() { return result_.get(); }
  // Locks the array and takes at most count of its bytes; false when the
  // result holds no byte array.
  bool lock(size_t count) {
    access_.emplace(V_VT(result_.get()) == (VT_ARRAY | VT_UI1) ? V_ARRAY(result_.get()) : nullptr);
    if (!access_->valid()) return false;
    bytes_ = {access_->data(), std::min(count, access_->size())};
    return true;
  }
  ByteSpan bytes() const override { return bytes_; }

 private:
  com::HighestArray& highest_;
  com::Variant result_;
  std::optional<com::ArrayBytes> access_;  // unlocks before the result is cleared
  ByteSpan bytes_;
};

}  // namespace

ComPtr<IRequest> TASPMTSObject::Request() { return ContextItem<IRequest>(u"Request", IID_IRequest); }
ComPtr<IResponse> TASPMTSObject::Response() {
  return ContextItem<IResponse>(u"Response", IID_IResponse);
}
ComPtr<IServer> TASPMTSObject::Server() { return ContextItem<IServer>(u"Server", IID_IServer); }
ComPtr<IApplicationObject> TASPMTSObject::Application() {
  return ContextItem<IApplicationObject>(u"Application", IID_IApplicationObject);
}

int32_t TASPMTSObject::TotalBytes() {
  ComPtr<IRequest> request = Need(Request(), u"Request");
  LONG total = 0;
  HostCall([&] { return request->get_TotalBytes(&total); });
  return total;
}

bool TASPMTSObject::IsClientConnected() {
  ComPtr<IResponse> response = Need(Response(), u"Response");
  VARIANT_BOOL connected = VARIANT_FALSE;
  HostCall([&] { return response->IsClientConnected(&connected); });
  return connected != VARIANT_FALSE;
}

std::unique_ptr<IHostBlock> TASPMTSObject::BinaryRead(int64_t count, bool countAsInt64) {
  ComPtr<IRequest> request = Need(Request(), u"Request");
  com::Variant wanted;
  if (countAsInt64) {
    V_VT(wanted.get()) = VT_I8;
    V_I8(wanted.get()) = count;
  } else {
    V_VT(wanted.get()) = VT_I4;
    V_I4(wanted.get()) = static_cast<LONG>(count);
  }
  auto block = std::make_unique<TRequestBlock>(highestBlock_);
  HostCall([&] { return request->BinaryRead(wanted.get(), block->result()); });

  // The host rewrites the count to what it delivered; the array may not be
  // trusted beyond that, nor beyond what was asked for.
  com::Variant delivered;
  if (FAILED(VariantChangeType(delivered.get(), wanted.get(), 0, VT_I8))) return block;
  const int64_t n = std::min<int64_t>(V_I8(delivered.get()), count);
  if (n <= 0) return block;
  if (!block->lock(static_cast<size_t>(n)))
    throw Exception(u"The ASP Request object delivered no bytes from BinaryRead.");
  return block;
}

namespace {

bool SameKey(const ustring& a, const ustring& b) {
  return CompareStringOrdinal(wstr(a), static_cast<int>(a.size()), wstr(b), static_cast<int>(b.size()),
                              TRUE) == CSTR_EQUAL;
}

void GetApplicationItem(IApplicationObject* application, BSTR name, com::Variant& item) {
  HostCall([&] { return application->get_Value(name, item.get()); });
}

}  // namespace

// What Application(key) holds may be the object's own only when it is empty
// or the very number the object wrote last.
bool TASPMTSObject::HoldsOwnProgress(const ustring& key, VARIANT* item) const {
  if (V_VT(item) == VT_EMPTY) return true;
  return published_ && SameKey(published_->key, key) && V_VT(item) == VT_I4 &&
         V_I4(item) == published_->value;
}

void TASPMTSObject::SetApplicationValue(const ustring& key, int32_t value) {
  if (!refusedKey_.empty() && SameKey(refusedKey_, key)) return;
  ComPtr<IApplicationObject> application = Need(Application(), u"Application");
  com::Bstr name(AllocBStr(key));
  com::Variant item;
  GetApplicationItem(application.Get(), name.get(), item);
  if (!HoldsOwnProgress(key, item.get())) {
    refusedKey_ = key;
    return;
  }
  VARIANT v;
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  HostCall([&] { return application->putref_Value(name.get(), v); });
  published_ = TPublished{key, value};
}

void TASPMTSObject::RemoveApplicationValue(const ustring& key) {
  if (!published_ || !SameKey(published_->key, key)) return;
  ComPtr<IApplicationObject> application = Need(Application(), u"Application");
  com::Bstr name(AllocBStr(key));
  com::Variant item;
  GetApplicationItem(application.Get(), name.get(), item);
  if (V_VT(item.get()) == VT_EMPTY || !HoldsOwnProgress(key, item.get())) return;
  ComPtr<IVariantDictionary> contents;
  HostCall([&] { return application->get_Contents(contents.GetAddressOf()); });
  VARIANT v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = name.get();
  HostCall([&] { return contents->Remove(v); });
}

ustring TASPMTSObject::MapPath(const ustring& path) {
  ComPtr<IServer> server = Need(Server(), u"Server");
  com::Bstr virtualPath(AllocBStr(path));
  com::Bstr physical;
  HostCall([&] { return server->MapPath(virtualPath.get(), physical.out()); });
  return FromBStr(physical.get());
}

// A host whose Request has no ServerVariables (E_NOTIMPL, or no collection)
// gives nothing; a variable the request lacks reads as "", as in ASP.
std::optional<ustring> TASPMTSObject::ServerVariable(const ustring& name) {
  ComPtr<IRequest> request = Need(Request(), u"Request");
  ComPtr<IRequestDictionary> variables;
  if (FAILED(request->get_ServerVariables(variables.GetAddressOf())) || !variables) return std::nullopt;
  com::Variant key, item;
  V_VT(key.get()) = VT_BSTR;
  V_BSTR(key.get()) = AllocBStr(name);
  HostCall([&] { return variables->get_Item(*key.get(), item.get()); });
  // The item is a string list; its value without an index joins its strings.
  if (V_VT(item.get()) == VT_BSTR) return FromBStr(V_BSTR(item.get()));
  if (V_VT(item.get()) != VT_DISPATCH || !V_DISPATCH(item.get())) return ustring();
  ComPtr<IStringList> list;
  if (FAILED(V_DISPATCH(item.get())->QueryInterface(IID_IStringList,
                                                    reinterpret_cast<void**>(list.GetAddressOf()))))
    return ustring();
  com::Variant all, joined;
  V_VT(all.get()) = VT_ERROR;
  V_ERROR(all.get()) = DISP_E_PARAMNOTFOUND;
  HostCall([&] { return list->get_Item(*all.get(), joined.get()); });
  if (V_VT(joined.get()) == VT_EMPTY) return ustring();
  if (FAILED(VariantChangeType(joined.get(), joined.get(), 0, VT_BSTR))) return ustring();
  return FromBStr(V_BSTR(joined.get()));
}

}  // namespace velmora
