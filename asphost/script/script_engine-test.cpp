#include "asphost/script/script_engine.h"

#include <gtest/gtest.h>

#include <string>

#include "base/wide.h"

namespace asphost {
namespace {

using velmora::toUtf8;

// A scriptable recorder: Write(x) appends x, End() ends the page, and its
// default member keeps one value: Response("k") = v, Response("k").
class Recorder final : public IDispatch {
 public:
  ustring text;
  ustring value;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *out = this;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
    if (lstrcmpiW(names[0], L"Write") == 0) return *ids = 1, S_OK;
    if (lstrcmpiW(names[0], L"End") == 0) return *ids = 2, S_OK;
    *ids = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO*, UINT*) override {
    if (id == 1 && params->cArgs == 1) {
      VARIANT s;
      VariantInit(&s);
      if (FAILED(VariantChangeType(&s, &params->rgvarg[0], 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
      text += velmora::fromWide(s.bstrVal);
      VariantClear(&s);
      return S_OK;
    }
    if (id == DISPID_VALUE && (flags & DISPATCH_PROPERTYPUT) && params->cArgs == 2) {
      VARIANT s;
      VariantInit(&s);
      if (FAILED(VariantChangeType(&s, &params->rgvarg[0], 0, VT_BSTR))) return DISP_E_TYPEMISMATCH;
      value = velmora::fromWide(s.bstrVal);
      VariantClear(&s);
      return S_OK;
    }
    if (id == DISPID_VALUE && params->cArgs == 1 && result) {
      result->vt = VT_BSTR;
      result->bstrVal = SysAllocString(velmora::wstr(value));
      return S_OK;
    }
    if (id == 2) {
      EndScriptOnThisThread();
      return kEndOfPage;
    }
    return DISP_E_MEMBERNOTFOUND;
  }
};

class ScriptEngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }

  bool Run(const ustring& language, const ustring& code) {
    return RunScript(language, code, {{u"Response", &response}}, &failure);
  }

  Recorder response;
  ScriptFailure failure;
};

TEST_F(ScriptEngineTest, RunsBothLanguagesWithNamedObjects) {
  EXPECT_TRUE(Run(u"VBScript", u"Dim i\nFor i = 1 To 3\nResponse.Write i\nNext\n"));
  EXPECT_TRUE(Run(u"JScript", u"for (var i = 4; i <= 6; i++)\n  Response.Write(i);\n"));
  EXPECT_EQ(response.text, u"123456");
}

TEST_F(ScriptEngineTest, ObjectsTakeArgumentsThroughTheirDefaultMember) {
  EXPECT_TRUE(Run(u"VBScript", u"Option Explicit\nResponse(\"k\") = \"v\"\nResponse.Write \"[\" & Response(\"k\") & \"]\"\n"));
  EXPECT_TRUE(Run(u"VBScript", u"Sub Show()\nResponse.Write Response(1)\nEnd Sub\nShow\n"));
  EXPECT_EQ(response.text, u"[v]v");
}

TEST_F(ScriptEngineTest, EndStopsTheScriptQuietly) {
  EXPECT_TRUE(Run(u"VBScript", u"Response.Write \"a\"\nResponse.End\nResponse.Write \"b\"\n"));
  EXPECT_TRUE(Run(u"JScript", u"Response.Write('c');\nResponse.End();\nResponse.Write('d');\n"));
  EXPECT_TRUE(Run(u"VBScript", u"Sub Finish()\nResponse.End\nEnd Sub\nFinish\nResponse.Write \"e\"\n"));
  EXPECT_EQ(response.text, u"ac");
}

TEST_F(ScriptEngineTest, ReportsRuntimeAndSyntaxErrorsWithTheirLine) {
  struct Case {
    const char16_t* language;
    const char16_t* code;
    unsigned line;
    const char* source;
    const char* description;
  } cases[] = {
      {u"VBScript", u"Response.Write 1\n\nx = 1 / 0\n", 3, "Microsoft VBScript runtime error", "Division by zero"},
      {u"VBScript", u"Response.Write 1\nIf Then\n", 2, "Microsoft VBScript compilation error", "Syntax error"},
      {u"VBScript", u"Response.Write 1\nResponse.Nothing\n", 2, "Microsoft VBScript runtime error",
       "Object doesn't support this property or method"},
      {u"VBScript", u"Dim a(2)\n\na(5) = 1\n", 3, "Microsoft VBScript runtime error", "Subscript out of range"},
      {u"JScript", u"Response.Write(1);\nnosuch();\n", 2, "Microsoft JScript runtime error", "Object expected"},
      {u"JScript", u"Response.Write(1);\nvar = ;\n", 2, "Microsoft JScript compilation error", "Syntax error"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(toUtf8(c.code));
    EXPECT_FALSE(Run(c.language, c.code));
    EXPECT_EQ(failure.line, c.line);
    EXPECT_EQ(toUtf8(failure.source), c.source);
    EXPECT_EQ(toUtf8(failure.description), c.description);
    EXPECT_TRUE(FAILED(failure.code));
  }
}

// Runaway recursion overflows the thread's stack (Wine's VBScript has no
// depth limit; its JScript has one): the run fails, the thread goes on, and
// so do later runs on it.
TEST_F(ScriptEngineTest, AStackOverflowEndsTheRunNotTheThread) {
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    EXPECT_FALSE(Run(u"VBScript", u"Function F(n)\n  F = F(n + 1) + 1\nEnd Function\nResponse.Write \"a\"\nF 0\n"));
    EXPECT_TRUE(failure.abandoned);
    EXPECT_EQ(toUtf8(failure.source), "Microsoft VBScript runtime error");
    EXPECT_EQ(toUtf8(failure.description), "Out of stack space");
    EXPECT_EQ(failure.line, 0u) << "the engine could not say where";

    EXPECT_FALSE(Run(u"JScript", u"function f(n) { return f(n + 1) + 1; }\nf(0);\n"));
    EXPECT_FALSE(failure.abandoned) << "JScript stops itself";
    EXPECT_EQ(toUtf8(failure.description), "Out of stack space");

    EXPECT_TRUE(Run(u"VBScript", u"Response.Write \"b\"\n"));
  }
  EXPECT_EQ(response.text, u"ababab");
}

TEST_F(ScriptEngineTest, UnknownLanguageFails) {
  EXPECT_FALSE(Run(u"NoSuchScript", u"x"));
  EXPECT_EQ(failure.description, u"The script language \"NoSuchScript\" is not available.");
}

}  // namespace
}  // namespace asphost
