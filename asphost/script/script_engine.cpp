#include "asphost/script/script_engine.h"

#include <activscp.h>

#include "base/wide.h"
#include "dll/fault_guard.h"
#include "io/fileutils.h"

namespace asphost {
namespace {

constexpr char16_t kHiddenPrefix[] = u"ScriptHost_";
constexpr HRESULT kOutOfStackSpace = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 28);

thread_local IActiveScript* currentScript = nullptr;
thread_local bool endRequested = false;

// Wine's engines leave the description of many of their own errors empty:
// the texts of the common ones are here, by the error's number (an
// automation failure stands for the number VBScript gives it); others are
// looked up in the engines' string tables and the system's messages.
ustring EngineMessage(HRESULT code) {
  static const struct {
    HRESULT code;
    WORD number;
  } kAutomationErrors[] = {
      {DISP_E_DIVBYZERO, 11},      {DISP_E_OVERFLOW, 6},          {DISP_E_TYPEMISMATCH, 13},
      {DISP_E_UNKNOWNNAME, 438},   {DISP_E_MEMBERNOTFOUND, 438},  {DISP_E_BADINDEX, 9},
      {DISP_E_BADPARAMCOUNT, 450}, {DISP_E_PARAMNOTOPTIONAL, 449}, {DISP_E_ARRAYISLOCKED, 10},
      {E_OUTOFMEMORY, 7},
  };
  WORD number = 0;
  if (HRESULT_FACILITY(code) == FACILITY_CONTROL) number = HRESULT_CODE(code);
  for (const auto& e : kAutomationErrors)
    if (e.code == code) number = e.number;
  static const struct {
    WORD number;
    const char16_t* text;
  } kMessages[] = {
      {5, u"Invalid procedure call or argument"},
      {6, u"Overflow"},
      {7, u"Out of memory"},
      {9, u"Subscript out of range"},
      {10, u"This array is fixed or temporarily locked"},
      {11, u"Division by zero"},
      {13, u"Type mismatch"},
      {28, u"Out of stack space"},
      {35, u"Sub or Function not defined"},
      {91, u"Object variable not set"},
      {424, u"Object required"},
      {429, u"ActiveX component can't create object"},
      {438, u"Object doesn't support this property or method"},
      {449, u"Argument not optional"},
      {450, u"Wrong number of arguments or invalid property assignment"},
      {500, u"Variable is undefined"},
  };
  for (const auto& m : kMessages)
    if (m.number == number) return m.text;
  if (number) {
    for (const wchar_t* dll : {L"vbscript.dll", L"jscript.dll"}) {
      wchar_t text[512];
      HMODULE module = GetModuleHandleW(dll);
      if (module && LoadStringW(module, number, text, 512) > 0) return velmora::fromWide(text);
    }
  }
  ustring message = velmora::SystemMessage(static_cast<uint32_t>(code));
  if (message.empty()) {
    wchar_t hex[16];
    wsprintfW(hex, L"%08X", static_cast<unsigned>(code));
    message = u"Error 0x" + velmora::fromWide(hex);
  }
  return message;
}

// The engine's view of the page: it asks here for the named objects and
// reports errors here. Lives on the stack of RunScript.
class ScriptSite final : public IActiveScriptSite {
 public:
  ScriptSite(const ustring& language, const std::vector<NamedObject>& objects, ScriptFailure* failure)
      : language_(language), objects_(objects), failure_(failure) {}

  bool failed() const { return failed_; }

