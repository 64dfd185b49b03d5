#include "asphost/intrinsics/comobject.h"

#include "com/error_info.h"

#include <map>
#include <string>
#include <mutex>

namespace asphost {

bool StackRunningOut() {
  // Enough for any member and for the system to raise an exception after it.
  constexpr ULONG_PTR kReserve = 64 * 1024;
  // The lowest address of the thread's stack: where its reservation starts.
  static thread_local ULONG_PTR stackBottom = 0;
  const ULONG_PTR here = reinterpret_cast<ULONG_PTR>(__builtin_frame_address(0));
  MEMORY_BASIC_INFORMATION region = {};
  if (!stackBottom && VirtualQuery(reinterpret_cast<void*>(here), &region, sizeof region))
    stackBottom = reinterpret_cast<ULONG_PTR>(region.AllocationBase);
  return here - stackBottom < kReserve;
}

namespace {

// The module that holds this code: the program or DLL that linked the
// intrinsics, whose resources carry the type libraries.
HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::mutex cacheLock;
std::map<int, ITypeLib*> typeLibs;  // kept for the process's life

HRESULT LoadEmbeddedTypeLib(int resource, ITypeLib** out) {
  auto found = typeLibs.find(resource);
  if (found != typeLibs.end()) {
    *out = found->second;
    return S_OK;
  }
  wchar_t module[MAX_PATH];
  DWORD length = GetModuleFileNameW(ThisModule(), module, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return E_UNEXPECTED;
  // "<module>\<n>" names the module's TYPELIB resource n.
  std::wstring path = std::wstring(module, length) + L"\\" + std::to_wstring(resource);
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_NONE, out);
  if (SUCCEEDED(hr)) typeLibs[resource] = *out;
  return hr;
}

}  // namespace

HRESULT GetEmbeddedTypeInfo(int typeLibResource, REFIID iid, ITypeInfo** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return Guarded([&]() -> HRESULT {
    std::lock_guard<std::mutex> hold(cacheLock);
    ITypeLib* lib;
    HRESULT hr = LoadEmbeddedTypeLib(typeLibResource, &lib);
    return FAILED(hr) ? hr : lib->GetTypeInfoOfGuid(iid, out);
  });
}

HRESULT ReportError(HRESULT hr, REFIID iid, const wchar_t* source, const std::wstring& description) {
  com::SetErrorInfoFor(iid, source, description.c_str());
  return hr;
}

HRESULT ReturnString(const std::wstring& text, BSTR* out) {
  if (!out) return E_POINTER;
  *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace asphost