  // IUnknown: the site is owned by RunScript, not by its references.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IActiveScriptSite)) {
      *out = static_cast<IActiveScriptSite*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE GetLCID(LCID*) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetItemInfo(LPCOLESTR name, DWORD mask, IUnknown** unknown,
                                        ITypeInfo** typeInfo) override {
    if (unknown) *unknown = nullptr;
    if (typeInfo) *typeInfo = nullptr;
    for (const NamedObject& item : objects_) {
      if (lstrcmpiW(name, velmora::wstr(item.name)) != 0 &&
          lstrcmpiW(name, velmora::wstr(kHiddenPrefix + item.name)) != 0)
        continue;
      if (mask & SCRIPTINFO_IUNKNOWN) {
        *unknown = item.object;
        item.object->AddRef();
      }
      if (mask & SCRIPTINFO_ITYPEINFO) item.object->GetTypeInfo(0, LOCALE_USER_DEFAULT, typeInfo);
      return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }

  HRESULT STDMETHODCALLTYPE GetDocVersionString(BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnScriptTerminate(const VARIANT*, const EXCEPINFO*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnStateChange(SCRIPTSTATE) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnEnterScript() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnLeaveScript() override { return S_OK; }

  HRESULT STDMETHODCALLTYPE OnScriptError(IActiveScriptError* error) override {
    EXCEPINFO info = {};
    error->GetExceptionInfo(&info);
    if (info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    HRESULT code = info.scode ? info.scode : static_cast<HRESULT>(info.wCode);
    if (code == kEndOfPage || endRequested) {
      endRequested = true;
    } else if (!failed_) {
      failed_ = true;
      DWORD context = 0;
      ULONG line = 0;
      LONG column = 0;
      if (SUCCEEDED(error->GetSourcePosition(&context, &line, &column))) failure_->line = line + 1;
      failure_->code = code;
      if (info.bstrSource) failure_->source = velmora::fromWide(info.bstrSource);
      if (info.bstrDescription) failure_->description = velmora::fromWide(info.bstrDescription);
      if (failure_->source.empty()) failure_->source = u"Microsoft " + language_ + u" runtime error";
      // Wine reports every syntax error as a failed call.
      if (failure_->description.empty() && code == E_FAIL &&
          failure_->source.find(u"compilation") != ustring::npos)
        failure_->description = u"Syntax error";
      // Wine's VBScript has no text of its own for "Out of stack space" (it
      // says "Unknown runtime error"), which the host's objects give when a
      // runaway recursion reaches them with little stack left.
      if (failure_->description.empty() || code == kOutOfStackSpace) failure_->description = EngineMessage(code);
    }
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    return S_OK;
  }

 private:
  const ustring& language_;
  const std::vector<NamedObject>& objects_;
  ScriptFailure* failure_;
  bool failed_ = false;
};

template <typename T>
struct ComPtr {
  T* p = nullptr;
  ~ComPtr() {
    if (p) p->Release();
  }
  T* operator->() const { return p; }
};

}  // namespace

bool RunScript(const ustring& language, const ustring& code, const std::vector<NamedObject>& objects,
               ScriptFailure* failure) {
  *failure = ScriptFailure();
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(velmora::wstr(language), &clsid);
  ComPtr<IActiveScript> script;
  if (SUCCEEDED(hr))
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IActiveScript,
                          reinterpret_cast<void**>(&script.p));
  ComPtr<IActiveScriptParse> parser;
  if (SUCCEEDED(hr)) hr = script->QueryInterface(__uuidof(IActiveScriptParse), reinterpret_cast<void**>(&parser.p));
  if (FAILED(hr)) {
    failure->code = hr;
    failure->description = u"The script language \"" + language + u"\" is not available.";
    return false;
  }

  ScriptSite site(language, objects, failure);
  hr = script->SetScriptSite(&site);
  if (SUCCEEDED(hr)) hr = parser->InitNew();
  // Wine's VBScript cannot pass arguments to a named item itself
  // (Application("key"), Request("name")): it can to an object held in a
  // variable. So for VBScript the objects are named items under other
  // names, and a first script puts them into global variables.
  bool vbscript = lstrcmpiW(velmora::wstr(language), L"VBScript") == 0;
  ustring prologue;
  for (const NamedObject& item : objects) {
    ustring itemName = vbscript ? kHiddenPrefix + item.name : item.name;
    if (SUCCEEDED(hr)) hr = script->AddNamedItem(velmora::wstr(itemName), SCRIPTITEM_ISVISIBLE);
    if (vbscript) prologue += u"Dim " + item.name + u"\nSet " + item.name + u" = " + itemName + u"\n";
  }

  IActiveScript* outer = currentScript;
  bool outerEnd = endRequested;
  currentScript = script.p;
  endRequested = false;
  // The engine runs the global code when it is started.
  struct Run {
    IActiveScript* script;
    IActiveScriptParse* parser;
    const ScriptSite* site;
    const ustring* texts[2];
    HRESULT hr;
  } run{script.p, parser.p, &site, {&prologue, &code}, hr};
  DWORD fault = 0;
  const bool whole = velmora::RunGuarded(
      [](void* context) {
        Run& r = *static_cast<Run*>(context);
        for (const ustring* text : r.texts) {
          if (FAILED(r.hr) || text->empty()) continue;
          EXCEPINFO info = {};
          r.hr = r.parser->ParseScriptText(velmora::wstr(*text), nullptr, nullptr, nullptr, 0, 0, 0, nullptr,
                                           &info);
          SysFreeString(info.bstrSource);
          SysFreeString(info.bstrDescription);
          SysFreeString(info.bstrHelpFile);
        }
        if (SUCCEEDED(r.hr) && !r.site->failed() && !endRequested) r.script->SetScriptState(SCRIPTSTATE_STARTED);
      },
      &run, &fault);
  hr = run.hr;
  bool ended = endRequested;
  currentScript = outer;
  endRequested = outerEnd;

  if (!whole) {
    // The engine was stopped in the middle of its own frames: it is left as
    // it is, never called again (what it holds is lost).
    script.p = nullptr;
    parser.p = nullptr;
    *failure = ScriptFailure();
    failure->abandoned = true;
    failure->source = u"Microsoft " + language + u" runtime error";
    if (fault == EXCEPTION_STACK_OVERFLOW) {
      failure->code = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, 28);
      failure->description = EngineMessage(failure->code);
    } else {
      failure->code = E_UNEXPECTED;
      wchar_t hex[16];
      wsprintfW(hex, L"%08X", static_cast<unsigned>(fault));
      failure->description = u"The script engine stopped on exception 0x" + velmora::fromWide(hex) + u".";
    }
    return false;
  }
  script->Close();

  if (site.failed()) return false;
  if (FAILED(hr) && !ended) {
    failure->code = hr;
    failure->description = u"The script engine refused the page.";
    return false;
  }
  return true;
}

void EndScriptOnThisThread() {
  endRequested = true;
  if (currentScript) currentScript->InterruptScriptThread(SCRIPTTHREADID_CURRENT, nullptr, 0);
}

}  // namespace asphost
